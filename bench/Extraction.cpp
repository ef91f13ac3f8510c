// A whole extraction by the setup program's reader against a plain copy of
// the unpacked tree and against writing the files from memory.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "archive/Archive.h"
#include "archive/FileIo.h"
#include "bench/Bench.h"
#include "tests/common/ExtractAt.h"
#include "tests/common/FileBytes.h"
#include "tools/common/TempDir.h"

namespace fs = std::filesystem;

namespace bench {
namespace {

fs::path NativeName(const fs::path& dir, std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  return dir / name;
}

bool WriteWhole(const fs::path& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  out.close();
  return !out.fail();
}

// True when every file of the corpus came out below dir with its contents.
bool TreeMatches(const fs::path& dir, const std::vector<Item>& items) {
  Bytes data;
  for (const Item& item : items)
    if (!testutil::ReadFileBytes(NativeName(dir, item.name).string(), data) || data != item.data) {
      std::fprintf(stderr, "pvbench: %s came out wrong\n", item.name.c_str());
      return false;
    }
  return true;
}

// What writing the files costs without any decoding: each file created,
// written in one piece through the reader's own file layer, dated, closed.
void WriteTree(const fs::path& dir, const std::vector<Item>& items) {
  std::error_code ec;
  fs::path lastParent;
  for (const Item& item : items) {
    fs::path path = NativeName(dir, item.name);
    if (path.parent_path() != lastParent) {
      lastParent = path.parent_path();
      fs::create_directories(lastParent, ec);
    }
    fileio::File file;
    file.Open(path.string(), fileio::OpenMode::Create);
    file.Write(item.data.data(), uint32_t(item.data.size()));
    file.SetDosTime(RecordDosTime);
    file.Close();
    fileio::SetAttributes(path.string(), fileio::AttrArchive);
  }
}

}  // namespace

bool TimeExtraction(const std::vector<Item>& items, const Bytes& archive, uint64_t corpusBytes,
                    int runs) {
  scratch::TempDir temp;
  if (temp.path().empty()) {
    std::fprintf(stderr, "pvbench: cannot create a temporary directory\n");
    return false;
  }
  const fs::path archivePath = temp.path() / "payload.pvz";
  const fs::path tree = temp.path() / "tree";
  const fs::path target = temp.path() / "out";
  std::error_code ec;
  // The first extraction is checked file by file and kept as the tree the
  // copy starts from.
  Rounds rounds(3);
  for (int r = 0; r < runs; ++r) {
    bool ok = WriteWhole(archivePath, archive);
    int32_t result = ArcOk;
    rounds.Time(0, [&] {
      result = testutil::ExtractArchiveAt(archivePath.c_str(), target.c_str(), nullptr, nullptr);
    });
    // The reader deletes its archive on every path.
    ok = ok && result == ArcOk && !fs::exists(archivePath, ec);
    if (r == 0) {
      ok = ok && TreeMatches(target, items);
      fs::rename(target, tree, ec);
    }
    fs::remove_all(target, ec);
    if (!ok) {
      std::fprintf(stderr, "pvbench: extracting the archive failed (%d) or gave wrong files\n",
                   result);
      return false;
    }
    rounds.Time(1, [&] { fs::copy(tree, target, fs::copy_options::recursive, ec); });
    fs::remove_all(target, ec);
    rounds.Time(2, [&] { WriteTree(target, items); });
    fs::remove_all(target, ec);
  }

  std::printf(
      "Whole extraction of %zu files, %.2f MB (archive %.2f MB); a fresh archive copy\n"
      "and a fresh directory each run, both in %s (page cache, no sync).\n"
      "CPU seconds are this thread's, system calls included; the rest is waiting.\n",
      items.size(), double(corpusBytes) / MB, double(archive.size()) / MB,
      temp.path().parent_path().c_str());
  std::printf("  %-34s %9s %9s %24s\n", "", "seconds", "CPU s", "MB/s");
  const char* const names[] = {"ExtractArchive", "std::filesystem::copy of the tree",
                               "writing the files from memory"};
  for (size_t k = 0; k < std::size(names); ++k)
    std::printf("  %-34s %9.3f %9.3f %24s\n", names[k], rounds.Wall(k).median, rounds.Cpu(k).median,
                Rate(corpusBytes, rounds.Wall(k)).c_str());
  std::printf("  ExtractArchive takes %.1fx the time of the copy (%.1fx its CPU time)\n\n",
              rounds.Wall(0).median / rounds.Wall(1).median,
              rounds.Cpu(0).median / rounds.Cpu(1).median);
  return true;
}

}  // namespace bench
