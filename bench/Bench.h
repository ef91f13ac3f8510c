// What pvbench's parts share: the corpus, timing and printing.
#pragma once

#include <lzma.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "tools/pvpack/Pack.h"

namespace bench {

using pack::Bytes;
using Clock = std::chrono::steady_clock;

constexpr double MB = 1e6;  // figures are in decimal megabytes
// The same modest, valid time for every record: 2024-01-01 00:00:00.
constexpr uint32_t RecordDosTime = uint32_t(2024 - 1980) << 25 | 1u << 21 | 1u << 16;

// Where timed loops leave results the compiler must not discard.
extern volatile uint32_t Sink;

// One file of the corpus and its packed forms.
struct Item {
  std::string name;  // record name: relative, "\" separators
  std::string path;  // the file it was read from
  Bytes data;
  Bytes implode;           // the stream pvpack's writer packed it to
  Bytes deflate;           // raw deflate, level 9
  Bytes lzma2;             // raw LZMA2, preset 9
  uint32_t lzmaDict = 0;   // dictionary size the LZMA2 stream was made with
  bool asciiMode = false;  // the smallest stream codes its literals
};

// ---- Corpus.cpp -------------------------------------------------------------

struct CorpusStats {
  size_t unreadable = 0;
  size_t unstorable = 0;  // names the archive cannot hold
  size_t empty = 0;
  size_t duplicate = 0;   // contents already taken under another name
};

// Gathers the default corpus, text and programs every Debian system has,
// and prints where it came from.
void DefaultCorpus(std::vector<Item>& items, CorpusStats& stats);
// Gathers the files and folders named on the command line. False, with a
// message, when one cannot be found or packed or the corpus grows too large.
bool GivenCorpus(const std::vector<std::string>& args, std::vector<Item>& items,
                 CorpusStats& stats);

// ---- Timing.cpp: timing and printing ---------------------------------------

// Median, fastest and slowest of repeated timings, in seconds.
struct Sample {
  double median = 0;
  double min = 0;
  double max = 0;
};

// Concatenates parts. Used instead of chains of operator+, which GCC 12
// misreads at -O3 as overlapping copies (a false -Wrestrict).
std::string Join(std::initializer_list<std::string_view> parts);
double Seconds(Clock::time_point start);
// CPU time of the calling thread: unlike the wall clock it does not grow
// while other processes have the core, which on a shared machine makes it
// the steadier figure for work that never leaves the thread.
double ThreadCpuSeconds();

// Timings of contenders that run in turn, one round after another, so that
// a change of load on a shared machine falls on all of them alike rather
// than on whichever happened to run at the time. Keeps wall-clock and
// thread CPU time of each timing.
class Rounds {
 public:
  explicit Rounds(size_t contenders) : wall_(contenders), cpu_(contenders) {}

  struct Times {
    double wall;
    double cpu;
  };

  template <typename Body>
  Times Time(size_t contender, Body&& body) {
    double cpuStart = ThreadCpuSeconds();
    auto start = Clock::now();
    body();
    Times t{Seconds(start), ThreadCpuSeconds() - cpuStart};
    Add(contender, t);
    return t;
  }
  void Add(size_t contender, Times t) {
    wall_[contender].push_back(t.wall);
    cpu_[contender].push_back(t.cpu);
  }
  Sample Wall(size_t contender) const;
  Sample Cpu(size_t contender) const;

 private:
  std::vector<std::vector<double>> wall_;
  std::vector<std::vector<double>> cpu_;
};

// "median (slowest-fastest)" in MB/s for bytes done in the times of s.
std::string Rate(uint64_t bytes, const Sample& s);
// "faster by N%" or "slower by N%" for speeds ours and theirs.
std::string Comparison(double ours, double theirs);
std::string CpuName();
std::string LoadAverage();

// The files grouped by the literal mode pvpack chose.
enum Group { AsciiGroup, BinaryGroup, AllGroup, GroupCount };
extern const char* const GroupNames[GroupCount];
using Groups = std::vector<const Item*>[GroupCount];
void GroupItems(const std::vector<Item>& items, Groups& members);
uint64_t Total(const std::vector<const Item*>& members, Bytes Item::*field);

// ---- Sizes.cpp: packed sizes and encoder speed -----------------------------

// Seconds each encoder took for one pass over the corpus.
struct EncodeTimes {
  double pack = 0;  // pvpack's writer, one worker
  double deflate = 0;
  double lzma = 0;
};

// Packs every file three ways, once, timing each way: ours into archive,
// as pvpack does. False, with a message, when packing failed.
bool Compress(std::vector<Item>& items, Bytes& archive, EncodeTimes& times);
void PrintSizes(const Groups& members);
void PrintEncoding(const EncodeTimes& times, uint64_t corpusBytes);
// The settings of xz's preset 9, with dictSize if that is not 0.
lzma_options_lzma LzmaOptions(uint32_t dictSize);

// ---- Decoding.cpp, Checksums.cpp, Extraction.cpp ---------------------------

// True when every decoder gives back every file exactly; false, with a
// message, when one does not. largest: the size of the largest file.
bool DecodersAgree(const std::vector<Item>& items, size_t largest);
// Times every decoder on every group and prints the figures.
void TimeDecoders(const Groups& members, size_t largest, int runs);
// False when some implementation of UpdateCrc32 disagrees with zlib's crc32
// on some file, or some unscrambling implementation with the plain one.
bool TimeChecksums(const std::vector<Item>& items, uint64_t corpusBytes, int runs);
// Times whole extractions of archive, the corpus packed, against a copy of
// the tree and against writing the files from memory. False when archive
// extracts to anything but the corpus.
bool TimeExtraction(const std::vector<Item>& items, const Bytes& archive, uint64_t corpusBytes,
                    int runs);

}  // namespace bench
