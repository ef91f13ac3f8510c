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
//   MatchFinder  a binary tree over the last 4096 positions (as in LZMA's
//                "bt" finders), keyed by the bytes that follow each position
//                and heap-ordered by age; one descent yields the Pareto list
//                of a position and inserts it. Shared by all six encodings.
//   Parser       one (literal mode, dictionary size): the shortest-path costs
//                and back pointers of the positions not yet emitted, the
//                back-tracking, and the bit writer.
//   Encode       the driver: finds the matches of a chunk of positions, runs
//                each parser over it, and commits each parser's path up to
//                the latest cut point (a position no copy skips over, so that
//                every path passes it and the path up to it is final).
//
// Where optimality is traded for speed (see the constants below):
//   - Inside a copy of at least NiceLen bytes the parser does not start
//     copies, except in the last TailLen + 1 positions of that copy.
//   - A tree descent visits at most MaxDepth nodes.
//   - When no cut point has come for PendingMax positions, the parsers cut
//     anyway and drop the copies that cross the cut.
// On inputs whose matches are all shorter than NiceLen and whose descents
// stay within MaxDepth (everyday text and binaries), the result is optimal.
#include "tools/pvpack/Implode.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <stdexcept>

#include "explode/Tables.h"

namespace implode {
namespace {

constexpr unsigned MinLen = 2;             // shortest copy
constexpr unsigned MaxLen = 518;           // longest copy (length value 516)
constexpr unsigned MaxShortDist = 256;     // 2-byte copies: 2 low bits
constexpr unsigned MaxDistance = 4096;     // the largest dictionary
constexpr unsigned EndLengthValue = 517;   // symbol 15, extra bits all set
constexpr unsigned EndCodeBits = 1 + 7 + 8;

// Speed / optimality trade-offs (see the file comment).
constexpr unsigned NiceLen = 128;
constexpr unsigned TailLen = 16;
constexpr unsigned MaxDepth = 1024;
constexpr size_t MarkRing = 1024;  // > MaxLen
constexpr size_t Chunk = size_t(1) << 16;
constexpr size_t PendingMax = size_t(1) << 18;
static_assert(TailLen + 1 < NiceLen && Chunk <= PendingMax);

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
    uint32_t* smaller = &son_[2 * (p & WindowMask)];  // where p's left part goes on
    uint32_t* larger = smaller + 1;                   // and its right part
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
// cost_[k] is the fewest bits that encode the input up to position base + k
// counted from base (the last commit), from_[k] the last token of that
// encoding: copy length (or 1 for a literal) in the low 10 bits, distance
// above. Entries past the last relaxed position stay Infinite.

class Parser {
 public:
  Parser(const uint8_t* data, size_t size, LiteralMode mode, unsigned dictBits,
         std::vector<uint8_t>* out)
      : data_(data),
        ascii_(mode == LiteralMode::Ascii),
        dictBits_(dictBits),
        maxDist_(64u << dictBits),
        longDistCost_(LongDistCost[dictBits - 4].data()),
        cost_(std::min(size, PendingMax) + MaxLen + 1, Infinite),
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

