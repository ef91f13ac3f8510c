// The file layer on the Win32 ANSI API. Calls that came after Windows 95
// (acting on a file through its handle, reparse tags) are looked up at run
// time, so the program still starts on the oldest systems it supports.
#include <windows.h>

#include <cstdint>
#include <vector>

#include "archive/FileIo.h"
#include "archive/Format.h"
#include "winbase/Handles.h"
#include "winbase/SysLib.h"

namespace fileio {
namespace {

// Seconds from 1601, where FILETIME counts from, to 1970.
constexpr int64_t From1601 = 11644473600;

HANDLE H(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Which calls the system offers, decided once.
struct Platform {
  bool nt = false;      // the NT family; else Windows 9x, which has no links
  DWORD major = 0;
};
const Platform& System() {
  static const Platform platform = [] {
    Platform p;
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (GetVersionExA(&version)) {
      p.nt = version.dwPlatformId == VER_PLATFORM_WIN32_NT;
      p.major = version.dwMajorVersion;
    }
    return p;
  }();
  return platform;
}

// Links, junctions and other reparse points came with Windows 2000; older
// systems reject the flag that opens one instead of its target.
bool SystemHasLinks() { return System().nt && System().major >= 5; }

// The sharing flag for deletion and renaming: Windows 9x rejects it.
DWORD ShareDelete() { return System().nt ? FILE_SHARE_DELETE : 0; }

// The information classes this layer uses, as SetFileInformationByHandle
// (Vista on) and NtSetInformationFile (every NT) number them.
constexpr int ByHandleBasic = 0, ByHandleDisposition = 4, ByHandleAttributeTag = 9;
constexpr int NtBasic = 4, NtDisposition = 13, NtAttributeTag = 35;
constexpr DWORD TagMountPoint = 0xA0000003;  // junctions and volume mount points
constexpr DWORD TagSymlink = 0xA000000C;

struct BasicInfo {  // FILE_BASIC_INFO and FILE_BASIC_INFORMATION
  int64_t creation = 0, access = 0, write = 0, change = 0;  // 0: unchanged
  uint32_t attributes = 0;
};
static_assert(sizeof(BasicInfo) == 40);
struct AttributeTagInfo {  // FILE_ATTRIBUTE_TAG_INFO and ..._INFORMATION
  uint32_t attributes = 0, tag = 0;
};
struct IoStatus {
  union {
    LONG status;
    void* pointer;
  };
  ULONG_PTR information;
};

using ByHandleProc = BOOL(WINAPI*)(HANDLE, int infoClass, void* info, DWORD size);
using NtInfoProc = LONG(NTAPI*)(HANDLE, IoStatus*, void* info, ULONG size, int infoClass);

// Sets information on a file through its handle with the call the system
// has: SetFileInformationByHandle from Vista on, NtSetInformationFile on
// NT 4 to XP. False on failure or on Windows 9x.
bool SetByHandle(HANDLE h, int byHandleClass, int ntClass, void* info, DWORD size) {
  if (!System().nt) return false;
  if (System().major >= 6) {
    auto set = SystemFunction<ByHandleProc>("kernel32.dll", "SetFileInformationByHandle");
    if (set) return set(h, byHandleClass, info, size) != FALSE;
  }
  auto ntSet = SystemFunction<NtInfoProc>("ntdll.dll", "NtSetInformationFile");
  IoStatus io = {};
  return ntSet && ntSet(h, &io, info, size, ntClass) >= 0;
}

// The reparse tag of the object h refers to, or 0.
DWORD ReparseTag(HANDLE h) {
  AttributeTagInfo info;
  if (System().major >= 6) {
    auto get = SystemFunction<ByHandleProc>("kernel32.dll", "GetFileInformationByHandleEx");
    if (get && get(h, ByHandleAttributeTag, &info, sizeof info)) return info.tag;
  }
  auto ntQuery = SystemFunction<NtInfoProc>("ntdll.dll", "NtQueryInformationFile");
  IoStatus io = {};
  return ntQuery && ntQuery(h, &io, &info, sizeof info, NtAttributeTag) >= 0 ? info.tag : 0;
}

// Whether a reparse point with this tag is a link. One whose tag cannot be
// read (0: the call failed, or the system reports none, as Wine does for
// the Unix links it shows as reparse points) counts as a link too.
bool IsLinkTag(DWORD tag) { return tag == TagMountPoint || tag == TagSymlink || tag == 0; }

// True when a symbolic link or junction stands at path itself.
bool NameIsLink(const std::string& path) {
  WIN32_FIND_DATAA found;
  handles::UniqueFind find(FindFirstFileA(path.c_str(), &found));
  // For a reparse point the search reports its tag in dwReserved0.
  return find && (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         IsLinkTag(found.dwReserved0);
}

// Opens path; with noLinks, the link itself when path is one, which is then
// closed again: what it points to is never reached. isDirectory says which
// kind of object must stand there.
HANDLE OpenObject(const std::string& path, DWORD access, DWORD disposition, DWORD flags,
                  bool noLinks, bool isDirectory) {
  if (noLinks && SystemHasLinks()) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         disposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE || !noLinks) return h;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(h, &info) &&
      !((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkTag(ReparseTag(h))) &&
      bool(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == isDirectory)
    return h;
  CloseHandle(h);
  SetLastError(ERROR_CANT_ACCESS_FILE);
  return INVALID_HANDLE_VALUE;
}

// Security that lets only administrators and the system open a file: a
// descriptor whose access list names those two. Looked up at run time, as
// Windows 9x has none of it.
class PrivateSecurity {
 public:
  // False when the descriptor could not be made.
  bool Make() {
    using AllocateSidProc = BOOL(WINAPI*)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD,
                                          DWORD, DWORD, DWORD, DWORD, DWORD, PSID*);
    using InitializeAclProc = BOOL(WINAPI*)(PACL, DWORD, DWORD);
    using AddAceProc = BOOL(WINAPI*)(PACL, DWORD, DWORD, PSID);
    using LengthSidProc = DWORD(WINAPI*)(PSID);
    auto allocate = SystemFunction<AllocateSidProc>("advapi32.dll", "AllocateAndInitializeSid");
    auto initAcl = SystemFunction<InitializeAclProc>("advapi32.dll", "InitializeAcl");
    auto addAce = SystemFunction<AddAceProc>("advapi32.dll", "AddAccessAllowedAce");
    auto length = SystemFunction<LengthSidProc>("advapi32.dll", "GetLengthSid");
    if (!allocate || !initAcl || !addAce || !length) return false;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (!allocate(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                  admins_.put()) ||
        !allocate(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, system_.put()))
      return false;
    const DWORD aceBase = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
    const DWORD bytes = sizeof(ACL) + 2 * aceBase + length(admins_.get()) + length(system_.get());
    acl_.resize((bytes + 3) / 4);
    auto* acl = reinterpret_cast<PACL>(acl_.data());
    if (!initAcl(acl, DWORD(acl_.size() * 4), ACL_REVISION) ||
        !addAce(acl, ACL_REVISION, FILE_ALL_ACCESS, admins_.get()) ||
        !addAce(acl, ACL_REVISION, FILE_ALL_ACCESS, system_.get()) ||
        !InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE))
      return false;
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    return true;
  }
  SECURITY_ATTRIBUTES* Attributes() { return &attributes_; }

 private:
  handles::UniqueSid admins_, system_;
  std::vector<DWORD> acl_;  // DWORDs keep the list aligned
  SECURITY_DESCRIPTOR descriptor_ = {};
  SECURITY_ATTRIBUTES attributes_ = {};
};

}  // namespace

FaultProc InjectFault = nullptr;

bool File::Open(const std::string& path, OpenMode mode) {
  Close();
  path_ = path;
  HANDLE h = INVALID_HANDLE_VALUE;
  // Reparse points open as themselves, folders open at all.
  const DWORD itself = (SystemHasLinks() ? FILE_FLAG_OPEN_REPARSE_POINT : 0) |
                       (System().nt ? FILE_FLAG_BACKUP_SEMANTICS : 0);
  const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | ShareDelete();
  switch (mode) {
    case OpenMode::ReadShared:
    case OpenMode::ReadWrite:
    case OpenMode::Create: {
      DWORD access = mode == OpenMode::ReadShared ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
      DWORD disposition = mode == OpenMode::Create ? CREATE_ALWAYS : OPEN_EXISTING;
      h = OpenObject(path, access, disposition, FILE_ATTRIBUTE_NORMAL,
                     mode != OpenMode::ReadShared, false);
      break;
    }
    case OpenMode::ReadHeld:
      h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
      break;
    case OpenMode::CreateNew:
      // CREATE_NEW fails on whatever stands at the name, a link included.
      h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      break;
    case OpenMode::Private: {
      PrivateSecurity security;
      if (System().nt && !security.Make()) break;
      // NT deletes it when the last handle goes, also should the program
      // end abruptly; Windows 9x lacks that, and Close deletes it by name.
      h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE | (System().nt ? DELETE : 0), 0,
                      System().nt ? security.Attributes() : nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_NORMAL | (System().nt ? FILE_FLAG_DELETE_ON_CLOSE : 0),
                      nullptr);
      deleteOnClose_ = !System().nt;
      break;
    }
    case OpenMode::Inspect:
      // Windows 9x opens no folders; it asks for no access to open a file.
      h = CreateFileA(path.c_str(),
                      System().nt ? DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES : 0,
                      shareAll, nullptr, OPEN_EXISTING, itself, nullptr);
      break;
    case OpenMode::Attributes:
      h = CreateFileA(path.c_str(),
                      System().nt ? FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES : 0, shareAll,
                      nullptr, OPEN_EXISTING, itself, nullptr);
      break;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  if (!IsOpen()) deleteOnClose_ = false;
  return IsOpen();
}

bool File::OpenDirectory(const std::string& path) {
  Close();
  if (!SystemHasLinks()) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
  // Reading access, and no sharing of deletion: a rename or removal of the
  // directory needs the latter, so both fail while it is held.
  HANDLE h = OpenObject(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, true, true);
  handle_ = reinterpret_cast<intptr_t>(h);
  // Where opening a link's own object is not supported (Wine opens the
  // target), the name still tells; held, it can no longer change.
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || NameIsLink(path)) Close();
  return IsOpen();
}

