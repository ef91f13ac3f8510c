// Files packed by pvpack's own writer, and each file's packed stream taken
// back out of the archive: for the tests and the benchmark, which must see
// the streams pvpack ships rather than another path to them (header only:
// the benchmark does not link the test framework).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "archive/Format.h"
#include "tools/pvpack/Pack.h"

namespace testutil {

// Packs files with options (PackFiles) into archive, and sets streams[i] to
// the packed stream of files[i]. "" when it worked, else what failed.
inline std::string PackStreams(const std::vector<pack::TreeFile>& files,
                               const pack::PackOptions& options, std::vector<uint8_t>& archive,
                               std::vector<std::vector<uint8_t>>& streams) {
  pack::UniqueFile out = pack::OpenTempFile();
  if (!out) return "cannot make a temporary file";
  pack::Fault fault;
  uint64_t written = 0;
  if (!pack::PackFiles(files, options, out.get(), "the archive", fault, &written))
    return fault.Message();
  archive.resize(size_t(written));
  if (written < TrailerSize || std::fseek(out.get(), 0, SEEK_SET) != 0 ||
      std::fread(archive.data(), 1, archive.size(), out.get()) != archive.size())
    return "cannot read the archive back";
  std::vector<uint8_t> body(archive.begin(), archive.end() - TrailerSize);
  RecordWalk walk(int64_t(body.size()));
  walk.Take(body.data(), body.size());
  if (walk.Result() != ArcOk || walk.Check() != TrailerValue(&archive[body.size()]) ||
      walk.Records().size() != files.size())
    return "the archive does not walk back into its files";
  streams.clear();
  for (const RecordHead& record : walk.Records()) {
    const auto start = body.begin() + std::ptrdiff_t(record.streamStart);
    streams.emplace_back(start, start + std::ptrdiff_t(record.header.PackedSize));
  }
  return "";
}

}  // namespace testutil