  // Relaxes the tokens from positions begin to end - 1; offsets[i - begin]
  // to offsets[i - begin + 1] index the matches of position i.
  void Run(size_t begin, size_t end, size_t base, const uint32_t* offsets,
           const uint32_t* matches) {
    uint32_t* cost = cost_.data();
    uint32_t* from = from_.data();
    for (size_t i = begin; i < end; ++i) {
      const size_t k = i - base;
      const uint32_t c = cost[k];
      const uint32_t lit = c + litCost_[data_[i]];
      if (lit < cost[k + 1]) {
        cost[k + 1] = lit;
        from[k + 1] = 1;
      }
      const bool marked = marks_[i % MarkRing] != 0;
      marks_[i % MarkRing] = 0;
      const uint32_t* m = matches + offsets[i - begin];
      const uint32_t* mEnd = matches + offsets[i - begin + 1];
      if (i < skipEnd_ && !marked) {
        // Inside a long copy: only the longest copy, which a token that
        // ends here needs to go on.
        while (mEnd != m && (mEnd[-1] & 0xFFFF) > maxDist_) --mEnd;
        if (m != mEnd) {
          const unsigned len = mEnd[-1] >> 16, dist = mEnd[-1] & 0xFFFF;
          const uint32_t x = c + longDistCost_[dist] + LengthCost[len];
          if (x < cost[k + len]) {
            cost[k + len] = x;
            from[k + len] = dist << 10 | len;
          }
        }
        continue;
      }
      unsigned prev = 1;  // lengths up to prev are done
      for (; m != mEnd; ++m) {
        const unsigned len = *m >> 16, dist = *m & 0xFFFF;
        if (dist > maxDist_) break;
        if (prev == 1) {  // the nearest match: the only candidate for length 2
          if (dist <= MaxShortDist) {
            uint32_t two = c + LengthCost[2] + ShortDistCost[dist];
            if (two < cost[k + 2]) {
              cost[k + 2] = two;
              from[k + 2] = dist << 10 | 2;
            }
          }
          prev = 2;
        }
        if (len > prev) {
          const uint32_t cd = c + longDistCost_[dist];
          const uint32_t tag = dist << 10;
          for (unsigned l = prev + 1; l <= len; ++l) {
            uint32_t x = cd + LengthCost[l];
            if (x < cost[k + l]) {
              cost[k + l] = x;
              from[k + l] = tag | l;
            }
          }
          prev = len;
        }
      }
      if (prev >= NiceLen) {
        // A long copy: the positions it covers start no copies, except
        // those near where a copy from a position that does start copies
        // ends. Where the stretch begins, those are the last TailLen + 1
        // positions of its first copy.
        if (i >= skipEnd_ && !marked) {
          for (size_t j = i + prev - TailLen; j <= i + prev; ++j) marks_[j % MarkRing] = 1;
        } else {
          marks_[(i + prev) % MarkRing] = 1;
        }
        skipEnd_ = std::max(skipEnd_, i + prev - TailLen);
      }
    }
  }

  // Emits the path up to position cut (every path passes it) and makes cut
  // the new base. Positions up to liveEnd may hold relaxed costs.
  void Commit(size_t cut, size_t base, size_t liveEnd) {
    Emit(cut, base);
    const size_t k = cut - base, live = liveEnd - cut + 1;
    const uint32_t c0 = cost_[k];
    for (size_t j = 0; j < live; ++j) {
      uint32_t c = cost_[k + j];
      cost_[j] = c == Infinite ? c : c - c0;
      from_[j] = from_[k + j];
    }
    std::fill(cost_.begin() + std::ptrdiff_t(live), cost_.begin() + std::ptrdiff_t(liveEnd - base + 1),
              Infinite);
  }

  // Emits the path up to position cut and restarts from there, dropping the
  // copies that reach past it.
  void ForceCut(size_t cut, size_t base, size_t liveEnd) {
    Emit(cut, base);
    cost_[0] = 0;
    std::fill(cost_.begin() + 1, cost_.begin() + std::ptrdiff_t(liveEnd - base + 1), Infinite);
    skipEnd_ = cut;
    marks_.fill(0);
  }

  // Emits the rest up to position end, the end code and the padding.
  void Finish(size_t end, size_t base) {
    Emit(end, base);
    if (!out_) return;
    Put(1 | uint32_t(dcl::LengthCodeValues[15]) << 1, 1 + dcl::LengthBitCounts[15]);
    Put(EndLengthValue - dcl::LengthBaseValues[15], dcl::LengthExtraBits[15]);
    if (fill_ > 0) out_->push_back(uint8_t(acc_));
    assert(out_->size() == StreamSize());
  }

  // The size of the complete stream in bytes.
  size_t StreamSize() const { return 2 + size_t((bits_ + EndCodeBits + 7) / 8); }

 private:
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

