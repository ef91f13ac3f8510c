// Tests of DclDecompress. Streams are built token by token with prefix codes
// derived here from the bit counts alone, so that a wrong code table in the
// decoder cannot be mirrored by the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "explode/Explode.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t LengthBits[16] = {3, 2, 3, 3, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 7, 7};
constexpr uint8_t LengthExtra[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
constexpr uint16_t LengthBase[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 14, 22, 38, 70, 134, 262};

constexpr std::array<uint8_t, 64> DistanceBits = [] {
  std::array<uint8_t, 64> bits{};
  for (size_t h = 0; h < 64; ++h)
    bits[h] = h < 1 ? 2 : h < 3 ? 4 : h < 7 ? 5 : h < 22 ? 6 : h < 48 ? 7 : 8;
  return bits;
}();

// Literal code lengths; 0x80 to 0xAF are all 13 and 0xB0 to 0xDF all 12.
constexpr std::array<uint8_t, 256> LiteralBits = [] {
  constexpr uint8_t low[128] = {
      11, 12, 12, 12, 12, 12, 12, 12, 12, 8,  7,  12, 12, 7,  12, 12,  //
      12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 13, 12, 12, 12, 12, 12,  //
      4,  10, 8,  12, 10, 12, 10, 8,  7,  7,  8,  9,  7,  6,  7,  8,   //
      7,  6,  7,  7,  7,  7,  8,  7,  7,  8,  8,  12, 11, 7,  9,  11,  //
      12, 6,  7,  6,  6,  5,  7,  8,  8,  6,  11, 9,  6,  7,  6,  6,   //
      7,  11, 6,  6,  6,  7,  9,  8,  9,  9,  11, 8,  11, 9,  12, 8,   //
      12, 5,  6,  6,  6,  5,  6,  6,  6,  5,  11, 7,  5,  6,  5,  5,   //
      6,  10, 5,  5,  5,  5,  8,  7,  8,  8,  10, 11, 11, 12, 12, 12,  //
  };
  constexpr uint8_t high[32] = {
      13, 12, 13, 13, 13, 12, 13, 13, 13, 12, 13, 13, 13, 13, 12, 13,  //
      13, 13, 12, 12, 12, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,
  };
  std::array<uint8_t, 256> bits{};
  for (size_t i = 0; i < 256; ++i) bits[i] = i < 128 ? low[i] : i < 176 ? 13 : i < 224 ? 12 : high[i - 224];
  return bits;
}();

struct Code { uint32_t value, bits; };  // value: first bit in bit 0

// Canonical codes in order of (length, symbol) counting up from zero, each
// inverted and bit-reversed so that it reads first bit first from bit 0.
std::vector<Code> MakeCodes(const uint8_t* bits, size_t count) {
  std::vector<size_t> order(count);
  std::iota(order.begin(), order.end(), size_t(0));
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return bits[a] < bits[b]; });
  std::vector<Code> codes(count);
  uint32_t code = 0, length = bits[order[0]];
  for (size_t k = 0; k < count; ++k) {
    size_t s = order[k];
    if (k > 0) code = (code + 1) << (bits[s] - length);
    length = bits[s];
    uint32_t inverted = ~code & ((1u << length) - 1), reversed = 0;
    for (uint32_t i = 0; i < length; ++i) reversed |= ((inverted >> i) & 1) << (length - 1 - i);
    codes[s] = {reversed, length};
  }
  return codes;
}

const std::vector<Code> LengthCodes = MakeCodes(LengthBits, 16);
const std::vector<Code> DistanceCodes = MakeCodes(DistanceBits.data(), 64);
const std::vector<Code> LiteralCodes = MakeCodes(LiteralBits.data(), 256);

// Writes a stream token by token and keeps the output it must decode to,
// and where each token ends, so that the outcome of any truncation is known.
class Stream {
 public:
  Stream(uint8_t literalMode, uint8_t dictBits)
      : ascii_(literalMode == 1), dictBits_(dictBits), bytes_{literalMode, dictBits} {}

