// Encoder of the implode compressed-data format (the counterpart of
// DclDecompress), with an optimal parse.
//
// The format's prefix codes are fixed, so the exact bit cost of every token
// is known in advance and the smallest stream is a shortest path over the
// input positions: from position i a literal leads to i + 1, a copy of
// length L to i + L. For a given L the cheapest copy uses the nearest
// distance at which L bytes match (a distance's cost grows with it), so the
// parser needs, per position, only the matches that are longer than every
// nearer one: the Pareto list of (length, distance).
//
//   Window       the part of the input still needed, read a piece at a time,
//                so that memory does not grow with the input.
//   MatchFinder  a binary tree over the last 4096 positions, keyed by the
//                bytes that follow each position and heap-ordered by age;
//                one descent yields the Pareto list of a position and
//                inserts it. Shared by all six encodings.
//   Parser       one (literal mode, dictionary size): the shortest-path costs
//                and back pointers of the positions not yet emitted, the
//                back-tracking, and the bit writer.
//   Encode       the driver: finds the matches of a chunk of positions, runs
//                each parser over it, and commits each parser's path up to
//                the latest cut point (a position no copy skips over, so that
//                every path passes it and the path up to it is final). In a
//                race it drops, after each chunk, the parsers that have
//                fallen clearly behind the best one.
//
// The race. One descent of the tree costs about as much as three parsers,
// and a file's kind shows early: text takes ASCII literals by a wide margin,
// and the dictionary that wins on the first few KiB rarely loses its lead
// by much later. So a parser whose path to the end of a chunk is longer
// than the best one's by more than RaceMargin of it plus RaceSlack bits
// leaves the race; the first chunks are short (FirstChunk, doubling up to
// Chunk) so that this happens early, and past RaceNarrow only the leader
// runs on. On a product of executables and headers and on one of documents
// the archives of a race came within 0.01% of those of a full run, which
// keeps the smallest of the six, for half the time.
//
// Where optimality is traded for speed (see the constants below):
//   - Long copies (NiceLen bytes and more): a position inside one starts
//     only its longest copy, except near the ends of the copies that other
//     positions start in full (see Parser). Without this a run of zeros
//     would cost 517 relaxations per byte.
//   - A tree descent visits at most MaxDepth nodes.
//   - After PendingMax positions without a cut point (long runs, highly
//     repetitive data) a parser commits its path anyway, up to a position
//     MaxLen before the end of what it has parsed, and parses again from
//     there; this costs a few bits per such cut.
// On inputs whose matches are all shorter than NiceLen and whose descents
// stay within MaxDepth (everyday text and binaries), the result is optimal.
#include "tools/pvpack/Implode.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>

#include "explode/Tables.h"

