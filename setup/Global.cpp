#include "setup/Global.h"

#include <cstdint>
#include <vector>

#include "winbase/SysLib.h"

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
CreateFolderProc CreateFolder = CreateDirectoryA;

namespace {

// The access list of a destination the setup makes outside the
// program-files folder (see MakeDestinationDirectory), in a descriptor for
// the folders it creates. The inherited entries and the protection came
// with Windows 2000 and are looked up at run time; without them (Windows
// 9x, NT 4) none is made, and the folders get the default.
class ProtectedFolderSecurity {
 public:
  // False when the descriptor could not be made.
  bool Make() {
    using AddAceExProc = BOOL(WINAPI*)(PACL, DWORD revision, DWORD flags, DWORD mask, PSID);
    using SetControlProc = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL,
                                         SECURITY_DESCRIPTOR_CONTROL);
    auto addAce = SystemFunction<AddAceExProc>("advapi32.dll", "AddAccessAllowedAceEx");
    auto setControl =
        SystemFunction<SetControlProc>("advapi32.dll", "SetSecurityDescriptorControl");
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (!addAce || !setControl ||
        !AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                  0, 0, 0, 0, 0, admins_.put()) ||
        !AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0,
                                  system_.put()) ||
        !AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS, 0,
                                  0, 0, 0, 0, 0, users_.put()))
      return false;
    const DWORD aceBase = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
    const DWORD bytes = sizeof(ACL) + 3 * aceBase + GetLengthSid(admins_.get()) +
                        GetLengthSid(system_.get()) + GetLengthSid(users_.get());
    acl_.resize((bytes + 3) / 4);
    auto* acl = reinterpret_cast<PACL>(acl_.data());
    const DWORD inherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    if (!InitializeAcl(acl, DWORD(acl_.size() * 4), ACL_REVISION) ||
        !addAce(acl, ACL_REVISION, inherited, FILE_ALL_ACCESS, admins_.get()) ||
        !addAce(acl, ACL_REVISION, inherited, FILE_ALL_ACCESS, system_.get()) ||
        !addAce(acl, ACL_REVISION, inherited, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE,
                users_.get()) ||
        !InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
        !setControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
      return false;
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    return true;
  }
  SECURITY_ATTRIBUTES* Attributes() { return &attributes_; }

 private:
  handles::UniqueSid admins_, system_, users_;
  std::vector<DWORD> acl_;  // DWORDs keep the list aligned
  SECURITY_DESCRIPTOR descriptor_ = {};
  SECURITY_ATTRIBUTES attributes_ = {};
};

// path in lower case (ASCII letters only, as drive and folder names of
// the program-files folder are compared).
std::string Lower(std::string path) {
  for (char& c : path)
    if (c >= 'A' && c <= 'Z') c = char(c + 0x20);
  return path;
}

}  // namespace

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

void CreateDirectoryPath(const std::string& path, SECURITY_ATTRIBUTES* security) {
  if (path.empty()) return;
  std::string dir = path;
  if (dir.back() == '\\') dir.pop_back();
  if (dir.size() < 3 || IsExistingDirectory(dir)) return;  // a bare drive, or nothing to do
  // The parent keeps its separator: C:\A\B gives C:\A\, C:\A gives C:\.
  size_t cut = dir.find_last_of(":\\");
  std::string parent = cut == std::string::npos ? std::string() : dir.substr(0, cut + 1);
  if (parent == dir) return;
  CreateDirectoryPath(parent, security);
  CreateFolder(dir.c_str(), security);  // a failure shows in the caller's final test
}

bool IsBelowProgramFiles(const std::string& path) {
  handles::UniqueHkey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", 0,
                    KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
    return false;
  const std::string lower = Lower(path);
  for (const char* name : {"ProgramFilesDir", "ProgramW6432Dir"}) {
    char buffer[MAX_PATH];
    DWORD type = 0, size = sizeof buffer;
    if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                         &size) != ERROR_SUCCESS ||
        type != REG_SZ || size < 2 || buffer[size - 1] != '\0')
      continue;
    std::string dir = Lower(buffer);
    if (!dir.empty() && dir.back() == '\\') dir.pop_back();
    if (lower.compare(0, dir.size(), dir) == 0 &&
        (lower.size() == dir.size() || lower[dir.size()] == '\\'))
      return true;
  }
  return false;
}

std::string MakeDestinationDirectory(const std::string& path) {
  ProtectedFolderSecurity security;
  const bool protect = !IsBelowProgramFiles(path) && security.Make();
  CreateDirectoryPath(path, protect ? security.Attributes() : nullptr);
  return IsExistingDirectory(path) ? path : std::string();
}
