#include "postset/shortcut.h"

#include <windows.h>
#include <shlobj.h>

#include "winbase/Handles.h"
#include "winbase/SysLib.h"

static_assert(sizeof(OSVERSIONINFOA) == 148, "the version record the system expects");
static_assert(sizeof(WIN32_FIND_DATAA) == 320, "the search record the system fills");

namespace {

// ole32 and shell32 are reached by full path in the system directory: the
// setup starts from a downloads folder, where a stray DLL of the same name
// must never be picked up, and linking them would load them (and what they
// pull in) before the program could narrow the search.
void FreeItemIdList(LPITEMIDLIST list) {
  if (auto free = SystemFunction<decltype(&CoTaskMemFree)>("ole32.dll", "CoTaskMemFree"))
    free(list);
}
using UniqueItemIdList = handles::Unique<LPITEMIDLIST, FreeItemIdList>;

// COM for the life of the object, released only when it was had.
class ComScope {
 public:
  ComScope() {
    if (auto initialize = SystemFunction<decltype(&CoInitialize)>("ole32.dll", "CoInitialize"))
      initialized_ = SUCCEEDED(initialize(nullptr));
  }
  ~ComScope() {
    if (!initialized_) return;
    if (auto uninitialize =
            SystemFunction<decltype(&CoUninitialize)>("ole32.dll", "CoUninitialize"))
      uninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  explicit operator bool() const { return initialized_; }

 private:
  bool initialized_ = false;
};

// Only a user who may administer the services on an NT-platform system
// gets the menu every user sees; everyone else gets their own.
int ProgramsFolderId() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExA(&version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT)
    return CSIDL_PROGRAMS;
  const handles::UniqueServiceHandle manager(
      OpenSCManagerA(nullptr, nullptr, GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE));
  return manager ? CSIDL_COMMON_PROGRAMS : CSIDL_PROGRAMS;
}

std::string ResolveProgramsFolder() {
  const int folder = ProgramsFolderId();
  auto location = SystemFunction<decltype(&SHGetSpecialFolderLocation)>(
      "shell32.dll", "SHGetSpecialFolderLocation");
  auto toPath =
      SystemFunction<decltype(&SHGetPathFromIDListA)>("shell32.dll", "SHGetPathFromIDListA");
  if (!location || !toPath) return {};
  UniqueItemIdList list;
  if (FAILED(location(nullptr, folder, list.put()))) return {};
  char path[MAX_PATH] = {};
  if (!toPath(list.get(), path)) return {};
  return path;  // up to its first zero
}

// target's folder: cut after its last backslash, and that backslash
// dropped again unless the folder is a drive root such as C:\.
std::string WorkingDirectoryOf(const std::string& target) {
  const size_t slash = target.rfind('\\');
  if (slash == std::string::npos) return {};
  std::string dir = target.substr(0, slash + 1);
  if (dir.size() > 3) dir.pop_back();
  return dir;
}

std::string MenuFolderPath(const std::string& folder) { return ProgramsFolder + "\\" + folder; }

}  // namespace

std::string ProgramsFolder = ResolveProgramsFolder();

bool CreateLink(const std::string& target, const std::string& linkDir, const std::string& name,
                bool notify) {
  const ComScope com;
  if (!com) return false;
  auto create = SystemFunction<decltype(&CoCreateInstance)>("ole32.dll", "CoCreateInstance");
  handles::UniqueCom<IShellLinkA> link;
  if (!create || FAILED(create(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                               reinterpret_cast<void**>(link.put()))))
    return false;
  link->SetPath(target.c_str());
  link->SetDescription(name.c_str());
  link->SetWorkingDirectory(WorkingDirectoryOf(target).c_str());

  bool saved = false;
  {
    handles::UniqueCom<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.put()))))
      return false;
    const std::string path = linkDir + "\\" + name + ".lnk";
    wchar_t widePath[MAX_PATH];
    // A path too long for the buffer converts to nothing and is not saved.
    if (MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, widePath, MAX_PATH) != 0)
      saved = SUCCEEDED(file->Save(widePath, TRUE));
  }
  if (notify) {
    if (auto changed = SystemFunction<decltype(&SHChangeNotify)>("shell32.dll", "SHChangeNotify"))
      changed(SHCNE_UPDATEDIR, SHCNF_PATHA, linkDir.c_str(), nullptr);
  }
  return saved;
}

bool CreateMenuFolder(const std::string& folder) {
  if (ProgramsFolder.empty()) return false;
  return CreateDirectoryA(MenuFolderPath(folder).c_str(), nullptr) != 0;
}

void DeleteMenuLinks(const std::string& folder) {
  if (ProgramsFolder.empty()) return;
  const std::string dir = MenuFolderPath(folder);
  WIN32_FIND_DATAA found;
  const handles::UniqueFind search(FindFirstFileA((dir + "\\*.lnk").c_str(), &found));
  if (!search) return;
  do {
    DeleteFileA((dir + "\\" + found.cFileName).c_str());
  } while (FindNextFileA(search.get(), &found));
}

bool AddMenuLink(const std::string& folder, const std::string& name, const std::string& target) {
  const std::string prefixed = folder.empty() ? folder : "\\" + folder;
  if (ProgramsFolder.empty()) return false;
  return CreateLink(target, ProgramsFolder + prefixed, name, true);
}
