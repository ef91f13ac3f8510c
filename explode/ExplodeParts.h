// What the decoder's careful reader (Explode.cpp) and its fast stretch
// (ExplodeFast.cpp) share: the token values, the bit reader's state, the
// code lookups and the copies. Internal to the decoder.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "explode/Explode.h"
#include "explode/Tables.h"

// The bit reader loads several input bytes at once as one integer, and the
// copies build repeating patterns in one.
static_assert(std::endian::native == std::endian::little);

namespace dcl {

inline constexpr uint32_t EndCode = 773;     // token: length value 517
inline constexpr uint32_t InputEnded = 774;  // token: a drop found no more input
inline constexpr uint32_t FlushAt = 2 * DclBlockSize;
inline constexpr uint32_t WindowSize = sizeof(DclWorkArea::Window);

// The bit buffer is as wide as a register: a 32-bit program would pay for a
// 64-bit buffer with register pairs and spills.
using Word = std::conditional_t<sizeof(void*) >= 8, uint64_t, uint32_t>;
inline constexpr uint32_t WordBits = 8 * sizeof(Word);

// Longest literal or length part of a token (flag, 7-bit length code, 8
// extra bits) and longest distance part (8-bit code, 6 low bits).
inline constexpr uint32_t MaxLiteralOrLengthBits = 1 + 7 + 8;
inline constexpr uint32_t MaxDistanceBits = 8 + 6;
// The reader keeps 8 bits ahead: a token is read without calling the read
// callback only when its bits and those 8 are all in the buffer.
inline constexpr uint32_t LookAhead = 8;

// ---- Code lookups -------------------------------------------------------
//
// For each value of the low 8 bits of the bit buffer, the symbol whose code
// they begin with; lower symbols are entered last and so win, which only
// matters for values no code begins with (there are none: the codes are
// complete). Used where the input is read a drop at a time.
template <size_t N>
constexpr std::array<uint8_t, 256> MakeLookup(const std::array<uint8_t, N>& bits,
                                              const std::array<uint8_t, N>& codes) {
  std::array<uint8_t, 256> lookup{};
  for (size_t i = N; i-- > 0;)
    for (uint32_t j = codes[i]; j < 256; j += 1u << bits[i]) lookup[j] = uint8_t(i);
  return lookup;
}

inline constexpr auto LengthLookup = MakeLookup(LengthBitCounts, LengthCodeValues);
inline constexpr auto DistanceLookup = MakeLookup(DistanceBitCounts, DistanceCodeValues);
static_assert(LengthLookup[0b11] == 1 && LengthLookup[0xFF] == 1 && LengthLookup[0b101] == 0 &&
              LengthLookup[0] == 15);
static_assert(DistanceLookup[0b11] == 0 && DistanceLookup[0] == 63);

// ASCII literals: codes of up to 8 bits resolve in First; a longer code is
// resolved after its first 4 bits (low 8 bits non-zero, low 6 non-zero:
// After4), its first 6 (low 8 non-zero, low 6 zero: After6) or its first 8
// (low 8 all zero: After8). First holds 0xFF for those; literal 0xFF has a
// 13-bit code, so it is never itself found in First. Bits is each literal's
// code length less the bits dropped before its second lookup.
struct LiteralLookups {
  std::array<uint8_t, 256> First{}, After4{}, After8{}, Bits{};
  std::array<uint8_t, 128> After6{};
};

inline constexpr LiteralLookups Literals = [] {
  LiteralLookups t;
  for (size_t i = 256; i-- > 0;) {
    uint32_t n = LiteralBitCounts[i];
    uint32_t c = LiteralCodeValues[i];
    if (n <= 8) {
      for (uint32_t j = c; j < 256; j += 1u << n) t.First[j] = uint8_t(i);
    } else if (c & 0xFF) {
      t.First[c & 0xFF] = 0xFF;
      if (c & 0x3F) {
        n -= 4;
        for (uint32_t j = c >> 4; j < 256; j += 1u << n) t.After4[j] = uint8_t(i);
      } else {
        n -= 6;
        for (uint32_t j = c >> 6; j < 128; j += 1u << n) t.After6[j] = uint8_t(i);
      }
    } else {
      n -= 8;
      for (uint32_t j = c >> 8; j < 256; j += 1u << n) t.After8[j] = uint8_t(i);
    }
    t.Bits[i] = uint8_t(n);
  }
  return t;
}();
// The space (code 1111) and E (11101); byte 0 (11-bit code 0x490: 4 bits,
// then 7); byte 0x80 (13-bit code 0x240: 6 bits, then 7); byte 0xFF (13-bit
// code 0: 8 bits, then 5).
static_assert(Literals.First[0x0F] == ' ' && Literals.First[0x17] == 'E' && Literals.Bits[' '] == 4);
static_assert(LiteralCodeValues[0] == 0x490 && Literals.First[0x90] == 0xFF &&
              Literals.After4[0x49] == 0 && Literals.Bits[0] == 7);
static_assert(LiteralCodeValues[0x80] == 0x240 && Literals.First[0x40] == 0xFF &&
              Literals.After6[0x09] == 0x80 && Literals.Bits[0x80] == 7);
static_assert(LiteralCodeValues[0xFF] == 0 && Literals.After8[0] == 0xFF && Literals.Bits[0xFF] == 5);


// ---- The bit reader -----------------------------------------------------
//
// It holds up to a word of bits, taking whole bytes from the input buffer
// as they fit, but calls the read callback exactly when a reader that takes
// one byte at a time would: when a drop would leave fewer than 8 valid bits
// and the input buffer is used up. So a stream fails to decode at the same
// token, and the callbacks are called in the same order, either way.
// Kept in locals, not in the work area: output bytes are stored through a
// byte pointer, which would otherwise force a reload after every store.
struct Bits {
  Word buf;        // unconsumed bits, next one in bit 0
  uint32_t count;  // valid bits in buf; at least 8 between tokens
  uint32_t pos;    // next unread byte of InBuf
  uint32_t avail;  // valid bytes in InBuf
};


// Fills buf with whole bytes from in, to at least WordBits - 8 bits, without
// a branch; in must have a word to read. Only the low bits of count that
// can count the bits of a word are looked at and kept right, so the fast
// stretch may subtract whole table entries from it. The bytes beyond those
// counted land above count; they are the very bytes the next load puts
// there, so OR-ing them again changes nothing.
inline void LoadWord(const uint8_t*& in, Word& buf, uint32_t& count) {
  Word word;
  std::memcpy(&word, in, sizeof word);
  buf |= word << (count & (WordBits - 1));
  in += sizeof(Word) - 1 - ((count >> 3) & (sizeof(Word) - 1));
  count |= WordBits - 8;
}


// Copies len bytes from dist bytes back, exactly; a distance shorter than
// the length repeats the last dist bytes.
inline void CopyExact(uint8_t* dst, uint32_t dist, uint32_t len) {
  const uint8_t* src = dst - dist;
  if (dist >= len) {
    std::memcpy(dst, src, len);
  } else {
    for (uint32_t i = 0; i < len; ++i) dst[i] = src[i];
  }
}

// The same in whole 8- or 16-byte pieces, so it may write up to 15 bytes
// past the copy's end; those bytes are not output yet, and later output
// overwrites them. A piece never reads bytes an earlier piece has not
// written yet: pieces are no longer than the distance, and a distance below
// 8 first becomes an 8-byte repeating pattern.
inline void CopyWide(uint8_t* dst, uint32_t dist, uint32_t len) {
  const uint8_t* src = dst - dist;
  uint8_t* const end = dst + len;
  if (dist >= 16) {
    do {
      std::memcpy(dst, src, 16);
      dst += 16;
      src += 16;
    } while (dst < end);
    return;
  }
  if (dist < 8) {
    // The first dist bytes at src repeated: the bytes after them in the
    // load are not written yet and are masked off.
    uint64_t pattern;
    std::memcpy(&pattern, src, 8);
    pattern &= ~uint64_t(0) >> (64 - 8 * dist);
    pattern |= pattern << (8 * dist);
    if (dist < 4) pattern |= pattern << (16 * dist);
    if (dist == 1) pattern |= pattern << 32;
    if ((dist & (dist - 1)) == 0) {  // 1, 2 or 4
      do {
        std::memcpy(dst, &pattern, 8);
        dst += 8;
      } while (dst < end);
      return;
    }
    // Distances 3, 5, 6 and 7: after the first 8 bytes, copy from the
    // smallest multiple of the distance that is at least 8 bytes back.
    std::memcpy(dst, &pattern, 8);
    src = dst + 8 - (dist == 3 ? 9 : 2 * dist);
    dst += 8;
    if (dst >= end) return;
  }
  do {
    std::memcpy(dst, src, 8);
    dst += 8;
    src += 8;
  } while (dst < end);
}


// ---- The fast stretch (ExplodeFast.cpp) ---------------------------------

// Input the fast stretch needs unread before it starts; see there.
inline constexpr uint32_t FastInputAhead = 2 * sizeof(Word) + 8;

// Reads whole tokens while the input buffer holds FastInputAhead unread
// bytes and the output is below the flush threshold, with no callback;
// lowest is the lowest window position that holds output. Leaves the bit
// reader in b and the output position in out, and returns EndCode,
// InputEnded (a copy from before the output) or some other token.
uint32_t FastStretch(DclWorkArea& w, Bits& b, uint32_t& out, uint32_t lowest);

}  // namespace dcl