  Stream& Raw(uint32_t value, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i, ++bits_) {
      if (bits_ % 8 == 0) bytes_.push_back(0);
      bytes_.back() |= uint8_t(((value >> i) & 1) << (bits_ % 8));
    }
    return *this;
  }
  Stream& Literals(const Bytes& bytes) {
    for (uint8_t b : bytes) {
      Raw(0, 1);
      ascii_ ? Raw(LiteralCodes[b].value, LiteralCodes[b].bits) : Raw(b, 8);
      expected_.push_back(b);
      marks_.push_back({bits_, expected_.size()});
    }
    return *this;
  }
  // A copy the test vouches for: distance within the output so far.
  Stream& Copy(uint32_t len, uint32_t dist) {
    EXPECT_TRUE(dist <= expected_.size()) << "the test wrote a copy before the start";
    CopyCode(len, dist);
    for (uint32_t i = 0; i < len; ++i) expected_.push_back(expected_[expected_.size() - dist]);
    marks_.push_back({bits_, expected_.size()});
    return *this;
  }
  // Only the bits of a copy, whatever it refers to.
  Stream& CopyCode(uint32_t len, uint32_t dist) {
    LengthCode(len - 2);
    uint32_t lowBits = len == 2 ? 2 : dictBits_, d = dist - 1, high = d >> lowBits;
    EXPECT_LT(high, 64u) << "distance " << dist << " cannot be coded";
    Raw(DistanceCodes[high].value, DistanceCodes[high].bits);
    return Raw(d & ((1u << lowBits) - 1), lowBits);
  }
  Stream& End() {
    LengthCode(517);
    endBits_ = bits_;
    return *this;
  }

  const Bytes& Encoded() const { return bytes_; }
  const Bytes& Expected() const { return expected_; }
  size_t BitCount() const { return bits_; }

  // What decoding the first n bytes must give. Every token but the end code
  // counts only with 8 bits of input behind it, the bit reader's look-ahead.
  uint32_t ResultOfPrefix(size_t n, size_t* outputLength) const {
    size_t available = n < 2 ? 0 : 8 * (n - 2);
    *outputLength = 0;
    if (n <= 4) return DclInputTooShort;
    for (const auto& [endBit, length] : marks_) {
      if (endBit + 8 > available) return DclInputEnded;
      *outputLength = length;
    }
    return endBits_ == 0 || endBits_ > available ? DclInputEnded : DclOk;
  }

 private:
  void LengthCode(uint32_t value) {
    uint32_t s = 15;
    while (LengthBase[s] > value) --s;
    Raw(1, 1).Raw(LengthCodes[s].value, LengthCodes[s].bits).Raw(value - LengthBase[s], LengthExtra[s]);
  }

  bool ascii_;
  uint32_t dictBits_;
  Bytes bytes_, expected_;
  size_t bits_ = 0, endBits_ = 0;
  std::vector<std::pair<size_t, size_t>> marks_;  // (bit after token, output after token)
};

// How the read callback hands out the input.
struct Feeding {
  size_t first = DclInBufSize;  // bytes of the first read
  size_t step = DclInBufSize;   // bytes of every later read
  uint32_t overclaim = 0;       // added to the count of a full read
  uint8_t fill = 0xA5;          // the work area's content before the call
};

struct Outcome {
  uint32_t result = 0;
  Bytes out;
  std::vector<uint32_t> writes;  // the count of each write
  int reads = 0;
  // The run's state, for the callbacks.
  const Bytes* in = nullptr;
  size_t pos = 0, lastRead = 0;  // lastRead: where the last read began
  bool ended = false;
  Feeding how;
  const DclWorkArea* area = nullptr;
};

uint32_t ReadProc(uint8_t* buffer, uint32_t* count, void* param) {
  Outcome& c = *static_cast<Outcome*>(param);
  EXPECT_EQ(*count, DclInBufSize) << "read " << c.reads;
  EXPECT_FALSE(c.ended) << "read again after the input ended";
  size_t want = c.reads++ == 0 ? c.how.first : c.how.step;
  size_t n = std::min({want, size_t(DclInBufSize), c.in->size() - c.pos});
  c.lastRead = c.pos;
  std::copy_n(c.in->begin() + ptrdiff_t(c.pos), n, buffer);
  // What lies past the bytes delivered is not input: a decoder that took
  // it for input would decode it.
  std::fill(buffer + n, buffer + DclInBufSize, uint8_t(~c.how.fill));
  c.pos += n;
  c.ended = n == 0;
  *count = 1;  // the decoder must set the request afresh each time
  return uint32_t(n) + (n == DclInBufSize ? c.how.overclaim : 0);
}

