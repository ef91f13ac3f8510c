// The sample product's uninstaller, named by the uninstall entry the setup
// program writes. After the user confirms, it removes what the setup put on
// the machine: the shortcuts, the uninstall entry, the product's settings,
// the product's files and folders, and itself.
//
// A running program cannot delete its own file, so the last part is done by
// a copy in the temporary folder: it waits for this process to end, then
// deletes the uninstaller and the emptied product folder without a word.
// Every message comes from the first process.
#include <windows.h>
#include <shlobj.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "winbase/Handles.h"
#include "ProductFiles.h"  // ProductFiles, ProductFolders: generated from the product tree
#include "archive/ProductFiles.h"

namespace {

constexpr const char* Caption = product::UninstallerCaption;
constexpr const char* ProductName = product::Name;
constexpr const char* ProductKey = product::ProductKey.text;
constexpr const char* MakerKey = product::MakerKey;
constexpr const char* UninstallKey = product::UninstallKey.text;
constexpr const char* UninstallerName = product::Uninstaller + 1;
constexpr char CleanupSwitch[] = "/cleanup";

// key below root, or an empty owner when it cannot be opened.
handles::UniqueHkey OpenKey(HKEY root, const std::string& path, REGSAM access) {
  handles::UniqueHkey key;
  if (RegOpenKeyExA(root, path.c_str(), 0, access, key.put()) != ERROR_SUCCESS) return {};
  return key;
}

std::string ModulePath() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::string(path, length) : std::string();
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Deletes path, which may be read-only. True when it is gone.
bool DeleteAnyFile(const std::string& path) {
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  return DeleteFileA(path.c_str()) || !Exists(path);
}

// Deletes key with everything below it. RegDeleteKeyA removes only keys
// without subkeys on the NT platform, so the subkeys go first.
void DeleteKeyTree(HKEY root, const std::string& path) {
  {
    const handles::UniqueHkey key = OpenKey(root, path, KEY_READ);
    if (!key) return;
    char name[256];
    DWORD size = sizeof name;
    // Always the first subkey: each one is gone before the next is asked for.
    while (RegEnumKeyExA(key.get(), 0, name, &size, nullptr, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS) {
      const std::string subkey = path + "\\" + std::string(name, size);
      DeleteKeyTree(root, subkey);
      if (OpenKey(root, subkey, KEY_READ)) return;  // could not be deleted: stop, not loop
      size = sizeof name;
    }
  }
  RegDeleteKeyA(root, path.c_str());
}

// True when key exists and holds neither subkeys nor values.
bool IsEmptyKey(HKEY root, const std::string& path) {
  const handles::UniqueHkey key = OpenKey(root, path, KEY_READ);
  DWORD subkeys = 0, values = 0;
  return key &&
         RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                          nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
         subkeys == 0 && values == 0;
}

void RemoveRegistryEntries() {
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, UninstallKey);
  DeleteKeyTree(HKEY_LOCAL_MACHINE, ProductKey);
  // The maker's key only when no other product of the maker uses it.
  if (IsEmptyKey(HKEY_LOCAL_MACHINE, MakerKey)) RegDeleteKeyA(HKEY_LOCAL_MACHINE, MakerKey);
}

// The setup puts the shortcuts in the all-users menu or the user's own,
// depending on the user's rights at the time; both are cleared. Shortcuts
// the user added to the folder stay, and the folder with them.
void RemoveShortcuts() {
  for (int folder : {CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS}) {
    char programs[MAX_PATH];
    if (!SHGetSpecialFolderPathA(nullptr, programs, folder, FALSE)) continue;
    const std::string dir = std::string(programs) + "\\" + ProductName;
    if (!Exists(dir)) continue;
    for (const product::MenuShortcut& shortcut : product::MenuShortcuts)
      DeleteAnyFile(dir + "\\" + shortcut.name + ".lnk");
    if (RemoveDirectoryA(dir.c_str()))
      SHChangeNotify(SHCNE_RMDIR, SHCNF_PATHA, dir.c_str(), nullptr);
    else
      SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHA, dir.c_str(), nullptr);
  }
}

