// The decoder's fast stretch, where most tokens are read. One lookup of the
// low 12 bits of the bit buffer in a constant whole-token table gives a
// literal or a short copy with its bit count and distance, and the same
// branch-free steps handle both (a literal copies from a dummy distance,
// then stores its byte over the first). Longer and rarer tokens take a
// branch out of it. Explode.cpp, which reads a token at a time, is the
// definition: every stream must decode here to the same bytes, end and
// callbacks, and the tests check that it does.
//
// Entry assumptions (FastStretch):
//   - the input buffer holds at least FastInputAhead unread bytes (b.pos
//     to b.avail);
//   - b.count is at least 8, as between any two tokens;
//   - out is below the flush threshold (FlushAt) and at least 8 bytes above
//     lowest, the lowest window position that holds output (0 once the
//     first block has been written).
//
// On return:
//   - no byte past b.avail has been read, nor the read callback called;
//   - b and out hold the bit reader and output position after the last
//     whole token read, b.count exact again;
//   - out may be past FlushAt by at most one token: the caller flushes;
//   - the result is EndCode (the end code was read), InputEnded (a copy
//     reached before the first output byte, and none of it was written), or
//     any other value when the input or the room for output ran short: the
//     caller reads on a token at a time.
//
// Tokens are read in batches of pairs. A batch starts only while in is at
// most inLimit, and runs for as many pairs as the bytes from there to
// inLimit allow, PairInput each, counted before its first load. (After a
// run of plain literals, which takes no more than a pair, the count starts
// afresh where the run ends, under the same rule.) A word load
// reads a word at in, which stands at most a word past the bits consumed,
// and the last pair's loads come at most PairInput bytes past inLimit: no
// load reads past inLimit + PairInput + 2 words, the end of the input.

#include <algorithm>
#include <bit>
#include <cstring>

#include "explode/ExplodeParts.h"