void WriteProc(uint8_t* buffer, uint32_t* count, void* param) {
  Outcome& c = *static_cast<Outcome*>(param);
  // The input buffer, right after the window, still holds what the last
  // read put there: output stayed in the window.
  ASSERT_TRUE(std::equal(c.in->begin() + ptrdiff_t(c.lastRead), c.in->begin() + ptrdiff_t(c.pos),
                         c.area->InBuf));
  ASSERT_LE(*count, DclBlockSize);
  ASSERT_TRUE(buffer >= c.area->Window && buffer + *count <= c.area->Window + sizeof c.area->Window);
  c.writes.push_back(*count);
  c.out.insert(c.out.end(), buffer, buffer + *count);
}

Outcome Decode(const Bytes& in, const Feeding& how = {}) {
  // Exactly the work area's size on the heap, so that AddressSanitizer sees
  // any access past its end.
  std::unique_ptr<uint8_t[]> area(new uint8_t[DclWorkAreaSize]);
  std::memset(area.get(), how.fill, DclWorkAreaSize);
  Outcome run;
  run.in = &in;
  run.how = how;
  run.area = reinterpret_cast<const DclWorkArea*>(area.get());
  run.result = DclDecompress(ReadProc, WriteProc, area.get(), &run);
  return run;
}

// Full blocks, then one short (possibly empty) block; nothing for a header
// failure.
void ExpectBlocks(const Outcome& run, int line) {
  const bool header = run.result != DclOk && run.result != DclInputEnded;
  EXPECT_EQ(run.writes.empty(), header) << "row at line " << line;
  for (size_t i = 0; i < run.writes.size(); ++i)
    EXPECT_EQ(run.writes[i] == DclBlockSize, i + 1 < run.writes.size()) << "write " << i << ", row at line " << line;
}

Bytes Noise(size_t n, uint32_t seed) {
  Bytes b(n);
  for (auto& x : b) x = uint8_t((seed = seed * 1103515245u + 12345u) >> 23);
  return b;
}

Bytes Text(size_t n) {
  static const std::string words = "Orbit planner: set the epoch, then the ascending node; save ORBIT.INI. ";
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(words[(i * 7 + i / 13) % words.size()]);
  return b;
}

// Streams written out bit by bit, so this holds even if the Stream helper is wrong.
TEST(Explode, KnownAnswers) {
  // first: the bytes of the first read
  struct Row { int line; Bytes stream; uint32_t result; std::string out; size_t first = DclInBufSize; } rows[] = {
      {__LINE__, {0x00, 0x04, 0x82, 0x02, 0xFE, 0x01}, DclOk, "A"},
      {__LINE__, {0x01, 0x04, 0x3E, 0xE0, 0x1F}, DclOk, " "},
      {__LINE__, {0x00, 0x04, 0xC2, 0x88, 0xCD, 0x11, 0xF0, 0x0F}, DclOk, "ababab"},
      {__LINE__, {0x01, 0x06, 0xE0, 0x77, 0x12, 0x03, 0x01, 0xFF}, DclOk, "xxxxxxxxxxxxx"},
      {__LINE__, {0x01, 0x05, 0x2E, 0x48, 0x02, 0x00, 0xCE, 0x17, 0x01, 0xFF}, DclOk, std::string("E\0\xFF" "a\0\xFF" "a", 7)},
      {__LINE__, {0x00, 0x06, 0x0E, 0x02, 0xFC, 0x07, 0x02, 0xFE, 0x01}, DclOk, std::string(519, '\x07')},
      // bytes behind the end code are never looked at
      {__LINE__, {0x00, 0x04, 0x82, 0x02, 0xFE, 0x01, 0xFF, 0xFF, 0xFF}, DclOk, "A"},
      // the end code's last bit missing
      {__LINE__, {0x00, 0x04, 0x82, 0x02, 0xFE}, DclInputEnded, "A"},
      {__LINE__, {}, DclInputTooShort, ""},
      {__LINE__, {0x00, 0x04, 0x82, 0x02}, DclInputTooShort, ""},
      // a short first read is final even with more input to come
      {__LINE__, {0x00, 0x04, 0x82, 0x02, 0xFE, 0x01}, DclInputTooShort, "", 4},
      // the dictionary size is checked before the literal mode
      {__LINE__, {0x02, 0x07, 0x82, 0x02, 0xFE, 0x01}, DclBadDictSize, ""},
      {__LINE__, {0x00, 0x03, 0x82, 0x02, 0xFE, 0x01}, DclBadDictSize, ""},
      {__LINE__, {0x02, 0x04, 0x82, 0x02, 0xFE, 0x01}, DclBadLiteralMode, ""},
      {__LINE__, {0xFF, 0x06, 0x82, 0x02, 0xFE, 0x01}, DclBadLiteralMode, ""},
  };
  for (const Row& r : rows) {
    Outcome run = Decode(r.stream, {.first = r.first, .step = 1});
    EXPECT_EQ(run.result, r.result) << "row at line " << r.line;
    EXPECT_EQ(std::string(run.out.begin(), run.out.end()), r.out) << "row at line " << r.line;
    if (r.result == DclInputTooShort) {
      EXPECT_EQ(run.reads, 1) << "row at line " << r.line;
    }
    ExpectBlocks(run, r.line);
  }
}

