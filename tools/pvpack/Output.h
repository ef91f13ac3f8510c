// The one way pvpack's commands write a result file (an archive, a setup, a
// stream): into a new temporary file beside the target, flushed to disk and
// renamed over the target only when it is whole. Whatever goes wrong before
// that, an interruption included (SIGINT, SIGTERM, SIGHUP; Ctrl-C or a
// closed console on Windows), the temporary file goes and the old target
// stays as it was. A target that is a link is replaced as a name, never
// written through. Beside it, the check that no output is one of the
// command's own inputs.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/pvpack/Pack.h"

namespace pvpack {

using pack::Fault;

// Which file something is on this machine: device and inode, or on Windows
// volume serial number and file index. valid is false when it cannot be told.
struct FileId {
  uint64_t volume = 0, index = 0;
  bool valid = false;
  bool operator==(const FileId& other) const {
    return valid && other.valid && volume == other.volume && index == other.index;
  }
};

// The file an open stream reads or writes.
FileId IdOf(std::FILE* file);

// An input of a command, for the check that no output overwrites it.
struct InputFile {
  FileId id;
  std::string shown;  // its name in messages
};

// The system's words for error number error (errno), and for the last
// failure of a system call on this thread (errno on POSIX, GetLastError on
// Windows).
std::string ErrnoReason(int error);
std::string SystemReason();

class Output {
 public:
  Output() = default;
  ~Output() { Abandon(); }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Opens path to be written: "-" is standard output, refused when it is a
  // terminal (binary data would only garble it); anything else a new
  // temporary file in path's folder. Refuses, before anything is written,
  // an output that is one of inputs (directly or through a link) and a
  // folder. False with fault naming path (or the input) and the reason.
  bool Open(const std::string& path, const std::vector<InputFile>& inputs, Fault& fault);

  // The stream to write to while open, else null.
  std::FILE* Stream() const { return stream_; }
  // The name of the output in messages.
  const std::string& Shown() const { return shown_; }

  // Flushes what is written to disk and puts it in the target's place.
  // False, with fault naming the target and the reason, when it cannot; the
  // temporary file is gone then and the target as it was.
  bool Commit(Fault& fault);

  // Drops what is written: the temporary file goes, the target stays.
  void Abandon();

 private:
  // Commit's part that does not depend on the system: no stream open, or
  // standard output flushed. True when it settled the result (in ok);
  // false for a file, which the system's part puts in place.
  bool CommitWithoutFile(Fault& fault, bool& ok) {
    ok = false;
    if (!stream_) {
      fault = {shown_, "cannot write: not open"};
      return true;
    }
    if (!isStdout_) return false;
    stream_ = nullptr;
    isStdout_ = false;
    ok = std::fflush(stdout) == 0;
    if (!ok) fault = {shown_, "cannot write (" + ErrnoReason(errno) + ")"};
    return true;
  }

  // False, with fault naming shown, when id is one of inputs, which the
  // output would destroy.
  static bool NoneOf(const FileId& id, const std::vector<InputFile>& inputs,
                     const std::string& shown, Fault& fault) {
    for (const InputFile& input : inputs)
      if (id == input.id) {
        fault = {shown, "the same file as " + input.shown + ", which it would destroy"};
        return false;
      }
    return true;
  }

  // Open's part for standard output: taken as the stream unless it is a
  // terminal (isTerminal) or one of inputs.
  bool OpenStdout(bool isTerminal, const std::vector<InputFile>& inputs, Fault& fault) {
    if (isTerminal) {
      fault = {shown_, "a terminal; redirect it to a file or a pipe"};
      return false;
    }
    if (!NoneOf(IdOf(stdout), inputs, shown_, fault)) return false;
    stream_ = stdout;
    isStdout_ = true;
    return true;
  }

  // Lets go of the stream: a temporary file's is closed, standard output
  // is left open for the process.
  void CloseStream() {
    if (stream_ && !isStdout_) std::fclose(stream_);
    stream_ = nullptr;
    isStdout_ = false;
  }

  std::FILE* stream_ = nullptr;
  bool isStdout_ = false;
  std::string path_;   // the target
  std::string shown_;
  std::string temp_;   // the temporary file's name: in folder_ on POSIX, a full path on Windows
#ifndef _WIN32
  int folder_ = -1;    // the target's folder, held: the temporary file and the rename act in it
#endif
};

}  // namespace pvpack