namespace implode {
namespace {

constexpr unsigned MinLen = 2;            // shortest copy
constexpr unsigned MaxLen = 518;          // longest copy (length value 516)
constexpr unsigned MaxShortDist = 256;    // 2-byte copies: 2 low bits
constexpr unsigned MaxDistance = 4096;    // the largest dictionary
constexpr unsigned EndLengthValue = 517;  // symbol 15, extra bits all set
constexpr unsigned EndCodeBits = 1 + 7 + 8;

// Speed / optimality trade-offs (see the file comment).
// Copies this long are "long": NiceLen in a race, FullNiceLen in a full
// search. Relaxing every length of the copies found at each position is the
// parse's largest cost on text; at 32 rather than 256 a product of
// documents and one of programs and headers pack in 8 to 10% less time to
// archives 0.002% and 0.008% larger.
constexpr unsigned NiceLen = 32;
constexpr unsigned FullNiceLen = 256;
constexpr unsigned TailLen = 16;                // start positions kept near their ends
constexpr unsigned MaxDepth = 256;              // nodes per tree descent
constexpr size_t PendingMax = size_t(1) << 20;  // positions without a cut point
// Positions whose matches are found in one go before the parsers run; the
// first chunk is shorter, and each next one twice the last, up to Chunk.
constexpr size_t Chunk = size_t(1) << 16;
constexpr size_t FirstChunk = 4096;
// A parser drops out of a race when it is behind the best by more than
// 1 / RaceMargin of the best's bits plus RaceSlack bits.
constexpr uint64_t RaceMargin = 100;
constexpr uint64_t RaceSlack = 512;
// From this position on only the leader runs on: encodings still close to
// it by then rarely end far from it, and on data that does not pack (where
// the three dictionaries stay close) running one instead of three saves
// most of the work. On data that has not packed at all by the end of a
// chunk (8 bits a byte or more: compressed files) the leader runs on alone
// from there: on the compressed files of a product of documents that took
// a quarter fewer instructions, for 0.05% of their bytes.
constexpr uint64_t RaceNarrow = 65536;
constexpr size_t MarkRing = 1024;  // > MaxLen
// A parser hands its stream on once this much of it has gathered.
constexpr size_t FlushAt = size_t(1) << 16;
// The match finder keeps input positions in 32 bits, "position + 1" among
// them, so its last position must stay below 2^32 - 1.
static_assert(MaxInput <= 0xFFFFFFFFu);
static_assert(TailLen + 1 < NiceLen && NiceLen <= FullNiceLen && FullNiceLen <= MaxLen &&
              4 * MaxLen < Chunk && 2 * Chunk <= PendingMax);
static_assert(2 * MaxLen < FirstChunk && FirstChunk <= Chunk);

constexpr uint32_t Infinite = 0xFFFFFFFFu;

// ---------------------------------------------------------------------------
// Code tables by length, distance and literal.

constexpr std::array<uint8_t, EndLengthValue + 1> LengthSymbols = [] {
  std::array<uint8_t, EndLengthValue + 1> symbols{};
  for (unsigned v = 0, s = 0; v <= EndLengthValue; ++v) {
    while (s < 15 && v >= dcl::LengthBaseValues[s + 1]) ++s;
    symbols[v] = uint8_t(s);
  }
  return symbols;
}();

// Flag, length code and extra bits of a copy, by copy length.
constexpr std::array<uint8_t, MaxLen + 1> LengthCost = [] {
  std::array<uint8_t, MaxLen + 1> cost{};
  for (unsigned len = MinLen; len <= MaxLen; ++len) {
    unsigned s = LengthSymbols[len - MinLen];
    cost[len] = uint8_t(1 + dcl::LengthBitCounts[s] + dcl::LengthExtraBits[s]);
  }
  return cost;
}();

static_assert(LengthSymbols[0] == 0 && LengthSymbols[8] == 8 && LengthSymbols[261] == 14 &&
              LengthSymbols[262] == 15 && LengthSymbols[EndLengthValue] == 15);
// The same, widened to the cost's width for the parser's inner loop.
// Padded for the lengths of the parser's last step past MaxLen (masked).
constexpr unsigned RelaxStep = 4;
// Four costs side by side (the compiler's vectors: SSE2 where the target
// has it, four plain words where not). Only local values of this type,
// never arguments, whose passing would depend on the target's options.
typedef uint32_t U32x4 __attribute__((vector_size(16)));
constexpr std::array<uint32_t, MaxLen + RelaxStep> LengthCost32 = [] {
  std::array<uint32_t, MaxLen + RelaxStep> cost{};
  for (unsigned len = 0; len <= MaxLen; ++len) cost[len] = LengthCost[len];
  return cost;
}();

static_assert(LengthCost[2] == 4 && LengthCost[3] == 3 && LengthCost[MaxLen] == 16);

// The cost of a distance's high part and low bits, by distance; 0 where the
// distance is not allowed.
constexpr std::array<uint8_t, MaxDistance + 1> DistanceCosts(unsigned lowBits, unsigned limit) {
  std::array<uint8_t, MaxDistance + 1> cost{};
  for (unsigned d = 1; d <= limit; ++d)
    cost[d] = uint8_t(dcl::DistanceBitCounts[(d - 1) >> lowBits] + lowBits);
  return cost;
}
constexpr auto ShortDistCost = DistanceCosts(2, MaxShortDist);  // 2-byte copies
constexpr std::array<std::array<uint8_t, MaxDistance + 1>, 3> LongDistCost = {
    DistanceCosts(4, 1024), DistanceCosts(5, 2048), DistanceCosts(6, 4096)};

static_assert(ShortDistCost[1] == 4 && ShortDistCost[256] == 10 && LongDistCost[0][16] == 6 &&
              LongDistCost[0][17] == 8 && LongDistCost[2][4096] == 14);

// ---------------------------------------------------------------------------
// Input window.
//
// The bytes from the oldest position still needed (MaxDistance behind the
// positions being matched, or a parser's last commit, if that is older) up
// to MaxLen past the chunk being parsed. Reading a piece at a time keeps the
// memory to about PendingMax bytes whatever the input's size.

class InputWindow {
 public:
  explicit InputWindow(const Input& in) : in_(in) {}

