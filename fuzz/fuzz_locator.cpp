// libFuzzer target: arbitrary bytes as a setup executable for the payload
// locator (UnpackPayloadFile).
//
// Input: one control byte, then the file. An even control byte takes the
// file as it stands; an odd one takes everything after the first marker
// (the whole file when there is none) as a plain archive body and seals it
// here, so that mutations reach the records.
//
// Besides the sanitizers' findings it catches a temporary copy that
// outlives the call, files written beside the destination, and a locator
// that finds another archive than pvpack does: the setup program's reader
// then runs on pvpack's idea of the archive and must come to the same end.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "archive/Archive.h"
#include "archive/PvUnZip.h"
#include "fuzz/FuzzUtil.h"
#include "tests/common/ExtractAt.h"
#include "tools/pvpack/Pack.h"

using fuzz::Check;
namespace fs = std::filesystem;

namespace {

void Pump(bool close) { Check(!close, "the locator closed the progress window"); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const fs::path root = fuzz::ScratchRoot(), exe = root / "setup.exe", dest = root / "dest",
                        copy = root / "copy.pvz";
  std::vector<uint8_t> file(data + 1, data + size);
  if (data[0] & 1) fuzz::Seal(file, size_t(std::max<int64_t>(MarkerEnd(file.data(), file.size()), 0)));
  fuzz::WriteBytes(exe, file);
  std::error_code ec;
  fs::create_directory(dest, ec);
  Check(!ec, "cannot make the destination");

  const bool unpacked = UnpackPayloadFile(exe.string(), dest.string(), Pump);

  std::vector<std::string> names = fuzz::Entries(root);
  std::sort(names.begin(), names.end());
  Check(names == std::vector<std::string>{"dest", "setup.exe"},
        "a file was written beside the destination");
  Check(!fs::exists(dest / "tempfile.$$$", ec), "the temporary copy remains");
  fuzz::RemoveTree(dest);

  const ArchivePlace place = FindArchiveIn(file.data(), file.size());
  fuzz::WriteBytes(copy, std::vector<uint8_t>(file.begin() + place.start, file.begin() + place.end));
  fs::create_directory(dest, ec);
  int32_t result =
      testutil::ExtractArchiveAt(copy.string().c_str(), dest.string().c_str(), nullptr, nullptr);
  Check(unpacked == (result == ArcOk), "the locator and pvpack find different archives");
  fuzz::RemoveTree(dest);
  return 0;
}
