// The file layer on the Win32 ANSI API. Calls that came after Windows 95
// (acting on a file through its handle, reparse tags) are looked up at run
// time, so the program still starts on the oldest systems it supports.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/FileIo.h"
#include "archive/Format.h"
#include "winbase/Handles.h"
#include "winbase/Security.h"
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

// Asks NT for one class of information on the file h refers to
// (NtQueryInformationFile). False on failure or on Windows 9x.
bool QueryNt(HANDLE h, int ntClass, void* info, ULONG size) {
  if (!System().nt) return false;
  auto ntQuery = SystemFunction<NtInfoProc>("ntdll.dll", "NtQueryInformationFile");
  IoStatus io = {};
  return ntQuery && ntQuery(h, &io, info, size, ntClass) >= 0;
}

constexpr int NtStandard = 5, NtInternal = 6;
struct StandardInfo {  // FILE_STANDARD_INFORMATION
  int64_t allocation = 0, endOfFile = 0;
  uint32_t links = 0;
  uint8_t deletePending = 0, directory = 0;
};
static_assert(sizeof(StandardInfo) == 24);

// The attribute bits of the object h refers to, or InvalidAttributes. One
// query of its own: GetFileInformationByHandle also asks the volume for its
// serial number, which Wine's mount manager answers from another process,
// a round trip that costs more than writing a small file.
DWORD AttributesOf(HANDLE h) {
  BasicInfo basic;
  if (QueryNt(h, NtBasic, &basic, sizeof basic)) return basic.attributes;
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(h, &info) ? info.dwFileAttributes : INVALID_FILE_ATTRIBUTES;
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

static_assert(IsLinkTag(TagMountPoint) && IsLinkTag(TagSymlink));

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

// ---- Opening relative to a held folder, through the native calls of NT.
// ntdll is mapped into every NT process before its first instruction, so
// finding its functions here loads nothing and searches no folder; the
// file layer needs no loader of its own, nor one from above it.

template <typename Function>
Function NtFunction(const char* name) {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll ? reinterpret_cast<Function>(
                     reinterpret_cast<void (*)()>(GetProcAddress(ntdll, name)))
               : nullptr;
}

struct NtName {  // UNICODE_STRING
  USHORT length = 0, maximumLength = 0;  // in bytes
  const wchar_t* buffer = nullptr;
};
struct NtObject {  // OBJECT_ATTRIBUTES
  ULONG length = sizeof(NtObject);
  HANDLE root = nullptr;
  NtName* name = nullptr;
  ULONG attributes = 0x40;  // OBJ_CASE_INSENSITIVE, as Win32 opens
  void* security = nullptr;
  void* quality = nullptr;
};
struct IdBothDirInfo {  // FILE_ID_BOTH_DIR_INFORMATION
  ULONG next, fileIndex;
  int64_t creation, access, write, change, endOfFile, allocation;
  ULONG attributes, nameLength;
  ULONG eaSize;  // the reparse tag of a reparse point
  CHAR shortNameLength;
  wchar_t shortName[12];
  int64_t fileId;
  wchar_t name[1];
};
static_assert(offsetof(IdBothDirInfo, attributes) == 56 && offsetof(IdBothDirInfo, fileId) == 96);
constexpr int NtIdBothDirectoryInformation = 37;

using NtCreateFileProc = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, NtObject*, IoStatus*, LARGE_INTEGER*,
                                      ULONG attributes, ULONG share, ULONG disposition,
                                      ULONG options, void* ea, ULONG eaLength);
using NtQueryDirectoryProc = LONG(NTAPI*)(HANDLE, HANDLE event, void* apc, void* apcContext,
                                          IoStatus*, void* info, ULONG length, int infoClass,
                                          BOOLEAN single, NtName* mask, BOOLEAN restart);
using NtStatusToErrorProc = ULONG(NTAPI*)(LONG);

constexpr DWORD ShareAllNt = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// name in the folder named dir, which may end in a separator (a drive's
// root, a folder as the user typed it).
std::string Below(const std::string& dir, const std::string& name) {
  return !dir.empty() && dir.back() == '\\' ? dir + name : dir + "\\" + name;
}

// One level of a path: what OpenAt and friends take.
bool IsLevelName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string::npos;
}