  // Counts (and with an output, writes) the path from base up to cut.
  void Emit(size_t cut, size_t base) {
    bits_ += cost_[cut - base];
    if (!out_) return;
    path_.clear();
    for (size_t k = cut - base; k > 0; k -= path_.back() & 1023) path_.push_back(from_[k]);
    size_t pos = base;
    for (auto it = path_.rbegin(); it != path_.rend(); ++it) {
      const unsigned len = *it & 1023, dist = *it >> 10;
      if (len == 1) {
        const uint8_t b = data_[pos];
        if (ascii_)
          Put(uint32_t(dcl::LiteralCodeValues[b]) << 1, 1 + dcl::LiteralBitCounts[b]);
        else
          Put(uint32_t(b) << 1, 9);
      } else {
        const unsigned v = len - MinLen, s = LengthSymbols[v], e = dcl::LengthExtraBits[s];
        Put((1 | uint32_t(dcl::LengthCodeValues[s]) << 1 |
             uint32_t(v - dcl::LengthBaseValues[s]) << (1 + dcl::LengthBitCounts[s])),
            1 + dcl::LengthBitCounts[s] + e);
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
  uint64_t bits_ = 0;           // bits of the committed tokens
  uint64_t acc_ = 0;            // bits not yet written, the first in bit 0
  unsigned fill_ = 0;           // their number (below 8 between calls)
  size_t skipEnd_ = 0;          // positions below this start no copy
  std::array<uint8_t, MarkRing> marks_{};  // unless marked here
};

// ---------------------------------------------------------------------------
// The driver: all parsers over the same input in step.

void Encode(const uint8_t* data, size_t size, Parser* parsers, size_t count) {
  if (size >= size_t(0xFFFFFFFFu) - 2 * MaxDistance)
    throw std::length_error("implode: input too large");
  MatchFinder finder(data, size);
  std::vector<uint32_t> offsets(Chunk + 1);
  std::vector<uint32_t> matches(Chunk * 4 + MaxLen);
  size_t base = 0;      // the parsers' last commit
  size_t reach = 0;     // the farthest position a token from below reaches
  size_t lastCut = 0;   // the latest position no token skips over
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
    for (size_t p = 0; p < count; ++p)
      parsers[p].Run(begin, end, base, offsets.data(), matches.data());
    begin = end;
    if (end == size) break;
    const size_t liveEnd = std::min(size, end + MaxLen);
    if (lastCut > base) {
      for (size_t p = 0; p < count; ++p) parsers[p].Commit(lastCut, base, liveEnd);
      base = lastCut;
    }
    if (end + Chunk - base > PendingMax) {
      for (size_t p = 0; p < count; ++p) parsers[p].ForceCut(end, base, liveEnd);
      base = reach = lastCut = end;
    }
  }
  for (size_t p = 0; p < count; ++p) parsers[p].Finish(size, base);
}

void CheckDictBits(unsigned dictBits) {
  if (dictBits < 4 || dictBits > 6) throw std::invalid_argument("implode: dictBits must be 4, 5 or 6");
}

}  // namespace

std::vector<uint8_t> Implode(const uint8_t* data, size_t size, LiteralMode mode,
                             unsigned dictBits) {
  CheckDictBits(dictBits);
  if (mode != LiteralMode::Binary && mode != LiteralMode::Ascii)
    throw std::invalid_argument("implode: unknown literal mode");
  std::vector<uint8_t> out;
  out.reserve(size / 2 + 64);
  Parser parser(data, size, mode, dictBits, &out);
  Encode(data, size, &parser, 1);
  return out;
}

std::vector<uint8_t> ImplodeSmallest(const uint8_t* data, size_t size) {
  // Every encoding's exact size comes out of one pass that only counts;
  // the winner is then encoded again. Each parser's result does not depend
  // on the others it runs beside, so the second pass repeats the first.
  constexpr LiteralMode Modes[2] = {LiteralMode::Binary, LiteralMode::Ascii};
  std::vector<Parser> parsers;
  parsers.reserve(6);
  for (LiteralMode mode : Modes)
    for (unsigned dictBits = 4; dictBits <= 6; ++dictBits)
      parsers.emplace_back(data, size, mode, dictBits, nullptr);
  Encode(data, size, parsers.data(), parsers.size());
  size_t best = 0;
  for (size_t p = 1; p < parsers.size(); ++p)
    if (parsers[p].StreamSize() < parsers[best].StreamSize()) best = p;
  return Implode(data, size, Modes[best / 3], unsigned(4 + best % 3));
}

}  // namespace implode
