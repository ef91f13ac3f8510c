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
#include <filesystem>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "fuzz/FuzzUtil.h"
#include "tests/common/ExtractAt.h"

using fuzz::Check;
namespace fs = std::filesystem;

namespace {

struct Scratch {
  fs::path root = fuzz::ScratchRoot(), work = root / "a" / "b" / "work", archive = work / "in.pvz",
           dest = work / "out";
};

Scratch& TheScratch() {
  static Scratch s;
  return s;
}

bool OnlyEntryIs(const fs::path& dir, const char* name) {
  std::vector<std::string> names = fuzz::Entries(dir);
  return names.size() == 1 && names[0] == name;
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
  if (data[0] & 1) fuzz::Seal(file, 0);

  std::error_code ec;
  fs::create_directories(s.dest, ec);
  Check(!ec, "cannot make the destination");
  fuzz::WriteBytes(s.archive, file);

  LastPercent = 0;
  ProgressCalls = 0;
  int32_t result = testutil::ExtractArchiveAt(s.archive.string().c_str(), s.dest.string().c_str(),
                                              nullptr, Progress);

  Check(result == ArcOk || result == ArcCannotCreate || result == ArcIoError ||
            result == ArcBadChecksum || result == ArcBadRecord,
        "unexpected result");
  Check(!fs::exists(s.archive), "the archive was not deleted");
  if (result == ArcOk) Check(ProgressCalls > 0 && LastPercent == 100, "no final progress of 100");
  if (result == ArcBadChecksum) Check(fuzz::Entries(s.dest).empty(), "a damaged archive wrote files");
  Check(OnlyEntryIs(s.work, "out") && OnlyEntryIs(s.work.parent_path(), "work") &&
            OnlyEntryIs(s.root / "a", "b") && OnlyEntryIs(s.root, "a"),
        "something was written outside the destination");

  fuzz::RemoveTree(s.work);
  return 0;
}
