#include "explode/Explode.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <type_traits>

#include "explode/Tables.h"

// Most tokens are read in a fast stretch: one lookup of the low 12 bits of
// the bit buffer in a constant whole-token table gives a literal or a short
// copy with its bit count and distance, and the same branch-free steps
// handle both (a literal copies from a dummy distance, then stores its byte
// over the first). Longer and rarer tokens take a branch out of it. Near
// the end of each input buffer, where a reader that takes one byte at a
// time might call the read callback, and at the start of the output,
// tokens are read one at a time, down to one drop at a time, so that the
// callbacks come at the same points whichever way a token is read.

// The bit reader loads several input bytes at once as one integer, and the
// copies build repeating patterns in one.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr uint32_t EndCode = 773;     // token: length value 517
constexpr uint32_t InputEnded = 774;  // token: a drop found no more input
constexpr uint32_t FlushAt = 2 * DclBlockSize;
constexpr uint32_t WindowSize = sizeof(DclWorkArea::Window);

// The bit buffer is as wide as a register: a 32-bit program would pay for a
// 64-bit buffer with register pairs and spills.
using Word = std::conditional_t<sizeof(void*) >= 8, uint64_t, uint32_t>;
constexpr uint32_t WordBits = 8 * sizeof(Word);

// Longest literal or length part of a token (flag, 7-bit length code, 8
// extra bits) and longest distance part (8-bit code, 6 low bits).
constexpr uint32_t MaxLiteralOrLengthBits = 1 + 7 + 8;
constexpr uint32_t MaxDistanceBits = 8 + 6;
// The reader keeps 8 bits ahead: a token is read without calling the read
// callback only when its bits and those 8 are all in the buffer.
constexpr uint32_t LookAhead = 8;

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

constexpr auto LengthLookup = MakeLookup(dcl::LengthBitCounts, dcl::LengthCodeValues);
constexpr auto DistanceLookup = MakeLookup(dcl::DistanceBitCounts, dcl::DistanceCodeValues);
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

