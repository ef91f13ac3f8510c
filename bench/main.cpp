// pvbench: figures for the payload pipeline on a corpus of real files.
//
// On the same files it measures decoding throughput of DclDecompress against
// zlib's inflate and liblzma, the CRC-32 against zlib's, a whole
// ExtractArchive against a plain copy of the unpacked tree, the packed sizes,
// and the encoder's speed. Every timing is repeated and the median printed.
// It never fails on speed; it fails only when a decoder or the archive
// reader returns wrong data, since figures of a wrong result mean nothing.
//
// usage: pvbench [--runs N] [FILE|DIR]...
// Without arguments the corpus is text and programs every Debian system has.
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/Bench.h"

using namespace bench;

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: pvbench [--runs N] [FILE|DIR]...\n"
               "Measures the payload decoder, CRC-32 and archive extraction against\n"
               "zlib and liblzma on the given files (default: a corpus of system files).\n");
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 9;
  std::vector<std::string> args;
  for (int a = 1; a < argc; ++a) {
    std::string arg = argv[a];
    if (arg == "--runs" && a + 1 < argc) {
      runs = std::atoi(argv[++a]);
      if (runs < 1) return Usage();
    } else if (arg == "-h" || arg == "--help" || arg.starts_with("--")) {
      return Usage();
    } else {
      args.push_back(arg);
    }
  }

  std::printf("pvbench: payload pipeline, median of %d runs (range in brackets)\n", runs);
  std::printf("  %s; gcc %s; zlib %s; liblzma %s\n", CpuName().c_str(), __VERSION__, zlibVersion(),
              lzma_version_string());
  std::printf("  load average at start: %s (figures are only as steady as the machine)\n\n",
              LoadAverage().c_str());

  std::vector<Item> items;
  CorpusStats stats;
  std::printf("Corpus\n");
  if (args.empty()) {
    DefaultCorpus(items, stats);
  } else if (!GivenCorpus(args, items, stats)) {
    return 1;
  }
  if (items.empty()) {
    std::fprintf(stderr, "pvbench: no readable, non-empty files in the corpus\n");
    return 1;
  }
  uint64_t corpusBytes = 0;
  size_t largest = 0;
  for (const Item& item : items) {
    corpusBytes += item.data.size();
    largest = std::max(largest, item.data.size());
  }
  std::printf(
      "  total    %5zu files %8.2f MB (largest %.2f MB); skipped: %zu unreadable, "
      "%zu empty, %zu duplicates, %zu unstorable names\n\n",
      items.size(), double(corpusBytes) / MB, double(largest) / MB, stats.unreadable, stats.empty,
      stats.duplicate, stats.unstorable);
  std::fflush(stdout);

  std::fprintf(stderr, "pvbench: compressing %.1f MB three ways...\n", double(corpusBytes) / MB);
  EncodeTimes encodeTimes;
  Bytes archive;
  if (!Compress(items, archive, encodeTimes) || !DecodersAgree(items, largest)) return 1;
  Groups members;
  GroupItems(items, members);
  PrintSizes(members);
  std::fflush(stdout);

  std::fprintf(stderr, "pvbench: timing the decoders...\n");
  TimeDecoders(members, largest, runs);
  std::fflush(stdout);
  if (!TimeChecksums(items, corpusBytes, runs)) return 1;
  std::fflush(stdout);

  std::fprintf(stderr, "pvbench: building the archive and extracting it...\n");
  if (!TimeExtraction(items, archive, corpusBytes, runs)) return 1;
  PrintEncoding(encodeTimes, corpusBytes);
  std::printf("\nload average at end: %s\n", LoadAverage().c_str());
  return 0;
}
