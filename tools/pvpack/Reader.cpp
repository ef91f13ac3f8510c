// Reading archives whole: records split from the unsealed body, checked by
// decoding, and written again.
#include "tools/pvpack/Pack.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "archive/Format.h"
#include "explode/Crc32.h"
#include "explode/Explode.h"
#include "tools/pvpack/Names.h"

namespace pack {
namespace {

// Feeds one packed stream to the decoder and measures what comes out.
struct DecodeRun {
  DecodeRun(const uint8_t* data, size_t size) : in(data), left(size) {}
  const uint8_t* in;
  size_t left;
  size_t consumed = 0;
  uint64_t produced = 0;
  uint32_t crc = 0xFFFFFFFFu;

  static uint32_t Read(uint8_t* buffer, uint32_t* size, void* param) {
    auto* run = static_cast<DecodeRun*>(param);
    uint32_t n = uint32_t(std::min<size_t>(run->left, *size));
    if (n) std::memcpy(buffer, run->in, n);
    run->in += n;
    run->left -= n;
    run->consumed += n;
    return n;
  }
  static void Write(uint8_t* buffer, uint32_t* size, void* param) {
    auto* run = static_cast<DecodeRun*>(param);
    run->crc = UpdateCrc32(buffer, size, &run->crc);
    run->produced += *size;
  }
};

}  // namespace

bool ReadFileBytes(const std::string& path, Bytes& data) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  std::streamoff size = in.tellg();
  if (size < 0) return false;
  data.resize(size_t(size));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(data.data()), size);
  return in.gcount() == size;
}

uint32_t CheckValue(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  // UpdateCrc32 takes a 32-bit count; feed large buffers in slices.
  while (size > 0) {
    uint32_t n = uint32_t(std::min<size_t>(size, 1u << 30));
    crc = UpdateCrc32(data, &n, &crc);
    data += n;
    size -= n;
  }
  return crc;
}

int32_t ReadRecords(const Bytes& archive, Bytes& body, std::vector<Record>& records) {
  if (archive.size() < 4) return ArcBadChecksum;
  body.assign(archive.begin(), archive.end() - TrailerSize);
  BodySeal seal;
  seal.Unseal(body.data(), body.size());
  if (seal.Check() != TrailerValue(archive.data() + body.size())) return ArcBadChecksum;

  records.clear();
  for (size_t pos = 0; pos < body.size();) {
    RecordHead head;
    int32_t result = SplitRecord(body.data() + pos, body.size() - pos, int64_t(pos),
                                 int64_t(body.size()), head);
    if (result != ArcOk) return result;
    size_t streamOffset = size_t(head.streamStart);
    pos = streamOffset + head.header.PackedSize;
    records.push_back({std::move(head.name), head.header, streamOffset});
  }
  return ArcOk;
}

bool RebuildArchive(const Bytes& body, const std::vector<Record>& records, Bytes& archive) {
  archive.clear();
  for (const Record& r : records) {
    if (!AppendRecordHead(archive, r.name, r.header)) return false;
    const auto stream = body.begin() + std::ptrdiff_t(r.streamOffset);
    archive.insert(archive.end(), stream, stream + std::ptrdiff_t(r.header.PackedSize));
  }
  BodySeal seal;
  seal.Seal(archive.data(), archive.size());
  seal.AppendTrailer(archive);
  return true;
}

bool LooksLikeArchive(const Bytes& archive) {
  return LooksLikeArchive(archive.data(), archive.size(), archive.size());
}

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
  if (SplitRecord(head.data(), head.size(), 0, INT64_MAX / 2, record) != ArcOk) return false;
  for (size_t start = 0; start <= record.name.size();) {
    const size_t end = std::min(record.name.find('\\', start), record.name.size());
    if (!names::NameFault(std::string_view(record.name).substr(start, end - start)).empty())
      return false;
    start = end + 1;
  }
  return true;
}

int32_t VerifyRecords(const Bytes& body, const std::vector<Record>& records,
                      std::string& failedName) {
  alignas(DclWorkArea) static uint8_t workArea[DclWorkAreaSize];
  for (const Record& r : records) {
    DecodeRun run(body.data() + r.streamOffset, r.header.PackedSize);
    uint32_t result = DclDecompress(DecodeRun::Read, DecodeRun::Write, workArea, &run);
    if (!AcceptDecodedRecord(r.header, result, uint32_t(run.consumed), uint32_t(run.produced),
                             run.crc)) {
      failedName = r.name;
      return ArcBadRecord;
    }
  }
  return ArcOk;
}

}  // namespace pack