  // Drops the bytes before keep (at most End()) and reads until the bytes
  // before to are held or the input has ended. False when a read failed.
  bool Fill(uint64_t keep, uint64_t to) {
    if (keep > start_) {
      const size_t drop = size_t(keep - start_);
      std::memmove(buffer_.data(), buffer_.data() + drop, used_ - drop);
      used_ -= drop;
      start_ = keep;
    }
    while (!ended_ && End() < to) {
      const size_t want = size_t(to - End());
      if (buffer_.size() < used_ + want)
        buffer_.resize(std::max(used_ + want, std::min(2 * buffer_.size(), MaxSpan)));
      size_t got = 0;
      if (!in_.read(in_.context, buffer_.data() + used_, want, &got)) return false;
      used_ += std::min(got, want);
      ended_ = got == 0;
    }
    return true;
  }

  const uint8_t* At(uint64_t pos) const { return buffer_.data() + size_t(pos - start_); }
  uint64_t End() const { return start_ + used_; }
  uint64_t SizeHint() const { return in_.sizeHint; }

 private:
  // What the window spans at most: a parser commits at least every
  // PendingMax positions, and reads run a chunk and a copy ahead.
  static constexpr size_t MaxSpan = PendingMax + 2 * Chunk + MaxDistance + MaxLen;

  Input in_;
  std::vector<uint8_t> buffer_;
  uint64_t start_ = 0;  // input position of buffer_[0]
  size_t used_ = 0;     // bytes held
  bool ended_ = false;
};

// ---------------------------------------------------------------------------
// Match finder.
//
// Every position p with at least 2 bytes left is a node of the tree of its
// first two bytes. The tree is a binary search tree over the strings that
// start at its nodes (compared over at most MaxLen bytes) and a heap over
// their positions (newer above older). Inserting p at the root splits the
// tree along the search path of p's string; the nodes on that path include,
// for every length, the newest node sharing that many bytes with p, so the
// matches seen on the way down whose length beats all before them form the
// Pareto list. A node that matches p over the whole compared length is
// replaced by p, which is newer and equal to it as far as any later search
// can see. Nodes more than MaxDistance back are cut off when met.

class MatchFinder {
 public:
  static constexpr uint32_t WindowMask = 2 * MaxDistance - 1;

  explicit MatchFinder(const InputWindow& window)
      : window_(window), head_(65536, 0), son_(2 * (WindowMask + 1), 0) {}

  // Inserts position pos (positions must come in order, each exactly once)
  // and stores its Pareto list at out as (length << 16 | distance), lengths
  // and distances rising. Returns the count, at most MaxLen - 1. The window
  // must hold MaxLen bytes from pos on, or all that is left of the input.
  unsigned Find(uint64_t pos, uint32_t* out) {
    const uint64_t left = window_.End() - pos;
    if (left < MinLen) return 0;
    const unsigned maxLen = left < MaxLen ? unsigned(left) : MaxLen;
    const uint32_t p = uint32_t(pos);
    const uint8_t* pb = window_.At(pos);
    uint32_t& head = head_[pb[0] | pb[1] << 8];
    uint32_t cur = head;  // position + 1 of the node; 0 for none
    head = p + 1;
    uint32_t* smaller = &son_[2 * (p & WindowMask)];   // where p's left part goes on
    uint32_t* larger = smaller + 1;                    // and its right part
    unsigned lenSmaller = MinLen, lenLarger = MinLen;  // bytes known to match
    unsigned best = MinLen - 1, count = 0, depth = MaxDepth;
    while (cur != 0) {
      uint32_t q = cur - 1;
      uint32_t dist = p - q;
      if (dist > MaxDistance || depth-- == 0) break;
      uint32_t* pair = &son_[2 * (q & WindowMask)];
      const uint8_t* qb = pb - dist;
      unsigned len = Extend(pb, qb, std::min(lenSmaller, lenLarger), maxLen);
      if (len > best) {
        best = len;
        out[count++] = uint32_t(len) << 16 | dist;
        if (len == maxLen) {  // q is replaced by p
          *smaller = pair[0];
          *larger = pair[1];
          return count;
        }
      }
      if (qb[len] < pb[len]) {
        *smaller = cur;
        smaller = pair + 1;
        cur = *smaller;
        lenSmaller = len;
      } else {
        *larger = cur;
        larger = pair;
        cur = *larger;
        lenLarger = len;
      }
    }
    *smaller = 0;
    *larger = 0;
    return count;
  }