bool File::HoldDirectory(const std::string& path) {
  Close();
  if (!System().nt) return false;  // Windows 9x opens no folders
  handle_ = reinterpret_cast<intptr_t>(CreateFileA(path.c_str(), GENERIC_READ,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                                   nullptr));
  return IsOpen();
}

bool File::Close() {
  if (!IsOpen()) return false;
  BOOL ok = CloseHandle(H(handle_));
  handle_ = Invalid;
  if (deleteOnClose_) DeleteFileA(path_.c_str());
  deleteOnClose_ = false;
  return ok != FALSE;
}

bool File::Facts(FileFacts* facts) const {
  BY_HANDLE_FILE_INFORMATION info;
  if (!IsOpen() || !GetFileInformationByHandle(H(handle_), &info)) return false;
  facts->attributes = info.dwFileAttributes;
  facts->links = info.nNumberOfLinks;
  facts->isLink =
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkTag(ReparseTag(H(handle_)));
  facts->volume = info.dwVolumeSerialNumber;
  facts->index = uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  return true;
}

bool File::SetAttributes(uint32_t attributes) {
  if (!IsOpen()) return false;
  // Windows 9x has no links: its name is the file.
  if (!System().nt) return SetFileAttributesA(path_.c_str(), attributes) != FALSE;
  // 0 would mean "unchanged" here; the normal bit, which the system drops
  // beside any other, makes it "none", as SetFileAttributesA takes it.
  BasicInfo info;
  info.attributes = attributes | FILE_ATTRIBUTE_NORMAL;
  return SetByHandle(H(handle_), ByHandleBasic, NtBasic, &info, sizeof info);
}

