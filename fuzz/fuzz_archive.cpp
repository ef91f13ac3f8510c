// libFuzzer target: arbitrary bytes as an archive file for ExtractArchive.
//
// Input: one control byte, then the data. An even control byte takes the
// data as the archive file as it stands; an odd one takes it as a plain
// body, which is scrambled with the empty key and sealed with its trailer
// here, so that mutations reach the records instead of stopping at the
// whole-archive check.
//
// The destination lies three levels below a private scratch folder; after
// each input nothing but the destination may exist anywhere in it, which
// catches record names that climb out. Everything is removed again before
// the next input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "archive/Archive.h"
#include "archive/Encript.h"
#include "explode/Crc32.h"

namespace fs = std::filesystem;

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz_archive: %s\n", what);
    std::abort();
  }
}

struct Scratch {
  fs::path root, work, archive, dest;
  Scratch() {
    // A memory file system where there is one: creating and removing a tree
    // for every input costs milliseconds on a disk.
    std::error_code ec;
    fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string pattern = (base / "pvfuzz-XXXXXX").string();
    Check(mkdtemp(pattern.data()) != nullptr, "cannot make a scratch folder");
    root = pattern;
    work = root / "a" / "b" / "work";
    archive = work / "in.pvz";
    dest = work / "out";
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

Scratch& TheScratch() {
  static Scratch s;
  return s;
}

// The names directly inside dir.
std::vector<std::string> Entries(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  return names;
}

bool OnlyEntryIs(const fs::path& dir, const char* name) {
  std::vector<std::string> names = Entries(dir);
  return names.size() == 1 && names[0] == name;
}

// A read-only folder made from a record would stop the clean-up.
void RemoveAll(const fs::path& dir) {
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_directory(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(dir, ec);
}

int32_t LastPercent = 0;
int ProgressCalls = 0;

void Progress(const char* name, int32_t percent) {
  Check(name != nullptr, "progress without a name");
  Check(percent >= LastPercent && percent <= 100, "progress went back or beyond 100");
  LastPercent = percent;
  ++ProgressCalls;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Scratch& s = TheScratch();
  std::vector<uint8_t> file(data + 1, data + size);
  if (data[0] & 1) {
    uint32_t count = uint32_t(file.size()), crc = 0xFFFFFFFFu;
    crc = UpdateCrc32(file.data(), &count, &crc);
    SetKey("");
    CryptBuffer(file.data(), int32_t(file.size()));
    for (int i = 0; i < 4; ++i) file.push_back(uint8_t(crc >> (8 * i)));
  }

  std::error_code ec;
  fs::create_directories(s.dest, ec);
  Check(!ec, "cannot make the destination");
  if (FILE* f = std::fopen(s.archive.string().c_str(), "wb")) {
    Check(std::fwrite(file.data(), 1, file.size(), f) == file.size(), "cannot write the archive");
    std::fclose(f);
  }

  LastPercent = 0;
  ProgressCalls = 0;
  int32_t result = ExtractArchive(s.archive.string().c_str(), s.dest.string().c_str(), nullptr, Progress);

  Check(result == ArcOk || result == ArcCannotCreate || result == ArcIoError ||
            result == ArcBadChecksum || result == ArcBadRecord,
        "unexpected result");
  Check(!fs::exists(s.archive), "the archive was not deleted");
  if (result == ArcOk) Check(ProgressCalls > 0 && LastPercent == 100, "no final progress of 100");
  if (result == ArcBadChecksum) Check(Entries(s.dest).empty(), "a damaged archive wrote files");
  Check(OnlyEntryIs(s.work, "out") && OnlyEntryIs(s.work.parent_path(), "work") &&
            OnlyEntryIs(s.root / "a", "b") && OnlyEntryIs(s.root, "a"),
        "something was written outside the destination");

  RemoveAll(s.work);
  return 0;
}
