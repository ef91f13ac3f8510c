// The file layer on the Win32 ANSI API.
#include <windows.h>

#include "archive/FileIo.h"

namespace fileio {
namespace {

HANDLE H(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Links, junctions and other reparse points came with Windows 2000; older
// systems reject the flag that opens one instead of its target.
bool SystemHasLinks() {
  OSVERSIONINFOA version = {};
  version.dwOSVersionInfoSize = sizeof version;
  return GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
         version.dwMajorVersion >= 5;
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
      !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      bool(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == isDirectory)
    return h;
  CloseHandle(h);
  SetLastError(ERROR_CANT_ACCESS_FILE);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

FaultProc InjectFault = nullptr;

bool File::Open(const std::string& path, OpenMode mode) {
  Close();
  DWORD access = GENERIC_READ | GENERIC_WRITE;
  DWORD disposition = OPEN_EXISTING;
  if (mode == OpenMode::ReadShared) access = GENERIC_READ;
  if (mode == OpenMode::Create) disposition = CREATE_ALWAYS;
  HANDLE h = OpenObject(path, access, disposition, FILE_ATTRIBUTE_NORMAL,
                        mode != OpenMode::ReadShared, false);
  handle_ = reinterpret_cast<intptr_t>(h);
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
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) Close();
  return IsOpen();
}

bool File::Close() {
  if (!IsOpen()) return false;
  BOOL ok = CloseHandle(H(handle_));
  handle_ = Invalid;
  return ok != FALSE;
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
  FILETIME utc, local;
  WORD date = 0, time = 0;
  if (!IsOpen() || !GetFileTime(H(handle_), nullptr, nullptr, &utc) ||
      !FileTimeToLocalFileTime(&utc, &local))
    return 0;
  if (!FileTimeToDosDateTime(&local, &date, &time)) return (1u << 5 | 1u) << 16;
  return uint32_t(date) << 16 | time;
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
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return false;
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
