#include "archive/Format.h"

#include <algorithm>
#include <cstring>

#include "archive/Encript.h"
#include "explode/Crc32.h"
#include "explode/Explode.h"

namespace {

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

// UpdateCrc32 and CryptBufferFrom count in 32 bits: larger buffers go in slices.
constexpr size_t Slice = size_t(1) << 30;

}  // namespace

bool AppendRecordHead(std::vector<uint8_t>& out, std::string_view name,
                      const FileRecordHeader& header) {
  if (name.empty() || name.size() > 0xFFFF) return false;
  out.push_back(uint8_t(name.size()));
  out.push_back(uint8_t(name.size() >> 8));
  out.insert(out.end(), name.begin(), name.end());
  for (uint32_t v : {header.DosDateTime, header.Size, header.Attributes, header.PackedSize,
                     header.Check})
    Put32(out, v);
  return true;
}

int32_t SplitRecord(const uint8_t* bytes, size_t available, int64_t at, int64_t bodyLength,
                    RecordHead& out) {
  const size_t nameLength = available >= 2 ? size_t(bytes[0] | bytes[1] << 8) : 0;
  if (available < 2 + nameLength + sizeof out.header) return ArcBadRecord;
  out.name.assign(reinterpret_cast<const char*>(bytes + 2), nameLength);
  std::memcpy(&out.header, bytes + 2 + nameLength, sizeof out.header);
  out.streamStart = at + int64_t(2 + nameLength + sizeof out.header);
  // The reader counts a stream's bytes in 32-bit signed integers.
  if (out.header.PackedSize > uint32_t(INT32_MAX) ||
      out.streamStart + int64_t(out.header.PackedSize) > bodyLength)
    return ArcBadRecord;
  return ArcOk;
}

bool IsSafeRecordName(const char* name, uint32_t length) {
  if (length == 0 || name[0] == '\\' || name[0] == '/') return false;
  bool onlyDotsAndBlanks = true;
  for (uint32_t i = 0; i <= length; ++i) {
    char c = i < length ? name[i] : '\\';
    if (c == '\0' || c == ':') return false;
    if (c == '\\' || c == '/') {
      if (onlyDotsAndBlanks && i > 0 && name[i - 1] != '\\' && name[i - 1] != '/') return false;
      onlyDotsAndBlanks = true;
    } else if (c != '.' && c != ' ') {
      onlyDotsAndBlanks = false;
    }
  }
  return true;
}

RecordWalk::RecordWalk(int64_t bodyLength, std::string_view key)
    : seal_(key), bodyLength_(bodyLength) {}

void RecordWalk::Take(uint8_t* data, size_t size) {
  while (size > 0) {
    size_t n = size;
    if (!broken_ && skip_ == 0) {
      // A head: the name's length first, then the name and the fixed fields.
      const size_t want = head_.size() < 2 ? 2
                                           : 2 + size_t(head_[0] | head_[1] << 8) +
                                                 sizeof(FileRecordHeader);
      n = std::min(size, want - head_.size());
      seal_.Unseal(data, n);
      head_.insert(head_.end(), data, data + n);
      if (head_.size() == want && want > 2) {
        RecordHead record;
        const int64_t at = taken_ + int64_t(n) - int64_t(want);
        if (SplitRecord(head_.data(), head_.size(), at, bodyLength_, record) != ArcOk) {
          broken_ = true;
        } else {
          record.streamState = seal_.StreamState();
          skip_ = record.header.PackedSize;
          records_.push_back(std::move(record));
        }
        head_.clear();
      }
    } else {
      // A packed stream passed over, or whatever follows a broken record.
      if (!broken_) {
        n = size_t(std::min<int64_t>(skip_, int64_t(size)));
        skip_ -= int64_t(n);
      }
      seal_.Unseal(data, n);
    }
    taken_ += int64_t(n);
    data += n;
    size -= n;
  }
}

void RecordWalk::Pass(int64_t count) {
  count = std::clamp<int64_t>(count, 0, Passable());
  seal_.Pass(uint64_t(count));
  skip_ -= count;
  taken_ += count;
}

uint32_t RecordDecoder::Read(uint8_t* buffer, uint32_t* size, void* param) {
  auto& d = *static_cast<RecordDecoder*>(param);
  if (d.produced_ > d.size_ || d.readFailed_ || d.sinkFailed_) return 0;
  if (d.blockAt_ == d.blockEnd_) {
    if (d.block_.empty()) d.block_.resize(Block);
    uint32_t got = 0;
    if (d.unread_ > 0 &&
        !d.read_(d.context_, d.at_, d.block_.data(), std::min(d.unread_, Block), &got)) {
      d.readFailed_ = true;
      got = 0;
    }
    if (d.scrambled_) d.streamState_ = CryptBufferFrom(d.block_.data(), got, d.streamState_);
    d.at_ += got;
    d.unread_ -= got;
    d.blockAt_ = 0;
    d.blockEnd_ = got;
  }
  const uint32_t n = uint32_t(std::min<size_t>(*size, d.blockEnd_ - d.blockAt_));
  std::memcpy(buffer, d.block_.data() + d.blockAt_, n);
  d.blockAt_ += n;
  d.consumed_ += n;
  return n;
}