namespace dcl {
namespace {

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
    uint32_t code = asciiMode ? uint32_t(LiteralCodeValues[i]) << 1 : i << 1;
    uint32_t bits = 1 + (asciiMode ? LiteralBitCounts[i] : 8);
    if (bits <= TokenIndexBits)
      Enter(table, code, bits,
            bits | LiteralSlot << SlotShift | 1u << LengthShift | i << LiteralShift);
  }
  for (uint32_t s = 0; s < 16; ++s) {
    uint32_t codeBits = 1 + LengthBitCounts[s];
    uint32_t extra = LengthExtraBits[s];
    uint32_t lengthBits = codeBits + extra;
    for (uint32_t x = 0; x < 1u << extra; ++x) {
      uint32_t length = LengthBaseValues[s] + x + 2;
      if (length > MaxTableLength || lengthBits > TokenIndexBits) break;
      uint32_t lengthCode = 1u | uint32_t(LengthCodeValues[s]) << 1 | x << codeBits;
      // Far first; the distance codes that fit then overwrite their share.
      Enter(table, lengthCode, lengthBits, lengthBits | length << LiteralShift);
      for (uint32_t h = 0; h < 64; ++h) {
        uint32_t bits = lengthBits + DistanceBitCounts[h];
        if (bits > TokenIndexBits) continue;
        uint32_t code = lengthCode | uint32_t(DistanceCodeValues[h]) << lengthBits;
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
static_assert(DistanceCodeValues[63] == 0 && LengthBitCounts[7] == 5 &&
              BinaryTokens[1 | LengthCodeValues[7] << 1] == (6 | 9 << LiteralShift));
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


// ---- Whole tokens read with the code lookups ---------------------------

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
  uint32_t codeBits = 1 + LengthBitCounts[s];
  uint32_t e = LengthExtraBits[s];
  *used = codeBits + e;
  return 256 + LengthBaseValues[s] + (uint32_t(buf >> codeBits) & ((1u << e) - 1));
}

// Reads a copy's distance from the bottom of buf, which holds at least
// MaxDistanceBits bits; adds its bits to *used. A 2-byte copy has 2 low
// bits whatever the dictionary size.
inline uint32_t WholeDistance(Word buf, uint32_t len, uint32_t dictBits, uint32_t* used) {
  uint32_t high = DistanceLookup[buf & 0xFF];
  uint32_t codeBits = DistanceBitCounts[high];
  uint32_t lowBits = len == 2 ? 2 : dictBits;
  *used += codeBits + lowBits;
  return (high << lowBits | (uint32_t(buf >> codeBits) & ((1u << lowBits) - 1))) + 1;
}

// Reads one token near the end of the input, one drop at a time: 0..255 a
// literal, 256 + length value a copy, EndCode, or InputEnded. Whenever a
// stream is fed in small reads this is all that reads it, so those streams

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


// ---- The stretch -------------------------------------------------------

// A pair of tokens takes at most 60 bits (two of the longest), so at most
// PairInput bytes of input.
constexpr uint32_t PairInput = 8;
static_assert(2 * (MaxLiteralOrLengthBits + MaxDistanceBits) <= 8 * PairInput &&
              FastInputAhead == 2 * sizeof(Word) + PairInput);
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

// Plain 8-bit literals, flag bit included, that one load leaves in the
// buffer: 6 in a 64-bit one, 2 in a 32-bit one. A run of them takes no more
// input or output than a pair of tokens.
constexpr uint32_t RunLiterals = (WordBits - 8) / 9;
constexpr uint32_t RunBits = 9 * RunLiterals;
static_assert(RunLiterals == (WordBits == 64 ? 6 : 2));
static_assert(RunBits <= 8 * PairInput && RunLiterals <= PairOutput);
// The flag bits of those literals: all clear when they are all literals.
constexpr Word RunFlags = [] {
  Word flags = 0;
  for (uint32_t i = 0; i < RunLiterals; ++i) flags |= Word(1) << (9 * i);
  return flags;
}();

// Stores the RunLiterals plain literals at the bottom of buf at op as one
// word; its bytes past them are not output yet. With the first flag bit
// dropped, literal i stands at bit 9i: one shift closes the gap inside
// each pair of literals, a second the gaps between the pairs.
inline void StoreLiteralRun(Word buf, uint8_t* op) {
  const Word x = buf >> 1;
  Word bytes;
  if constexpr (RunLiterals == 6) {
    constexpr uint64_t Even = 0xFFu | 0xFFull << 18 | 0xFFull << 36;  // literals 0, 2, 4
    constexpr uint64_t Odd = 0xFFull << 8 | 0xFFull << 26 | 0xFFull << 44;  // 1, 3, 5, moved
    const uint64_t pairs = (uint64_t(x) & Even) | ((uint64_t(x) >> 1) & Odd);
    bytes = Word((pairs & 0xFFFF) | ((pairs >> 2) & 0xFFFF0000u) |
                 ((pairs >> 4) & 0xFFFF00000000u));
  } else {
    bytes = (x & 0xFF) | ((x >> 1) & 0xFF00);
  }
  std::memcpy(op, &bytes, sizeof bytes);
}

// The stretch for one dictionary size, state and literal mode. Largest: the
// dictionary size is the largest, which spares a step per token (the
// smaller ones are rarer, as only small files choose them). Full: the
// dictionary is full, so no distance reaches too far. Binary: literals are
// plain bytes; where they come in runs, as in data that does not pack, they
// are read several at a time.
template <bool Largest, bool Full, bool Binary>
uint32_t Stretch(DclWorkArea& w, uint32_t dictBits, Bits& b, uint32_t& out, uint32_t lowest) {
  constexpr bool asciiMode = !Binary;
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
  // long token, or at the end of the stream. Inlined by force: left to the
  // compiler, the 32-bit build made it a call, spilled the stretch's locals
  // around it and lost about a sixth of its speed.
  auto step = [&](uint32_t entry) __attribute__((always_inline)) {
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
    bool more = true;
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
      if constexpr (Binary) {
        if (!(buf & RunFlags)) {
          // Literals the next RunLiterals tokens, as in data that does not
          // pack: stored at once. The first run takes this pair's place;
          // each further one starts only where a batch could, and the
          // batch's count then starts afresh from where the runs end,
          // rather than ending the batch every few dozen runs for output
          // they never make.
          do {
            StoreLiteralRun(buf, op);
            buf >>= RunBits;
            count -= RunBits;
            op += RunLiterals;
            // The next lookup may come before a load, and needs more bits
            // than a run leaves; the careful reader, at least 8.
            LoadWord(in, buf, count);
          } while (!(buf & RunFlags) && in <= inLimit && op < opLimit);
          if (in > inLimit || op >= opLimit) break;
          // Counted after the load: in can only be further on than before it.
          pairs = uint32_t(std::min(uintptr_t(inLimit - in) / PairInput,
                                    uintptr_t(opLimit - 1 - op) / PairOutput)) + 2;
          continue;
        }
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

}  // namespace

uint32_t FastStretch(DclWorkArea& w, Bits& b, uint32_t& out, uint32_t lowest) {
  const uint32_t dictBits = w.DictBits;
  if (w.LiteralMode == 0) {
    if (dictBits == 6)
      return lowest == 0 ? Stretch<true, true, true>(w, 6, b, out, lowest)
                         : Stretch<true, false, true>(w, 6, b, out, lowest);
    return lowest == 0 ? Stretch<false, true, true>(w, dictBits, b, out, lowest)
                       : Stretch<false, false, true>(w, dictBits, b, out, lowest);
  }
  if (dictBits == 6)
    return lowest == 0 ? Stretch<true, true, false>(w, 6, b, out, lowest)
                       : Stretch<true, false, false>(w, 6, b, out, lowest);
  return lowest == 0 ? Stretch<false, true, false>(w, dictBits, b, out, lowest)
                     : Stretch<false, false, false>(w, dictBits, b, out, lowest);
}

}  // namespace dcl
