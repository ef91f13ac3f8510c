#include "tests/common/TestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace testutil {

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  for (;;) {
    fs::path candidate = fs::temp_directory_path() /
                         ("pvtest-" + std::to_string(rd()) + "-" + std::to_string(counter++));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  // Clear read-only files first: on Windows they cannot be removed otherwise.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it); it.increment(ec))
    fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

void WriteFile(const fs::path& path, const std::string& text) {
  WriteFile(path, Bytes(text.begin(), text.end()));
}

fs::path SourceDir() {
  const char* dir = std::getenv("PV_SOURCE_DIR");
  return dir ? fs::path(dir) : fs::current_path();
}

}  // namespace testutil