TEST(Explode, EveryLiteralInBothModes) {
  Bytes all(256);
  std::iota(all.begin(), all.end(), uint8_t(0));
  for (uint8_t mode : {0, 1}) {
    // Each code is followed by other codes, and once by the end code.
    std::vector<Stream> streams(1, Stream(mode, 4));
    streams[0].Literals(all).End();
    for (int b = 0; b < 256; ++b) streams.emplace_back(mode, 5).Literals({uint8_t(b)}).End();
    for (const Stream& s : streams) {
      Outcome run = Decode(s.Encoded());
      ASSERT_EQ(run.result, DclOk) << "mode " << int(mode) << ", first literal " << int(s.Expected()[0]);
      ASSERT_EQ(run.out, s.Expected()) << "mode " << int(mode);
    }
  }
}

// Copies overlap their own output wherever the length exceeds the distance.
TEST(Explode, EveryLengthAndDistanceAtEveryDictionarySize) {
  for (uint8_t dictBits : {4, 5, 6}) {
    const uint32_t maxDist = 64u << dictBits;
    Stream s(1, dictBits);
    s.Literals(Noise(DclBlockSize, dictBits));
    // A literal after each copy, or copies at neighbouring distances would
    // read the same bytes and a distance off by one would go unseen.
    for (uint32_t d = 1; d <= 256; ++d) s.Copy(2, d).Literals({uint8_t(d * 167)});
    for (uint32_t d = 1; d <= maxDist; ++d)
      s.Copy(3 + d % (DclMaxCopy - 2), d).Literals({uint8_t(d * 167)});
    s.Copy(DclMaxCopy, maxDist).End();
    Outcome run = Decode(s.Encoded());
    EXPECT_EQ(run.result, DclOk) << "dictionary bits " << int(dictBits);
    EXPECT_EQ(run.out, s.Expected()) << "dictionary bits " << int(dictBits);
  }
}