constexpr LiteralLookups Literals = [] {
  LiteralLookups t;
  for (size_t i = 256; i-- > 0;) {
    uint32_t n = dcl::LiteralBitCounts[i];
    uint32_t c = dcl::LiteralCodeValues[i];
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
static_assert(dcl::LiteralCodeValues[0] == 0x490 && Literals.First[0x90] == 0xFF &&
              Literals.After4[0x49] == 0 && Literals.Bits[0] == 7);
static_assert(dcl::LiteralCodeValues[0x80] == 0x240 && Literals.First[0x40] == 0xFF &&
              Literals.After6[0x09] == 0x80 && Literals.Bits[0x80] == 7);
static_assert(dcl::LiteralCodeValues[0xFF] == 0 && Literals.After8[0] == 0xFF && Literals.Bits[0xFF] == 5);

// ---- Whole-token tables -------------------------------------------------
//
// One lookup of the low TokenIndexBits bits of the buffer, flag bit
// included, gives a whole token when it fits there: a literal, or a copy of
// up to MaxTableLength bytes whose length code, extra bits and distance
// code all do (only the distance's low bits lie beyond). An entry:
constexpr uint32_t TokenIndexBits = 12;
constexpr uint32_t TokenIndexMask = (1u << TokenIndexBits) - 1;
constexpr uint32_t MaxTableLength = 63;
// bits 0-5: all of the token's bits, counting 6 low distance bits for a copy
// that takes them from the dictionary size, so that with the largest
// dictionary the entry is a shift count as it stands (shifts use the low
// bits of their count);
// bits 6-8: 7 for such a copy, else 0: (entry >> 6) & (6 - dictBits) is
// then what a smaller dictionary takes off;
constexpr uint32_t NarrowShift = 6;
// bits 9-14: output bytes: 1 for a literal, the length of a copy, 0 for a
// token read another way;
constexpr uint32_t LengthShift = 9;
// bit 15: set for a copy, which stores the literal byte 16 bytes on:
// (entry & CopyFlag) >> 11; the length field holds up to MaxTableLength;
constexpr uint32_t CopyFlag = 1u << 15;
constexpr uint32_t CopyFlagShift = 11;
static_assert(CopyFlag >> CopyFlagShift == 16);
// bits 16-23: the literal;
constexpr uint32_t LiteralShift = 16;
// bits 24-31: the slot in DistanceSlots: the distance's high part, plus 64
// when the dictionary size gives the low bits, or LiteralSlot.
constexpr uint32_t SlotShift = 24;
constexpr uint32_t LiteralSlot = 128;
//
// A copy of up to MaxTableLength bytes whose length part fits the index but
// whose distance code does not (a far copy) has length 0, the bits of its
// length part in bits 0-5 and its length in bits 16-23. Every other token
// (a longer copy, the end code, an ASCII literal of 12 or 13 bits) has the
// entry 0 and is read with the code lookups.
using TokenTable = std::array<uint32_t, 1u << TokenIndexBits>;

constexpr uint32_t TokenLength(uint32_t entry) { return (entry >> LengthShift) & 63; }

// Enters entry at every index whose low bits are code.
constexpr void Enter(TokenTable& table, uint32_t code, uint32_t bits, uint32_t entry) {
  for (uint32_t j = code; j < table.size(); j += 1u << bits) table[j] = entry;
}

constexpr TokenTable MakeTokenTable(bool asciiMode) {
  TokenTable table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t code = asciiMode ? uint32_t(dcl::LiteralCodeValues[i]) << 1 : i << 1;
    uint32_t bits = 1 + (asciiMode ? dcl::LiteralBitCounts[i] : 8);
    if (bits <= TokenIndexBits)
      Enter(table, code, bits,
            bits | LiteralSlot << SlotShift | 1u << LengthShift | i << LiteralShift);
  }
  for (uint32_t s = 0; s < 16; ++s) {
    uint32_t codeBits = 1 + dcl::LengthBitCounts[s];
    uint32_t extra = dcl::LengthExtraBits[s];
    uint32_t lengthBits = codeBits + extra;
    for (uint32_t x = 0; x < 1u << extra; ++x) {
      uint32_t length = dcl::LengthBaseValues[s] + x + 2;
      if (length > MaxTableLength || lengthBits > TokenIndexBits) break;
      uint32_t lengthCode = 1u | uint32_t(dcl::LengthCodeValues[s]) << 1 | x << codeBits;
      // Far first; the distance codes that fit then overwrite their share.
      Enter(table, lengthCode, lengthBits, lengthBits | length << LiteralShift);
      for (uint32_t h = 0; h < 64; ++h) {
        uint32_t bits = lengthBits + dcl::DistanceBitCounts[h];
        if (bits > TokenIndexBits) continue;
        uint32_t code = lengthCode | uint32_t(dcl::DistanceCodeValues[h]) << lengthBits;
        uint32_t entry = length == 2 ? (bits + 2) | h << SlotShift
                                     : (bits + 6) | 7u << NarrowShift | (64 + h) << SlotShift;
        Enter(table, code, bits, entry | length << LengthShift | CopyFlag);
      }
    }
  }
  return table;
}

constexpr TokenTable BinaryTokens = MakeTokenTable(false);
constexpr TokenTable AsciiTokens = MakeTokenTable(true);

constexpr uint32_t CountLength(const TokenTable& table, uint32_t length) {
  uint32_t n = 0;
  for (uint32_t entry : table) n += TokenLength(entry) == length;
  return n;
}
// Every binary literal fits. In ASCII mode the 91 literals of 12 bits and
// the 74 of 13 bits, flag bit added, take 91/2 + 74/4 = 64 of the 2048
// literal indices.
static_assert(CountLength(BinaryTokens, 1) == 2048 && CountLength(AsciiTokens, 1) == 2048 - 64);

// Known entries: flag 0 then 'A' as 8 plain bits; flag 1, length code 11
// (symbol 1: 3 bytes), distance code 11 (high part 0); flag 1, length code
// 101 (symbol 0: 2 bytes), distance code 11, 2 low bits; flag 1, code
// 0000000 (symbol 15, the end code among them); flag 0 then the space's
// code 1111.
static_assert(BinaryTokens[0x41 << 1] ==
              (9 | LiteralSlot << SlotShift | 1 << LengthShift | 0x41u << LiteralShift));
static_assert(BinaryTokens[0b11111] ==
              ((5 + 6) | 7 << NarrowShift | 3 << LengthShift | CopyFlag | 64u << SlotShift));
static_assert(BinaryTokens[0b111011] == ((6 + 2) | 2 << LengthShift | CopyFlag | 0 << SlotShift));
static_assert(BinaryTokens[0b1] == 0 && AsciiTokens[0b1] == 0);
// Far: flag 1, the 5-bit length code of symbol 7 (9 bytes), then the 8-bit
// distance code 00000000 of high part 63, 14 bits in all.
static_assert(dcl::DistanceCodeValues[63] == 0 && dcl::LengthBitCounts[7] == 5 &&
              BinaryTokens[1 | dcl::LengthCodeValues[7] << 1] == (6 | 9 << LiteralShift));
static_assert(AsciiTokens[0b11110] ==
              (5 | LiteralSlot << SlotShift | 1 << LengthShift | uint32_t(' ') << LiteralShift));

// The distance of a token-table copy, per dictionary size and slot:
// (high part << low bits) + 1, and in bits 12-17 WordBits less the number of
// low bits, the shift that brings them down once they stand at the top of a
// word. A literal gets a distance of 63 or 64 from its one "low bit", which
// lets it pass a copy's checks (see the fast stretch).
using SlotTable = std::array<uint32_t, LiteralSlot + 1>;
constexpr std::array<SlotTable, 3> DistanceSlots = [] {
  std::array<SlotTable, 3> slots{};
  for (uint32_t d = 4; d <= 6; ++d) {
    for (uint32_t h = 0; h < 64; ++h) {
      slots[d - 4][h] = ((h << 2) + 1) | (WordBits - 2) << 12;
      slots[d - 4][64 + h] = ((h << d) + 1) | (WordBits - d) << 12;
    }
    slots[d - 4][LiteralSlot] = 63 | (WordBits - 1) << 12;
  }
  return slots;
}();
static_assert(DistanceSlots[2][64 + 63] == (((63 << 6) + 1) | (WordBits - 6) << 12));

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

// Calls the read callback into the input buffer. A callback that claims more
// than the buffer holds is held to the buffer's size.
uint32_t Refill(DclWorkArea& w) {
  uint32_t request = DclInBufSize;
  return std::min(w.Read(w.InBuf, &request, w.Param), DclInBufSize);
}

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

// Moves whole bytes from the input buffer into buf while they fit. Never
// calls the read callback.
inline void TopUp(const DclWorkArea& w, Bits& b) {
  if (b.avail - b.pos >= sizeof(Word)) {
    const uint8_t* in = w.InBuf + b.pos;
    LoadWord(in, b.buf, b.count);
    b.pos = uint32_t(in - w.InBuf);
    return;
  }
  while (b.count <= WordBits - 8 && b.pos < b.avail) {
    b.buf |= Word(w.InBuf[b.pos++]) << b.count;
    b.count += 8;
  }
}

// Drops n bits (n <= 16), keeping at least 8 valid bits. False when that
// needed input and the input had ended.
inline bool Drop(DclWorkArea& w, Bits& b, uint32_t n) {
  while (b.count < n + 8) {
    if (b.pos == b.avail) {
      b.avail = Refill(w);
      b.pos = 0;
      if (b.avail == 0) return false;
    }
    TopUp(w, b);
  }
  b.buf >>= n;
  b.count -= n;
  return true;
}

inline uint32_t Low(const Bits& b, uint32_t n) { return uint32_t(b.buf) & ((1u << n) - 1); }

// ---- Token reading with the code lookups --------------------------------

// Resolves an ASCII-mode literal code at the bottom of v; adds the bits it
// takes to *used.
inline uint32_t LiteralAt(Word v, uint32_t* used) {
  uint32_t s;
  if (v & 0xFF) {
    s = Literals.First[v & 0xFF];
    if (s == 0xFF) {
      if (v & 0x3F) {
        *used += 4;
        s = Literals.After4[(v >> 4) & 0xFF];
      } else {
        *used += 6;
        s = Literals.After6[(v >> 6) & 0x7F];
      }
    }
  } else {
    *used += 8;
    s = Literals.After8[(v >> 8) & 0xFF];
  }
  *used += Literals.Bits[s];
  return s;
}

// Reads a literal or a copy's length from the bottom of buf, which holds at
// least MaxLiteralOrLengthBits bits; sets *used to its bits. Returns the
// token: a literal, 256 + length value, or EndCode.
[[gnu::noinline]] uint32_t WholeToken(bool asciiMode, Word buf, uint32_t* used) {
  if (!(buf & 1)) {
    if (!asciiMode) {
      *used = 9;
      return uint32_t(buf >> 1) & 0xFF;
    }
    *used = 1;
    return LiteralAt(buf >> 1, used);
  }
  uint32_t s = LengthLookup[(buf >> 1) & 0xFF];
  uint32_t codeBits = 1 + dcl::LengthBitCounts[s];
  uint32_t e = dcl::LengthExtraBits[s];
  *used = codeBits + e;
  return 256 + dcl::LengthBaseValues[s] + (uint32_t(buf >> codeBits) & ((1u << e) - 1));
}

// Reads a copy's distance from the bottom of buf, which holds at least
// MaxDistanceBits bits; adds its bits to *used. A 2-byte copy has 2 low
// bits whatever the dictionary size.
inline uint32_t WholeDistance(Word buf, uint32_t len, uint32_t dictBits, uint32_t* used) {
  uint32_t high = DistanceLookup[buf & 0xFF];
  uint32_t codeBits = dcl::DistanceBitCounts[high];
  uint32_t lowBits = len == 2 ? 2 : dictBits;
  *used += codeBits + lowBits;
  return (high << lowBits | (uint32_t(buf >> codeBits) & ((1u << lowBits) - 1))) + 1;
}

// Reads one token near the end of the input, one drop at a time: 0..255 a
// literal, 256 + length value a copy, EndCode, or InputEnded. Whenever a
// stream is fed in small reads this is all that reads it, so those streams
// check the whole-token tables against the code lookups.
uint32_t SlowToken(DclWorkArea& w, Bits& b) {
  if (b.buf & 1) {
    if (!Drop(w, b, 1)) return InputEnded;
    uint32_t s = LengthLookup[Low(b, 8)];
    if (!Drop(w, b, dcl::LengthBitCounts[s])) return InputEnded;
    uint32_t e = dcl::LengthExtraBits[s];
    if (e == 0) return 256 + s;
    uint32_t x = Low(b, e);
    // The end code's extra bits may be the last bits of the stream, so the
    // top-up after them is allowed to fail.
    if (!Drop(w, b, e) && s + x != 15 + 255) return InputEnded;
    return 256 + dcl::LengthBaseValues[s] + x;
  }
  if (!Drop(w, b, 1)) return InputEnded;
  if (w.LiteralMode == 0) {
    uint32_t literal = Low(b, 8);
    return Drop(w, b, 8) ? literal : InputEnded;
  }
  uint32_t s;
  if (Low(b, 8)) {
    s = Literals.First[Low(b, 8)];
    if (s == 0xFF) {
      if (Low(b, 6)) {
        if (!Drop(w, b, 4)) return InputEnded;
        s = Literals.After4[Low(b, 8)];
      } else {
        if (!Drop(w, b, 6)) return InputEnded;
        s = Literals.After6[Low(b, 7)];
      }
    }
  } else {
    if (!Drop(w, b, 8)) return InputEnded;
    s = Literals.After8[Low(b, 8)];
  }
  return Drop(w, b, Literals.Bits[s]) ? s : InputEnded;
}

// Reads the distance of a copy of length len one drop at a time; 0 when the
// input ended.
uint32_t SlowDistance(DclWorkArea& w, Bits& b, uint32_t len) {
  uint32_t high = DistanceLookup[Low(b, 8)];
  if (!Drop(w, b, dcl::DistanceBitCounts[high])) return 0;
  uint32_t lowBits = len == 2 ? 2 : w.DictBits;
  uint32_t d = (high << lowBits) | Low(b, lowBits);
  if (!Drop(w, b, lowBits)) return 0;
  return d + 1;
}

// Reads a table token (length not 0) from buf, taking its bits, and
// returns its distance; a literal's is 63 or 64. Only the low bits of count
// are kept right. slots is the dictionary size's row of DistanceSlots;
// Largest: the dictionary size is the largest, and nothing is taken off.
template <bool Largest>
inline uint32_t TableDistance(uint32_t entry, const uint32_t* slots, uint32_t dictBits, Word& buf,
                              uint32_t& count) {
  // bits: the token's bit count in its low bits, and more above.
  uint32_t bits = entry;
  if constexpr (!Largest) bits -= (entry >> NarrowShift) & (6 - dictBits);
  Word before = buf;
  buf >>= bits & (WordBits - 1);
  count -= bits;
  uint32_t slot = slots[entry >> SlotShift];
  // The low distance bits end where the token ends: shift them to the top
  // of the word, then down to the bottom.
  uint32_t lowPart = uint32_t((before << ((0 - bits) & (WordBits - 1))) >>
                              ((slot >> 12) & (WordBits - 1)));
  return (slot & 0xFFF) + lowPart;
}

// Reads a far copy, whose length part's bits are in entry and whose
// distance follows them, from buf, which holds all its bits; returns its
// distance.
inline uint32_t FarDistance(uint32_t entry, uint32_t dictBits, Word& buf, uint32_t& count) {
  uint32_t used = entry & 63;
  uint32_t dist = WholeDistance(buf >> used, (entry >> LiteralShift) & 0xFF, dictBits, &used);
  buf >>= used;
  count -= used;
  return dist;
}

// ---- Output -------------------------------------------------------------

void WriteOut(DclWorkArea& w, uint32_t from, uint32_t count) {
  w.Write(w.Window + from, &count, w.Param);
}

// Copies len bytes from dist bytes back, exactly; a distance shorter than
// the length repeats the last dist bytes.
void CopyExact(uint8_t* dst, uint32_t dist, uint32_t len) {
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

// ---- The main loop ------------------------------------------------------

// The fast stretch runs in batches of token pairs. A pair takes at most 8
// bytes of input beyond what was loaded before it, so a batch starts only
// with FastInputAhead bytes unread: each word load (one per pair with a
// 64-bit buffer, one per token with a 32-bit one, and one more after a far
// or long copy) then still finds a word to read.
constexpr uint32_t PairInput = 8;
constexpr uint32_t FastInputAhead = sizeof(Word) + PairInput;
// A pair starts below the flush threshold, so its second token starts
// before FlushAt + MaxTableLength; a table or far token writes at most
// MaxTableLength + 15 bytes. A long one starts only below the threshold and
// is copied exactly where its wide pieces would not fit.
constexpr uint32_t PairOutput = 2 * MaxTableLength;
static_assert(FlushAt + 2 * MaxTableLength + 15 <= WindowSize && MaxTableLength < DclMaxCopy);
// Bits of the longest token.
constexpr uint32_t MaxTokenBits = MaxLiteralOrLengthBits + MaxDistanceBits;
// The longest distance, the high part 63 and 6 low bits, reaches no further
// back than the block last written: once the first block is flushed, no
// copy can reach before the output.
constexpr uint32_t MaxDistance = 64u << 6;
static_assert(MaxDistance <= DclBlockSize);

// The fast stretch: whole tokens with no callback and no check of the bit
// count, while the input buffer has FastInputAhead bytes unread and the
// output is below the flush threshold. Full: the dictionary is full, so no
// distance reaches too far. Leaves the state in b and out; returns
// EndCode, InputEnded or some other token.
template <bool Largest, bool Full>
[[gnu::always_inline]] inline uint32_t FastStretch(DclWorkArea& w, bool asciiMode, uint32_t dictBits,
                                                    Bits& b, uint32_t& out, uint32_t lowest) {
  // Its state lives in locals so that it stays in registers.
  const uint32_t* const tokens = asciiMode ? AsciiTokens.data() : BinaryTokens.data();
  const uint32_t* const slots = DistanceSlots[dictBits - 4].data();
  const uint8_t* in = w.InBuf + b.pos;
  const uint8_t* const inLimit = w.InBuf + b.avail - FastInputAhead;
  uint8_t* const window = w.Window;
  uint8_t* op = window + out;
  uint8_t* const opLimit = window + FlushAt;
  // A table copy takes the quick way when 8 <= dist <= op - low, one
  // comparison as dist - 8 <= op - (low + 8), which needs op >= low + 8.
  const uint8_t* const low8 = window + lowest + 8;
  Word buf = b.buf;
  uint32_t count = b.count;
  uint32_t token = 0;
  // One token from its table entry. False when the batch must end: after a
  // long token, or at the end of the stream.
  auto step = [&](uint32_t entry) {
    uint32_t len = TokenLength(entry);
    uint32_t dist;
    if (len != 0) [[likely]] {
      // Literals and copies alike, without a branch between them: a literal
      // copies 16 bytes from 63 or 64 bytes back, then stores its byte over
      // the first; a copy stores that byte 16 bytes on, where the rest of a
      // longer copy or later output overwrites it. The 16 bytes go in two
      // 8-byte pieces, which a distance of 8 allows, and a load that
      // overlaps fewer recent stores waits for fewer (measured faster than
      // one 16-byte piece or three 8-byte ones).
      dist = TableDistance<Largest>(entry, slots, dictBits, buf, count);
      if (Full ? dist >= 8 : dist - 8 <= uintptr_t(op - low8)) [[likely]] {
        std::memcpy(op, op - dist, 8);
        std::memcpy(op + 8, op + 8 - dist, 8);
        op[(entry & CopyFlag) >> CopyFlagShift] = uint8_t(entry >> LiteralShift);
        if (len > 16) [[unlikely]]
          CopyWide(op + 16, dist, len - 16);
        op += len;
        return true;
      }
    } else if (entry != 0) {
      len = (entry >> LiteralShift) & 0xFF;
      if constexpr (WordBits < 64) {
        buf >>= entry & 63;
        count -= entry & 63;
        LoadWord(in, buf, count);
        entry &= ~63u;
      }
      dist = FarDistance(entry, dictBits, buf, count);
      // Room again for a long token after it.
      if constexpr (WordBits == 64) LoadWord(in, buf, count);
    } else {
      // The second token of a pair may start past the flush threshold,
      // where the window has no room for the longest copy: it waits for
      // the flush.
      if (op >= opLimit) return false;
      uint32_t used;
      token = WholeToken(asciiMode, buf, &used);
      if (token < 256) {
        buf >>= used;
        count -= used;
        *op++ = uint8_t(token);
        return false;
      }
      if (token == EndCode) return false;
      len = token - 254;
      if constexpr (WordBits < MaxTokenBits + LookAhead) {
        buf >>= used;
        count -= used;
        LoadWord(in, buf, count);
        used = 0;
      }
      dist = WholeDistance(buf >> used, len, dictBits, &used);
      buf >>= used;
      count -= used;
    }
    if constexpr (!Full) {
      // A literal whose dummy distance reaches before the output: the
      // window holds fewer than 64 bytes of it yet.
      if (len == 1) {
        *op++ = uint8_t(entry >> LiteralShift);
        return true;
      }
      if (dist > uintptr_t(op - low8) + 8) {
        token = InputEnded;
        return false;
      }
    }
    if (op + len + 15 <= window + WindowSize) [[likely]]
      CopyWide(op, dist, len);
    else
      CopyExact(op, dist, len);
    op += len;
    return entry != 0;
  };
  while (in <= inLimit && op < opLimit) {
    // Counted before the load, which may carry in past inLimit: the
    // differences are then never negative, whatever the pointer width.
    uint32_t pairs = uint32_t(std::min(uintptr_t(inLimit - in) / PairInput,
                                       uintptr_t(opLimit - 1 - op) / PairOutput)) + 1;
    LoadWord(in, buf, count);
    bool more;
    do {
      // A 64-bit buffer holds the next index's bits before the load, so the
      // lookup need not wait for it, and then both tokens of the pair; a
      // 32-bit one needs a load before each lookup.
      uint32_t entry;
      if constexpr (WordBits == 64) {
        entry = tokens[buf & TokenIndexMask];
        LoadWord(in, buf, count);
      } else {
        LoadWord(in, buf, count);
        entry = tokens[buf & TokenIndexMask];
      }
      if (!(more = step(entry))) break;
      if constexpr (WordBits != 64) LoadWord(in, buf, count);
      more = step(tokens[buf & TokenIndexMask]);
    } while (more && --pairs);
    if (token >= EndCode) break;
  }
  b.buf = buf;
  b.count = count & (WordBits - 1);
  b.pos = uint32_t(in - w.InBuf);
  out = uint32_t(op - window);
  return token;
}

// Decodes one stream. Largest: its dictionary size is the largest, which
// spares the fast stretch a step per token (the smaller ones are rarer, as
// only small files choose them). Returns the last token: EndCode or
// InputEnded.
template <bool Largest>
uint32_t Explode(DclWorkArea& w) {
  const uint32_t dictBits = Largest ? 6 : w.DictBits;
  Bits b{w.BitBuf, 8 + w.ExtraBits, w.InPos, w.InCount};
  const bool asciiMode = w.LiteralMode != 0;
  const uint32_t* const tokens = asciiMode ? AsciiTokens.data() : BinaryTokens.data();
  uint8_t* const window = w.Window;
  uint32_t out = DclBlockSize;
  // Until the first block is flushed, only the bytes from DclBlockSize up to
  // out have been written; a copy must not reach below them. After that the
  // whole window below out is output, and no distance reaches past it.
  uint32_t lowest = DclBlockSize;
  uint32_t token = 0;
  for (;;) {
    // The stretch's one comparison for a copy's distance needs 8 bytes of
    // output below it.
    if (b.avail - b.pos >= FastInputAhead && out < FlushAt && out - lowest >= 8) {
      token = lowest == 0 ? FastStretch<Largest, true>(w, asciiMode, dictBits, b, out, lowest)
                          : FastStretch<Largest, false>(w, asciiMode, dictBits, b, out, lowest);
      if (token >= EndCode) break;
    } else {
      // One token the careful way: near the end of the input buffer, where
      // the read callback may be due, or at the start of the output.
      TopUp(w, b);
      uint32_t dist = 0;
      if (WordBits == 64 && b.count >= MaxTokenBits + LookAhead) {
        // The whole token is in the buffer.
        uint32_t entry = tokens[b.buf & TokenIndexMask];
        uint32_t len = TokenLength(entry);
        if (len != 0) {
          dist = TableDistance<Largest>(entry, DistanceSlots[dictBits - 4].data(), dictBits, b.buf,
                                        b.count);
          b.count &= WordBits - 1;
          token = len == 1 ? (entry >> LiteralShift) & 0xFF : 254 + len;
        } else if (entry != 0) {
          dist = FarDistance(entry, dictBits, b.buf, b.count);
          token = 254 + ((entry >> LiteralShift) & 0xFF);
        } else {
          uint32_t used;
          token = WholeToken(asciiMode, b.buf, &used);
          if (token >= 256 && token < EndCode)
            dist = WholeDistance(b.buf >> used, token - 254, dictBits, &used);
          b.buf >>= used;
          b.count -= used;
        }
      } else if (b.count >= MaxLiteralOrLengthBits + LookAhead) {
        uint32_t used;
        token = WholeToken(asciiMode, b.buf, &used);
        b.buf >>= used;
        b.count -= used;
      } else {
        token = SlowToken(w, b);
      }
      if (token < 256) {
        window[out++] = uint8_t(token);
      } else {
        if (token >= EndCode) break;
        uint32_t len = token - 254;
        if (dist == 0) {
          TopUp(w, b);
          if (b.count >= MaxDistanceBits + LookAhead) {
            uint32_t used = 0;
            dist = WholeDistance(b.buf, len, dictBits, &used);
            b.buf >>= used;
            b.count -= used;
          } else if ((dist = SlowDistance(w, b, len)) == 0) {
            token = InputEnded;
            break;
          }
        }
        if (dist > out - lowest) {
          token = InputEnded;
          break;
        }
        if (out + len + 15 <= WindowSize)
          CopyWide(window + out, dist, len);
        else
          CopyExact(window + out, dist, len);
        out += len;
      }
    }
    if (out >= FlushAt) {
      WriteOut(w, DclBlockSize, DclBlockSize);
      std::memmove(window, window + DclBlockSize, out - DclBlockSize);
      out -= DclBlockSize;
      lowest = 0;
    }
  }
  WriteOut(w, DclBlockSize, out - DclBlockSize);
  // Leave the registers as far as the work area's fields hold them.
  w.OutPos = out;
  w.BitBuf = uint32_t(b.buf);
  w.ExtraBits = b.count > 8 ? std::min(b.count - 8, 7u) : 0;
  w.InPos = b.pos;
  w.InCount = b.avail;
  return token;
}

}  // namespace

uint32_t DclDecompress(DclReadProc read, DclWriteProc write, void* workArea, void* param) {
  DclWorkArea& w = *static_cast<DclWorkArea*>(workArea);
  w.Read = read;
  w.Write = write;
  w.Param = param;
  w.InCount = Refill(w);
  if (w.InCount <= 4) return DclInputTooShort;

  w.LiteralMode = w.InBuf[0];
  w.DictBits = w.InBuf[1];
  w.BitBuf = w.InBuf[2];
  w.ExtraBits = 0;
  w.InPos = 3;
  if (w.DictBits < 4 || w.DictBits > 6) return DclBadDictSize;
  w.DictMask = 0xFFFFu >> (16 - w.DictBits);
  if (w.LiteralMode > 1) return DclBadLiteralMode;

  uint32_t last = w.DictBits == 6 ? Explode<true>(w) : Explode<false>(w);
  return last == InputEnded ? DclInputEnded : DclOk;
}
