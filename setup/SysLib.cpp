#include "setup/SysLib.h"

#include <array>
#include <cstring>

#include "setup/Handles.h"

namespace {

// Not in the headers of the oldest systems the program is built for.
constexpr DWORD SearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

struct KeptLibrary {
  const char* name = nullptr;  // the caller's literal
  handles::UniqueLibrary module;
};
std::array<KeptLibrary, 4> KeptLibraries;

}  // namespace

void RestrictDllSearch() {
  // kernel32 is always loaded: asking for it by name loads nothing.
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (!kernel) return;
  using SetDefaultDllDirectoriesProc = BOOL(WINAPI*)(DWORD);
  if (auto setDefault = ProcAs<SetDefaultDllDirectoriesProc>(
          GetProcAddress(kernel, "SetDefaultDllDirectories")))
    setDefault(SearchSystem32);
  using SetDllDirectoryProc = BOOL(WINAPI*)(LPCSTR);
  if (auto setDirectory =
          ProcAs<SetDllDirectoryProc>(GetProcAddress(kernel, "SetDllDirectoryA")))
    setDirectory("");
}

std::string SystemLibraryPath(const char* name) {
  char buffer[MAX_PATH];
  UINT length = GetSystemDirectoryA(buffer, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  std::string path(buffer, length);
  if (path.back() != '\\') path += '\\';
  return path + name;
}

HMODULE LoadSystemLibrary(const char* name) {
  std::string path = SystemLibraryPath(name);
  if (path.empty()) return nullptr;
  // The altered search order resolves the library's own imports from its
  // folder, the system directory, rather than from the program's.
  return LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

FARPROC SystemProc(const char* library, const char* function) {
  KeptLibrary* slot = nullptr;
  // Slots fill from the front, so the first free one ends the search.
  for (KeptLibrary& kept : KeptLibraries) {
    if (!kept.name || std::strcmp(kept.name, library) == 0) {
      slot = &kept;
      break;
    }
  }
  if (!slot) return nullptr;
  if (!slot->name) {
    handles::UniqueLibrary module(LoadSystemLibrary(library));
    if (!module) return nullptr;
    slot->name = library;
    slot->module = std::move(module);
  }
  return GetProcAddress(slot->module.get(), function);
}