 private:
  // The number of equal bytes at a and b, from len (known equal) up to max.
  static unsigned Extend(const uint8_t* a, const uint8_t* b, unsigned len, unsigned max) {
    if constexpr (std::endian::native == std::endian::little) {
      while (len + 8 <= max) {
        uint64_t x, y;
        std::memcpy(&x, a + len, 8);
        std::memcpy(&y, b + len, 8);
        if (x != y) return len + unsigned(std::countr_zero(x ^ y)) / 8;
        len += 8;
      }
    }
    while (len < max && a[len] == b[len]) ++len;
    return len;
  }

  const InputWindow& window_;
  std::vector<uint32_t> head_;  // newest position + 1 by first two bytes
  std::vector<uint32_t> son_;   // children (position + 1) by position slot
};

// ---------------------------------------------------------------------------
// Parser: shortest paths for one (literal mode, dictionary size).
//
// cost_[k] is the fewest bits that encode the input from position base_ (the
// last commit) up to position base_ + k; from_[k] is the last token of that
// encoding: its length (1 for a literal) in the low 10 bits, its distance
// above. Entries past the farthest relaxed position stay Infinite.
//
// Long copies. Relaxing every length of every copy would cost up to 517
// steps per position in a long run. So a position inside a copy of NiceLen
// bytes or more that an earlier position starts with full relaxation relaxes
// only its own longest copy. Full relaxation is kept where such a copy may
// end: where a stretch of long copies begins, at the last TailLen + 1
// positions of its first copy (marked ahead in marks_), and further on at
// the end of the longest copy from each marked position. The parse thus
// chains longest copies and keeps TailLen + 1 choices of where the chain
// ends, at about TailLen + 1 full relaxations per long copy.

class Parser {
 public:
  // out is null to count the bits only.
  Parser(const InputWindow& window, LiteralMode mode, unsigned dictBits, Search search,
         const Output* out)
      : window_(window),
        niceLen_(search == Search::Race ? NiceLen : FullNiceLen),
        ascii_(mode == LiteralMode::Ascii),
        dictBits_(dictBits),
        maxDist_(64u << dictBits),
        longDistCost_(LongDistCost[dictBits - 4].data()),
        // Sized for the first chunk only: most parsers of a race end there,
        // and filling tables for positions they never reach showed in the
        // profile of a product of documents (many files of a few dozen KiB).
        cost_(size_t(std::min<uint64_t>(window.SizeHint(), FirstChunk)) + MaxLen + RelaxStep,
              Infinite),
        from_(cost_.size(), 0),
        out_(out) {
    for (unsigned b = 0; b < 256; ++b)
      litCost_[b] = uint8_t(1 + (ascii_ ? dcl::LiteralBitCounts[b] : 8));
    cost_[0] = 0;
    if (out_) {
      Reserve(0);
      pending_[0] = uint8_t(mode);
      pending_[1] = uint8_t(dictBits);
      pendingSize_ = 2;
    }
  }

  uint64_t Base() const { return base_; }
  // False once the output refused bytes.
  bool Written() const { return !failed_; }

