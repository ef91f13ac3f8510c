// A scratch folder for the tests and the benchmarks.
#pragma once

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace scratch {

// A fresh, empty folder below the system's temporary folder, removed with
// everything in it when the object goes. path() is empty when no folder
// could be made (no temporary folder, or no room in it).
class TempDir {
 public:
  TempDir() {
    namespace fs = std::filesystem;
    static std::atomic<unsigned> counter{0};
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) return;
    // A random name, so that runs side by side (several test processes, or
    // a test and a benchmark) do not meet; a name taken is simply redrawn,
    // a bounded number of times in case the folder refuses every one.
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
      fs::path candidate =
          base / ("pvtmp-" + std::to_string(rd()) + "-" + std::to_string(counter++));
      if (fs::create_directory(candidate, ec)) {
        path_ = std::move(candidate);
        return;
      }
    }
  }
  ~TempDir() {
    namespace fs = std::filesystem;
    if (path_.empty()) return;
    std::error_code ec;
    // Clear read-only files first: on Windows they cannot be removed otherwise.
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
         it.increment(ec))
      fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The folder as the code under test takes it: a native path string.
  std::string str() const { return path_.string(); }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace scratch
