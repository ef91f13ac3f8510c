#include "tools/pvpack/Records.h"

#include <algorithm>
#include <cstring>

#include "archive/Archive.h"
#include "archive/PeImage.h"
#include "archive/PvUnZip.h"
#include "explode/Crc32.h"
#include "explode/Explode.h"
#include "tools/pvpack/Input.h"

namespace pvpack {
namespace {

// The blocks the archive is read in.
constexpr size_t Block = size_t(1) << 20;
// What a stream read out of order reads at once.
constexpr size_t ReadAhead = 64 * 1024;

// Why source fails its check value: damaged, or no archive at all.
std::string ChecksumFailure(ArchiveSource& source) {
  if (source.FileSize() == 0) return "no archive: the file is empty";
  if (!source.IsSetup() && source.IsExecutable())
    return "no archive: a Windows executable without the marker that an archive follows";
  if (source.IsSetup() && source.Size() == 0) return "no archive: nothing follows the marker";
  const Bytes first = source.FirstBytes(TrailerSize + MaxRecordHead);
  if (!pack::LooksLikeArchive(first.data(), first.size(), source.Size()))
    return source.IsSetup() ? "no archive: what follows the marker is not one"
                            : "no archive: neither a setup executable nor an archive";
  return ReaderFailure(ArcBadChecksum);
}

// Splits the record that starts at the plain body's offset at. ArcOk, or
// ArcBadRecord when it is cut off or its name is unsafe.
int32_t NextRecord(ArchiveSource& source, uint64_t at, Bytes& scratch, RecordHead& head) {
  // Grown, never shrunk: growing clears what it adds, which would cost a
  // megabyte for every record.
  if (scratch.size() < MaxRecordHead) scratch.resize(MaxRecordHead);
  size_t got = source.ReadPlain(scratch.data(), 2);
  if (got == 2)
    got += source.ReadPlain(scratch.data() + 2,
                            size_t(scratch[0] | scratch[1] << 8) + sizeof(FileRecordHeader));
  return SplitRecord(scratch.data(), got, int64_t(at), int64_t(source.BodyLength()), head);
}

bool SeekFile(std::FILE* file, uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(file, int64_t(offset), SEEK_SET) == 0;
#else
  return fseeko(file, off_t(offset), SEEK_SET) == 0;
#endif
}

// Walks the records of source's plain body from its start, passing each to
// visit with its head and a scratch buffer. visit reads the record's packed
// stream, or passes over it, and returns ArcOk to go on; any other result
// ends the walk and is returned. ArcBadRecord when a record is cut off or
// its name is unsafe.
template <typename Visit>
int32_t WalkRecords(ArchiveSource& source, Visit visit) {
  if (!source.Rewind()) return ArcBadRecord;
  Bytes scratch;
  for (uint64_t at = 0; at < source.BodyLength();) {
    RecordHead head;
    if (int32_t result = NextRecord(source, at, scratch, head); result != ArcOk) return result;
    at = uint64_t(head.streamStart) + head.header.PackedSize;
    if (int32_t result = visit(head, scratch); result != ArcOk) return result;
  }
  return ArcOk;
}

// Reads and drops count plain bytes of source, through scratch. False when
// the body ends first.
bool SkipPlain(ArchiveSource& source, uint64_t count, Bytes& scratch) {
  if (scratch.size() < Block) scratch.resize(Block);
  while (count > 0) {
    const size_t n = size_t(std::min<uint64_t>(count, scratch.size()));
    if (source.ReadPlain(scratch.data(), n) != n) return false;
    count -= n;
  }
  return true;
}

}  // namespace

uint32_t DecodeRun::Read(uint8_t* buffer, uint32_t* size, void* param) {
  auto* run = static_cast<DecodeRun*>(param);
  const uint32_t want = std::min(run->left, *size);
  uint32_t n = 0;
  if (!run->outOfOrder) {
    n = uint32_t(run->source->ReadPlain(buffer, want));
  } else {
    // Read ahead in blocks, few system calls for the decoder's small reads.
    if (run->blockAt == run->blockEnd) {
      if (!run->block) run->block.reset(new uint8_t[ReadAhead]);
      size_t got = 0;
      if (!run->source->ReadAt(run->at, run->block.get(),
                               std::min<size_t>(run->left, ReadAhead), got))
        got = 0;
      run->seal.Unseal(run->block.get(), got);
      run->at += got;
      run->blockAt = 0;
      run->blockEnd = got;
    }
    n = uint32_t(std::min<size_t>(want, run->blockEnd - run->blockAt));
    std::memcpy(buffer, run->block.get() + run->blockAt, n);
    run->blockAt += n;
  }
  run->left -= n;
  run->consumed += n;
  return n;
}

void DecodeRun::Write(uint8_t* buffer, uint32_t* size, void* param) {
  auto* run = static_cast<DecodeRun*>(param);
  run->crc = UpdateCrc32(buffer, size, &run->crc);
  run->produced += *size;
  if (run->sink) run->sink(run->sinkContext, buffer, *size);
}

bool DecodeRun::Decode(const FileRecordHeader& header, uint8_t* workArea) {
  const uint32_t result = DclDecompress(Read, Write, workArea, this);
  return AcceptDecodedRecord(header, result, consumed, produced, crc);
}

bool ArchiveSource::Open(const std::string& path, Fault& fault) {
  InputStream in;
  if (!OpenInput(path, pack::MaxSetupSize, in, fault)) return false;
  shown_ = in.shown;
  if (in.owned && in.expected > 0 && SeekFile(in.owned.get(), 0)) {
    file_ = std::move(in.owned);
    fileSize_ = in.expected;
  } else {
    // Standard input, a pipe, or a file that tells no size (as /proc's
    // do): kept in a temporary file, to be read more than once.
    file_ = pack::OpenTempFile();
    if (!file_) {
      fault = {shown_, "cannot make a temporary copy"};
      return false;
    }
    Bytes block(Block);
    for (size_t n = Block; n == Block;) {
      if (!ReadSome(in, block.data(), block.size(), n, fault)) return false;
      if (std::fwrite(block.data(), 1, n, file_.get()) != n) {
        fault = {shown_, "cannot make a temporary copy"};
        return false;
      }
    }
    fileSize_ = in.read;
    if (std::fflush(file_.get()) != 0) {
      fault = {shown_, "cannot make a temporary copy"};
      return false;
    }
  }
  head_.resize(size_t(std::min<uint64_t>(fileSize_, PeHeaderBytes)));
  if (!SeekFile(file_.get(), 0) ||
      std::fread(head_.data(), 1, head_.size(), file_.get()) != head_.size()) {
    fault = {shown_, "cannot read"};
    return false;
  }
  start_ = 0;
  end_ = fileSize_;
  isSetup_ = false;
  // Only an executable is taken for a setup; anything else is an archive.
  if (IsExecutable()) {
    // Blocks overlap by the marker's length less one, so that a marker cut
    // by a block's end is seen whole in the next.
    const size_t overlap = PayloadMarker.size() - 1;
    Bytes block(Block);
    for (uint64_t at = 0; at < fileSize_; at += Block - overlap) {
      const size_t n = size_t(std::min<uint64_t>(Block, fileSize_ - at));
      if (!SeekFile(file_.get(), at) || std::fread(block.data(), 1, n, file_.get()) != n) {
        fault = {shown_, "cannot read"};
        return false;
      }
      if (const int64_t found = MarkerEnd(block.data(), n); found >= 0) {
        start_ = at + uint64_t(found);
        end_ = uint64_t(ArchiveEnd(head_.data(), head_.size(), int64_t(start_), int64_t(fileSize_)));
        isSetup_ = true;
        break;
      }
      if (at + n >= fileSize_) break;
    }
  }
  return true;
}

bool ArchiveSource::ReadAt(uint64_t offset, uint8_t* out, size_t n, size_t& got) {
  got = 0;
  if (offset >= BodyLength()) return true;
  return pvpack::ReadAt(file_.get(), start_ + offset,
                        out, size_t(std::min<uint64_t>(n, BodyLength() - offset)), got);
}

bool ArchiveSource::SeekTo(uint64_t offset) { return SeekFile(file_.get(), start_ + offset); }

Bytes ArchiveSource::FirstBytes(size_t n) {
  Bytes bytes(size_t(std::min<uint64_t>(n, Size())));
  if (!SeekTo(0)) return {};
  bytes.resize(std::fread(bytes.data(), 1, bytes.size(), file_.get()));
  plainAt_ = BodyLength();  // the plain body must be started over
  return bytes;
}

bool ArchiveSource::CopyRaw(const std::function<bool(const uint8_t*, size_t)>& sink) {
  if (!SeekTo(0)) return false;
  Bytes block(Block);
  for (uint64_t left = Size(); left > 0;) {
    const size_t n = size_t(std::min<uint64_t>(left, block.size()));
    if (std::fread(block.data(), 1, n, file_.get()) != n || !sink(block.data(), n)) return false;
    left -= n;
  }
  plainAt_ = BodyLength();
  return true;
}

bool ArchiveSource::Rewind() {
  seal_ = BodySeal();
  plainAt_ = 0;
  return SeekTo(0);
}

size_t ArchiveSource::ReadPlain(uint8_t* out, size_t n) {
  n = size_t(std::min<uint64_t>(n, BodyLength() - plainAt_));
  const size_t got = n ? std::fread(out, 1, n, file_.get()) : 0;
  seal_.Unseal(out, got);
  plainAt_ += got;
  return got;
}

uint32_t ArchiveSource::Trailer() {
  uint8_t trailer[TrailerSize] = {};
  if (Size() < TrailerSize || !SeekTo(BodyLength()) ||
      std::fread(trailer, 1, TrailerSize, file_.get()) != TrailerSize)
    return 0;
  plainAt_ = BodyLength();
  return TrailerValue(trailer);
}

Result LoadRecords(const std::string& path, const codepage::SingleByteTable* codePage,
                   int unreadable, Loaded& out) {
  Fault fault;
  ArchiveSource& source = out.source;
  if (!source.Open(path, fault)) return {unreadable, fault};
  // One pass: the records' layout, and the whole body against its check
  // value, which decides first, as in the setup's reader.
  out.records.clear();
  const int32_t result = WalkRecords(source, [&](const RecordHead& head, Bytes& scratch) {
    out.records.push_back(
        {head.name, head.header, size_t(head.streamStart), source.StreamState()});
    return SkipPlain(source, head.header.PackedSize, scratch) ? ArcOk : ArcBadRecord;
  });
  if (result != ArcOk) {
    Bytes block(Block);
    while (source.ReadPlain(block.data(), block.size()) == block.size()) {
    }
  }
  if (source.Size() < TrailerSize || source.Check() != source.Trailer()) {
    out.records.clear();
    return {-ArcBadChecksum, {source.Shown(), ChecksumFailure(source)}};
  }
  if (result != ArcOk) return {-result, {source.Shown(), ReaderFailure(result)}};
  if (codePage)
    for (pack::Record& r : out.records) r.name = codepage::ToUtf8(*codePage, r.name);
  return {};
}

int32_t VerifyLoaded(Loaded& loaded, std::string& failedName) {
  alignas(DclWorkArea) uint8_t workArea[DclWorkAreaSize];
  size_t index = 0;
  return WalkRecords(loaded.source, [&](const RecordHead& head, Bytes& scratch) {
    DecodeRun run(&loaded.source, head.header.PackedSize);
    // What the decoder left of the stream is passed over.
    if (!run.Decode(head.header, workArea) || !SkipPlain(loaded.source, run.left, scratch)) {
      failedName = loaded.records[index].name;
      return ArcBadRecord;
    }
    ++index;
    return ArcOk;
  });
}

uint64_t TotalSize(const std::vector<pack::Record>& records) {
  uint64_t total = 0;
  for (const pack::Record& r : records) total += r.header.Size;
  return total;
}

}  // namespace pvpack
