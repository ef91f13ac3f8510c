#include "explode/Explode.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <type_traits>

#include "explode/Tables.h"

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

// ---- Whole-token tables -------------------------------------------------
//
// One lookup of the low TokenIndexBits bits of the buffer, flag bit
// included, gives the symbol value of a literal or of a copy's length
// (extra bits added) and how many bits it took: entry = value << 6 | bits,
// so that the bit count is a shift count as it stands. A token longer than
// the index has the value LongToken + its length symbol (whose code always
// fits), or LongToken + 16 for an ASCII literal of 12 or 13 bits, and 0
// bits; it is resolved in steps.
constexpr uint32_t TokenIndexBits = 12;
constexpr uint32_t TokenIndexMask = (1u << TokenIndexBits) - 1;
constexpr uint32_t LongToken = 800;
static_assert(LongToken > InputEnded && (LongToken + 16) << 6 <= 0xFFFF);
using TokenTable = std::array<uint16_t, 1u << TokenIndexBits>;

// Enters value << 6 | bits at every index whose low bits are code.
constexpr void Enter(TokenTable& table, uint32_t code, uint32_t bits, uint32_t value) {
  for (uint32_t j = code; j < table.size(); j += 1u << bits) table[j] = uint16_t(value << 6 | bits);
}

constexpr TokenTable MakeTokenTable(bool asciiMode) {
  TokenTable table{};
  for (uint32_t s = 0; s < 16; ++s) {
    uint32_t code = 1u | uint32_t(dcl::LengthCodeValues[s]) << 1;
    uint32_t codeBits = 1 + dcl::LengthBitCounts[s];
    uint32_t extra = dcl::LengthExtraBits[s];
    if (codeBits + extra > TokenIndexBits) {
      Enter(table, code, codeBits, LongToken + s);
      for (uint32_t j = code; j < table.size(); j += 1u << codeBits) table[j] &= ~0x3Fu;
      continue;
    }
    for (uint32_t x = 0; x < 1u << extra; ++x)
      Enter(table, code | x << codeBits, codeBits + extra, 256 + dcl::LengthBaseValues[s] + x);
  }
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t code = asciiMode ? uint32_t(dcl::LiteralCodeValues[i]) << 1 : i << 1;
    uint32_t bits = 1 + (asciiMode ? dcl::LiteralBitCounts[i] : 8);
    if (bits <= TokenIndexBits)
      Enter(table, code, bits, i);
    else
      table[code & TokenIndexMask] = uint16_t((LongToken + 16) << 6);
  }
  return table;
}

constexpr TokenTable BinaryTokens = MakeTokenTable(false);
constexpr TokenTable AsciiTokens = MakeTokenTable(true);

// Every index is a token or the start of one, so the tables have no holes
// (a hole would read as literal 0 in 0 bits).
constexpr bool HasNoHoles(const TokenTable& table) {
  for (uint16_t entry : table)
    if (entry == 0) return false;
  return true;
}
static_assert(HasNoHoles(BinaryTokens) && HasNoHoles(AsciiTokens));

// Known entries: flag 0 then 'A' as 8 plain bits; flag 1, length code 11
// (symbol 1, length value 1, a copy of 3 bytes); flag 1, code 101 (symbol
// 0, a copy of 2); flag 1, code 0000000 and 8 extra bits (symbol 15, the end
// code among them), too long for the index; flag 0 then the space's code
// 1111; flag 0 then E's code 11101; flag 0 then the first 11 bits of the
// 13-bit code of byte 0x80.
static_assert(BinaryTokens[0x41 << 1] == (0x41 << 6 | 9));
static_assert(BinaryTokens[0b111] == ((256 + 1) << 6 | 3) && BinaryTokens[0xFFF] == BinaryTokens[0b111]);
static_assert(BinaryTokens[0b1011] == (256 << 6 | 4));
static_assert(BinaryTokens[0b1] == (LongToken + 15) << 6 && AsciiTokens[0b1] == BinaryTokens[0b1]);
static_assert(AsciiTokens[0b11110] == (' ' << 6 | 5) && AsciiTokens[0b101110] == ('E' << 6 | 6));
static_assert(AsciiTokens[(dcl::LiteralCodeValues[0x80] << 1) & TokenIndexMask] == (LongToken + 16) << 6);

// Distance codes: low 8 bits -> high part << 4 | code bits.
constexpr std::array<uint16_t, 256> DistanceTable = [] {
  std::array<uint16_t, 256> table{};
  for (uint32_t h = 0; h < 64; ++h)
    for (uint32_t j = dcl::DistanceCodeValues[h]; j < 256; j += 1u << dcl::DistanceBitCounts[h])
      table[j] = uint16_t(h << 4 | dcl::DistanceBitCounts[h]);
  return table;
}();
static_assert(DistanceTable[0b11] == 2 && DistanceTable[0xFF] == 2 && DistanceTable[0] == (63 << 4 | 8));

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