void RecordDecoder::Write(uint8_t* buffer, uint32_t* size, void* param) {
  auto& d = *static_cast<RecordDecoder*>(param);
  const uint64_t room = d.produced_ < d.size_ ? d.size_ - d.produced_ : 0;
  const bool wasPast = d.produced_ > d.size_;
  d.produced_ += *size;
  uint32_t kept = uint32_t(std::min<uint64_t>(*size, room));
  d.crc_ = UpdateCrc32(buffer, &kept, &d.crc_);
  if (!d.sink_ || wasPast) return;
  for (uint32_t at = 0; at < kept;) {
    if (d.outFill_ == Block) d.Flush();
    const uint32_t n = std::min(kept - at, Block - d.outFill_);
    std::memcpy(d.out_.data() + d.outFill_, buffer + at, n);
    d.outFill_ += n;
    at += n;
  }
}

void RecordDecoder::Flush() {
  if (outFill_ > 0 && !sinkFailed_ && !sink_(sinkContext_, out_.data(), outFill_))
    sinkFailed_ = true;
  outFill_ = 0;
}

uint32_t RecordDecoder::Run(int64_t at, uint32_t packed, uint32_t streamState, uint8_t* workArea,
                            Sink sink, void* sinkContext) {
  blockAt_ = blockEnd_ = 0;
  at_ = at;
  unread_ = packed;
  consumed_ = 0;
  produced_ = 0;
  crc_ = 0xFFFFFFFFu;
  readFailed_ = sinkFailed_ = false;
  streamState_ = streamState;
  sink_ = sink;
  sinkContext_ = sinkContext;
  if (sink && out_.empty()) out_.resize(Block);
  outFill_ = 0;
  const uint32_t result = DclDecompress(Read, Write, workArea, this);
  if (sink) Flush();
  return result;
}

int32_t RecordDecoder::Decode(const RecordHead& record, uint8_t* workArea, Sink sink,
                              void* sinkContext) {
  size_ = record.header.Size;
  const uint32_t result = Run(record.streamStart, record.header.PackedSize, record.streamState,
                              workArea, sink, sinkContext);
  if (produced_ > size_) return ArcBadRecord;
  if (readFailed_ || sinkFailed_) return ArcIoError;
  return AcceptDecodedRecord(record.header, result, consumed_, produced_, crc_) ? ArcOk
                                                                                : ArcBadRecord;
}

RecordDecoder::StreamEnd RecordDecoder::DecodeStream(uint8_t* workArea, Sink sink,
                                                     void* sinkContext) {
  size_ = UINT64_MAX;
  StreamEnd end;
  end.result = Run(0, UINT32_MAX, 0, workArea, sink, sinkContext);
  end.readFailed = readFailed_;
  end.sinkFailed = sinkFailed_;
  const uint8_t* head = block_.data();
  if (end.result == DclInputTooShort && consumed_ == 4 && head[0] <= 1 && head[1] >= 4 &&
      head[1] <= 6)
    end.result = DclOk;
  return end;
}

bool AcceptDecodedRecord(const FileRecordHeader& header, uint32_t result, uint32_t consumed,
                         uint64_t produced, uint32_t check) {
  if (header.Size == 0 && header.PackedSize == 4 && result == DclInputTooShort) result = DclOk;
  return result == DclOk && consumed == header.PackedSize && produced == header.Size &&
         check == header.Check;
}

BodySeal::BodySeal(std::string_view key) : state_(KeyState(key)) {}

void BodySeal::Seal(uint8_t* data, size_t size) {
  while (size > 0) {
    uint32_t n = uint32_t(std::min(size, Slice));
    check_ = UpdateCrc32(data, &n, &check_);
    state_ = CryptBufferFrom(data, n, state_);
    data += n;
    size -= n;
  }
}

void BodySeal::Unseal(uint8_t* data, size_t size) {
  while (size > 0) {
    uint32_t n = uint32_t(std::min(size, Slice));
    state_ = CryptBufferFrom(data, n, state_);
    check_ = UpdateCrc32(data, &n, &check_);
    data += n;
    size -= n;
  }
}

void BodySeal::Pass(uint64_t count) { state_ = StateAfter(state_, count); }

void BodySeal::AppendTrailer(std::vector<uint8_t>& out) const { Put32(out, check_); }

uint32_t TrailerValue(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t DosTimeOf(const CivilTime& t) {
  if (t.year < 1980) return FirstDosTime;
  if (t.year > 1980 + 127) return LastDosTime;
  const uint32_t date = uint32_t(t.year - 1980) << 9 | uint32_t(t.month) << 5 | uint32_t(t.day);
  const uint32_t time = uint32_t(t.hour) << 11 | uint32_t(t.minute) << 5 | uint32_t(t.second / 2);
  return date << 16 | time;
}

bool CivilTimeOf(uint32_t dosDateTime, CivilTime& t) {
  const uint32_t date = dosDateTime >> 16, time = dosDateTime & 0xFFFF;
  t.year = int(date >> 9) + 1980;
  t.month = int((date >> 5) & 15);
  t.day = int(date & 31);
  t.hour = int(time >> 11);
  t.minute = int((time >> 5) & 63);
  t.second = int(time & 31) * 2;
  return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.hour <= 23 && t.minute <= 59 &&
         t.second <= 59;
}