// The block last written is the whole dictionary: a copy reaching before the
// first byte of output ends the stream.
TEST(Explode, OutputLeavesInBlocksOf4096AndCopiesStayWithinIt) {
  // len, dist: a copy after the literals unless len is 0
  struct Row { int line; size_t literals; uint32_t len, dist, result; std::vector<uint32_t> writes; } rows[] = {
      {__LINE__, 0, 0, 0, DclOk, {0}},
      {__LINE__, 4095, 0, 0, DclOk, {4095}},
      {__LINE__, 4096, 0, 0, DclOk, {4096, 0}},
      {__LINE__, 8192, 0, 0, DclOk, {4096, 4096, 0}},
      {__LINE__, 4000, 96, 1000, DclOk, {4096, 0}},
      {__LINE__, 4000, 518, 1000, DclOk, {4096, 422}},  // runs past the flush threshold
      {__LINE__, 4095, 518, 1000, DclOk, {4096, 517}},
      {__LINE__, 0, 2, 1, DclInputEnded, {0}},
      {__LINE__, 3, 3, 4, DclInputEnded, {3}},
      {__LINE__, 3, 3, 3, DclOk, {6}},
      {__LINE__, 1, 518, 4096, DclInputEnded, {1}},
      {__LINE__, 4095, 518, 4096, DclInputEnded, {4095}},
      {__LINE__, 4096, 518, 4096, DclOk, {4096, 518}},
      {__LINE__, 5000, 3, 4096, DclOk, {4096, 907}},
  };
  for (const Row& r : rows) {
    Stream s(0, 6);
    s.Literals(Noise(r.literals, 5));
    if (r.len) s.CopyCode(r.len, r.dist);
    Bytes in = s.End().Encoded();
    in.push_back(0);  // lets the bare end code pass the first read's minimum
    // Whatever the work area held before must not show in the output.
    Outcome a = Decode(in, {.fill = 0x00}), b = Decode(in, {.fill = 0xFF});
    EXPECT_EQ(a.result, r.result) << "row at line " << r.line;
    EXPECT_EQ(a.writes, r.writes) << "row at line " << r.line;
    EXPECT_EQ(a.out, b.out) << "row at line " << r.line;
    Bytes want = s.Expected();
    for (uint32_t i = 0; r.result == DclOk && i < r.len; ++i) want.push_back(want[want.size() - r.dist]);
    EXPECT_EQ(a.out, want) << "row at line " << r.line;
  }
}

// A long copy right after a short one that crosses the flush threshold,
// after four lengths of literal run (the decoder may read tokens in twos),
// with more input to come.
TEST(Explode, LongCopyJustPastTheFlushThreshold) {
  for (size_t extra : {0, 1, 2, 3}) {
    Stream s(0, 6);
    s.Literals(Noise(DclBlockSize - 20 + extra, 3)).Copy(20, 50).Copy(DclMaxCopy, 1000);
    s.Literals(Noise(100, 4)).End();
    Outcome run = Decode(s.Encoded());
    EXPECT_EQ(run.result, DclOk) << "extra " << extra;
    EXPECT_EQ(run.out, s.Expected()) << "extra " << extra;
  }
}

// Text and binary streams with every kind of token, more than two blocks of
// output, copies reaching across the flush, and more input than one read;
// and one whose end code ends the input, leaving the bit reader nothing to
// top up with after the end code's extra bits.
std::vector<Stream> MixedStreams() {
  std::vector<Stream> streams(1, Stream(1, 5));
  Stream& text = streams[0];
  text.Literals(Text(700));
  for (uint32_t i = 0; text.Expected().size() < 9000; ++i) {
    uint32_t len = 2 + i * 53 % 517;
    text.Copy(len, len == 2 ? 1 + i % 256 : 1 + i * 211 % 700).Literals({uint8_t(i * 89)});
  }
  text.Literals(Noise(64, 6)).End();
  Stream binary(0, 4);
  binary.Literals(Noise(2500, 7));  // more than one full read
  for (uint32_t i = 0; binary.Expected().size() < 9000; ++i) binary.Copy(2 + i % 40, 1 + i * 7 % 256);
  streams.push_back(binary.End());
  Stream tail(0, 4);  // 8 binary literals of 9 bits and the 16-bit end code
  streams.push_back(tail.Literals(Noise(8, 4)).End());
  EXPECT_EQ(tail.BitCount() % 8, 0u);
  return streams;
}

// Read one token at a time (fed a byte a time) and mostly by the fast
// stretch (fed whole buffers), every literal mode and dictionary size
// decodes alike, with copies of every length class out to the dictionary.
std::vector<Stream> EveryKind() {
  std::vector<Stream> streams;
  for (uint8_t mode : {0, 1}) {
    for (uint8_t dictBits : {4, 5, 6}) {
      Stream& s = streams.emplace_back(mode, dictBits);
      s.Literals(mode ? Text(1500) : Noise(1500, dictBits));
      for (uint32_t i = 0; s.Expected().size() < 12000; ++i) {
        const uint32_t len = 2 + i * 37 % 517;
        s.Copy(len, len == 2 ? 1 + i * 13 % 256 : 1 + i * 101 % std::min<uint32_t>(64u << dictBits, 1500));
        s.Literals({uint8_t(i), uint8_t(i * 7)});
      }
      s.End();
    }
  }
  return streams;
}

