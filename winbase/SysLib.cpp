#include "winbase/SysLib.h"

#include <array>
#include <cstring>

#include "winbase/Handles.h"

namespace {

// Not in the headers of the oldest systems the program is built for.
constexpr DWORD SearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

struct KeptLibrary {
  const char* name = nullptr;  // the caller's literal
  handles::UniqueLibrary module;
};
// Room for every library the program looks functions up in: kernel32,
// comctl32, mpr, ole32, shell32, version, advapi32, ntdll, and two to spare.
// Constant-initialised, so that lookups made while other modules start up
// find it ready.
constinit std::array<KeptLibrary, 10> KeptLibraries;

}  // namespace

void RestrictDllSearch() {
  // kernel32 is loaded in every process: asking for it loads nothing.
  if (auto setDefault = SystemFunction<BOOL(WINAPI*)(DWORD)>("kernel32.dll",
                                                            "SetDefaultDllDirectories"))
    setDefault(SearchSystem32);
  if (auto setDirectory = SystemFunction<BOOL(WINAPI*)(LPCSTR)>("kernel32.dll", "SetDllDirectoryA"))
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