  // Relaxes the tokens from positions begin to end - 1, whose matches are
  // those of a chunk starting at chunk: offsets[i - chunk] to
  // offsets[i - chunk + 1] index the matches of position i.
  void Run(uint64_t begin, uint64_t end, uint64_t chunk, const uint32_t* offsets,
           const uint32_t* matches) {
    // The positions since the last commit: a little over a chunk, and up to
    // PendingMax in long stretches without a cut point. Grown by need, not
    // doubled, since every worker holds six of these.
    const size_t needed = size_t(end - base_) + MaxLen + RelaxStep;
    if (cost_.size() < needed) {
      cost_.resize(needed + Chunk / 4, Infinite);
      from_.resize(cost_.size(), 0);
    }
    uint32_t* cost = cost_.data();
    uint32_t* from = from_.data();
    const uint8_t* bytes = window_.At(begin);
    for (uint64_t i = begin; i < end; ++i) {
      const size_t k = size_t(i - base_);
      const uint32_t c = cost[k];
      const uint32_t lit = c + litCost_[bytes[i - begin]];
      if (lit < cost[k + 1]) {
        cost[k + 1] = lit;
        from[k + 1] = 1;
      }
      const bool marked = marks_[i % MarkRing] != 0;
      marks_[i % MarkRing] = 0;
      const uint32_t* m = matches + offsets[i - chunk];
      const uint32_t* mEnd = matches + offsets[i - chunk + 1];
      while (mEnd != m && (mEnd[-1] & 0xFFFF) > maxDist_) --mEnd;
      if (m == mEnd) continue;
      if (i < skipEnd_ && !marked) {  // inside a long copy: the longest only
        const unsigned len = mEnd[-1] >> 16, dist = mEnd[-1] & 0xFFFF;
        if (len > MinLen)
          Relax(k + len, c + longDistCost_[dist] + LengthCost[len], dist << 10 | len);
        else if (dist <= MaxShortDist)
          Relax(k + 2, c + LengthCost[2] + ShortDistCost[dist], dist << 10 | 2);
        continue;
      }
      // The nearest match is the only candidate for length 2.
      unsigned len = *m >> 16, dist = *m & 0xFFFF;
      if (dist <= MaxShortDist)
        Relax(k + 2, c + LengthCost[2] + ShortDistCost[dist], dist << 10 | 2);
      unsigned done = MinLen;  // lengths up to here are relaxed
      for (;;) {
        const uint32_t cd = c + longDistCost_[dist];
        const uint32_t tag = dist << 10;
        // Four lengths at a time, those past len masked, without a branch:
        // which length improves is hard to predict, and so was the end of a
        // loop a length at a time, whose count varies from one position to
        // the next. A masked length writes back what it read.
        const U32x4 lenV = U32x4{} + len, cdV = U32x4{} + cd, tagV = U32x4{} + tag;
        for (unsigned l0 = done + 1; l0 <= len; l0 += 4) {
          const U32x4 l = U32x4{0, 1, 2, 3} + l0;
          U32x4 lc, old, oldFrom;
          std::memcpy(&lc, &LengthCost32[l0], sizeof lc);
          std::memcpy(&old, cost + k + l0, sizeof old);
          std::memcpy(&oldFrom, from + k + l0, sizeof oldFrom);
          const U32x4 x = (cdV + lc) | ~U32x4(l <= lenV);  // Infinite where masked
          const U32x4 better = U32x4(x < old);
          const U32x4 newCost = (x & better) | (old & ~better);
          const U32x4 newFrom = ((tagV | l) & better) | (oldFrom & ~better);
          std::memcpy(cost + k + l0, &newCost, sizeof newCost);
          std::memcpy(from + k + l0, &newFrom, sizeof newFrom);
        }
        done = std::max(done, len);
        if (++m == mEnd) break;
        len = *m >> 16;
        dist = *m & 0xFFFF;
      }
      if (done >= niceLen_) {
        if (i >= skipEnd_ && !marked) {
          for (uint64_t j = i + done - TailLen; j <= i + done; ++j) marks_[j % MarkRing] = 1;
        } else {
          marks_[(i + done) % MarkRing] = 1;
        }
        skipEnd_ = std::max(skipEnd_, i + done - TailLen);
      }
    }
  }

  // Emits the path up to position cut, which every path passes, and makes
  // cut the base. Positions up to liveEnd may hold costs.
  void Commit(uint64_t cut, uint64_t liveEnd) {
    if (cut <= base_) return;
    Emit(cut);
    Rebase(cut, liveEnd, true);
  }

  // Called when no cut point has come for a long time: emits the best path
  // up to position end as far as its last position at least MaxLen before
  // end, and parses again from there, without the copies that reached past
  // it. The positions from chunk to end must be those of the last Run.
  void ForceCut(uint64_t end, uint64_t liveEnd, uint64_t chunk, const uint32_t* offsets,
                const uint32_t* matches) {
    size_t k = size_t(end - base_);
    while (k > 0 && base_ + k + MaxLen > end) k -= from_[k] & 1023;
    uint64_t cut = base_ + k;
    if (cut < chunk) cut = end;  // cannot happen with Chunk > 2 * MaxLen
    Emit(cut);
    Rebase(cut, liveEnd, false);
    skipEnd_ = cut;
    marks_.fill(0);
    Run(cut, end, chunk, offsets, matches);
  }