TEST(Explode, ReadSizesDoNotChangeTheResult) {
  std::vector<Stream> streams = MixedStreams(), kinds = EveryKind();
  streams.insert(streams.end(), kinds.begin(), kinds.end());
  struct Row { int line; Feeding how; } rows[] = {
      {__LINE__, {.first = 5, .step = 1}},
      {__LINE__, {.first = 7, .step = 7}},
      {__LINE__, {.first = 2048, .step = 1}},
      {__LINE__, {.first = 2048, .step = 2048}},
      // A callback claiming more than the buffer holds is held to 2048.
      {__LINE__, {.first = 2048, .step = 2048, .overclaim = 1}},
      {__LINE__, {.first = 2048, .step = 2048, .overclaim = 0x7FFFFFFF}},
  };
  for (const Stream& s : streams) {
    for (const Row& r : rows) {
      Outcome run = Decode(s.Encoded(), r.how);
      EXPECT_EQ(run.result, DclOk) << "row at line " << r.line;
      EXPECT_EQ(run.out, s.Expected()) << "row at line " << r.line;
      ExpectBlocks(run, r.line);
    }
  }
}

// Data that does not pack is a run of plain literals, which may be read
// several at a time: a run of them ends before a copy with a long code at
// every place in a group of six and in a batch of groups (60 lengths), and
// the reads end inside runs.
TEST(Explode, CopiesRightAfterRunsOfLiterals) {
  for (uint32_t k = 0; k < 60; ++k) {
    Stream s(0, 6);
    s.Literals(Noise(4100 + k, k)).Copy(3, 4000).Literals(Noise(k, 9)).Copy(2, 150);
    s.Literals(Noise(3000, 8)).Copy(20, 4096).End();
    Outcome run = Decode(s.Encoded());
    EXPECT_EQ(run.result, DclOk) << "run of " << 4100 + k;
    EXPECT_EQ(run.out, s.Expected()) << "run of " << 4100 + k;
  }
}

TEST(Explode, TruncatedStreamsEndWithWhatTheyHold) {
  for (const Stream& s : MixedStreams()) {
    Bytes full = s.Encoded();
    full.insert(full.end(), {0x5A, 0xA5, 0xFF});  // trailing bytes change nothing
    for (size_t n = 0; n <= full.size(); ++n) {
      size_t length;
      uint32_t want = s.ResultOfPrefix(n, &length);
      Outcome run = Decode(Bytes(full.begin(), full.begin() + n), {.first = 7, .step = 7});
      ASSERT_EQ(run.result, want) << "cut at " << n;
      ASSERT_EQ(run.out.size(), want == DclOk ? s.Expected().size() : length) << "cut at " << n;
      ASSERT_TRUE(std::equal(run.out.begin(), run.out.end(), s.Expected().begin())) << "cut at " << n;
      ExpectBlocks(run, __LINE__);
    }
  }
}

TEST(Explode, DamagedStreamsStayInBounds) {
  Stream s(1, 6);
  s.Literals(Text(150)).Copy(518, 150).Copy(2, 3).Copy(60, 99).Literals({0, 0xFF, 0x80, '\r', '\n'}).End();
  for (size_t bit = 0; bit < 8 * s.Encoded().size(); ++bit) {
    Bytes in = s.Encoded();
    in[bit / 8] ^= uint8_t(1u << (bit % 8));
    Outcome a = Decode(in, {.first = 5, .step = 3, .fill = 0x00}), b = Decode(in, {.fill = 0xFF});
    uint32_t want = in[1] < 4 || in[1] > 6 ? DclBadDictSize : in[0] > 1 ? DclBadLiteralMode : a.result;
    EXPECT_EQ(a.result, want) << "bit " << bit;
    EXPECT_LE(a.result, DclInputEnded) << "bit " << bit;
    EXPECT_EQ(a.result, b.result) << "bit " << bit;
    EXPECT_EQ(a.out, b.out) << "bit " << bit;
    ExpectBlocks(a, __LINE__);
  }
}

}  // namespace
