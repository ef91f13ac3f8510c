#include "tools/pvpack/Implode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>

#include "explode/Explode.h"
#include "explode/Tables.h"

namespace {

using Bytes = std::vector<uint8_t>;
using implode::LiteralMode;
constexpr LiteralMode Bin = LiteralMode::Binary, Asc = LiteralMode::Ascii;

struct Combo {
  LiteralMode mode;
  unsigned dictBits;
};
const Combo Combos[] = {{Bin, 4}, {Bin, 5}, {Bin, 6}, {Asc, 4}, {Asc, 5}, {Asc, 6}};

Bytes Pack(const Bytes& data, Combo c) {
  return implode::Implode(data.data(), data.size(), c.mode, c.dictBits);
}

// Decodes a stream with the setup program's decoder.
struct Io {
  const Bytes* in;
  size_t pos;
  Bytes out;
};
uint32_t Read(uint8_t* buf, uint32_t* count, void* param) {
  Io& io = *static_cast<Io*>(param);
  uint32_t n = uint32_t(std::min<size_t>(*count, io.in->size() - io.pos));
  std::copy_n(io.in->data() + io.pos, n, buf);
  io.pos += n;
  return n;
}
void Write(uint8_t* buf, uint32_t* count, void* param) {
  Io& io = *static_cast<Io*>(param);
  io.out.insert(io.out.end(), buf, buf + *count);
}
uint32_t Unpack(const Bytes& stream, Bytes& out) {
  Io io{&stream, 0, {}};
  auto work = std::make_unique<DclWorkArea>();
  uint32_t result = DclDecompress(Read, Write, work.get(), &io);
  out = std::move(io.out);
  return result;
}

// Walks a stream's tokens by the code tables alone. Returns the number of
// bits from the first token to the end of the end code, or -1 unless only
// zero bits pad it to the last byte.
int64_t StreamBits(const Bytes& s) {
  size_t bit = 16;
  auto take = [&](size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n && bit / 8 < s.size(); ++i, ++bit)
      v |= uint32_t(s[bit / 8] >> (bit % 8) & 1) << i;
    return v;
  };
  auto symbol = [&](const auto& bits, const auto& codes) {
    const size_t at = bit;
    const uint32_t peek = take(16);
    for (size_t i = 0; i < bits.size(); ++i) {
      if ((peek & ((1u << bits[i]) - 1)) != codes[i]) continue;
      bit = at + bits[i];
      return int(i);
    }
    return -1;
  };
  while (bit + 16 <= 8 * s.size()) {
    if (take(1) == 0) {
      if (s[0] == 0)
        take(8);
      else if (symbol(dcl::LiteralBitCounts, dcl::LiteralCodeValues) < 0)
        return -1;
      continue;
    }
    int sym = symbol(dcl::LengthBitCounts, dcl::LengthCodeValues);
    unsigned len = dcl::LengthBaseValues[sym] + take(dcl::LengthExtraBits[sym]) + 2;
    if (len == 519) {  // the end code
      int64_t tokens = int64_t(bit) - 16;
      return (bit + 7) / 8 == s.size() && take(8 * s.size() - bit) == 0 ? tokens : -1;
    }
    symbol(dcl::DistanceBitCounts, dcl::DistanceCodeValues);
    take(len == 2 ? 2 : s[1]);
  }
  return -1;
}

// The fewest bits of tokens for data in each of Combos, by brute force over
// every length and distance the format allows.
std::array<int64_t, 6> OptimalBits(const Bytes& d) {
  auto lenBits = [](size_t len) {
    unsigned s = 15;
    while (dcl::LengthBaseValues[s] > len - 2) --s;
    return 1 + dcl::LengthBitCounts[s] + dcl::LengthExtraBits[s];
  };
  std::vector<std::array<int64_t, 6>> best(d.size() + 1);
  for (auto& b : best) b.fill(int64_t(1) << 40);
  best[0].fill(0);
  for (size_t i = 0; i < d.size(); ++i) {
    for (size_t c = 0; c < 6; ++c)
      best[i + 1][c] =
          std::min(best[i + 1][c], best[i][c] + 1 + (c < 3 ? 8 : dcl::LiteralBitCounts[d[i]]));
    for (size_t dist = 1; dist <= std::min<size_t>(i, 4096); ++dist) {
      for (size_t len = 2; len <= 518 && i + len <= d.size(); ++len) {
        if (d[i + len - 1] != d[i + len - 1 - dist] || (len == 2 && d[i] != d[i - dist])) break;
        for (size_t c = 0; c < 6; ++c) {
          unsigned low = len == 2 ? 2 : Combos[c].dictBits;
          if (((dist - 1) >> low) > 63) continue;  // beyond this copy's reach
          int64_t bits = lenBits(len) + dcl::DistanceBitCounts[(dist - 1) >> low] + low;
          best[i + len][c] = std::min(best[i + len][c], best[i][c] + bits);
        }
      }
    }
  }
  return best[d.size()];
}

Bytes Random(size_t n, unsigned seed, unsigned alphabet = 256, uint8_t first = 0) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = uint8_t(first + rng() % alphabet);
  return b;
}

Bytes Text(size_t n, unsigned seed) {
  static const char* words[] = {"the ",      "orbit ", "suite ", "of ", "Pavlane ",
                                "setup\r\n", "files ", "a ",     "E"};
  std::mt19937 rng(seed);
  std::string t;
  while (t.size() < n) t += words[rng() % 9];
  return Bytes(t.begin(), t.begin() + std::ptrdiff_t(n));
}

