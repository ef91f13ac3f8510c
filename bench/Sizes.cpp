// Packed sizes and encoder speed: ours against zlib level 9 and xz preset 9.
#include <zlib.h>

#include <algorithm>
#include <cstdio>

#include "archive/FileIo.h"
#include "bench/Bench.h"
#include "tests/common/PackedStreams.h"

namespace bench {
namespace {

constexpr int LzmaPreset = 9;

Bytes DeflateRaw(z_stream& z, const Bytes& data) {
  deflateReset(&z);
  Bytes out(deflateBound(&z, uLong(data.size())));
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = uInt(data.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) return {};
  out.resize(z.total_out);
  return out;
}

// A raw LZMA2 stream with the preset's settings, its dictionary no larger
// than the file: that costs no compression and spares the decoder allocating
// a dictionary far larger than the file, as a packer of single files would.
Bytes Lzma2Raw(const Bytes& data, uint32_t& dictSize) {
  lzma_options_lzma preset = LzmaOptions(0);
  uint64_t dict = std::clamp<uint64_t>(data.size(), LZMA_DICT_SIZE_MIN, preset.dict_size);
  dictSize = uint32_t(dict);
  lzma_options_lzma options = LzmaOptions(dictSize);
  lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  Bytes out(lzma_stream_buffer_bound(data.size()));
  size_t outPos = 0;
  if (lzma_raw_buffer_encode(filters, nullptr, data.data(), data.size(), out.data(), &outPos,
                             out.size()) != LZMA_OK)
    return {};
  out.resize(outPos);
  return out;
}

}  // namespace

lzma_options_lzma LzmaOptions(uint32_t dictSize) {
  lzma_options_lzma options;
  lzma_lzma_preset(&options, LzmaPreset);
  if (dictSize) options.dict_size = dictSize;
  return options;
}

bool Compress(std::vector<Item>& items, Bytes& archive, EncodeTimes& times) {
  // Ours through pvpack's own writer, one worker, so that the streams
  // measured and decoded are the ones pvpack ships.
  std::vector<pack::TreeFile> files;
  for (const Item& item : items)
    files.push_back({item.name, item.path, item.path, item.data.size(), RecordDosTime,
                     fileio::AttrArchive});
  std::vector<Bytes> streams;
  auto start = Clock::now();
  const std::string error = testutil::PackStreams(files, {}, archive, streams);
  times.pack = Seconds(start);
  if (!error.empty()) {
    std::fprintf(stderr, "pvbench: packing the corpus failed: %s\n", error.c_str());
    return false;
  }
  for (size_t i = 0; i < items.size(); ++i) {
    items[i].implode = std::move(streams[i]);
    items[i].asciiMode = items[i].implode.size() > 0 && items[i].implode[0] == 1;
  }

  z_stream deflater = {};
  deflateInit2(&deflater, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  start = Clock::now();
  for (Item& item : items) item.deflate = DeflateRaw(deflater, item.data);
  times.deflate = Seconds(start);
  deflateEnd(&deflater);

  start = Clock::now();
  for (Item& item : items) item.lzma2 = Lzma2Raw(item.data, item.lzmaDict);
  times.lzma = Seconds(start);
  return true;
}

void PrintSizes(const Groups& members) {
  std::printf(
      "Packed size, bytes and %% of original (files grouped by the literal mode\n"
      "pvpack chose; each file's stream alone, no container overhead)\n");
  std::printf("  %-28s", "");
  for (const char* g : GroupNames) std::printf(" %24s", g);
  std::printf("\n  %-28s", "files");
  for (auto& m : members) std::printf(" %24zu", m.size());
  const struct {
    const char* name;
    Bytes Item::*field;
  } rows[] = {{"original", &Item::data},
              {"pvpack's streams (ours)", &Item::implode},
              {"zlib level 9 (raw deflate)", &Item::deflate},
              {"xz preset 9 (raw LZMA2)", &Item::lzma2}};
  for (const auto& row : rows) {
    std::printf("\n  %-28s", row.name);
    for (auto& m : members) {
      uint64_t original = Total(m, &Item::data);
      uint64_t packed = Total(m, row.field);
      std::printf(" %14llu %7.2f%%", static_cast<unsigned long long>(packed),
                  original ? 100.0 * double(packed) / double(original) : 0.0);
    }
  }
  std::printf("\n\n");
}

void PrintEncoding(const EncodeTimes& times, uint64_t corpusBytes) {
  std::printf("Encoding, one pass each, MB/s of input (for information)\n");
  const struct {
    const char* name;
    double seconds;
  } rows[] = {{"PackFiles, one worker (ours)", times.pack},
              {"zlib level 9 (raw deflate)", times.deflate},
              {"xz preset 9 (raw LZMA2)", times.lzma}};
  for (const auto& row : rows)
    std::printf("  %-34s %9.1f\n", row.name, double(corpusBytes) / MB / row.seconds);
}

}  // namespace bench
