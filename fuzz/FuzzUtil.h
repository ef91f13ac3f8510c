// Helpers shared by the libFuzzer targets that work on files.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <signal.h>
#include <unistd.h>

#include "archive/Format.h"

// The sanitizers' report channel stays open when the fuzzer discards the
// targets' own output (-close_fd_mask). Absent without sanitizers.
extern "C" void __sanitizer_report_error_summary(const char* summary) __attribute__((weak));

namespace fuzz {

namespace fs = std::filesystem;

inline void Check(bool condition, const char* what) {
  if (condition) return;
  std::string line = std::string("fuzz: ") + what;
  if (__sanitizer_report_error_summary) __sanitizer_report_error_summary(line.c_str());
  else std::fprintf(stderr, "%s\n", line.c_str());
  std::abort();
}

// The names directly inside dir.
inline std::vector<std::string> Entries(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  return names;
}

// Removes a tree, first making its folders writable: a read-only folder
// made from a record would stop the clean-up.
inline void RemoveTree(const fs::path& dir) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_directory(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(dir, ec);
}

// This process's private scratch folder, removed when the process ends. In
// a memory file system where there is one: creating and removing files for
// every input costs milliseconds on a disk. A crash or an interrupt ends a
// fuzzer without clean-up, so the folders of processes that are gone are
// removed here.
inline const fs::path& ScratchRoot() {
  struct Root {
    fs::path path;
    Root() {
      std::error_code ec;
      fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
      for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
        int pid = 0;
        if (std::sscanf(it->path().filename().c_str(), "pvfuzz-%d-", &pid) == 1 && pid > 0 &&
            kill(pid, 0) != 0 && errno == ESRCH)
          RemoveTree(it->path());
      }
      std::string pattern = (base / ("pvfuzz-" + std::to_string(getpid()) + "-XXXXXX")).string();
      Check(mkdtemp(pattern.data()) != nullptr, "cannot make a scratch folder");
      path = pattern;
    }
    ~Root() { RemoveTree(path); }
  };
  static Root root;
  return root.path;
}

inline void WriteBytes(const fs::path& path, const std::vector<uint8_t>& data) {
  FILE* f = std::fopen(path.string().c_str(), "wb");
  Check(f && std::fwrite(data.data(), 1, data.size(), f) == data.size() && std::fclose(f) == 0,
        "cannot write a scratch file");
}

// Takes the bytes of file from offset from on as a plain archive body:
// scrambles them from the empty key and appends their trailer, so that
// mutations of the body reach the records instead of failing the check.
inline void Seal(std::vector<uint8_t>& file, size_t from) {
  BodySeal seal;
  seal.Seal(file.data() + from, file.size() - from);
  seal.AppendTrailer(file);
}

}  // namespace fuzz
