// The file layer on the Win32 ANSI API.
#include <windows.h>

#include "archive/FileIo.h"

namespace fileio {
namespace {

HANDLE H(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

bool File::Open(const std::string& path, OpenMode mode) {
  Close();
  DWORD access = GENERIC_READ | GENERIC_WRITE;
  DWORD disposition = OPEN_EXISTING;
  if (mode == OpenMode::ReadShared) access = GENERIC_READ;
  if (mode == OpenMode::Create) disposition = CREATE_ALWAYS;
  HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  handle_ = reinterpret_cast<intptr_t>(h);
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
  BOOL ok = IsOpen() && ReadFile(H(handle_), buffer, count, &n, nullptr);
  *got = ok ? n : 0;
  return ok != FALSE;
}

bool File::Write(const void* buffer, uint32_t count) {
  DWORD n = 0;
  return IsOpen() && WriteFile(H(handle_), buffer, count, &n, nullptr) && n == count;
}

bool File::Seek(int64_t offset) {
  if (!IsOpen() || offset < 0) return false;
  LONG high = LONG(offset >> 32);
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
