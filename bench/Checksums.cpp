// CRC-32 and unscrambling throughput: each implementation this machine can
// run, and zlib's crc32.
#include <zlib.h>

#include <algorithm>
#include <cstdio>

#include "archive/Archive.h"
#include "archive/Encript.h"
#include "bench/Bench.h"
#include "explode/Crc32.h"

namespace bench {

bool TimeChecksums(const std::vector<Item>& items, uint64_t corpusBytes, int runs) {
  // Only the implementations this machine can run; the last of each is the
  // one UpdateCrc32 and CryptBufferFrom use.
  std::vector<Crc32Implementation> crcs;
  for (const Crc32Implementation& impl : Crc32Implementations())
    if (impl.runsHere()) crcs.push_back(impl);
  std::vector<ScrambleImplementation> scramblers;
  for (const ScrambleImplementation& impl : ScrambleImplementations())
    if (impl.runsHere()) scramblers.push_back(impl);

  for (const Item& item : items) {
    uint32_t zlibCrc = uint32_t(crc32(0, item.data.data(), uInt(item.data.size())));
    for (const Crc32Implementation& impl : crcs)
      if (~impl.update(item.data.data(), uint32_t(item.data.size()), 0xFFFFFFFFu) != zlibCrc) {
        std::fprintf(stderr, "pvbench: the %s CRC-32 of %s disagrees with zlib's\n", impl.name,
                     item.name.c_str());
        return false;
      }
  }
  // The archive reader unscrambles the whole archive, chunk by chunk as it
  // reads it; that pass is timed beside the CRC, on a copy of the corpus.
  Bytes corpus;
  for (const Item& item : items) corpus.insert(corpus.end(), item.data.begin(), item.data.end());
  auto unscramble = [&](const ScrambleImplementation& impl, Bytes& data) {
    uint32_t state = 0;
    for (size_t done = 0; done < data.size(); done += WorkAreaChunk)
      state = impl.run(data.data() + done,
                       uint32_t(std::min<size_t>(data.size() - done, WorkAreaChunk)), state);
    Sink = state;
  };
  Bytes plain = corpus;
  unscramble(scramblers.front(), plain);
  for (const ScrambleImplementation& impl : scramblers) {
    Bytes data = corpus;
    unscramble(impl, data);
    if (data != plain) {
      std::fprintf(stderr, "pvbench: the %s unscrambling disagrees with the plain one\n",
                   impl.name);
      return false;
    }
  }

  Bytes scrambled = corpus;
  const size_t zlibRound = crcs.size(), firstScramble = crcs.size() + 1;
  Rounds rounds(firstScramble + scramblers.size());
  for (int r = 0; r < runs; ++r) {
    for (size_t i = 0; i < crcs.size(); ++i)
      rounds.Time(i, [&] {
        for (const Item& item : items)
          Sink = crcs[i].update(item.data.data(), uint32_t(item.data.size()), 0xFFFFFFFFu);
      });
    rounds.Time(zlibRound, [&] {
      for (const Item& item : items)
        Sink = uint32_t(crc32(0, item.data.data(), uInt(item.data.size())));
    });
    for (size_t i = 0; i < scramblers.size(); ++i)
      rounds.Time(firstScramble + i, [&] { unscramble(scramblers[i], scrambled); });
  }
  Sink = scrambled[0];

  std::printf(
      "CRC-32 and unscrambling, MB/s: median (slowest-fastest), by wall clock and by\n"
      "thread CPU time (steadier on a loaded machine). The last of each kind is the\n"
      "one this machine uses; unscrambling runs in the reader's %d-byte chunks.\n",
      WorkAreaChunk);
  auto line = [&](const std::string& label, size_t contender) {
    std::printf("  %-24s %26s   CPU %26s\n", label.c_str(),
                Rate(corpusBytes, rounds.Wall(contender)).c_str(),
                Rate(corpusBytes, rounds.Cpu(contender)).c_str());
  };
  for (size_t i = 0; i < crcs.size(); ++i) line(Join({"UpdateCrc32, ", crcs[i].name}), i);
  line("zlib crc32", zlibRound);
  for (size_t i = 0; i < scramblers.size(); ++i)
    line(Join({"CryptBufferFrom, ", scramblers[i].name}), firstScramble + i);

  // Targets: the CRC at least as fast as zlib's, unscrambling at 3 GB/s.
  constexpr double UnscrambleTarget = 3000 * MB;
  const size_t crcOurs = zlibRound - 1, unscrambleOurs = firstScramble + scramblers.size() - 1;
  double crcWall = rounds.Wall(zlibRound).median / rounds.Wall(crcOurs).median;
  double crcCpu = rounds.Cpu(zlibRound).median / rounds.Cpu(crcOurs).median;
  std::printf("  UpdateCrc32 against zlib's crc32: %s, target %s; CPU: %s (results agree)\n",
              Comparison(crcWall, 1).c_str(), crcWall >= 1 ? "met" : "NOT met",
              Comparison(crcCpu, 1).c_str());
  double scrambleWall = double(corpusBytes) / rounds.Wall(unscrambleOurs).median;
  double scrambleCpu = double(corpusBytes) / rounds.Cpu(unscrambleOurs).median;
  std::printf("  CryptBufferFrom against %.0f MB/s: %s, target %s; CPU: %s\n\n",
              UnscrambleTarget / MB, Comparison(scrambleWall, UnscrambleTarget).c_str(),
              scrambleWall >= UnscrambleTarget ? "met" : "NOT met",
              Comparison(scrambleCpu, UnscrambleTarget).c_str());
  return true;
}

}  // namespace bench