bool File::Delete() {
  if (!IsOpen()) return false;
  if (!System().nt) {
    Close();
    return DeleteFileA(path_.c_str()) != FALSE;
  }
  BOOLEAN gone = TRUE;  // FILE_DISPOSITION_INFO
  if (!SetByHandle(H(handle_), ByHandleDisposition, NtDisposition, &gone, sizeof gone))
    return false;
  Close();
  return true;
}

bool File::Read(void* buffer, uint32_t count, uint32_t* got) {
  DWORD n = 0;
  BOOL ok = IsOpen() && !(InjectFault && InjectFault(false)) &&
            ReadFile(H(handle_), buffer, count, &n, nullptr);
  *got = ok ? n : 0;
  return ok != FALSE;
}

bool File::Write(const void* buffer, uint32_t count) {
  DWORD n = 0;
  return IsOpen() && !(InjectFault && InjectFault(true)) &&
         WriteFile(H(handle_), buffer, count, &n, nullptr) && n == count;
}

bool File::Seek(int64_t offset) {
  if (!IsOpen() || offset < 0) return false;
  LONG high = LONG(offset >> 32);
  // An offset whose low half is 0xFFFFFFFF is only a failure if the call
  // itself sets an error.
  SetLastError(NO_ERROR);
  DWORD low = SetFilePointer(H(handle_), LONG(offset & 0xFFFFFFFF), &high, FILE_BEGIN);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

int64_t File::Tell() const {
  if (!IsOpen()) return -1;
  LONG high = 0;
  SetLastError(NO_ERROR);
  DWORD low = SetFilePointer(H(handle_), 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return -1;
  return (int64_t(high) << 32) | low;
}

int64_t File::Size() const {
  if (!IsOpen()) return -1;
  DWORD high = 0;
  SetLastError(NO_ERROR);
  DWORD low = GetFileSize(H(handle_), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return -1;
  return (int64_t(high) << 32) | low;
}

uint32_t File::SetDosTime(uint32_t dosDateTime) {
  FILETIME local, utc;
  if (!DosDateTimeToFileTime(HIWORD(dosDateTime), LOWORD(dosDateTime), &local) ||
      !LocalFileTimeToFileTime(&local, &utc) ||
      !SetFileTime(H(handle_), nullptr, nullptr, &utc))
    return GetLastError() ? GetLastError() : ERROR_INVALID_PARAMETER;
  return 0;
}

uint32_t File::GetDosTime() const {
  FILETIME utc;
  if (!IsOpen() || !GetFileTime(H(handle_), nullptr, nullptr, &utc)) return 0;
  const uint64_t ticks = uint64_t(utc.dwHighDateTime) << 32 | utc.dwLowDateTime;
  return DosTimeOfSeconds(int64_t(ticks / 10000000u) - From1601);
}

uint32_t DosTimeOfSeconds(int64_t seconds) {
  if (seconds < -From1601) return FirstDosTime;
  if (seconds > INT64_MAX / 10000000 - From1601) return LastDosTime;
  ULARGE_INTEGER ticks;
  ticks.QuadPart = uint64_t(seconds + From1601) * 10000000u;
  FILETIME utc = {ticks.LowPart, ticks.HighPart}, local;
  SYSTEMTIME t;
  // Both fail only far beyond the DOS range (past the year 30000).
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &t))
    return LastDosTime;
  return DosTimeOf({t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond});
}

uint32_t GetAttributes(const std::string& path) { return GetFileAttributesA(path.c_str()); }

bool SetAttributes(const std::string& path, uint32_t attributes) {
  return SetFileAttributesA(path.c_str(), attributes) != FALSE;
}

bool RemoveFile(const std::string& path) { return DeleteFileA(path.c_str()) != FALSE; }

bool RemoveLink(const std::string& path) {
  // Removing a directory link or junction removes the link; the folder it
  // points to and its contents stay.
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !NameIsLink(path)) return false;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryA(path.c_str()) != FALSE;
  return DeleteFileA(path.c_str()) != FALSE;
}

bool MakeDirectory(const std::string& path) {
  return CreateDirectoryA(path.c_str(), nullptr) != FALSE;
}

std::string CurrentDir() {
  char buffer[MAX_PATH];
  DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
  return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

std::string ModulePath() {
  char buffer[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}

}  // namespace fileio
