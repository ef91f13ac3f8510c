#include "explode/Explode.h"

#include <algorithm>
#include <cstring>

#include "explode/ExplodeParts.h"

// The decoder as the format's grammar: the header, then tokens read one
// drop of bits at a time, each literal stored and each copy made, the
// output handed on in blocks, and the end. Most tokens are read by the fast
// stretch instead (ExplodeFast.cpp), which must give the same result; this
// reader takes over near the end of each input buffer, where a reader that
// takes one byte at a time might call the read callback, and at the start
// of the output, so that the callbacks come at the same points whichever
// way a token is read.

namespace dcl {
namespace {

// ---- The bit reader -----------------------------------------------------
//
// It holds up to a word of bits (Bits), taking whole bytes from the input
// buffer as they fit, but calls the read callback exactly when a reader
// that takes one byte at a time would: when a drop would leave fewer than 8
// valid bits and the input buffer is used up. So a stream fails to decode
// at the same token, and the callbacks are called in the same order,
// either way.

// Calls the read callback into the input buffer. A callback that claims more
// than the buffer holds is held to the buffer's size.
uint32_t Refill(DclWorkArea& w) {
  uint32_t request = DclInBufSize;
  return std::min(w.Read(w.InBuf, &request, w.Param), DclInBufSize);
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

// ---- Tokens, one drop at a time -----------------------------------------

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

// ---- The main loop ------------------------------------------------------

void WriteOut(DclWorkArea& w, uint32_t from, uint32_t count) {
  w.Write(w.Window + from, &count, w.Param);
}


// Decodes one stream. Returns the last token: EndCode or InputEnded.
uint32_t Explode(DclWorkArea& w) {
  Bits b{w.BitBuf, 8 + w.ExtraBits, w.InPos, w.InCount};
  uint8_t* const window = w.Window;
  uint32_t out = DclBlockSize;
  // Until the first block is flushed, only the bytes from DclBlockSize up to
  // out have been written; a copy must not reach below them. After that the
  // whole window below out is output, and no distance reaches past it.
  uint32_t lowest = DclBlockSize;
  uint32_t token;
  for (;;) {
    if (b.avail - b.pos >= FastInputAhead && out < FlushAt && out - lowest >= 8) {
      token = FastStretch(w, b, out, lowest);
      if (token >= EndCode) break;
    } else {
      token = SlowToken(w, b);
      if (token < 256) {
        window[out++] = uint8_t(token);
      } else {
        if (token >= EndCode) break;
        const uint32_t len = token - 254;
        const uint32_t dist = SlowDistance(w, b, len);
        if (dist == 0 || dist > out - lowest) {
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
}  // namespace dcl

uint32_t DclDecompress(DclReadProc read, DclWriteProc write, void* workArea, void* param) {
  DclWorkArea& w = *static_cast<DclWorkArea*>(workArea);
  w.Read = read;
  w.Write = write;
  w.Param = param;
  w.InCount = dcl::Refill(w);
  if (w.InCount <= 4) return DclInputTooShort;

  w.LiteralMode = w.InBuf[0];
  w.DictBits = w.InBuf[1];
  w.BitBuf = w.InBuf[2];
  w.ExtraBits = 0;
  w.InPos = 3;
  if (w.DictBits < 4 || w.DictBits > 6) return DclBadDictSize;
  w.DictMask = 0xFFFFu >> (16 - w.DictBits);
  if (w.LiteralMode > 1) return DclBadLiteralMode;

  return dcl::Explode(w) == dcl::InputEnded ? DclInputEnded : DclOk;
}
