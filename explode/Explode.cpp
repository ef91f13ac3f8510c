#include "explode/Explode.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "explode/Tables.h"

// The bit reader loads eight input bytes at once as one integer.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr uint32_t EndCode = 773;     // token: length value 517
constexpr uint32_t InputEnded = 774;  // token: a drop found no more input
constexpr uint32_t FlushAt = 2 * DclBlockSize;
// Bits of the longest token (flag, 7-bit length code, 8 extra bits, 8-bit
// distance code, 6 low bits) plus the 8 the reader always keeps ahead.
constexpr uint32_t FastBits = 1 + 7 + 8 + 8 + 6 + 8;

// The bit reader. It holds up to 64 bits, taking whole bytes from the input
// buffer as they fit, but calls the read callback exactly when a reader that
// takes one byte at a time would: when a drop would leave fewer than 8 valid
// bits and the input buffer is used up. So a stream fails to decode at the
// same token, and the callbacks are called in the same order, either way.
// Kept in locals, not in the work area: output bytes are stored through a
// byte pointer, which would otherwise force a reload after every store.
struct Bits {
  uint64_t buf;    // unconsumed bits, next one in bit 0
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

// Moves whole bytes from the input buffer into buf while they fit. Never
// calls the read callback.
inline void TopUp(const DclWorkArea& w, Bits& b) {
  if (b.avail - b.pos >= 8) {
    // Eight bytes at once. The bytes beyond those counted land above count;
    // they are the very bytes the next top-up puts there, so OR-ing them
    // again changes nothing.
    uint64_t word;
    std::memcpy(&word, w.InBuf + b.pos, 8);
    b.buf |= word << b.count;
    uint32_t take = (63 - b.count) >> 3;
    b.pos += take;
    b.count += take * 8;
    return;
  }
  while (b.count <= 56 && b.pos < b.avail) {
    b.buf |= uint64_t(w.InBuf[b.pos++]) << b.count;
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

// Resolves an ASCII-mode literal code at the bottom of v; adds the bits it
// takes to *used.
inline uint32_t LiteralAt(const DclWorkArea& w, uint64_t v, uint32_t* used) {
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

// Reads one token when at least FastBits are in the buffer, so that no drop
// can fail. For a copy, *dist receives its distance.
inline uint32_t FastToken(const DclWorkArea& w, Bits& b, uint32_t* dist) {
  uint64_t v = b.buf >> 1;
  uint32_t used = 1;
  uint32_t token;
  if (!(b.buf & 1)) {
    if (w.LiteralMode == 0) {
      token = uint32_t(v) & 0xFF;
      used += 8;
    } else {
      token = LiteralAt(w, v, &used);
    }
  } else {
    uint32_t s = w.LenLookup[v & 0xFF];
    used += w.LenBits[s];
    uint32_t e = w.LenExtra[s];
    uint32_t len = e ? w.LenBase[s] + (uint32_t(b.buf >> used) & ((1u << e) - 1)) : s;
    used += e;
    token = 256 + len;
    if (token != EndCode) {
      v = b.buf >> used;
      uint32_t high = w.DistLookup[v & 0xFF];
      uint32_t lowBits = len == 0 ? 2 : w.DictBits;  // a 2-byte copy has 2 low bits
      used += w.DistBits[high];
      *dist = ((high << lowBits) | (uint32_t(b.buf >> used) & ((1u << lowBits) - 1))) + 1;
      used += lowBits;
    }
  }
  b.buf >>= used;
  b.count -= used;
  return token;
}

// Reads one token near the end of the input, one drop at a time: 0..255 a
// literal, 256 + length value a copy, EndCode, or InputEnded.
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

void WriteOut(DclWorkArea& w, uint32_t from, uint32_t count) {
  w.Write(w.Window + from, &count, w.Param);
}

// Copies len bytes from dist bytes back; a distance shorter than the length
// repeats the last dist bytes.
inline void CopyMatch(uint8_t* dst, uint32_t dist, uint32_t len) {
  const uint8_t* src = dst - dist;
  if (dist >= len) {
    std::memcpy(dst, src, len);
  } else if (dist == 1) {
    std::memset(dst, *src, len);
  } else {
    for (uint32_t i = 0; i < len; ++i) dst[i] = src[i];
  }
}

// The main loop. Returns the last token: EndCode or InputEnded.
uint32_t Explode(DclWorkArea& w) {
  Bits b{w.BitBuf, 8 + w.ExtraBits, w.InPos, w.InCount};
  uint32_t out = DclBlockSize;
  // Until the first block is flushed, only the bytes from DclBlockSize up to
  // out have been written; a copy must not reach below them.
  bool dictionaryFull = false;
  uint32_t token;
  for (;;) {
    if (b.count < FastBits) TopUp(w, b);
    uint32_t dist = 0;
    if (b.count >= FastBits) {
      token = FastToken(w, b, &dist);
    } else {
      token = SlowToken(w, b);
      if (token >= 256 && token < EndCode && (dist = SlowDistance(w, b, token - 254)) == 0)
        token = InputEnded;
    }
    if (token >= EndCode) break;
    if (token < 256) {
      w.Window[out++] = uint8_t(token);
    } else {
      uint32_t len = token - 254;
      if (!dictionaryFull && dist > out - DclBlockSize) {
        token = InputEnded;
        break;
      }
      CopyMatch(w.Window + out, dist, len);
      out += len;
    }
    if (out >= FlushAt) {
      WriteOut(w, DclBlockSize, DclBlockSize);
      std::memmove(w.Window, w.Window + DclBlockSize, out - DclBlockSize);
      out -= DclBlockSize;
      dictionaryFull = true;
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
