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
//                every path passes it and the path up to it is final).
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
constexpr unsigned NiceLen = 256;               // copies this long are "long"
constexpr unsigned TailLen = 16;                // start positions kept near their ends
constexpr unsigned MaxDepth = 256;              // nodes per tree descent
constexpr size_t PendingMax = size_t(1) << 20;  // positions without a cut point
// Positions whose matches are found in one go before the parsers run.
constexpr size_t Chunk = size_t(1) << 16;
constexpr size_t MarkRing = 1024;  // > MaxLen
// ImplodeSmallest keeps all six streams up to this input size; above it, it
// encodes the smallest again rather than hold six big streams.
constexpr size_t OnePassMax = size_t(8) << 20;
// Positions are 32-bit, with room for the match finder's "position + 1".
constexpr uint64_t MaxInput = 0xFFFFFFFFu - 2 * MaxDistance;
static_assert(TailLen + 1 < NiceLen && 4 * MaxLen < Chunk && 2 * Chunk <= PendingMax);

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

  MatchFinder(const uint8_t* data, size_t size)
      : data_(data), size_(size), head_(65536, 0), son_(2 * (WindowMask + 1), 0) {}

  // Inserts position p (positions must come in order, each exactly once)
  // and stores its Pareto list at out as (length << 16 | distance), lengths
  // and distances rising. Returns the count, at most MaxLen - 1.
  unsigned Find(size_t pos, uint32_t* out) {
    size_t left = size_ - pos;
    if (left < MinLen) return 0;
    const unsigned maxLen = left < MaxLen ? unsigned(left) : MaxLen;
    const uint32_t p = uint32_t(pos);
    const uint8_t* pb = data_ + pos;
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
      const uint8_t* qb = data_ + q;
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

  const uint8_t* data_;
  size_t size_;
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
  Parser(const uint8_t* data, size_t size, LiteralMode mode, unsigned dictBits,
         std::vector<uint8_t>* out)
      : data_(data),
        ascii_(mode == LiteralMode::Ascii),
        dictBits_(dictBits),
        maxDist_(64u << dictBits),
        longDistCost_(LongDistCost[dictBits - 4].data()),
        cost_(std::min(size, Chunk) + MaxLen + 1, Infinite),
        from_(cost_.size(), 0),
        out_(out) {
    for (unsigned b = 0; b < 256; ++b)
      litCost_[b] = uint8_t(1 + (ascii_ ? dcl::LiteralBitCounts[b] : 8));
    cost_[0] = 0;
    if (out_) {
      out_->push_back(uint8_t(mode));
      out_->push_back(uint8_t(dictBits));
    }
  }

  size_t Base() const { return base_; }

  // Relaxes the tokens from positions begin to end - 1, whose matches are
  // those of a chunk starting at chunk: offsets[i - chunk] to
  // offsets[i - chunk + 1] index the matches of position i.
  void Run(size_t begin, size_t end, size_t chunk, const uint32_t* offsets,
           const uint32_t* matches) {
    if (cost_.size() < end - base_ + MaxLen + 1) {  // grows only without cut points
      const size_t n = std::min(2 * cost_.size(), PendingMax + MaxLen + 1);
      cost_.resize(std::max(n, end - base_ + MaxLen + 1), Infinite);
      from_.resize(cost_.size(), 0);
    }
    uint32_t* cost = cost_.data();
    uint32_t* from = from_.data();
    for (size_t i = begin; i < end; ++i) {
      const size_t k = i - base_;
      const uint32_t c = cost[k];
      const uint32_t lit = c + litCost_[data_[i]];
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
        for (unsigned l = done + 1; l <= len; ++l) {
          const uint32_t x = cd + LengthCost[l];
          if (x < cost[k + l]) {
            cost[k + l] = x;
            from[k + l] = tag | l;
          }
        }
        done = std::max(done, len);
        if (++m == mEnd) break;
        len = *m >> 16;
        dist = *m & 0xFFFF;
      }
      if (done >= NiceLen) {
        if (i >= skipEnd_ && !marked) {
          for (size_t j = i + done - TailLen; j <= i + done; ++j) marks_[j % MarkRing] = 1;
        } else {
          marks_[(i + done) % MarkRing] = 1;
        }
        skipEnd_ = std::max(skipEnd_, i + done - TailLen);
      }
    }
  }

  // Emits the path up to position cut, which every path passes, and makes
  // cut the base. Positions up to liveEnd may hold costs.
  void Commit(size_t cut, size_t liveEnd) {
    if (cut <= base_) return;
    Emit(cut);
    Rebase(cut, liveEnd, true);
  }

  // Called when no cut point has come for a long time: emits the best path
  // up to position end as far as its last position at least MaxLen before
  // end, and parses again from there, without the copies that reached past
  // it. The positions from chunk to end must be those of the last Run.
  void ForceCut(size_t end, size_t liveEnd, size_t chunk, const uint32_t* offsets,
                const uint32_t* matches) {
    size_t k = end - base_;
    while (k > 0 && base_ + k + MaxLen > end) k -= from_[k] & 1023;
    size_t cut = base_ + k;
    if (cut < chunk) cut = end;  // cannot happen with Chunk > 2 * MaxLen
    Emit(cut);
    Rebase(cut, liveEnd, false);
    skipEnd_ = cut;
    marks_.fill(0);
    Run(cut, end, chunk, offsets, matches);
  }

  // Emits the rest up to position end, the end code and the padding.
  void Finish(size_t end) {
    Emit(end);
    if (!out_) return;
    Put(1 | uint32_t(dcl::LengthCodeValues[15]) << 1, 1 + dcl::LengthBitCounts[15]);
    Put(EndLengthValue - dcl::LengthBaseValues[15], dcl::LengthExtraBits[15]);
    if (fill_ > 0) out_->push_back(uint8_t(acc_));
    assert(out_->size() == StreamSize());
  }

  // The size of the complete stream in bytes, once finished.
  size_t StreamSize() const { return 2 + size_t((bits_ + EndCodeBits + 7) / 8); }

 private:
  void Relax(size_t k, uint32_t x, uint32_t tag) {
    if (x < cost_[k]) {
      cost_[k] = x;
      from_[k] = tag;
    }
  }

  // Makes cut the base: keeps the costs from cut to liveEnd (counted from
  // cut) or drops them.
  void Rebase(size_t cut, size_t liveEnd, bool keep) {
    const size_t k = cut - base_, live = keep ? liveEnd - cut + 1 : 1;
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

  // Appends count (at most 24) bits, LSB first.
  void Put(uint32_t value, unsigned count) {
    acc_ |= uint64_t(value) << fill_;
    fill_ += count;
    while (fill_ >= 8) {
      out_->push_back(uint8_t(acc_));
      acc_ >>= 8;
      fill_ -= 8;
    }
  }

  // Counts (and with an output, writes) the best path from base_ to cut.
  void Emit(size_t cut) {
    bits_ += cost_[cut - base_];
    if (!out_) return;
    path_.clear();
    for (size_t k = cut - base_; k > 0; k -= path_.back() & 1023) path_.push_back(from_[k]);
    size_t pos = base_;
    for (auto it = path_.rbegin(); it != path_.rend(); ++it) {
      const unsigned len = *it & 1023, dist = *it >> 10;
      if (len == 1) {
        const uint8_t b = data_[pos];
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
    assert(pos == cut);
  }

  const uint8_t* data_;
  const bool ascii_;
  const unsigned dictBits_;
  const unsigned maxDist_;
  const uint8_t* longDistCost_;
  uint8_t litCost_[256];
  std::vector<uint32_t> cost_;
  std::vector<uint32_t> from_;
  std::vector<uint32_t> path_;  // back-tracked tokens, last first
  std::vector<uint8_t>* out_;   // null: count the bits only
  size_t base_ = 0;
  uint64_t bits_ = 0;                      // bits of the tokens up to base_
  uint64_t acc_ = 0;                       // bits not yet written, the first in bit 0
  unsigned fill_ = 0;                      // their number (below 8 between calls)
  size_t skipEnd_ = 0;                     // positions below this start only the longest copy
  std::array<uint8_t, MarkRing> marks_{};  // unless marked here
};

// ---------------------------------------------------------------------------
// The driver: all parsers over the same input in step. What each parser does
// depends only on the input and its own state, not on the others.

// Runs count parsers over size bytes at data (size below MaxInput).
void Encode(const uint8_t* data, size_t size, Parser* parsers, size_t count) {
  MatchFinder finder(data, size);
  std::vector<uint32_t> offsets(std::min(size, Chunk) + 1);
  std::vector<uint32_t> matches(std::min(size, Chunk) * 4 + MaxLen);
  size_t reach = 0;    // the farthest position a token from below reaches
  size_t lastCut = 0;  // the latest position no token skips over
  for (size_t begin = 0; begin < size;) {
    const size_t end = std::min(size, begin + Chunk);
    size_t used = 0;
    for (size_t i = begin; i < end; ++i) {
      if (reach <= i) lastCut = i;
      offsets[i - begin] = uint32_t(used);
      if (matches.size() - used < MaxLen) matches.resize(2 * matches.size());
      const unsigned n = finder.Find(i, matches.data() + used);
      const size_t longest = n ? matches[used + n - 1] >> 16 : 1;
      used += n;
      reach = std::max(reach, i + longest);
    }
    offsets[end - begin] = uint32_t(used);
    if (reach <= end) lastCut = end;
    const size_t liveEnd = std::min(size, end + MaxLen);
    for (size_t p = 0; p < count; ++p) {
      Parser& parser = parsers[p];
      parser.Run(begin, end, begin, offsets.data(), matches.data());
      if (end == size) continue;
      parser.Commit(lastCut, liveEnd);
      if (end + Chunk - parser.Base() > PendingMax)
        parser.ForceCut(end, liveEnd, begin, offsets.data(), matches.data());
    }
    begin = end;
  }
  for (size_t p = 0; p < count; ++p) parsers[p].Finish(size);
}

}  // namespace

std::vector<uint8_t> Implode(const uint8_t* data, size_t size, LiteralMode mode,
                             unsigned dictBits) {
  std::vector<uint8_t> out;
  if (dictBits < 4 || dictBits > 6 || uint64_t(size) >= MaxInput ||
      (mode != LiteralMode::Binary && mode != LiteralMode::Ascii))
    return out;
  out.reserve(size / 4 + 64);
  Parser parser(data, size, mode, dictBits, &out);
  Encode(data, size, &parser, 1);
  return out;
}

std::vector<uint8_t> ImplodeSmallest(const uint8_t* data, size_t size) {
  // One pass finds every encoding's exact size. Up to OnePassMax bytes of
  // input it also writes all six streams; above that the winner is encoded
  // again, which repeats the first pass exactly, since a parser's result
  // does not depend on the other parsers beside it.
  constexpr LiteralMode Modes[2] = {LiteralMode::Binary, LiteralMode::Ascii};
  if (uint64_t(size) >= MaxInput) return {};
  const bool onePass = size <= OnePassMax;
  std::vector<std::vector<uint8_t>> outs(onePass ? 6 : 0);
  size_t best = 0;
  {
    std::vector<Parser> parsers;
    parsers.reserve(6);
    for (size_t p = 0; p < 6; ++p)
      parsers.emplace_back(data, size, Modes[p / 3], unsigned(4 + p % 3),
                           onePass ? &outs[p] : nullptr);
    Encode(data, size, parsers.data(), parsers.size());
    for (size_t p = 1; p < parsers.size(); ++p)
      if (parsers[p].StreamSize() < parsers[best].StreamSize()) best = p;
  }
  if (onePass) return std::move(outs[best]);
  return Implode(data, size, Modes[best / 3], unsigned(4 + best % 3));
}

}  // namespace implode