// True when a whole word can be loaded from the input buffer.
inline bool CanLoadWord(const Bits& b) { return b.avail - b.pos >= sizeof(Word); }

// Fills buf with whole bytes from the input buffer, to at least WordBits - 8
// bits, without a branch; needs CanLoadWord. The bytes beyond those counted
// land above count; they are the very bytes the next load puts there, so
// OR-ing them again changes nothing.
inline void LoadWord(const DclWorkArea& w, Bits& b) {
  Word word;
  std::memcpy(&word, w.InBuf + b.pos, sizeof word);
  b.buf |= word << b.count;
  b.pos += (WordBits - 1 - b.count) >> 3;
  b.count |= WordBits - 8;
}

// Moves whole bytes from the input buffer into buf while they fit. Never
// calls the read callback.
inline void TopUp(const DclWorkArea& w, Bits& b) {
  if (CanLoadWord(b)) {
    LoadWord(w, b);
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

// ---- Token reading ------------------------------------------------------

// Resolves an ASCII-mode literal code at the bottom of v; adds the bits it
// takes to *used.
inline uint32_t LiteralAt(const DclWorkArea& w, Word v, uint32_t* used) {
  uint32_t s;
  if (v & 0xFF) {
    s = w.LitLookup[v & 0xFF];
    if (s == 0xFF) {
      if (v & 0x3F) {
        *used += 4;
        s = w.LitLookup4[(v >> 4) & 0xFF];
      } else {
        *used += 6;
        s = w.LitLookup6[(v >> 6) & 0x7F];
      }
    }
  } else {
    *used += 8;
    s = w.LitLookup8[(v >> 8) & 0xFF];
  }
  *used += w.LitBits[s];
  return s;
}

// Resolves a token longer than the token index (its value there is long):
// a copy of 70 bytes or more, the end code, or an ASCII literal of 12 or 13
// bits. Sets *used to its bits.
[[gnu::noinline]] uint32_t ResolveLong(const DclWorkArea& w, Word buf, uint32_t long_,
                                       uint32_t* used) {
  uint32_t s = long_ - LongToken;
  if (s == 16) {
    *used = 1;
    return LiteralAt(w, buf >> 1, used);
  }
  uint32_t codeBits = 1 + dcl::LengthBitCounts[s];
  uint32_t e = dcl::LengthExtraBits[s];
  *used = codeBits + e;
  return 256 + dcl::LengthBaseValues[s] + (uint32_t(buf >> codeBits) & ((1u << e) - 1));
}

// Reads a literal or a copy's length when at least MaxLiteralOrLengthBits +
// LookAhead bits are in the buffer, so that no drop can fail.
inline uint32_t FastToken(const uint16_t* tokens, const DclWorkArea& w, Bits& b) {
  uint32_t entry = tokens[b.buf & TokenIndexMask];
  uint32_t used = entry & 63;
  uint32_t token = entry >> 6;
  if (token >= LongToken) [[unlikely]]
    token = ResolveLong(w, b.buf, token, &used);
  b.buf >>= used;
  b.count -= used;
  return token;
}

// Reads a copy's distance when at least MaxDistanceBits + LookAhead bits are
// in the buffer. A 2-byte copy has 2 low bits whatever the dictionary size.
inline uint32_t FastDistance(Bits& b, uint32_t len, uint32_t dictBits) {
  uint32_t entry = DistanceTable[b.buf & 0xFF];
  uint32_t codeBits = entry & 15;
  uint32_t lowBits = len == 2 ? 2 : dictBits;
  uint32_t low = uint32_t(b.buf >> codeBits) & ((1u << lowBits) - 1);
  b.buf >>= codeBits + lowBits;
  b.count -= codeBits + lowBits;
  return ((entry >> 4) << lowBits | low) + 1;
}

// Reads one token near the end of the input, one drop at a time: 0..255 a
// literal, 256 + length value a copy, EndCode, or InputEnded. Uses only the
// lookups built in the work area, so it also checks the whole-token tables
// whenever a stream is fed in small reads.
uint32_t SlowToken(DclWorkArea& w, Bits& b) {
  if (b.buf & 1) {
    if (!Drop(w, b, 1)) return InputEnded;
    uint32_t s = w.LenLookup[Low(b, 8)];
    if (!Drop(w, b, w.LenBits[s])) return InputEnded;
    uint32_t e = w.LenExtra[s];
    if (e == 0) return 256 + s;
    uint32_t x = Low(b, e);
    // The end code's extra bits may be the last bits of the stream, so the
    // top-up after them is allowed to fail.
    if (!Drop(w, b, e) && s + x != 15 + 255) return InputEnded;
    return 256 + w.LenBase[s] + x;
  }
  if (!Drop(w, b, 1)) return InputEnded;
  if (w.LiteralMode == 0) {
    uint32_t literal = Low(b, 8);
    return Drop(w, b, 8) ? literal : InputEnded;
  }
  uint32_t s;
  if (Low(b, 8)) {
    s = w.LitLookup[Low(b, 8)];
    if (s == 0xFF) {
      if (Low(b, 6)) {
        if (!Drop(w, b, 4)) return InputEnded;
        s = w.LitLookup4[Low(b, 8)];
      } else {
        if (!Drop(w, b, 6)) return InputEnded;
        s = w.LitLookup6[Low(b, 7)];
      }
    }
  } else {
    if (!Drop(w, b, 8)) return InputEnded;
    s = w.LitLookup8[Low(b, 8)];
  }
  return Drop(w, b, w.LitBits[s]) ? s : InputEnded;
}

// Reads the distance of a copy of length len one drop at a time; 0 when the
// input ended.
uint32_t SlowDistance(DclWorkArea& w, Bits& b, uint32_t len) {
  uint32_t high = w.DistLookup[Low(b, 8)];
  if (!Drop(w, b, w.DistBits[high])) return 0;
  uint32_t lowBits = len == 2 ? 2 : w.DictBits;
  uint32_t d = (high << lowBits) | Low(b, lowBits);
  if (!Drop(w, b, lowBits)) return 0;
  return d + 1;
}

// ---- Work-area lookups --------------------------------------------------

// Fills lookup so that every 8-bit value that begins with a symbol's code
// names that symbol. Lower symbols are entered last and so win, which only
// matters for values no code begins with (there are none: the codes are
// complete).
void BuildLookup(uint8_t* lookup, const uint8_t* bits, const uint8_t* codes, int count) {
  for (int i = count - 1; i >= 0; --i)
    for (uint32_t j = codes[i]; j < 256; j += 1u << bits[i]) lookup[j] = uint8_t(i);
}

// Literal codes longer than 8 bits are resolved in two steps: after the
// first 4 bits (low 8 bits non-zero, low 6 non-zero), after the first 6 (low
// 8 non-zero, low 6 zero) or after the first 8 (low 8 all zero). The working
// copy of each such code's length is shortened by the bits already dropped.
void BuildLiteralLookups(DclWorkArea& w) {
  for (int i = 255; i >= 0; --i) {
    uint32_t n = w.LitBits[i];
    uint32_t c = dcl::LiteralCodeValues[i];
    if (n <= 8) {
      for (uint32_t j = c; j < 256; j += 1u << n) w.LitLookup[j] = uint8_t(i);
    } else if (c & 0xFF) {
      w.LitLookup[c & 0xFF] = 0xFF;
      if (c & 0x3F) {
        n -= 4;
        for (uint32_t j = c >> 4; j < 256; j += 1u << n) w.LitLookup4[j] = uint8_t(i);
      } else {
        n -= 6;
        for (uint32_t j = c >> 6; j < 128; j += 1u << n) w.LitLookup6[j] = uint8_t(i);
      }
      w.LitBits[i] = uint8_t(n);
    } else {
      n -= 8;
      for (uint32_t j = c >> 8; j < 256; j += 1u << n) w.LitLookup8[j] = uint8_t(i);
      w.LitBits[i] = uint8_t(n);
    }
  }
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

// Bytes of input the fast stretch keeps ahead: a token then never needs more
// than the buffer and one word load (two with a 32-bit buffer) can give.
constexpr uint32_t FastInputAhead = 8;
// A token may start in the fast stretch only this far below the flush
// threshold, so that the longest copy with its wide pieces stays within the
// window.
constexpr uint32_t FastOutputLimit = WindowSize - (DclMaxCopy + 15) + 1;
static_assert(FastOutputLimit < FlushAt && FastOutputLimit + DclMaxCopy + 15 - 1 == WindowSize);

// Returns the last token: EndCode or InputEnded.
uint32_t Explode(DclWorkArea& w) {
  Bits b{w.BitBuf, 8 + w.ExtraBits, w.InPos, w.InCount};
  const uint16_t* const tokens = w.LiteralMode ? AsciiTokens.data() : BinaryTokens.data();
  const uint32_t dictBits = w.DictBits;
  uint8_t* const window = w.Window;
  uint32_t out = DclBlockSize;
  // Until the first block is flushed, only the bytes from DclBlockSize up to
  // out have been written; a copy must not reach below them. After that the
  // whole window below out is output.
  uint32_t lowest = DclBlockSize;
  uint32_t token = 0;
  for (;;) {
    // The fast stretch: whole tokens with no callback, no check of the bit
    // count and no exact-length copy, for as long as the input buffer holds
    // FastInputAhead bytes and the output is below FastOutputLimit. Its
    // state lives in locals so that it stays in registers.
    if (b.avail - b.pos >= FastInputAhead && out < FastOutputLimit) {
      const uint8_t* in = w.InBuf + b.pos;
      const uint8_t* const inLimit = w.InBuf + b.avail - FastInputAhead;
      uint8_t* op = window + out;
      uint8_t* const opLimit = window + FastOutputLimit;
      const uint8_t* const low = window + lowest;
      Word buf = b.buf;
      uint32_t count = b.count;
      auto load = [&] {
        Word word;
        std::memcpy(&word, in, sizeof word);
        buf |= word << count;
        in += (WordBits - 1 - count) >> 3;
        count |= WordBits - 8;
      };
      // A 64-bit buffer holds the next token's first 16 bits before the
      // load, so the lookup need not wait for it; a 32-bit one does not.
      load();
      do {
        uint32_t entry;
        if constexpr (WordBits == 64) {
          entry = tokens[buf & TokenIndexMask];
          load();
        } else {
          load();
          entry = tokens[buf & TokenIndexMask];
        }
        token = entry >> 6;
        buf >>= entry & 63;
        count -= entry & 63;
        if (token < 256) {
          *op++ = uint8_t(token);
          continue;
        }
        if (token >= LongToken) [[unlikely]] {
          uint32_t used;
          token = ResolveLong(w, buf, token, &used);
          buf >>= used;
          count -= used;
          if (token < 256) {
            *op++ = uint8_t(token);
            continue;
          }
          if (token == EndCode) break;
        }
        uint32_t len = token - 254;
        if constexpr (WordBits < MaxLiteralOrLengthBits + MaxDistanceBits + LookAhead) load();
        uint32_t d = DistanceTable[buf & 0xFF];
        uint32_t codeBits = d & 15;
        uint32_t lowBits = len == 2 ? 2 : dictBits;
        uint32_t dist = ((d >> 4) << lowBits | (uint32_t(buf >> codeBits) & ((1u << lowBits) - 1))) + 1;
        buf >>= codeBits + lowBits;
        count -= codeBits + lowBits;
        if (dist > uintptr_t(op - low)) {
          token = InputEnded;
          break;
        }
        if (dist >= 16 && len <= 16) {
          std::memcpy(op, op - dist, 16);
        } else {
          CopyWide(op, dist, len);
        }
        op += len;
      } while (in <= inLimit && op < opLimit);
      b.buf = buf;
      b.count = count;
      b.pos = uint32_t(in - w.InBuf);
      out = uint32_t(op - window);
      if (token >= EndCode) break;
    } else {
      // One token the careful way: near the end of the input buffer, where
      // the read callback may be due, or near the flush threshold.
      TopUp(w, b);
      if (b.count >= MaxLiteralOrLengthBits + LookAhead) {
        token = FastToken(tokens, w, b);
      } else {
        token = SlowToken(w, b);
      }
      if (token < 256) {
        window[out++] = uint8_t(token);
      } else {
        if (token >= EndCode) break;
        uint32_t len = token - 254;
        uint32_t dist;
        TopUp(w, b);
        if (b.count >= MaxDistanceBits + LookAhead) {
          dist = FastDistance(b, len, dictBits);
        } else if ((dist = SlowDistance(w, b, len)) == 0) {
          token = InputEnded;
          break;
        }
        if (dist > out - lowest) {
          token = InputEnded;
          break;
        }
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

  if (w.LiteralMode == 1) {
    std::memcpy(w.LitBits, dcl::LiteralBitCounts.data(), sizeof w.LitBits);
    BuildLiteralLookups(w);
  } else if (w.LiteralMode != 0) {
    return DclBadLiteralMode;
  }
  std::memcpy(w.LenBits, dcl::LengthBitCounts.data(), sizeof w.LenBits);
  BuildLookup(w.LenLookup, w.LenBits, dcl::LengthCodeValues.data(), 16);
  std::memcpy(w.LenExtra, dcl::LengthExtraBits.data(), sizeof w.LenExtra);
  std::memcpy(w.LenBase, dcl::LengthBaseValues.data(), sizeof w.LenBase);
  std::memcpy(w.DistBits, dcl::DistanceBitCounts.data(), sizeof w.DistBits);
  BuildLookup(w.DistLookup, w.DistBits, dcl::DistanceCodeValues.data(), 64);

  return Explode(w) == InputEnded ? DclInputEnded : DclOk;
}
