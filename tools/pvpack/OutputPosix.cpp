// Result files on POSIX: the temporary file is made with O_EXCL in the
// target's folder, held open by descriptor, and renamed over the target
// with renameat, which replaces a link at the target's name rather than
// what it points to.
#include "tools/pvpack/Output.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

namespace pvpack {
namespace {

// The temporary file a signal handler removes: the one being written, as
// a command writes one result at a time.
volatile sig_atomic_t armed = 0;
int armedFolder = -1;
char armedName[256];

void OnSignal(int signal) {
  if (armed) unlinkat(armedFolder, armedName, 0);
  // Ended by the signal as it would have been without this handler; it
  // stays blocked until the handler returns.
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void CatchSignals() {
  static bool caught = false;
  if (caught) return;
  caught = true;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old = {};
    // One ignored from the start (nohup) stays ignored.
    if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

// Holds the signals back on this thread while it lives: between making the
// temporary file and arming the handler with its name, an interruption
// would leave it behind.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, signal);
    pthread_sigmask(SIG_BLOCK, &held, &before_);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t before_;
};

FileId IdOfStat(const struct stat& st) {
  FileId id;
  id.volume = uint64_t(st.st_dev);
  id.index = uint64_t(st.st_ino);
  id.valid = true;
  return id;
}

}  // namespace

FileId IdOf(std::FILE* file) {
  struct stat st;
  if (!file || fstat(fileno(file), &st) != 0) return {};
  return IdOfStat(st);
}

std::string ErrnoReason(int error) { return std::strerror(error); }
std::string SystemReason() { return ErrnoReason(errno); }

bool Output::Open(const std::string& path, const std::vector<InputFile>& inputs, Fault& fault) {
  Abandon();
  path_ = path;
  shown_ = path == "-" ? "standard output" : path;
  if (path == "-") return OpenStdout(isatty(1), inputs, fault);
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    fault = {path, "a folder, not a file"};
    return false;
  }
  folder_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_ < 0) {
    fault = {path, "cannot write in " + folder + " (" + SystemReason() + ")"};
    return false;
  }
  struct stat st;
  mode_t mode = 0;  // the old target's permissions, which the new one keeps
  if (fstatat(folder_, name.c_str(), &st, 0) == 0) {
    mode = st.st_mode & 07777;
    if (S_ISDIR(st.st_mode)) {
      fault = {path, "a folder, not a file"};
      return false;
    }
    if (!NoneOf(IdOfStat(st), inputs, path, fault)) return false;
  }
  // A name of its own beside the target, made new: nothing that stands
  // there (a link planted by someone else) is opened.
  CatchSignals();
  SignalsHeld held;
  static unsigned serial = 0;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    char temp[128];
    std::snprintf(temp, sizeof temp, ".%.100s.pvpack-%08x", name.c_str(),
                  unsigned(getpid()) * 2654435761u ^ unsigned(std::time(nullptr)) ^ ++serial * 40503u);
    temp_ = temp;
    fd = openat(folder_, temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    fault = {path, "cannot write a temporary file in " + folder + " (" + SystemReason() + ")"};
    temp_.clear();
    return false;
  }
  if (mode) fchmod(fd, mode);
  std::memcpy(armedName, temp_.c_str(), temp_.size() + 1);
  armedFolder = folder_;
  std::atomic_signal_fence(std::memory_order_seq_cst);  // name and folder first
  armed = 1;
  stream_ = fdopen(fd, "wb");
  if (!stream_) {
    fault = {path, "cannot write (" + SystemReason() + ")"};
    close(fd);
    Abandon();
    return false;
  }
  return true;
}

bool Output::Commit(Fault& fault) {
  if (bool ok; CommitWithoutFile(fault, ok)) return ok;
  bool ok = std::fflush(stream_) == 0 && fsync(fileno(stream_)) == 0;
  int error = errno;
  if (std::fclose(stream_) != 0 && ok) {
    ok = false;
    error = errno;
  }
  stream_ = nullptr;
  const std::string name = path_.substr(path_.find_last_of('/') + 1);
  if (ok && renameat(folder_, temp_.c_str(), folder_, name.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    fault = {path_, "cannot write (" + ErrnoReason(error) + ")"};
    Abandon();
    return false;
  }
  armed = 0;
  temp_.clear();
  fsync(folder_);  // the rename itself on disk
  close(folder_);
  folder_ = -1;
  return true;
}

void Output::Abandon() {
  CloseStream();
  if (!temp_.empty()) unlinkat(folder_, temp_.c_str(), 0);
  armed = 0;
  temp_.clear();
  if (folder_ >= 0) close(folder_);
  folder_ = -1;
}

}  // namespace pvpack