// Random bytes whose first len bytes come again at distance dist.
Bytes RepeatAt(size_t dist, size_t len, unsigned seed) {
  Bytes b = Random(dist + len + 40, seed);
  std::copy_n(b.begin(), len, b.begin() + std::ptrdiff_t(dist));
  return b;
}

TEST(ImplodeTest, KnownStreams) {
  // The end code is flag 1, length symbol 15 (0000000) and 8 one bits.
  const struct {
    int line;
    Bytes in;
    Combo combo;
    Bytes out;
  } rows[] = {
      {__LINE__, {}, {Bin, 4}, {0x00, 0x04, 0x01, 0xFF}},
      {__LINE__, {}, {Asc, 6}, {0x01, 0x06, 0x01, 0xFF}},
      // Flag 0, then 0x41 in 8 bits.
      {__LINE__, {'A'}, {Bin, 4}, {0x00, 0x04, 0x82, 0x02, 0xFE, 0x01}},
      // Flag 0, then the space's 4-bit code 1111.
      {__LINE__, {' '}, {Asc, 4}, {0x01, 0x04, 0x3E, 0xE0, 0x1F}},
      // 'a', then a copy of 3 (symbol 1: 11) at distance 1 (high part 0: 11,
      // 4 low bits 0000).
      {__LINE__, {'a', 'a', 'a', 'a'}, {Bin, 4}, {0x00, 0x04, 0xC2, 0x3E, 0x04, 0xFC, 0x03}},
      // 'a', 'b', then a copy of 2 (symbol 0: 101) at distance 2 (high part
      // 0: 11, 2 low bits 10).
      {__LINE__, {'a', 'b', 'a', 'b'}, {Bin, 4}, {0x00, 0x04, 0xC2, 0x88, 0xED, 0x05, 0xFC, 0x03}},
      // Arguments out of range: no stream.
      {__LINE__, {'A'}, {Bin, 3}, {}},
      {__LINE__, {'A'}, {Asc, 7}, {}},
      {__LINE__, {'A'}, {LiteralMode(2), 4}, {}},
  };
  for (const auto& row : rows) EXPECT_EQ(Pack(row.in, row.combo), row.out) << "line " << row.line;
}

TEST(ImplodeTest, RoundTrips) {
  Bytes all(256), periodic, block = Random(3000, 3);
  for (unsigned i = 0; i < 256; ++i) all[i] = uint8_t(i);
  for (int i = 0; i < 50; ++i) periodic.insert(periodic.end(), block.begin(), block.end());
  for (size_t i = 5000; i < periodic.size(); i += 100 + i % 300) periodic[i] ^= 0x55;
  std::vector<Bytes> inputs = {{},       {0x5A},          all, Text(140000, 1), Random(70000, 2),
                               periodic, Bytes(100000, 0)};
  for (size_t n : {4095, 4096, 4097, 8191, 8192, 8193, 12289}) inputs.push_back(Text(n, 4));
  for (size_t dist : {256, 257, 1024, 1025, 2048, 2049, 4096, 4097})
    for (size_t len : {2, 3, 518, 519}) inputs.push_back(RepeatAt(dist, len, 5));
  for (size_t i = 0; i < inputs.size(); ++i)
    for (Combo c : Combos) {
      Bytes stream = Pack(inputs[i], c), out;
      SCOPED_TRACE("input " + std::to_string(i) + ", dictionary bits " +
                   std::to_string(c.dictBits) + ", ASCII " + std::to_string(c.mode == Asc));
      ASSERT_GE(stream.size(), 4u);
      EXPECT_EQ(stream[0], uint8_t(c.mode));
      EXPECT_EQ(stream[1], c.dictBits);
      // The empty input's stream is 4 bytes, which the decoder turns away.
      EXPECT_EQ(Unpack(stream, out), inputs[i].empty() ? DclInputTooShort : DclOk);
      EXPECT_TRUE(out == inputs[i]);
      EXPECT_NE(StreamBits(stream), -1);
    }
}

TEST(ImplodeTest, LongRunKeepsToTheGreedyParse) {
  // Over 1 MiB without a natural cut point: the parser has to cut on its own.
  const size_t n = 1200000;
  Bytes zeros(n, 0), out;
  Bytes stream = Pack(zeros, {Bin, 4});
  ASSERT_EQ(Unpack(stream, out), DclOk);
  EXPECT_TRUE(out == zeros);
  // A literal, then copies at distance 1 of 518 bytes and one of 311 (both
  // 16 + 6 bits). Each forced cut may cost a few bits.
  ASSERT_EQ((n - 1) % 518, 311u);
  int64_t greedy = 9 + int64_t((n - 1) / 518 + 1) * 22;
  EXPECT_LE(StreamBits(stream), greedy + 16 + 32);
}

TEST(ImplodeTest, OptimalOnSmallInputs) {
  std::mt19937 rng(7);
  std::vector<Bytes> inputs;
  for (int i = 0; i < 120; ++i) {
    size_t n = rng() % 400;
    unsigned seed = rng();
    inputs.push_back(i % 3 == 2 ? Text(2 * n, seed) : Random(n, seed, 2 + i % 3, 'a'));
  }
  inputs.push_back(RepeatAt(256, 2, 11));
  inputs.push_back(RepeatAt(257, 2, 11));
  for (size_t dist : {256, 1024, 1025, 2048, 2049, 4096, 4097})
    inputs.push_back(RepeatAt(dist, 3, 11));
  for (size_t i = 0; i < inputs.size(); ++i) {
    std::array<int64_t, 6> optimal = OptimalBits(inputs[i]);
    for (size_t c = 0; c < 6; ++c)
      EXPECT_EQ(StreamBits(Pack(inputs[i], Combos[c])), optimal[c] + 16)
          << "input " << i << ", combination " << c;
  }
}

}  // namespace
