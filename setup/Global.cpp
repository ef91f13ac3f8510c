#include "setup/Global.h"

#include <cstdint>

#include "archive/ProductFiles.h"

HWND MainWindow = nullptr;
HWND CurrentDialog = nullptr;
HWND AnimationWindow = nullptr;
std::string DestDir;
fileio::File HeldDestination;
std::string DefaultDestDir = product::DefaultDestination.text;
handles::UniqueFont DestFont;
handles::UniqueLibrary ShellModule;

DiskFreeSpaceProc QueryDiskFreeSpace = GetDiskFreeSpaceA;

void SetDefaultDestDir() {
  handles::UniqueHkey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", 0,
                    KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
    DefaultDestDir = "C:" + DefaultDestDir;
    return;
  }
  char buffer[MAX_PATH];
  DWORD size = MAX_PATH;
  // The value's type is not checked: any value of that name is taken as
  // the directory, less the terminating zero its byte count includes.
  if (RegQueryValueExA(key.get(), "ProgramFilesDir", nullptr, nullptr,
                       reinterpret_cast<BYTE*>(buffer), &size) == ERROR_SUCCESS)
    DefaultDestDir = std::string(buffer, size > 0 ? size - 1 : 0) + DefaultDestDir;
  else
    DefaultDestDir = "C:" + DefaultDestDir;
}

double DriveFreeMegabytes(const std::string& path) {
  std::string root = path.substr(0, 2) + "\\";
  root[0] = char(root[0] & 0xDF);  // a lower-case drive letter in upper case
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
  if (!QueryDiskFreeSpace(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                          &totalClusters))
    return -1;
  // Unsigned: a volume of more than 2^31 free clusters must not come out
  // negative. Kilobytes first, then megabytes, as one exact scale each.
  const uint64_t bytesPerCluster = uint64_t(sectorsPerCluster) * bytesPerSector;
  return double(bytesPerCluster) * 0.0009765625 * double(freeClusters) * 0.0009765625;
}

bool IsExistingDirectory(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void CreateDirectoryPath(const std::string& path) {
  if (path.empty()) return;
  std::string dir = path;
  if (dir.back() == '\\') dir.pop_back();
  if (dir.size() < 3 || IsExistingDirectory(dir)) return;  // a bare drive, or nothing to do
  // The parent keeps its separator: C:\A\B gives C:\A\, C:\A gives C:\.
  size_t cut = dir.find_last_of(":\\");
  std::string parent = cut == std::string::npos ? std::string() : dir.substr(0, cut + 1);
  if (parent == dir) return;
  CreateDirectoryPath(parent);
  CreateDirectoryA(dir.c_str(), nullptr);  // a failure shows in the caller's final test
}

std::string MakeDestinationDirectory(const std::string& path) {
  CreateDirectoryPath(path);
  return IsExistingDirectory(path) ? path : std::string();
}
