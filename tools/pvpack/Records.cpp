#include "tools/pvpack/Records.h"

#include "archive/Archive.h"
#include "tools/pvpack/Input.h"

namespace pvpack {
namespace {

// Why the archive taken from file (a setup when isSetup) fails its check
// value: damaged, or no archive at all.
std::string ChecksumFailure(const Bytes& file, const Bytes& archive, bool isSetup) {
  if (file.empty()) return "no archive: the file is empty";
  if (!isSetup && file.size() >= 2 && file[0] == 'M' && file[1] == 'Z')
    return "no archive: a Windows executable without the marker that an archive follows";
  if (isSetup && archive.empty()) return "no archive: nothing follows the marker";
  if (!pack::LooksLikeArchive(archive))
    return isSetup ? "no archive: what follows the marker is not one"
                   : "no archive: neither a setup executable nor an archive";
  return ReaderFailure(ArcBadChecksum);
}

}  // namespace

Result LoadRecords(const std::string& path, const codepage::SingleByteTable* codePage,
                   int unreadable, Loaded& out) {
  Bytes file;
  Fault fault;
  if (!ReadInput(path, pack::MaxSetupSize, file, fault)) return {unreadable, fault};
  out.archive = pack::ArchiveOf(file, out.isSetup);
  const int32_t result = pack::ReadRecords(out.archive, out.body, out.records);
  const std::string shown = path == "-" ? "standard input" : path;
  if (result == ArcBadChecksum)
    return {-result, {shown, ChecksumFailure(file, out.archive, out.isSetup)}};
  if (result != ArcOk) return {-result, {shown, ReaderFailure(result)}};
  if (codePage)
    for (pack::Record& r : out.records) r.name = codepage::ToUtf8(*codePage, r.name);
  return {};
}

uint64_t TotalSize(const std::vector<pack::Record>& records) {
  uint64_t total = 0;
  for (const pack::Record& r : records) total += r.header.Size;
  return total;
}

}  // namespace pvpack
