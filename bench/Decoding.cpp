// Decoding throughput: DclDecompress against zlib's inflate and liblzma.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "bench/Bench.h"
#include "explode/Explode.h"

namespace bench {
namespace {

// Input from memory in the decoder's 2048-byte reads; output copied into a
// buffer, as a caller that keeps the data would.
struct MemoryRun {
  const uint8_t* in;
  size_t left;
  uint8_t* out;
  size_t room;
  size_t produced = 0;

  static uint32_t Read(uint8_t* buffer, uint32_t* count, void* param) {
    auto* run = static_cast<MemoryRun*>(param);
    uint32_t n = uint32_t(std::min<size_t>(run->left, *count));
    std::memcpy(buffer, run->in, n);
    run->in += n;
    run->left -= n;
    return n;
  }
  static void Write(uint8_t* buffer, uint32_t* count, void* param) {
    auto* run = static_cast<MemoryRun*>(param);
    if (run->produced + *count <= run->room) std::memcpy(run->out + run->produced, buffer, *count);
    run->produced += *count;
  }
};

// Each decoder takes one item's stream and leaves the file in the scratch
// buffer (Output); true when it reported success and the size came out right.
class Decoders {
 public:
  explicit Decoders(size_t largest) : scratch_(largest) { inflateInit2(&z_, -MAX_WBITS); }
  ~Decoders() { inflateEnd(&z_); }
  Decoders(const Decoders&) = delete;
  Decoders& operator=(const Decoders&) = delete;

  const uint8_t* Output() const { return scratch_.data(); }

  bool Implode(const Item& item) {
    MemoryRun run{item.implode.data(), item.implode.size(), scratch_.data(), scratch_.size()};
    uint32_t r = DclDecompress(MemoryRun::Read, MemoryRun::Write, workArea_, &run);
    return r == DclOk && run.produced == item.data.size();
  }

  // The whole stream and the whole output in one call: inflate's best case.
  bool Inflate(const Item& item) {
    inflateReset(&z_);
    z_.next_in = const_cast<Bytef*>(item.deflate.data());
    z_.avail_in = uInt(item.deflate.size());
    z_.next_out = scratch_.data();
    z_.avail_out = uInt(item.data.size());
    return inflate(&z_, Z_FINISH) == Z_STREAM_END && z_.total_out == item.data.size();
  }

  // Through the same windows our decoder works with: 2048 bytes of input at
  // a time, 4096-byte output blocks copied out.
  bool InflateBlocks(const Item& item) {
    inflateReset(&z_);
    const uint8_t* in = item.deflate.data();
    size_t inLeft = item.deflate.size();
    size_t produced = 0;
    uint8_t block[DclBlockSize];
    for (;;) {
      if (z_.avail_in == 0 && inLeft > 0) {
        z_.next_in = const_cast<Bytef*>(in);
        z_.avail_in = uInt(std::min<size_t>(inLeft, DclInBufSize));
        in += z_.avail_in;
        inLeft -= z_.avail_in;
      }
      z_.next_out = block;
      z_.avail_out = sizeof block;
      int r = inflate(&z_, Z_NO_FLUSH);
      size_t n = sizeof block - z_.avail_out;
      if (produced + n > scratch_.size()) return false;
      std::memcpy(scratch_.data() + produced, block, n);
      produced += n;
      if (r == Z_STREAM_END) return produced == item.data.size();
      if (r != Z_OK) return false;
    }
  }

  bool Lzma(const Item& item) {
    lzma_options_lzma options = LzmaOptions(item.lzmaDict);
    lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    size_t inPos = 0, outPos = 0;
    return lzma_raw_buffer_decode(filters, nullptr, item.lzma2.data(), &inPos, item.lzma2.size(),
                                  scratch_.data(), &outPos, item.data.size()) == LZMA_OK &&
           outPos == item.data.size();
  }