  // Emits the rest up to position end, the end code and the padding.
  void Finish(uint64_t end) {
    Emit(end);
    if (!out_) return;
    Reserve(1);
    Put(1 | uint32_t(dcl::LengthCodeValues[15]) << 1, 1 + dcl::LengthBitCounts[15]);
    Put(EndLengthValue - dcl::LengthBaseValues[15], dcl::LengthExtraBits[15]);
    for (; fill_ > 0; fill_ = fill_ > 8 ? fill_ - 8 : 0, acc_ >>= 8)
      pending_[pendingSize_++] = uint8_t(acc_);
    written_ += pendingSize_;
    assert(failed_ || written_ == StreamSize());
    Flush();
  }

  // The size of the complete stream in bytes, once finished; before that,
  // the least it can come to.
  uint64_t StreamSize() const { return 2 + (bits_ + EndCodeBits + 7) / 8; }
  // The bits of the best path up to pos, a position of the last Run.
  uint64_t BitsTo(uint64_t pos) const { return bits_ + cost_[size_t(pos - base_)]; }

 private:
  void Relax(size_t k, uint32_t x, uint32_t tag) {
    if (x < cost_[k]) {
      cost_[k] = x;
      from_[k] = tag;
    }
  }

  // Makes cut the base: keeps the costs from cut to liveEnd (counted from
  // cut) or drops them.
  void Rebase(uint64_t cut, uint64_t liveEnd, bool keep) {
    const size_t k = size_t(cut - base_), live = keep ? size_t(liveEnd - cut) + 1 : 1;
    const uint32_t c0 = cost_[k];
    for (size_t j = 0; j < live; ++j) {
      const uint32_t c = cost_[k + j];
      cost_[j] = c == Infinite ? c : c - c0;
      from_[j] = from_[k + j];
    }
    std::fill(cost_.begin() + std::ptrdiff_t(live),
              cost_.begin() + std::ptrdiff_t(liveEnd - base_ + 1), Infinite);
    base_ = cut;
  }

  // Makes room in pending_ for the bytes of tokens more tokens (a token's
  // two Puts move at most 8) and of the bits held.
  void Reserve(size_t tokens) {
    const size_t need = pendingSize_ + 8 * tokens + 16;
    if (pending_.size() < need) pending_.resize(std::max(need, 2 * pending_.size()));
  }

  // Appends count (at most 24) bits, LSB first, into room Reserve made.
  // The bits go on in 32-bit steps: one store, not a byte at a time.
  void Put(uint32_t value, unsigned count) {
    acc_ |= uint64_t(value) << fill_;
    fill_ += count;
    if (fill_ >= 32) {
      uint8_t* at = pending_.data() + pendingSize_;
      for (unsigned b = 0; b < 4; ++b) at[b] = uint8_t(acc_ >> 8 * b);
      pendingSize_ += 4;
      acc_ >>= 32;
      fill_ -= 32;
    }
  }

  // Hands the gathered bytes to the output.
  void Flush() {
    if (!failed_ && pendingSize_ > 0 && !out_->write(out_->context, pending_.data(), pendingSize_))
      failed_ = true;
    pendingSize_ = 0;
  }

  // Counts (and with an output, writes) the best path from base_ to cut.
  void Emit(uint64_t cut) {
    bits_ += cost_[size_t(cut - base_)];
    if (!out_) return;
    // At most a token per position; the vector only grows, so that most
    // calls fill it without a check per token.
    const size_t span = size_t(cut - base_);
    if (path_.size() < span) path_.resize(span);
    size_t count = 0;
    for (size_t k = span; k > 0; k -= path_[count - 1] & 1023) path_[count++] = from_[k];
    Reserve(count);
    const uint8_t* bytes = window_.At(base_);
    size_t pos = 0;  // from base_
    for (size_t t = count; t-- > 0;) {
      const unsigned len = path_[t] & 1023, dist = path_[t] >> 10;
      if (len == 1) {
        const uint8_t b = bytes[pos];
        if (ascii_)
          Put(uint32_t(dcl::LiteralCodeValues[b]) << 1, 1 + dcl::LiteralBitCounts[b]);
        else
          Put(uint32_t(b) << 1, 9);
      } else {
        const unsigned v = len - MinLen, s = LengthSymbols[v];
        const unsigned sb = dcl::LengthBitCounts[s], e = dcl::LengthExtraBits[s];
        Put(1 | uint32_t(dcl::LengthCodeValues[s]) << 1 |
                uint32_t(v - dcl::LengthBaseValues[s]) << (1 + sb),
            1 + sb + e);
        const unsigned low = len == MinLen ? 2 : dictBits_, h = (dist - 1) >> low;
        const unsigned hb = dcl::DistanceBitCounts[h];
        Put(dcl::DistanceCodeValues[h] | ((dist - 1) & ((1u << low) - 1)) << hb, hb + low);
      }
      pos += len;
    }
    assert(base_ + pos == cut);
    if (pendingSize_ >= FlushAt) {
      written_ += pendingSize_;
      Flush();
    }
  }

