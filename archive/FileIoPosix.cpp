// The file layer on POSIX, for the native tools and tests. Windows paths
// become POSIX ones by turning "\" into "/"; the read-only attribute maps to
// the owner's write permission, and DOS times are local times.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <limits>
#include <string>

#include "archive/FileIo.h"
#include "archive/Format.h"

namespace fileio {
namespace {

std::string Native(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

int Fd(intptr_t handle) { return int(handle); }

}  // namespace

FaultProc InjectFault = nullptr;

namespace {

// One level of a path: what OpenAt and friends take.
bool IsLevelName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos;
}

// Opens name relative to the directory descriptor at (AT_FDCWD: a path) in
// mode; -1 on failure. With noFollow even the modes that read may not open
// through a link standing at name.
int OpenIn(int at, const char* name, OpenMode mode, bool noFollow) {
  int flags = O_RDWR | O_NOFOLLOW;
  switch (mode) {
    case OpenMode::ReadShared:
    case OpenMode::ReadHeld:  // POSIX has no sharing modes
      flags = O_RDONLY | (noFollow ? O_NOFOLLOW : 0);
      break;
    case OpenMode::ReadWrite:
      break;
    case OpenMode::Create:
      flags = O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW;
      break;
    case OpenMode::CreateNew:
    case OpenMode::Private:
      flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW;
      break;
    case OpenMode::Inspect:
    case OpenMode::Attributes:
      // The object itself, a link included, for its facts only.
      flags = O_PATH | O_NOFOLLOW;
      break;
  }
  // What stands at the path itself, or a file just created, which can be
  // no directory.
  const bool checked = mode == OpenMode::Inspect || mode == OpenMode::Attributes ||
                       (flags & O_EXCL) != 0;
  int fd = ::openat(at, name, flags | O_CLOEXEC, mode == OpenMode::Private ? 0600 : 0666);
  if (fd >= 0 && !checked) {
    struct stat st;
    // A directory opens for reading on POSIX but is no file here.
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      ::close(fd);
      fd = -1;
    }
  }
  return fd;
}

// The name under which /proc leads to the file behind a descriptor itself,
// whatever its names are now.
std::string ProcName(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace

bool File::Open(const std::string& path, OpenMode mode) {
  Close();
  path_ = path;
  parent_ = Invalid;
  handle_ = OpenIn(AT_FDCWD, Native(path).c_str(), mode, false);
  deleteOnClose_ = IsOpen() && mode == OpenMode::Private;
  return IsOpen();
}

bool File::OpenAt(const File& dir, const std::string& name, OpenMode mode) {
  Close();
  if (!dir.IsOpen() || !IsLevelName(name)) return false;
  path_ = name;
  parent_ = dir.handle_;
  handle_ = OpenIn(Fd(dir.handle_), name.c_str(), mode, true);
  deleteOnClose_ = IsOpen() && mode == OpenMode::Private;
  return IsOpen();
}

bool File::OpenDirectory(const std::string& path) {
  Close();
  path_ = path;
  parent_ = Invalid;
  handle_ = ::open(Native(path).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  return IsOpen();
}

bool File::OpenDirectoryAt(const File& dir, const std::string& name) {
  Close();
  if (!dir.IsOpen() || !IsLevelName(name)) return false;
  path_ = name;
  parent_ = dir.handle_;
  handle_ = ::openat(Fd(dir.handle_), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  return IsOpen();
}

bool File::NewDirectoryAt(const File& dir, const std::string& name) {
  // POSIX cannot make and open a folder at once: opened after, with no
  // link followed, as any folder found standing.
  return MakeDirectoryAt(dir, name) && OpenDirectoryAt(dir, name);
}

bool File::HoldDirectory(const std::string& path) {
  Close();
  path_ = path;
  parent_ = Invalid;
  handle_ = ::open(Native(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return IsOpen();
}

bool File::Reopen(const File& file) {
  Close();
  // No name: nothing here acts on one.
  path_.clear();
  parent_ = Invalid;
  if (file.IsOpen()) handle_ = ::open(ProcName(Fd(file.handle_)).c_str(), O_PATH | O_CLOEXEC);
  return IsOpen();
}

bool File::Close() {
  if (!IsOpen()) return false;
  int r = ::close(Fd(handle_));
  handle_ = Invalid;
  if (deleteOnClose_)
    ::unlinkat(parent_ == Invalid ? AT_FDCWD : Fd(parent_),
               (parent_ == Invalid ? Native(path_) : path_).c_str(), 0);
  deleteOnClose_ = false;
  return r == 0;
}

namespace {

uint32_t AttributesOf(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return AttrDirectory;
  return AttrArchive | ((st.st_mode & S_IWUSR) ? 0 : AttrReadOnly);
}

}  // namespace

bool File::Facts(FileFacts* facts) const {
  struct stat st;
  if (!IsOpen() || ::fstat(Fd(handle_), &st) != 0) return false;
  facts->isLink = S_ISLNK(st.st_mode);
  facts->attributes = facts->isLink ? AttrReparsePoint : AttributesOf(st);
  facts->links = uint32_t(st.st_nlink);
  return true;
}

bool File::SetAttributes(uint32_t attributes) {
  struct stat st;
  if (!IsOpen() || ::fstat(Fd(handle_), &st) != 0 || S_ISLNK(st.st_mode)) return false;
  const mode_t was = st.st_mode & 07777;
  const mode_t mode = (attributes & AttrReadOnly) ? was & ~mode_t(0222) : was | S_IWUSR;
  if (mode == was || ::fchmod(Fd(handle_), mode) == 0) return true;
  // A descriptor that only locates its file (Inspect, Attributes) takes no
  // fchmod; its /proc name leads to that file and no other.
  return errno == EBADF && ::chmod(ProcName(Fd(handle_)).c_str(), mode) == 0;
}

bool File::Delete() {
  if (!IsOpen()) return false;
  // POSIX removes names only by name: the one the file was opened by, in
  // the directory it was opened in, once it is seen to stand for this file.
  // Removing a name never follows a link.
  const int at = parent_ == Invalid ? AT_FDCWD : Fd(parent_);
  const std::string name = parent_ == Invalid ? Native(path_) : path_;
  struct stat st, byName;
  // As on Windows, a read-only file cannot be deleted.
  if (name.empty() || ::fstat(Fd(handle_), &st) != 0 ||
      ::fstatat(at, name.c_str(), &byName, AT_SYMLINK_NOFOLLOW) != 0 ||
      byName.st_dev != st.st_dev || byName.st_ino != st.st_ino ||
      (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR)))
    return false;
  if (::unlinkat(at, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0) return false;
  Close();
  return true;
}

bool File::Read(void* buffer, uint32_t count, uint32_t* got) {
  *got = 0;
  if (!IsOpen() || (InjectFault && InjectFault(false))) return false;
  auto* p = static_cast<char*>(buffer);
  while (*got < count) {
    ssize_t n = ::read(Fd(handle_), p + *got, count - *got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *got = 0;
      return false;
    }
    if (n == 0) break;
    *got += uint32_t(n);
  }
  return true;
}

bool File::Write(const void* buffer, uint32_t count) {
  if (!IsOpen() || (InjectFault && InjectFault(true))) return false;
  auto* p = static_cast<const char*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = ::write(Fd(handle_), p + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += uint32_t(n);
  }
  return true;
}

bool File::Seek(int64_t offset) {
  return IsOpen() && offset >= 0 && ::lseek(Fd(handle_), off_t(offset), SEEK_SET) == off_t(offset);
}

int64_t File::Tell() const {
  return IsOpen() ? int64_t(::lseek(Fd(handle_), 0, SEEK_CUR)) : -1;
}

int64_t File::Size() const {
  struct stat st;
  return IsOpen() && ::fstat(Fd(handle_), &st) == 0 ? int64_t(st.st_size) : -1;
}

uint32_t File::SetDosTime(uint32_t dosDateTime) {
  if (!IsOpen()) return EBADF;
  CivilTime local;
  if (!CivilTimeOf(dosDateTime, local)) return EINVAL;
  struct tm t = {};
  t.tm_year = local.year - 1900;
  t.tm_mon = local.month - 1;
  t.tm_mday = local.day;
  t.tm_hour = local.hour;
  t.tm_min = local.minute;
  t.tm_sec = local.second;
  t.tm_isdst = -1;
  time_t when = mktime(&t);
  if (when == time_t(-1)) return EINVAL;
  struct timespec times[2] = {{0, UTIME_OMIT}, {when, 0}};
  return ::futimens(Fd(handle_), times) == 0 ? 0 : uint32_t(errno);
}

uint32_t File::GetDosTime() const {
  struct stat st;
  if (!IsOpen() || ::fstat(Fd(handle_), &st) != 0) return 0;
  return DosTimeOfSeconds(int64_t(st.st_mtime));
}

uint32_t DosTimeOfSeconds(int64_t seconds) {
  if (seconds > int64_t(std::numeric_limits<time_t>::max())) return LastDosTime;
  const time_t when = time_t(seconds);
  struct tm t;
  // Only a year beyond int fails.
  if (!localtime_r(&when, &t)) return seconds < 0 ? FirstDosTime : LastDosTime;
  return DosTimeOf({t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec});
}

uint32_t GetAttributes(const std::string& path) {
  struct stat st;
  const std::string p = Native(path);
  if (::lstat(p.c_str(), &st) != 0) return InvalidAttributes;
  if (S_ISLNK(st.st_mode))
    return AttrReparsePoint |
           (::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? AttrDirectory : AttrArchive);
  return AttributesOf(st);
}

bool SetAttributes(const std::string& path, uint32_t attributes) {
  std::string p = Native(path);
  struct stat st;
  // A link's own mode cannot be changed here, and its target is not ours to.
  if (::lstat(p.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return false;
  mode_t mode = st.st_mode & 07777;
  mode = (attributes & AttrReadOnly) ? mode & ~mode_t(0222) : mode | S_IWUSR;
  return ::chmod(p.c_str(), mode) == 0;
}

bool RemoveFile(const std::string& path) { return ::unlink(Native(path).c_str()) == 0; }

bool RemoveLink(const std::string& path) {
  struct stat st;
  const std::string p = Native(path);
  return ::lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ::unlink(p.c_str()) == 0;
}

bool MakeDirectory(const std::string& path) { return ::mkdir(Native(path).c_str(), 0777) == 0; }

bool MakeDirectoryAt(const File& dir, const std::string& name) {
  return dir.IsOpen() && IsLevelName(name) && ::mkdirat(Fd(dir.handle_), name.c_str(), 0777) == 0;
}

bool RemoveLinkAt(const File& dir, const std::string& name) {
  struct stat st;
  return dir.IsOpen() && IsLevelName(name) &&
         ::fstatat(Fd(dir.handle_), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISLNK(st.st_mode) && ::unlinkat(Fd(dir.handle_), name.c_str(), 0) == 0;
}

std::string CurrentDir() {
  char buffer[PATH_MAX];
  return ::getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

std::string ModulePath() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  return n > 0 && size_t(n) < sizeof buffer ? std::string(buffer, size_t(n)) : std::string();
}

}  // namespace fileio