// name in the code page the ANSI file calls use.
std::wstring Wide(const std::string& name) {
  const UINT codePage = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  const int n = MultiByteToWideChar(codePage, 0, name.data(), int(name.size()), nullptr, 0);
  std::wstring wide(size_t(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(codePage, 0, name.data(), int(name.size()), wide.data(), n);
  return wide;
}

// Opens name relative to the object root refers to (an empty name: that
// object once more), for synchronous I/O as the Win32 calls do. The handle,
// or INVALID_HANDLE_VALUE with the last error set.
HANDLE OpenRelative(HANDLE root, const std::wstring& name, ACCESS_MASK access, DWORD share,
                    DWORD disposition, DWORD options, void* security = nullptr) {
  static const auto create = NtFunction<NtCreateFileProc>("NtCreateFile");
  static const auto toError = NtFunction<NtStatusToErrorProc>("RtlNtStatusToDosError");
  if (!create || !toError || name.size() > 32767) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return INVALID_HANDLE_VALUE;
  }
  NtName text;
  text.length = text.maximumLength = USHORT(name.size() * sizeof(wchar_t));
  text.buffer = name.c_str();
  NtObject object;
  object.root = root;
  object.name = &text;
  object.security = security;
  IoStatus io = {};
  HANDLE h = nullptr;
  const LONG status = create(&h, access | SYNCHRONIZE, &object, &io, nullptr,
                            FILE_ATTRIBUTE_NORMAL, share, disposition,
                            options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (status < 0) {
    SetLastError(toError(status));
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

// True where opening a link's own object is not supported: Wine opens the
// target of a Unix link even when asked for the link itself (and deleting
// that handle deletes the target). There the handle cannot tell, and only
// the folder's listing still shows what stands at a name.
bool OpensLinkTargets() {
  static const bool wine = NtFunction<void (*)()>("wine_get_version") != nullptr;
  return wine;
}

// True when the entry name of the folder dir holds, as the folder's listing
// shows it, is no link and is the object h refers to: a link swapped in
// before the open and out again before this look still shows, as another
// object.
bool ListedAsItself(HANDLE dir, const std::wstring& name, HANDLE h) {
  static const auto query = NtFunction<NtQueryDirectoryProc>("NtQueryDirectoryFile");
  int64_t index = 0;  // FILE_INTERNAL_INFORMATION: the number the listing gives as fileId
  if (!query || !QueryNt(h, NtInternal, &index, sizeof index)) return false;
  // A handle of its own: the system keeps the first pattern a folder
  // handle is asked with.
  handles::UniqueFile listing(OpenRelative(dir, L"", FILE_LIST_DIRECTORY, ShareAllNt, FILE_OPEN,
                                           FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT));
  if (!listing) return false;
  union {
    IdBothDirInfo entry;
    uint8_t bytes[sizeof(IdBothDirInfo) + 2 * MAX_PATH];
  } found;
  NtName pattern;
  pattern.length = pattern.maximumLength = USHORT(name.size() * sizeof(wchar_t));
  pattern.buffer = name.c_str();
  IoStatus io = {};
  return query(listing.get(), nullptr, nullptr, nullptr, &io, &found, sizeof found,
               NtIdBothDirectoryInformation, TRUE, &pattern, TRUE) >= 0 &&
         !((found.entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           IsLinkTag(found.entry.eaSize)) &&
         found.entry.fileId == index;
}

// True when the handle refers to a link itself.
bool HandleIsLink(HANDLE h) {
  const DWORD attributes = AttributesOf(h);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         IsLinkTag(ReparseTag(h));
}

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
      AccessList security;
      if (System().nt && !security.Make(AccessList::Kind::Private)) break;
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

bool File::OpenAt(const File& dir, const std::string& name, OpenMode mode) {
  Close();
  if (!IsLevelName(name)) return false;
  // Windows 9x has no links, and no calls that open relative to a folder.
  if (!System().nt) return Open(Below(dir.path_, name), mode);
  if (!dir.IsOpen()) return false;
  path_ = Below(dir.path_, name);
  if (mode == OpenMode::Private) {
    // As Open makes it: new, shared with nobody, for administrators and the
    // system alone, and gone when the last handle goes.
    AccessList security;
    if (!security.Make(AccessList::Kind::Private)) return false;
    handle_ = reinterpret_cast<intptr_t>(OpenRelative(
        H(dir.handle_), Wide(name), GENERIC_READ | GENERIC_WRITE | DELETE, 0, FILE_CREATE,
        FILE_NON_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE,
        security.Attributes()->lpSecurityDescriptor));
    return IsOpen();
  }
  const DWORD itself = SystemHasLinks() ? FILE_OPEN_REPARSE_POINT : 0;
  const DWORD readWrite = GENERIC_READ | GENERIC_WRITE;
  const DWORD attributes = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
  const DWORD shareRW = FILE_SHARE_READ | FILE_SHARE_WRITE;
  struct Way {
    ACCESS_MASK access;
    DWORD share, disposition, options;
    bool noLinks;  // fails on a link; else the link itself is opened
  };
  Way way = {};
  switch (mode) {
    case OpenMode::ReadShared:
      way = {GENERIC_READ, shareRW, FILE_OPEN, FILE_NON_DIRECTORY_FILE, false};
      break;
    case OpenMode::ReadHeld:
      way = {GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE, false};
      break;
    case OpenMode::ReadWrite:
      way = {readWrite, shareRW, FILE_OPEN, FILE_NON_DIRECTORY_FILE | itself, true};
      break;
    case OpenMode::Create:
      way = {readWrite, shareRW, FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE | itself, true};
      break;
    case OpenMode::CreateNew:  // fails on whatever stands at the name, a link included
      way = {readWrite, FILE_SHARE_READ, FILE_CREATE, FILE_NON_DIRECTORY_FILE, false};
      break;
    case OpenMode::Inspect:
      way = {DELETE | attributes, ShareAllNt, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT | itself, false};
      break;
    case OpenMode::Attributes:
    case OpenMode::Private:  // made above
      way = {attributes, ShareAllNt, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT | itself, false};
      break;
  }
  const std::wstring wide = Wide(name);
  handle_ = reinterpret_cast<intptr_t>(
      OpenRelative(H(dir.handle_), wide, way.access, way.share, way.disposition, way.options));
  if (!IsOpen() || mode == OpenMode::CreateNew) return IsOpen();
  // A link opened as itself is refused where the mode writes; one the
  // system followed all the same is refused in every mode.
  const bool link = HandleIsLink(H(handle_));
  if ((link && way.noLinks) ||
      (OpensLinkTargets() && !ListedAsItself(H(dir.handle_), wide, H(handle_)))) {
    Close();
    SetLastError(ERROR_CANT_ACCESS_FILE);
  }
  return IsOpen();
}

bool File::OpenDirectoryAt(const File& dir, const std::string& name) {
  Close();
  if (!IsLevelName(name)) return false;
  if (!System().nt) return OpenDirectory(Below(dir.path_, name));
  if (!dir.IsOpen()) return false;
  path_ = Below(dir.path_, name);
  // Reading access, and no sharing of deletion, as OpenDirectory holds.
  const std::wstring wide = Wide(name);
  handle_ = reinterpret_cast<intptr_t>(OpenRelative(
      H(dir.handle_), wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
      FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT |
          (SystemHasLinks() ? FILE_OPEN_REPARSE_POINT : 0)));
  if (IsOpen() && (HandleIsLink(H(handle_)) ||
                   (OpensLinkTargets() && !ListedAsItself(H(dir.handle_), wide, H(handle_))))) {
    Close();
    SetLastError(ERROR_CANT_ACCESS_FILE);
  }
  return IsOpen();
}

bool File::NewDirectoryAt(const File& dir, const std::string& name) {
  Close();
  if (!IsLevelName(name)) return false;
  if (!System().nt)
    return MakeDirectory(Below(dir.path_, name)) && OpenDirectory(Below(dir.path_, name));
  if (!dir.IsOpen()) return false;
  path_ = Below(dir.path_, name);
  // Made new and opened by the same call, with the access and sharing
  // OpenDirectoryAt holds a folder with: no link can stand in its place.
  const std::wstring wide = Wide(name);
  handle_ = reinterpret_cast<intptr_t>(OpenRelative(
      H(dir.handle_), wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
      FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT));
  // Wine makes the folder, then opens it by its name: the listing tells
  // whether what it opened is the folder made.
  if (IsOpen() && OpensLinkTargets() && !ListedAsItself(H(dir.handle_), wide, H(handle_))) {
    Close();
    SetLastError(ERROR_CANT_ACCESS_FILE);
  }
  return IsOpen();
}

bool File::Reopen(const File& file) {
  Close();
  path_ = file.path_;
  if (!System().nt) return Open(file.path_, OpenMode::Attributes);
  if (file.IsOpen())
    handle_ = reinterpret_cast<intptr_t>(
        OpenRelative(H(file.handle_), L"", FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                     ShareAllNt, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT));
  return IsOpen();
}

bool File::OpenDirectory(const std::string& path) {
  Close();
  path_ = path;
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
  path_ = path;
  if (!System().nt) {  // Windows 9x opens no folders
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
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
  if (!IsOpen()) return false;
  // NT: the two classes that say what is asked, not the volume (see
  // AttributesOf).
  BasicInfo basic;
  StandardInfo standard;
  if (QueryNt(H(handle_), NtBasic, &basic, sizeof basic) &&
      QueryNt(H(handle_), NtStandard, &standard, sizeof standard)) {
    facts->attributes = basic.attributes;
    facts->links = standard.links;
  } else {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(H(handle_), &info)) return false;
    facts->attributes = info.dwFileAttributes;
    facts->links = info.nNumberOfLinks;
  }
  facts->isLink =
      (facts->attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkTag(ReparseTag(H(handle_)));
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

bool MakeDirectoryAt(const File& dir, const std::string& name) {
  if (!IsLevelName(name)) return false;
  if (!System().nt) return MakeDirectory(Below(dir.path_, name));
  if (!dir.IsOpen()) return false;
  handles::UniqueFile made(OpenRelative(H(dir.handle_), Wide(name), FILE_LIST_DIRECTORY,
                                        ShareAllNt, FILE_CREATE,
                                        FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT));
  return bool(made);
}

bool RemoveLinkAt(const File& dir, const std::string& name) {
  File link;
  FileFacts facts;
  // Opened as itself, a link is seen as one; where the system would follow
  // it instead, the open fails and the link stays.
  return SystemHasLinks() && link.OpenAt(dir, name, OpenMode::Inspect) && link.Facts(&facts) &&
         facts.isLink && link.Delete();
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