  const InputWindow& window_;
  const unsigned niceLen_;  // copies this long are long
  const bool ascii_;
  const unsigned dictBits_;
  const unsigned maxDist_;
  const uint8_t* longDistCost_;
  uint8_t litCost_[256];
  std::vector<uint32_t> cost_;
  std::vector<uint32_t> from_;
  std::vector<uint32_t> path_;  // back-tracked tokens, last first (its first count)
  const Output* out_;           // null: count the bits only
  std::vector<uint8_t> pending_;  // its first pendingSize_: stream bytes not yet
  size_t pendingSize_ = 0;        // handed to out_
  uint64_t written_ = 0;          // stream bytes handed on, or about to be
  bool failed_ = false;           // out_ refused bytes
  uint64_t base_ = 0;
  uint64_t bits_ = 0;                      // bits of the tokens up to base_
  uint64_t acc_ = 0;                       // bits not yet written, the first in bit 0
  unsigned fill_ = 0;                      // their number (below 32 between calls)
  uint64_t skipEnd_ = 0;                   // positions below this start only the longest copy
  std::array<uint8_t, MarkRing> marks_{};  // unless marked here
};

// ---------------------------------------------------------------------------
// The driver: all parsers over the same input in step. What each parser does
// depends only on the input and its own state, not on the others.

// Runs count parsers over the input in window; with race, only those still in
// the race, whose flags running holds (all set on the call; cleared here as
// parsers drop out, never all). Stops with
// OverLimit once every running parser's stream is sure to be longer than
// limit bytes.
Status Encode(InputWindow& window, Parser* parsers, size_t count, uint64_t limit, bool race,
              bool* running) {
  MatchFinder finder(window);
  // Sized for the first chunk and grown by need: data that does not pack
  // has few matches, and filling tables it never uses showed in its
  // profile.
  const size_t hint = size_t(std::min<uint64_t>(window.SizeHint(), FirstChunk));
  std::vector<uint32_t> offsets(hint + 1);
  std::vector<uint32_t> matches(hint * 4 + MaxLen);
  uint64_t reach = 0;    // the farthest position a token from below reaches
  uint64_t lastCut = 0;  // the latest position no token skips over
  uint64_t begin = 0;
  for (;;) {
    uint64_t keep = begin > MaxDistance ? begin - MaxDistance : 0;
    for (size_t p = 0; p < count; ++p)
      if (running[p]) keep = std::min(keep, parsers[p].Base());
    if (!window.Fill(keep, begin + Chunk + MaxLen)) return Status::ReadFailed;
    // Short of MaxLen past the chunk, the input has ended: this is its size.
    const uint64_t size = window.End();
    if (size > MaxInput) return Status::TooLong;
    if (begin == size) break;
    const uint64_t end = std::min(size, begin + std::clamp<uint64_t>(begin, FirstChunk, Chunk));
    if (offsets.size() < end - begin + 1) offsets.resize(size_t(end - begin) + 1);
    size_t used = 0;
    for (uint64_t i = begin; i < end; ++i) {
      if (reach <= i) lastCut = i;
      offsets[size_t(i - begin)] = uint32_t(used);
      if (matches.size() - used < MaxLen) matches.resize(2 * matches.size());
      const unsigned n = finder.Find(i, matches.data() + used);
      const uint64_t longest = n ? matches[used + n - 1] >> 16 : 1;
      used += n;
      reach = std::max(reach, i + longest);
    }
    offsets[size_t(end - begin)] = uint32_t(used);
    if (reach <= end) lastCut = end;
    const uint64_t liveEnd = std::min(size, end + MaxLen);
    uint64_t fewest = ~uint64_t(0);  // bytes of the shortest stream, at least
    uint64_t bestBits = ~uint64_t(0);
    for (size_t p = 0; p < count; ++p) {
      if (!running[p]) continue;
      Parser& parser = parsers[p];
      parser.Run(begin, end, begin, offsets.data(), matches.data());
      if (end < size) {
        parser.Commit(lastCut, liveEnd);
        if (end + Chunk - parser.Base() > PendingMax)
          parser.ForceCut(end, liveEnd, begin, offsets.data(), matches.data());
      }
      if (!parser.Written()) return Status::WriteFailed;
      fewest = std::min(fewest, parser.StreamSize());
      bestBits = std::min(bestBits, parser.BitsTo(end));
    }
    if (fewest > limit) return Status::OverLimit;
    if (race && end < size) {
      size_t leader = 0;
      while (!running[leader] || parsers[leader].BitsTo(end) != bestBits) ++leader;
      for (size_t p = 0; p < count; ++p)
        if (running[p] && (parsers[p].BitsTo(end) > bestBits + bestBits / RaceMargin + RaceSlack ||
                           ((end >= RaceNarrow || bestBits >= 8 * end) && p != leader)))
          running[p] = false;
    }
    begin = end;
  }
  for (size_t p = 0; p < count; ++p) {
    if (!running[p]) continue;
    parsers[p].Finish(begin);
    if (!parsers[p].Written()) return Status::WriteFailed;
  }
  return Status::Ok;
}

// Bytes in memory as an Input.
struct MemoryInput {
  const uint8_t* data;
  size_t left;

