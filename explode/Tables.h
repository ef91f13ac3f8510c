// Constant tables of the compressed-data format and of CRC-32.
//
// Only the code lengths are written out; the code values are derived from
// them at compile time by the format's rule (canonical codes, shortest first,
// each code inverted and stored bit-reversed so that its first bit is bit 0),
// and a few known entries are checked below.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace dcl {

// Code length in bits of each length symbol.
inline constexpr std::array<uint8_t, 16> LengthBitCounts = {
    3, 2, 3, 3, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 7, 7};

// Extra bits read after each length symbol.
inline constexpr std::array<uint8_t, 16> LengthExtraBits = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};

// Length value of each symbol before its extra bits: the symbol itself up to
// 7, then each base is the previous one plus the previous symbol's range.
inline constexpr std::array<uint16_t, 16> LengthBaseValues = [] {
  std::array<uint16_t, 16> base{};
  for (size_t s = 0; s < 16; ++s)
    base[s] = s < 8 ? uint16_t(s)
                    : uint16_t(base[s - 1] + (1u << LengthExtraBits[s - 1]));
  return base;
}();

// Code length of each distance high part.
inline constexpr std::array<uint8_t, 64> DistanceBitCounts = [] {
  std::array<uint8_t, 64> bits{};
  for (size_t h = 0; h < 64; ++h)
    bits[h] = h == 0 ? 2 : h <= 2 ? 4 : h <= 6 ? 5 : h <= 21 ? 6 : h <= 47 ? 7 : 8;
  return bits;
}();

// Code length of each literal byte when literals are coded (ASCII mode).
inline constexpr std::array<uint8_t, 256> LiteralBitCounts = {
    11, 12, 12, 12, 12, 12, 12, 12, 12, 8,  7,  12, 12, 7,  12, 12,
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 13, 12, 12, 12, 12, 12,
    4,  10, 8,  12, 10, 12, 10, 8,  7,  7,  8,  9,  7,  6,  7,  8,
    7,  6,  7,  7,  7,  7,  8,  7,  7,  8,  8,  12, 11, 7,  9,  11,
    12, 6,  7,  6,  6,  5,  7,  8,  8,  6,  11, 9,  6,  7,  6,  6,
    7,  11, 6,  6,  6,  7,  9,  8,  9,  9,  11, 8,  11, 9,  12, 8,
    12, 5,  6,  6,  6,  5,  6,  6,  6,  5,  11, 7,  5,  6,  5,  5,
    6,  10, 5,  5,  5,  5,  8,  7,  8,  8,  10, 11, 11, 12, 12, 12,
    13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,
    13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,
    13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13,
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,
    13, 12, 13, 13, 13, 12, 13, 13, 13, 12, 13, 13, 13, 13, 12, 13,
    13, 13, 12, 12, 12, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13};

// Code values from code lengths, as the decoder sees them in the low bits of
// its bit buffer.
template <typename Value, size_t N>
constexpr std::array<Value, N> CodeValuesFor(const std::array<uint8_t, N>& bits) {
  std::array<Value, N> values{};
  uint32_t code = 0;
  unsigned prevLength = 0;
  bool first = true;
  for (unsigned length = 1; length <= 16; ++length) {
    for (size_t symbol = 0; symbol < N; ++symbol) {
      if (bits[symbol] != length) continue;
      code = first ? 0 : (code + 1) << (length - prevLength);
      first = false;
      prevLength = length;
      uint32_t inverted = ~code & ((1u << length) - 1);
      uint32_t reversed = 0;
      for (unsigned i = 0; i < length; ++i)
        reversed |= ((inverted >> i) & 1u) << (length - 1 - i);
      values[symbol] = Value(reversed);
    }
  }
  return values;
}

inline constexpr auto LengthCodeValues = CodeValuesFor<uint8_t>(LengthBitCounts);
inline constexpr auto DistanceCodeValues = CodeValuesFor<uint8_t>(DistanceBitCounts);
inline constexpr auto LiteralCodeValues = CodeValuesFor<uint16_t>(LiteralBitCounts);

// Every code set is complete (its Kraft sum is exactly 1), so any bit
// sequence decodes to some symbol.
template <size_t N>
constexpr bool IsCompleteCode(const std::array<uint8_t, N>& bits) {
  uint32_t sum = 0;  // in units of 2^-16
  for (uint8_t b : bits) sum += 1u << (16 - b);
  return sum == 1u << 16;
}
static_assert(IsCompleteCode(LengthBitCounts) && IsCompleteCode(DistanceBitCounts) &&
              IsCompleteCode(LiteralBitCounts));

static_assert(LengthBaseValues[8] == 8 && LengthBaseValues[15] == 262);
static_assert(LengthCodeValues[1] == 0x03 && LengthCodeValues[0] == 0x05);
static_assert(LengthCodeValues[15] == 0x00);
static_assert(DistanceCodeValues[0] == 0x03);
static_assert(LiteralCodeValues[' '] == 0x0F && LiteralCodeValues['E'] == 0x17);

// The standard reflected CRC-32 table, polynomial 0xEDB88320.
inline constexpr std::array<uint32_t, 256> Crc32Table = [] {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}();

static_assert(Crc32Table[1] == 0x77073096u && Crc32Table[255] == 0x2D02EF8Du);

// Crc32Slices[k][b] is the register change of byte b followed by k zero
// bytes, so that eight bytes are folded with eight lookups at once (slicing
// by eight); slice 0 is Crc32Table itself.
inline constexpr std::array<std::array<uint32_t, 256>, 8> Crc32Slices = [] {
  std::array<std::array<uint32_t, 256>, 8> slices{};
  slices[0] = Crc32Table;
  for (size_t k = 1; k < 8; ++k)
    for (size_t b = 0; b < 256; ++b)
      slices[k][b] = (slices[k - 1][b] >> 8) ^ Crc32Table[slices[k - 1][b] & 0xFF];
  return slices;
}();

static_assert(Crc32Slices[1][1] == ((0x77073096u >> 8) ^ Crc32Table[0x96]));

}  // namespace dcl