// Deletes the product's files in dir, all but the uninstaller, then the
// folders they leave empty. Files the user added stay. True when every
// product file is gone.
bool RemoveProductFiles(const std::string& dir) {
  bool removed = true;
  for (const char* file : ProductFiles) removed &= DeleteAnyFile(dir + "\\" + file);
  for (const char* folder : ProductFolders) RemoveDirectoryA((dir + "\\" + folder).c_str());
  return removed;
}

// The last words. complete: every product file is gone.
void Report(const std::string& dir, bool complete) {
  std::string text = "Pavlane Orbit Suite has been removed from your computer.";
  if (!complete)
    text +=
        "\r\rSome files could not be removed. You may delete the folder \"" + dir + "\" yourself.";
  MessageBoxA(nullptr, text.c_str(), Caption, MB_OK | MB_ICONASTERISK);
}

// Starts a copy of this program in the temporary folder that finishes the
// removal once this process has ended. False when it cannot be started.
bool HandOver(const std::string& self, const std::string& dir) {
  char temp[MAX_PATH];
  const DWORD length = GetTempPathA(MAX_PATH, temp);
  if (length == 0 || length >= MAX_PATH) return false;
  const std::string copy =
      std::string(temp) + "PvUninst" + std::to_string(GetCurrentProcessId()) + ".exe";
  if (!CopyFileA(self.c_str(), copy.c_str(), FALSE)) return false;

  handles::UniqueKernelHandle parent;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), parent.put(),
                       SYNCHRONIZE, TRUE, 0)) {
    DeleteFileA(copy.c_str());
    return false;
  }
  std::string command = "\"" + copy + "\" " + CleanupSwitch + " " +
                        std::to_string(reinterpret_cast<uintptr_t>(parent.get())) + " \"" + dir +
                        "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // Started in the temporary folder: a current directory inside the
  // product folder would keep the folder from being removed.
  if (!CreateProcessA(copy.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, temp,
                      &startup, &process)) {
    DeleteFileA(copy.c_str());
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

// The copy's part: arguments are the waitable handle of the first process
// and the product folder.
int FinishRemoval(int argc, char** argv) {
  if (argc < 4) return 1;
  const handles::UniqueKernelHandle parent(
      reinterpret_cast<HANDLE>(uintptr_t(std::strtoull(argv[2], nullptr, 10))));
  const std::string dir = argv[3];
  // Bounded, so that a first process that cannot end leaves no copy
  // waiting forever; the deletions below then simply fail.
  WaitForSingleObject(parent.get(), 60000);
  DeleteAnyFile(dir + "\\" + UninstallerName);
  RemoveDirectoryA(dir.c_str());
  // This copy goes at the next restart, where the system allows it;
  // otherwise it stays in the temporary folder.
  MoveFileExA(ModulePath().c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  return 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  if (__argc >= 2 && std::string(__argv[1]) == CleanupSwitch) return FinishRemoval(__argc, __argv);

  const std::string self = ModulePath();
  const std::string dir = FolderOf(self);
  if (dir.empty()) return 1;
  if (MessageBoxA(nullptr,
                  "Do you want to remove Pavlane Orbit Suite and all of its components from "
                  "your computer?",
                  Caption, MB_YESNO | MB_ICONQUESTION) != IDYES)
    return 0;

  RemoveShortcuts();
  RemoveRegistryEntries();
  Report(dir, RemoveProductFiles(dir));
  // Handed over only now, so that the helper's wait does not run while the
  // message is up.
  if (!HandOver(self, dir)) {
    // Without a helper the uninstaller and the folder go at the next restart.
    MoveFileExA(self.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    MoveFileExA(dir.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  }
  return 0;
}
