// Decoder of the implode compressed-data format: a header of two bytes
// (literal mode, dictionary-size bits) and a bit stream of literals, copies
// and an end code, all with fixed prefix codes.
#pragma once

#include <cstddef>
#include <cstdint>

// Result codes of DclDecompress.
enum : uint32_t {
  DclOk = 0,               // the end code was reached, all output written
  DclBadDictSize = 1,      // header byte 1 is not 4, 5 or 6
  DclBadLiteralMode = 2,   // header byte 0 is not 0 or 1
  DclInputTooShort = 3,    // the first read delivered 4 bytes or fewer
  DclInputEnded = 4,       // no valid end code: the input ended, or a copy
                           // reached back before the first output byte
};

inline constexpr uint32_t DclInBufSize = 2048;   // most one read may deliver
inline constexpr uint32_t DclBlockSize = 4096;   // output block and dictionary
inline constexpr uint32_t DclMaxCopy = 518;      // longest copy

// read copies at most *count (always DclInBufSize) bytes into buffer and
// returns how many it copied; 0 means the input is used up.
using DclReadProc = uint32_t (*)(uint8_t* buffer, uint32_t* count, void* param);
// write takes the *count bytes at buffer; they are valid only during the call.
using DclWriteProc = void (*)(uint8_t* buffer, uint32_t* count, void* param);

// Everything the decoder keeps while it runs. The caller owns it and need
// not clear it; nothing in it survives from one call to the next.
struct DclWorkArea {
  uint32_t LiteralMode;  // header byte 0: 0 = plain 8-bit literals, 1 = coded
  uint32_t OutPos;       // index in Window of the next output byte
  uint32_t DictBits;     // header byte 1: low distance bits of a long copy
  uint32_t DictMask;     // (1 << DictBits) - 1
  uint32_t BitBuf;       // unconsumed bits, next one in bit 0; >= 8 valid
  uint32_t ExtraBits;    // valid bits in BitBuf beyond those 8 (0 to 7)
  uint32_t InPos;        // next unread byte of InBuf
  uint32_t InCount;      // valid bytes in InBuf
  void* Param;           // the caller's pointer, handed back to both callbacks
  DclReadProc Read;
  DclWriteProc Write;
  // Dictionary (the last block written), the block being filled, and room
  // for the longest copy that starts just below the flush threshold.
  uint8_t Window[2 * DclBlockSize + DclMaxCopy - 1];
  uint8_t InBuf[DclInBufSize];
  // Room the work area has always had for per-stream code lookups and
  // working copies of the code tables. This decoder's lookups are constant
  // data, so it leaves this space alone.
  uint8_t Spare[6 * 256 + 128 + 64 + 16 + 16 + 16 * 2];
};

// The 32-bit program's work area is the 12596-byte buffer the format's
// reader has always lent the decoder; the 64-bit one is larger only by its
// wider pointers.
inline constexpr size_t DclWorkAreaSize = sizeof(DclWorkArea);
static_assert(sizeof(void*) != 4 || DclWorkAreaSize == 12596);

// Decodes one stream from its header to its end code, pulling input through
// read and pushing output through write in blocks of 4096 bytes (the last
// one shorter, possibly empty). workArea must point to DclWorkAreaSize bytes
// aligned for DclWorkArea. Returns one of the Dcl* codes above; header
// failures (1, 2, 3) return before write is ever called.
uint32_t DclDecompress(DclReadProc read, DclWriteProc write, void* workArea, void* param);
