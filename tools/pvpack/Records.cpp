#include "tools/pvpack/Records.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "archive/Archive.h"
#include "archive/Encript.h"
#include "archive/PeImage.h"
#include "archive/PvUnZip.h"
#include "explode/Crc32.h"
#include "explode/Explode.h"
#include "tools/pvpack/Input.h"
#include "tools/pvpack/Names.h"
#include "tools/pvpack/Workers.h"

namespace pvpack {
namespace {

// The blocks the archive is read in.
constexpr size_t Block = size_t(1) << 20;

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

// A body of this many bytes a processor or more is checked on several
// threads, each taking an equal part of it.
constexpr uint64_t PartMin = uint64_t(8) << 20;
constexpr unsigned MaxCheckThreads = 8;

// The body's check value, its parts taken on several threads.
struct BodyCheck {
  ArchiveSource* source = nullptr;
  std::vector<uint64_t> bounds;  // part i is [bounds[i], bounds[i + 1])
  std::vector<uint32_t> crcs;    // each part's register: the first from the preset, the rest from 0
  std::vector<char> read;        // whether each part was read whole
  std::atomic<size_t> next{0};
};

void CheckParts(void* context) {
  BodyCheck& check = *static_cast<BodyCheck*>(context);
  Bytes block(Block);
  for (size_t i; (i = check.next.fetch_add(1)) + 1 < check.bounds.size();) {
    uint64_t at = check.bounds[i];
    uint32_t state = StateAfter(KeyState(""), at);
    uint32_t crc = i == 0 ? 0xFFFFFFFFu : 0;
    bool whole = true;
    while (at < check.bounds[i + 1]) {
      size_t got = 0;
      if (!check.source->ReadAt(at, block.data(),
                                size_t(std::min<uint64_t>(Block, check.bounds[i + 1] - at)), got) ||
          got == 0) {
        whole = false;
        break;
      }
      uint32_t n = uint32_t(got);
      state = CryptBufferFrom(block.data(), n, state);
      crc = UpdateCrc32(block.data(), &n, &crc);
      at += got;
    }
    check.crcs[i] = crc;
    check.read[i] = whole;
  }
}

// Walks the body's records reading only their heads, the packed streams
// stepped over (RecordWalk::Pass), while threads check the body in parts;
// returns the body's check value, joined from the parts, and false when a
// read failed. Beside the one pass of the check, only the heads are read
// once more.
bool WalkAndCheck(ArchiveSource& source, RecordWalk& walk, unsigned threads, uint32_t& crc) {
  const uint64_t body = source.BodyLength();
  BodyCheck check;
  check.source = &source;
  for (unsigned i = 0; i <= threads; ++i) check.bounds.push_back(body * i / threads / Block * Block);
  check.bounds.back() = body;
  check.crcs.assign(threads, 0);
  check.read.assign(threads, 0);
  workers::ThreadGroup group(threads, CheckParts, &check);
  if (group.Started() == 0) CheckParts(&check);

  bool ok = true;
  Bytes head(512);
  for (uint64_t at = 0; at < body && !walk.Broken();) {
    if (const int64_t pass = walk.Passable(); pass > 0) {
      const int64_t n = std::min<int64_t>(pass, int64_t(body - at));
      walk.Pass(n);
      at += uint64_t(n);
      continue;
    }
    size_t got = 0;
    if (!source.ReadAt(at, head.data(), size_t(std::min<uint64_t>(head.size(), body - at)), got) ||
        got == 0) {
      ok = false;
      break;
    }
    walk.Take(head.data(), got);
    at += got;
  }
  group.Join();
  crc = check.crcs[0];
  for (size_t i = 1; i < threads; ++i)
    crc = ShiftCrc32(crc, check.bounds[i + 1] - check.bounds[i]) ^ check.crcs[i];
  for (char whole : check.read) ok = ok && whole;
  return ok;
}

bool SeekFile(std::FILE* file, uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(file, int64_t(offset), SEEK_SET) == 0;
#else
  return fseeko(file, off_t(offset), SEEK_SET) == 0;
#endif
}

}  // namespace

RecordDecoder DecoderOf(ArchiveSource& source) {
  const auto read = [](void* context, int64_t offset, uint8_t* out, uint32_t n, uint32_t* got) {
    size_t count = 0;
    const bool ok = static_cast<ArchiveSource*>(context)->ReadAt(uint64_t(offset), out, n, count);
    *got = uint32_t(count);
    return ok;
  };
  return RecordDecoder(read, &source, true);
}

RecordHead HeadOf(const pack::Record& record) {
  RecordHead head;
  head.header = record.header;
  head.streamStart = int64_t(record.streamOffset);
  head.streamState = record.streamState;
  return head;
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
  ArchivePlace place;
  const auto read = [](void* context, int64_t offset, uint8_t* out, uint32_t n, uint32_t* got) {
    size_t count = 0;
    const bool ok = pvpack::ReadAt(static_cast<std::FILE*>(context), uint64_t(offset), out, n, count);
    *got = uint32_t(count);
    return ok;
  };
  if (!FindArchive(read, file_.get(), int64_t(fileSize_), place)) {
    fault = {shown_, "cannot read"};
    return false;  // shrunk, or failing, since its head was read
  }
  start_ = uint64_t(place.start);
  end_ = uint64_t(place.end);
  isSetup_ = place.isSetup;
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
  return bytes;
}

bool ArchiveSource::CopyRaw(uint64_t length,
                            const std::function<bool(uint8_t*, size_t)>& sink) {
  if (!SeekTo(0)) return false;
  Bytes block(Block);
  for (uint64_t left = std::min(length, Size()); left > 0;) {
    const size_t n = size_t(std::min<uint64_t>(left, block.size()));
    if (std::fread(block.data(), 1, n, file_.get()) != n || !sink(block.data(), n)) return false;
    left -= n;
  }
  return true;
}

uint32_t ArchiveSource::Trailer() {
  uint8_t trailer[TrailerSize] = {};
  if (Size() < TrailerSize || !SeekTo(BodyLength()) ||
      std::fread(trailer, 1, TrailerSize, file_.get()) != TrailerSize)
    return 0;
  return TrailerValue(trailer);
}

Result LoadRecords(const std::string& path, const codepage::SingleByteTable* codePage,
                   Failure unreadable, Loaded& out) {
  Fault fault;
  ArchiveSource& source = out.source;
  if (!source.Open(path, fault)) return {unreadable, fault};
  // One pass: the whole body against its check value, which decides first,
  // as in the setup's reader; the records' layout; and their names.
  out.records.clear();
  RecordWalk walk(int64_t(source.BodyLength()));
  uint32_t check = 0;
  bool read = true;  // a body that cannot be read whole cannot match its check value
  const unsigned threads = unsigned(std::min<uint64_t>(
      std::min(workers::ProcessorCount(), MaxCheckThreads), source.BodyLength() / PartMin));
  if (threads > 1) {
    read = WalkAndCheck(source, walk, threads, check);
  } else {
    read = source.CopyRaw(source.BodyLength(), [&](uint8_t* data, size_t n) {
      walk.Take(data, n);
      return true;
    });
    check = walk.Check();
  }
  if (!read || source.Size() < TrailerSize || check != source.Trailer())
    return {Failure::NoArchive, {source.Shown(), ChecksumFailure(source)}};
  std::vector<RecordHead>& heads = walk.Records();
  if (walk.Result() != ArcOk)
    return {Failure::BadRecord, {source.Shown(), "record " + std::to_string(heads.size() + 1) +
                                                " is cut off by the end of the archive, or "
                                                "its packed stream is 2 GiB or more"}};
  const std::vector<RecordFault> faults = RecordFaults(heads, names::FoldOf(codePage));
  if (!faults.empty()) {
    // One fault on one line; more, each on a line of its own.
    std::string problem = faults.size() > 1 ? "names that the setup refuses:" : "";
    for (const RecordFault& f : faults)
      problem += std::string(faults.size() > 1 ? "\n  " : "") + "record " +
                 std::to_string(f.index + 1) + " (" + heads[f.index].name + "): " + f.why;
    if (codePage) problem = codepage::ToUtf8(*codePage, problem);
    return {Failure::BadRecord, {source.Shown(), problem}};
  }
  for (RecordHead& head : heads)
    out.records.push_back({codePage ? codepage::ToUtf8(*codePage, head.name) : std::move(head.name),
                           head.header, size_t(head.streamStart), head.streamState});
  return {};
}

int32_t VerifyLoaded(Loaded& loaded, std::string& failedName) {
  alignas(DclWorkArea) uint8_t workArea[DclWorkAreaSize];
  RecordDecoder decoder = DecoderOf(loaded.source);
  for (const pack::Record& record : loaded.records) {
    if (const int32_t result = decoder.Decode(HeadOf(record), workArea); result != ArcOk) {
      failedName = record.name;
      return result;
    }
  }
  return ArcOk;
}

uint64_t TotalSize(const std::vector<pack::Record>& records) {
  uint64_t total = 0;
  for (const pack::Record& r : records) total += r.header.Size;
  return total;
}

}  // namespace pvpack
