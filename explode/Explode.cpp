#include "explode/Explode.h"

#include <algorithm>
#include <cstring>

#include "explode/Tables.h"

namespace {

constexpr uint32_t EndCode = 773;     // token: length value 517
constexpr uint32_t InputEnded = 774;  // token: a drop found no more input
constexpr uint32_t FlushAt = 2 * DclBlockSize;

// The bit reader's registers. The main loop keeps them in locals rather than
// in the work area: output bytes are stored through a byte pointer, which
// would otherwise force the compiler to reload them after every store.
struct Bits {
  uint32_t buf;    // as DclWorkArea::BitBuf
  uint32_t extra;  // as DclWorkArea::ExtraBits
  uint32_t pos;    // as DclWorkArea::InPos
  uint32_t count;  // as DclWorkArea::InCount
};

// Calls the read callback into the input buffer. A callback that claims more
// than the buffer holds is held to the buffer's size.
uint32_t Refill(DclWorkArea& w) {
  uint32_t request = DclInBufSize;
  return std::min(w.Read(w.InBuf, &request, w.Param), DclInBufSize);
}

// Drops n bits (n <= 8 + b.extra), topping the buffer up to at least 8 valid
// bits. False when that needed a byte and the input had ended.
inline bool Drop(DclWorkArea& w, Bits& b, uint32_t n) {
  if (n <= b.extra) {
    b.buf >>= n;
    b.extra -= n;
    return true;
  }
  b.buf >>= b.extra;
  if (b.pos == b.count) {
    b.count = Refill(w);
    if (b.count == 0) return false;
    b.pos = 0;
  }
  b.buf |= uint32_t(w.InBuf[b.pos++]) << 8;
  n -= b.extra;
  b.buf >>= n;
  b.extra = 8 - n;
  return true;
}

// Reads one token: 0..255 a literal, 256 + length value a copy, EndCode, or
// InputEnded.
inline uint32_t ReadToken(DclWorkArea& w, Bits& b) {
  if (b.buf & 1) {
    if (!Drop(w, b, 1)) return InputEnded;
    uint32_t s = w.LenLookup[b.buf & 0xFF];
    if (!Drop(w, b, w.LenBits[s])) return InputEnded;
    uint32_t e = w.LenExtra[s];
    if (e == 0) return 256 + s;
    uint32_t x = b.buf & ((1u << e) - 1);
    // The end code's extra bits may be the last bits of the stream, so the
    // top-up after them is allowed to fail.
    if (!Drop(w, b, e) && s + x != 15 + 255) return InputEnded;
    return 256 + w.LenBase[s] + x;
  }
  if (!Drop(w, b, 1)) return InputEnded;
  if (w.LiteralMode == 0) {
    uint32_t literal = b.buf & 0xFF;
    return Drop(w, b, 8) ? literal : InputEnded;
  }
  uint32_t s;
  if (b.buf & 0xFF) {
    s = w.LitLookup[b.buf & 0xFF];
    if (s == 0xFF) {
      if (b.buf & 0x3F) {
        if (!Drop(w, b, 4)) return InputEnded;
        s = w.LitLookup4[b.buf & 0xFF];
      } else {
        if (!Drop(w, b, 6)) return InputEnded;
        s = w.LitLookup6[b.buf & 0x7F];
      }
    }
  } else {
    if (!Drop(w, b, 8)) return InputEnded;
    s = w.LitLookup8[b.buf & 0xFF];
  }
  return Drop(w, b, w.LitBits[s]) ? s : InputEnded;
}

// Reads the distance of a copy of length len; 0 when the input ended.
inline uint32_t ReadDistance(DclWorkArea& w, Bits& b, uint32_t len) {
  uint32_t high = w.DistLookup[b.buf & 0xFF];
  if (!Drop(w, b, w.DistBits[high])) return 0;
  uint32_t lowBits = len == 2 ? 2 : w.DictBits;
  uint32_t d = (high << lowBits) | (b.buf & ((1u << lowBits) - 1));
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

// The main loop. Returns the last token: EndCode or InputEnded.
uint32_t Explode(DclWorkArea& w) {
  Bits b{w.BitBuf, w.ExtraBits, w.InPos, w.InCount};
  uint32_t out = DclBlockSize;
  // Until the first block is flushed, only the bytes from DclBlockSize up to
  // out have been written; a copy must not reach below them.
  bool dictionaryFull = false;
  uint32_t token;
  while ((token = ReadToken(w, b)) < EndCode) {
    if (token < 256) {
      w.Window[out++] = uint8_t(token);
    } else {
      uint32_t len = token - 254;
      uint32_t dist = ReadDistance(w, b, len);
      if (dist == 0 || (!dictionaryFull && dist > out - DclBlockSize)) {
        token = InputEnded;
        break;
      }
      uint8_t* dst = w.Window + out;
      const uint8_t* src = dst - dist;
      if (dist >= len) {
        std::memcpy(dst, src, len);
      } else {
        for (uint32_t i = 0; i < len; ++i) dst[i] = src[i];  // repeats the last dist bytes
      }
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
  w.OutPos = out;
  w.BitBuf = b.buf;
  w.ExtraBits = b.extra;
  w.InPos = b.pos;
  w.InCount = b.count;
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
