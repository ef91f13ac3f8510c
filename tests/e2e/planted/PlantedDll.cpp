// A stand-in for a system library, planted beside a program to see whether
// the program loads it: when loaded, it leaves the file NAME.dll.loaded
// beside itself, and when one of the functions a program of ours would
// call (the ANSI ones) is called, NAME.dll.called; each names the program.
// Its exports (see the .def files) do nothing and fail.
#include <windows.h>

#include <string>

namespace {

HINSTANCE Self = nullptr;

void LeaveMarker(const char* suffix) {
  char path[MAX_PATH], program[MAX_PATH];
  DWORD n = GetModuleFileNameA(Self, path, MAX_PATH);
  DWORD m = GetModuleFileNameA(nullptr, program, MAX_PATH);
  if (n == 0 || n >= MAX_PATH || m >= MAX_PATH) return;
  const std::string marker = std::string(path, n) + suffix;
  HANDLE file = CreateFileA(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, program, m, &written, nullptr);
  CloseHandle(file);
}

}  // namespace

extern "C" int PlantedCalled() {
  LeaveMarker(".called");
  return 0;
}

// The system's own libraries may use the wide functions; they only fail.
extern "C" int PlantedQuiet() { return 0; }

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    Self = self;
    LeaveMarker(".loaded");
  }
  return TRUE;
}
