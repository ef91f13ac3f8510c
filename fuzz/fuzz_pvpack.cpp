// libFuzzer target: pvpack's list and verify commands over arbitrary files
// (archives or setup executables), through the library calls the tool's
// front end makes.
//
// Input: one control byte, then the file. An odd control byte takes the
// file as a plain archive body and seals it here, so that mutations reach
// the records.
//
// Both commands read the file alike: list fails exactly where verify fails
// before decoding, with the same failure. And verify speaks for the setup
// program's reader, which then runs on the same archive: it must come to the
// same failure, or fail to create a file for a name that verify cannot judge
// without writing (one that clashes with a folder, or is too long).
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
#include "tools/pvpack/Pvpack.h"

using fuzz::Check;
namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const fs::path root = fuzz::ScratchRoot(), in = root / "in.exe", archive = root / "copy.pvz",
                        dest = root / "dest";
  std::vector<uint8_t> file(data + 1, data + size);
  if (data[0] & 1) fuzz::Seal(file, 0);
  fuzz::WriteBytes(in, file);

  // As the tool runs them: names shown from the default code page.
  std::vector<pack::Record> records;
  pvpack::Totals totals;
  using pvpack::Failure;
  const Failure list = pvpack::List(in.string(), pack::DefaultCodePage(), records).failure;
  const Failure verify = pvpack::Verify(in.string(), pack::DefaultCodePage(), totals).failure;
  Check(list == Failure::None || list == Failure::NoArchive || list == Failure::BadRecord,
        "list: unexpected failure");
  Check(list == Failure::None ? verify == Failure::None || verify == Failure::BadRecord
                              : verify == list,
        "list and verify disagree");

  const ArchivePlace place = FindArchiveIn(file.data(), file.size());
  fuzz::WriteBytes(archive, std::vector<uint8_t>(file.begin() + place.start, file.begin() + place.end));
  std::error_code ec;
  fs::create_directory(dest, ec);
  Check(!ec, "cannot make the destination");
  int32_t result =
      testutil::ExtractArchiveAt(archive.string().c_str(), dest.string().c_str(), nullptr, nullptr);
  Check(pvpack::FailureOf(result) == verify ||
            (result == ArcCannotCreate && verify != Failure::NoArchive),
        "pvpack verify and the setup's reader disagree");
  fuzz::RemoveTree(dest);
  return 0;
}
