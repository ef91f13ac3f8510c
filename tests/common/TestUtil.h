// Helpers shared by the tests: scratch folders and whole-file I/O.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testutil {

using Bytes = std::vector<uint8_t>;

// A fresh, empty folder below the system's temporary folder, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The folder as the code under test takes it: a native path string.
  std::string str() const { return path_.string(); }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

Bytes ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const Bytes& data);
void WriteFile(const std::filesystem::path& path, const std::string& text);

// The project's source folder (PV_SOURCE_DIR, set by CTest).
std::filesystem::path SourceDir();

}  // namespace testutil
