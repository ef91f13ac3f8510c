// Result files on Windows: the temporary file is made with CREATE_NEW in
// the target's folder and moved over the target with MoveFileExA, which
// replaces a link at the target's name rather than what it points to. It
// is shared for deletion only, so that a console control handler, which
// runs on a thread of its own while the file is written, can delete it: it
// goes as the process ends and closes it.
#include "tools/pvpack/Output.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

namespace pvpack {
namespace {

// The temporary file the control handler deletes: the one being written,
// as a command writes one result at a time.
volatile LONG armed = 0;
char armedPath[MAX_PATH * 2];

BOOL WINAPI OnControl(DWORD) {
  if (armed) DeleteFileA(armedPath);
  // Ended as the system's own handler ends a process on Ctrl-C, by status
  // too, which Wine's would give as 0, a success.
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

FileId IdOfHandle(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return {};
  FileId id;
  id.volume = info.dwVolumeSerialNumber;
  id.index = uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  id.valid = true;
  return id;
}

// The file at path, past links; invalid when nothing can be opened there.
FileId IdOfPath(const std::string& path, bool& isFolder) {
  HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {};
  BY_HANDLE_FILE_INFORMATION info;
  isFolder = GetFileInformationByHandle(handle, &info) &&
             (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  const FileId id = IdOfHandle(handle);
  CloseHandle(handle);
  return id;
}

}  // namespace

FileId IdOf(std::FILE* file) {
  if (!file) return {};
  return IdOfHandle(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))));
}

std::string ErrnoReason(int error) { return std::strerror(error); }

std::string SystemReason() {
  const DWORD error = GetLastError();
  char* text = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string reason = n && text ? std::string(text, n) : "error " + std::to_string(error);
  if (text) LocalFree(text);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                             reason.back() == ' ' || reason.back() == '.'))
    reason.pop_back();
  return reason;
}

bool Output::Open(const std::string& path, const std::vector<InputFile>& inputs, Fault& fault) {
  Abandon();
  path_ = path;
  shown_ = path == "-" ? "standard output" : path;
  if (path == "-") {
    if (!OpenStdout(_isatty(_fileno(stdout)), inputs, fault)) return false;
    _setmode(_fileno(stdout), _O_BINARY);
    return true;
  }
  const size_t slash = path.find_last_of("\\/");
  std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  if (slash == std::string::npos && path.size() >= 2 && path[1] == ':') folder = path.substr(0, 2);
  const std::string name = path.substr(folder.size());
  if (name.empty() || name == "." || name == "..") {
    fault = {path, "a folder, not a file"};
    return false;
  }
  bool isFolder = false;
  const FileId id = IdOfPath(path, isFolder);
  if (isFolder) {
    fault = {path, "a folder, not a file"};
    return false;
  }
  if (!NoneOf(id, inputs, path, fault)) return false;
  static bool handlerSet = false;
  if (!handlerSet) handlerSet = SetConsoleCtrlHandler(OnControl, TRUE) != 0;
  static unsigned serial = 0;
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (int attempt = 0; handle == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, "pvpack-%08lx.tmp",
                  GetCurrentProcessId() * 2654435761u ^ GetTickCount() ^ ++serial * 40503u);
    temp_ = folder + suffix;
    if (temp_.size() >= sizeof armedPath) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      break;
    }
    // Armed before the file is made, as the control handler runs on a
    // thread of its own and may come at any time.
    std::memcpy(armedPath, temp_.c_str(), temp_.size() + 1);
    InterlockedExchange(&armed, 1);
    // CREATE_NEW: nothing that stands at the name (a planted link) is opened.
    handle = CreateFileA(temp_.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) InterlockedExchange(&armed, 0);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
        GetLastError() != ERROR_ALREADY_EXISTS)
      break;
  }
  if (handle == INVALID_HANDLE_VALUE) {
    fault = {path, "cannot write a temporary file in " + (folder.empty() ? std::string(".") : folder) +
                       " (" + SystemReason() + ")"};
    temp_.clear();
    return false;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  stream_ = fd < 0 ? nullptr : _fdopen(fd, "wb");
  if (!stream_) {
    if (fd >= 0) _close(fd);
    fault = {path, "cannot write (" + ErrnoReason(errno) + ")"};
    Abandon();
    return false;
  }
  return true;
}

bool Output::Commit(Fault& fault) {
  if (bool ok; CommitWithoutFile(fault, ok)) return ok;
  std::string reason;
  if (std::fflush(stream_) != 0) reason = ErrnoReason(errno);
  else if (!FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream_)))))
    reason = SystemReason();
  if (std::fclose(stream_) != 0 && reason.empty()) reason = ErrnoReason(errno);
  stream_ = nullptr;
  if (reason.empty() &&
      !MoveFileExA(temp_.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    reason = SystemReason();
  if (!reason.empty()) {
    fault = {path_, "cannot write (" + reason + ")"};
    Abandon();
    return false;
  }
  InterlockedExchange(&armed, 0);
  temp_.clear();
  return true;
}

void Output::Abandon() {
  CloseStream();
  if (!temp_.empty()) DeleteFileA(temp_.c_str());
  InterlockedExchange(&armed, 0);
  temp_.clear();
}

}  // namespace pvpack