 private:
  Bytes scratch_;
  z_stream z_ = {};
  alignas(DclWorkArea) uint8_t workArea_[DclWorkAreaSize];
};

// The decoders under test.
struct Codec {
  const char* name;
  bool (*decode)(Decoders& dec, const Item& item);
};
const Codec Codecs[] = {
    {"DclDecompress (ours)", [](Decoders& d, const Item& i) { return d.Implode(i); }},
    {"zlib inflate", [](Decoders& d, const Item& i) { return d.Inflate(i); }},
    {"zlib inflate, 2K in/4K out", [](Decoders& d, const Item& i) { return d.InflateBlocks(i); }},
    {"liblzma LZMA2", [](Decoders& d, const Item& i) { return d.Lzma(i); }},
};
constexpr size_t CodecCount = std::size(Codecs);

}  // namespace

bool DecodersAgree(const std::vector<Item>& items, size_t largest) {
  Decoders dec(largest);
  for (const Codec& codec : Codecs)
    for (const Item& item : items)
      if (!codec.decode(dec, item) ||
          std::memcmp(dec.Output(), item.data.data(), item.data.size())) {
        std::fprintf(stderr, "pvbench: %s decoded %s wrongly\n", codec.name, item.name.c_str());
        return false;
      }
  return true;
}

void TimeDecoders(const Groups& members, size_t largest, int runs) {
  Decoders dec(largest);
  // Per round and codec, the two groups are timed apiece; "all" is their
  // sum, the same work as decoding every file.
  Rounds rounds(CodecCount * GroupCount);
  for (int r = 0; r < runs; ++r)
    for (size_t k = 0; k < CodecCount; ++k) {
      size_t c = (k + size_t(r)) % CodecCount;  // no codec always runs first
      Rounds::Times both{0, 0};
      for (int g : {AsciiGroup, BinaryGroup}) {
        Rounds::Times t = rounds.Time(c * GroupCount + size_t(g), [&] {
          for (const Item* item : members[g]) Codecs[c].decode(dec, *item);
        });
        both.wall += t.wall;
        both.cpu += t.cpu;
      }
      rounds.Add(c * GroupCount + AllGroup, both);
    }
  auto wall = [&](size_t c, int g) { return rounds.Wall(c * GroupCount + size_t(g)); };
  auto cpu = [&](size_t c, int g) { return rounds.Cpu(c * GroupCount + size_t(g)); };

  std::printf("Decode throughput from memory, MB/s of output: median (slowest-fastest)\n");
  std::printf("  %-28s", "");
  for (const char* g : GroupNames) std::printf(" %24s", g);
  for (size_t c = 0; c < CodecCount; ++c) {
    std::printf("\n  %-28s", Codecs[c].name);
    for (int g = 0; g < GroupCount; ++g)
      std::printf(" %24s", Rate(Total(members[g], &Item::data), wall(c, g)).c_str());
  }
  std::printf(
      "\n\n  Target: decoding at least twice as fast as zlib's inflate (streams made in\n"
      "  ASCII mode 1.5 times). Ours against inflate, by wall clock, by thread CPU\n"
      "  time (steadier on a loaded machine), and against inflate held to our 2K/4K\n"
      "  windows:\n");
  for (int g = 0; g < GroupCount; ++g) {
    uint64_t bytes = Total(members[g], &Item::data);
    if (bytes == 0) continue;
    double ours = double(bytes) / wall(0, g).median;
    double theirs = double(bytes) / wall(1, g).median;
    double goal = g == AsciiGroup ? 1.5 : 2.0;
    std::printf("  %-12s %6.1f vs %6.1f MB/s: %-16s target %-8s CPU: %-16s 2K/4K: %s\n",
                GroupNames[g], ours / MB, theirs / MB, Comparison(ours, theirs).c_str(),
                ours >= goal * theirs ? "met;" : "NOT met;",
                Comparison(1 / cpu(0, g).median, 1 / cpu(1, g).median).c_str(),
                Comparison(ours, double(bytes) / wall(2, g).median).c_str());
  }
  std::printf("\n");
}

}  // namespace bench