  static bool Read(void* context, uint8_t* buffer, size_t count, size_t* got) {
    auto* in = static_cast<MemoryInput*>(context);
    *got = std::min(count, in->left);
    if (*got) std::memcpy(buffer, in->data, *got);
    in->data += *got;
    in->left -= *got;
    return true;
  }
  Input AsInput() { return {Read, this, left}; }
};

bool AppendToVector(void* context, const uint8_t* data, size_t size) {
  auto* out = static_cast<std::vector<uint8_t>*>(context);
  out->insert(out->end(), data, data + size);
  return true;
}

bool ValidEncoding(LiteralMode mode, unsigned dictBits) {
  return dictBits >= 4 && dictBits <= 6 &&
         (mode == LiteralMode::Binary || mode == LiteralMode::Ascii);
}

}  // namespace

Status ImplodeTo(const Input& in, LiteralMode mode, unsigned dictBits, const Output& out,
                 Search parse) {
  assert(ValidEncoding(mode, dictBits));
  InputWindow window(in);
  Parser parser(window, mode, dictBits, parse, &out);
  bool running = true;
  return Encode(window, &parser, 1, ~uint64_t(0), false, &running);
}

Status ImplodeAll(const Input& in, const Output* outputs, uint64_t limit, Search search,
                  Encoding& smallest) {
  InputWindow window(in);
  std::vector<Parser> parsers;
  parsers.reserve(EncodingCount);
  for (size_t p = 0; p < EncodingCount; ++p)
    parsers.emplace_back(window, EncodingAt(p).mode, EncodingAt(p).dictBits, search,
                         outputs ? &outputs[p] : nullptr);
  bool running[EncodingCount];
  std::fill(running, running + EncodingCount, true);
  const Status status =
      Encode(window, parsers.data(), parsers.size(), limit, search == Search::Race, running);
  if (status != Status::Ok) return status;
  size_t best = EncodingCount;
  for (size_t p = 0; p < parsers.size(); ++p)
    if (running[p] && (best == EncodingCount || parsers[p].StreamSize() < parsers[best].StreamSize()))
      best = p;
  smallest = EncodingAt(best);
  smallest.streamSize = parsers[best].StreamSize();
  return smallest.streamSize > limit ? Status::OverLimit : Status::Ok;
}

std::vector<uint8_t> Implode(const uint8_t* data, size_t size, LiteralMode mode,
                             unsigned dictBits, Search parse) {
  std::vector<uint8_t> out;
  if (!ValidEncoding(mode, dictBits) || uint64_t(size) > MaxInput) return out;
  out.reserve(size / 4 + 64);
  MemoryInput in{data, size};
  if (ImplodeTo(in.AsInput(), mode, dictBits, {AppendToVector, &out}, parse) != Status::Ok)
    out.clear();
  return out;
}

}  // namespace implode
