// Whether a file holds an archive at all. The records themselves are read
// by ArchiveSource (Records.h), a block at a time.
#include "tools/pvpack/Pack.h"

#include <algorithm>
#include <cstring>

#include "archive/Format.h"
#include "tools/pvpack/Names.h"

namespace pack {

bool LooksLikeArchive(const uint8_t* first, size_t n, uint64_t archiveSize) {
  if (archiveSize < TrailerSize) return false;
  const uint64_t bodyLength = archiveSize - TrailerSize;
  if (bodyLength == 0) return true;
  Bytes head(first, first + std::min<uint64_t>({bodyLength, MaxRecordHead, n}));
  BodySeal().Unseal(head.data(), head.size());
  // A record cut off by the end of the file is a damaged archive still, so
  // the stream may run past the end; what noise rarely passes is a whole
  // record head with a name Windows could hold.
  RecordHead record;
  if (SplitRecord(head.data(), head.size(), 0, INT64_MAX / 2, record) != ArcOk ||
      !IsSafeRecordName(record.name.data(), uint32_t(record.name.size())))
    return false;
  for (size_t start = 0; start <= record.name.size();) {
    const size_t end = std::min(record.name.find('\\', start), record.name.size());
    if (!names::NameFault(std::string_view(record.name).substr(start, end - start)).empty())
      return false;
    start = end + 1;
  }
  return true;
}

}  // namespace pack
