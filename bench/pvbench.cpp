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
#include <stdlib.h>
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "archive/Archive.h"
#include "archive/Encript.h"
#include "archive/FileIo.h"
#include "explode/Crc32.h"
#include "explode/Explode.h"
#include "tools/pvpack/Implode.h"
#include "tools/pvpack/Pack.h"

namespace fs = std::filesystem;

namespace {

using pack::Bytes;
using Clock = std::chrono::steady_clock;

constexpr double MB = 1e6;  // figures are in decimal megabytes
constexpr uint64_t MiB = uint64_t(1) << 20;
// The archive reader keeps sizes and offsets in 32-bit signed integers;
// staying well below that keeps a large custom corpus from tripping it.
constexpr uint64_t MaxCorpusBytes = uint64_t(1) << 30;
// The same modest, valid time for every record: 2024-01-01 00:00:00.
constexpr uint32_t RecordDosTime = uint32_t(2024 - 1980) << 25 | 1u << 21 | 1u << 16;
constexpr int LzmaPreset = 9;

// Where timed loops leave results the compiler must not discard.
volatile uint32_t Sink;

// One file of the corpus and its packed forms.
struct Item {
  std::string name;  // record name: relative, "\" separators
  Bytes data;
  Bytes implode;           // ImplodeSmallest
  Bytes deflate;           // raw deflate, level 9
  Bytes lzma2;             // raw LZMA2, preset 9
  uint32_t lzmaDict = 0;   // dictionary size the LZMA2 stream was made with
  bool asciiMode = false;  // the smallest stream codes its literals
};

// A place the default corpus draws from, and how much it takes from there.
struct Source {
  std::string label;            // first part of the record names
  std::vector<fs::path> paths;  // files or directories, walked in order
  uint64_t budget;              // stop once this many bytes are taken
  bool skipGz;                  // leave out files that are compressed already
};

struct CorpusStats {
  size_t unreadable = 0;
  size_t unstorable = 0;  // names the archive cannot hold
  size_t empty = 0;
  size_t duplicate = 0;
};

// Median, fastest and slowest of repeated timings, in seconds.
struct Sample {
  double median = 0;
  double min = 0;
  double max = 0;
};

// Concatenates parts. Used instead of chains of operator+, which GCC 12
// misreads at -O3 as overlapping copies (a false -Wrestrict).
std::string Join(std::initializer_list<std::string_view> parts) {
  std::string s;
  for (std::string_view part : parts) s += part;
  return s;
}

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

Sample Summarize(std::vector<double> t) {
  std::sort(t.begin(), t.end());
  size_t n = t.size();
  double median = n % 2 ? t[n / 2] : (t[n / 2 - 1] + t[n / 2]) / 2;
  return {median, t.front(), t.back()};
}

// CPU time of the calling thread: unlike the wall clock it does not grow
// while other processes have the core, which on a shared machine makes it
// the steadier figure for work that never leaves the thread.
double ThreadCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

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
  Sample Wall(size_t contender) const { return Summarize(wall_[contender]); }
  Sample Cpu(size_t contender) const { return Summarize(cpu_[contender]); }

 private:
  std::vector<std::vector<double>> wall_;
  std::vector<std::vector<double>> cpu_;
};

bool ReadFile(const fs::path& path, Bytes& data) {
  std::error_code ec;
  uintmax_t size = fs::file_size(path, ec);
  std::ifstream in(path, std::ios::binary);
  if (ec || !in) return false;
  data.resize(size);
  in.read(reinterpret_cast<char*>(data.data()), std::streamsize(size));
  // A file that shrank since its size was taken reads short: keep what came.
  data.resize(size_t(in.gcount()));
  return !in.bad();
}

// Adds one file under record name name. False once the corpus is full.
bool AddFile(const fs::path& path, std::string name, std::vector<Item>& items,
             std::set<fs::path>& seen, CorpusStats& stats, uint64_t& total) {
  std::error_code ec;
  fs::path real = fs::canonical(path, ec);
  if (ec) {
    ++stats.unreadable;
    return true;
  }
  if (!seen.insert(real).second) {
    ++stats.duplicate;
    return true;
  }
  // A "\" in a POSIX name would turn into a separator on the way out.
  if (name.find('\\') != std::string::npos) {
    ++stats.unstorable;
    return true;
  }
  std::replace(name.begin(), name.end(), '/', '\\');
  if (name.size() > 0xFFFF || !IsSafeRecordName(name.data(), uint32_t(name.size()))) {
    ++stats.unstorable;
    return true;
  }
  Item item;
  item.name = std::move(name);
  if (!ReadFile(real, item.data)) {
    ++stats.unreadable;
    return true;
  }
  if (item.data.empty()) {
    ++stats.empty;
    return true;
  }
  if (total + item.data.size() > MaxCorpusBytes) return false;
  total += item.data.size();
  items.push_back(std::move(item));
  return true;
}

// The regular files below dir (symbolic links left out), in byte order of
// their paths so that the corpus does not depend on directory order.
std::vector<fs::path> FilesBelow(const fs::path& dir) {
  std::vector<fs::path> files;
  std::error_code ec;
  auto options = fs::directory_options::skip_permission_denied;
  for (auto it = fs::recursive_directory_iterator(dir, options, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code e2;
    if (it->is_symlink(e2) || !it->is_regular_file(e2)) continue;
    files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Text and programs found on any Debian system, about 30 MB.
std::vector<Source> DefaultSources() {
  std::vector<Source> sources;
  sources.push_back({"licenses", {"/usr/share/common-licenses"}, 1 * MiB, false});

  // Perl's library is plain text (modules and their documentation).
  std::vector<fs::path> perl;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/usr/share/perl", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec))
    if (std::error_code e2; !it->is_symlink(e2) && it->is_directory(e2)) perl.push_back(it->path());
  std::sort(perl.begin(), perl.end());
  perl.push_back("/usr/share/perl5");
  sources.push_back({"perl", perl, 12 * MiB, false});

  sources.push_back({"doc", {"/usr/share/doc"}, 3 * MiB, true});

  std::vector<fs::path> programs;
  for (const char* name : {"bash", "ls", "tar", "perl", "cmake", "python3", "gdb"})
    programs.push_back(fs::path("/usr/bin") / name);
  for (auto it = fs::directory_iterator("/usr/lib", ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    std::string dir = it->path().filename().string();
    if (dir.size() > 10 && dir.ends_with("-linux-gnu")) {
      programs.push_back(it->path() / "libstdc++.so.6");
      programs.push_back(it->path() / "libc.so.6");
    }
  }
  sources.push_back({"bin", programs, 18 * MiB, false});
  return sources;
}

// Gathers the default corpus and prints where it came from.
void DefaultCorpus(std::vector<Item>& items, CorpusStats& stats) {
  std::set<fs::path> seen;
  uint64_t total = 0;
  for (const Source& source : DefaultSources()) {
    uint64_t taken = 0;
    size_t before = items.size();
    std::string from;
    for (const fs::path& path : source.paths) {
      std::error_code ec;
      if (taken >= source.budget) break;
      if (fs::is_directory(path, ec)) {
        from += Join({from.empty() ? "" : ", ", path.string()});
        for (const fs::path& file : FilesBelow(path)) {
          if (taken >= source.budget) break;
          if (source.skipGz && file.extension() == ".gz") continue;
          std::string name = Join({source.label, "/", path.filename().string(), "/",
                                   fs::relative(file, path, ec).generic_string()});
          size_t count = items.size();
          if (!AddFile(file, name, items, seen, stats, total)) return;
          if (items.size() > count) taken += items.back().data.size();
        }
      } else if (fs::exists(path, ec)) {
        // Single programs: take each that still fits rather than stopping at
        // the first that does not, so one huge binary cannot crowd out the rest.
        uint64_t size = fs::file_size(path, ec);
        if (ec || taken + size > source.budget) continue;
        size_t count = items.size();
        if (!AddFile(path, Join({source.label, "/", path.filename().string()}), items, seen, stats,
                     total))
          return;
        if (items.size() > count) {
          taken += items.back().data.size();
          from += Join({from.empty() ? "" : " ", path.filename().string()});
        }
      }
    }
    std::printf("  %-8s %5zu files %8.2f MB  %s\n", source.label.c_str(), items.size() - before,
                double(taken) / MB, from.c_str());
  }
}

// Gathers the files and directories named on the command line.
bool GivenCorpus(const std::vector<std::string>& args, std::vector<Item>& items,
                 CorpusStats& stats) {
  std::set<fs::path> seen;
  uint64_t total = 0;
  auto tooLarge = [] {
    std::fprintf(stderr, "pvbench: the corpus is limited to %llu bytes\n",
                 static_cast<unsigned long long>(MaxCorpusBytes));
    return false;
  };
  for (size_t a = 0; a < args.size(); ++a) {
    fs::path path(args[a]);
    std::error_code ec;
    // Each argument gets its own top folder so equal names cannot collide.
    fs::path whole = fs::absolute(path).lexically_normal();
    if (whole.filename().empty()) whole = whole.parent_path();
    const std::string number = std::to_string(a + 1);
    std::string top = Join({"a", number, "-", whole.filename().string()});
    if (fs::is_directory(path, ec)) {
      for (const fs::path& file : FilesBelow(path))
        if (!AddFile(file, Join({top, "/", fs::relative(file, path, ec).generic_string()}), items,
                     seen, stats, total))
          return tooLarge();
    } else if (fs::exists(path, ec)) {
      if (!AddFile(path, Join({"a", number, "/", path.filename().string()}), items, seen, stats,
                   total))
        return tooLarge();
    } else {
      std::fprintf(stderr, "pvbench: %s: not found\n", args[a].c_str());
      return false;
    }
  }
  return true;
}

// ---- Compression with the baselines --------------------------------------

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

// The preset's settings, with dictSize if that is not 0.
lzma_options_lzma LzmaOptions(uint32_t dictSize) {
  lzma_options_lzma options;
  lzma_lzma_preset(&options, LzmaPreset);
  if (dictSize) options.dict_size = dictSize;
  return options;
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

// ---- Decoding, each into the same scratch buffer -------------------------

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

// ---- Printing -------------------------------------------------------------

enum Group { AsciiGroup, BinaryGroup, AllGroup, GroupCount };
const char* const GroupNames[GroupCount] = {"ascii-mode", "binary-mode", "all"};

std::vector<const Item*> Members(const std::vector<Item>& items, Group g) {
  std::vector<const Item*> members;
  for (const Item& item : items)
    if (g == AllGroup || item.asciiMode == (g == AsciiGroup)) members.push_back(&item);
  return members;
}

uint64_t Total(const std::vector<const Item*>& members, Bytes Item::*field) {
  uint64_t total = 0;
  for (const Item* item : members) total += (item->*field).size();
  return total;
}

std::string Rate(uint64_t bytes, const Sample& s) {
  if (bytes == 0) return "-";
  char text[64];
  std::snprintf(text, sizeof text, "%7.1f (%5.1f-%5.1f)", double(bytes) / MB / s.median,
                double(bytes) / MB / s.max, double(bytes) / MB / s.min);
  return text;
}

std::string Comparison(double ours, double theirs) {
  char text[64];
  if (ours >= theirs)
    std::snprintf(text, sizeof text, "faster by %.0f%%", (ours / theirs - 1) * 100);
  else
    std::snprintf(text, sizeof text, "slower by %.0f%%", (1 - ours / theirs) * 100);
  return text;
}

std::string CpuName() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  return "unknown CPU";
}

std::string LoadAverage() {
  double load[3];
  if (getloadavg(load, 3) != 3) return "unknown";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
  return text;
}

// ---- Extraction -----------------------------------------------------------

// A fresh directory below the system's temporary folder, removed with all
// it holds when the benchmark ends.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "pvbench-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

fs::path NativeName(const fs::path& dir, std::string name) {
  std::replace(name.begin(), name.end(), '\\', '/');
  return dir / name;
}

bool WriteWhole(const fs::path& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  out.close();
  return !out.fail();
}

// True when every file of the corpus came out below dir with its contents.
bool TreeMatches(const fs::path& dir, const std::vector<Item>& items) {
  Bytes data;
  for (const Item& item : items)
    if (!ReadFile(NativeName(dir, item.name), data) || data != item.data) {
      std::fprintf(stderr, "pvbench: %s came out wrong\n", item.name.c_str());
      return false;
    }
  return true;
}

// What writing the files costs without any decoding: each file created,
// written in one piece through the reader's own file layer, dated, closed.
void WriteTree(const fs::path& dir, const std::vector<Item>& items) {
  std::error_code ec;
  fs::path lastParent;
  for (const Item& item : items) {
    fs::path path = NativeName(dir, item.name);
    if (path.parent_path() != lastParent) {
      lastParent = path.parent_path();
      fs::create_directories(lastParent, ec);
    }
    fileio::File file;
    file.Open(path.string(), fileio::OpenMode::Create);
    file.Write(item.data.data(), uint32_t(item.data.size()));
    file.SetDosTime(RecordDosTime);
    file.Close();
    fileio::SetAttributes(path.string(), fileio::AttrArchive);
  }
}

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

// Seconds each encoder took for one pass over the corpus.
struct EncodeTimes {
  double implode = 0;
  double deflate = 0;
  double lzma = 0;
  double pack = 0;  // AppendRecord and FinishArchive, filled in later
};

// Packs every file three ways, once, timing each way.
EncodeTimes Compress(std::vector<Item>& items) {
  EncodeTimes times;
  auto start = Clock::now();
  for (Item& item : items) {
    item.implode = implode::ImplodeSmallest(item.data.data(), item.data.size());
    item.asciiMode = item.implode.size() > 0 && item.implode[0] == 1;
  }
  times.implode = Seconds(start);

  z_stream deflater = {};
  deflateInit2(&deflater, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  start = Clock::now();
  for (Item& item : items) item.deflate = DeflateRaw(deflater, item.data);
  times.deflate = Seconds(start);
  deflateEnd(&deflater);

  start = Clock::now();
  for (Item& item : items) item.lzma2 = Lzma2Raw(item.data, item.lzmaDict);
  times.lzma = Seconds(start);
  return times;
}

// True when every decoder gives back every file exactly.
bool DecodersAgree(Decoders& dec, const std::vector<Item>& items) {
  for (const Codec& codec : Codecs)
    for (const Item& item : items)
      if (!codec.decode(dec, item) ||
          std::memcmp(dec.Output(), item.data.data(), item.data.size())) {
        std::fprintf(stderr, "pvbench: %s decoded %s wrongly\n", codec.name, item.name.c_str());
        return false;
      }
  return true;
}

void PrintSizes(const std::vector<const Item*> (&members)[GroupCount]) {
  std::printf(
      "Packed size, bytes and %% of original (files grouped by the literal mode\n"
      "ImplodeSmallest chose; each file packed on its own, no container overhead)\n");
  std::printf("  %-28s", "");
  for (const char* g : GroupNames) std::printf(" %24s", g);
  std::printf("\n  %-28s", "files");
  for (auto& m : members) std::printf(" %24zu", m.size());
  const struct {
    const char* name;
    Bytes Item::*field;
  } rows[] = {{"original", &Item::data},
              {"ImplodeSmallest (ours)", &Item::implode},
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

void TimeDecoders(Decoders& dec, const std::vector<const Item*> (&members)[GroupCount], int runs) {
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

// False when some implementation of UpdateCrc32 disagrees with zlib's crc32
// on some file, or some unscrambling implementation with the plain one.
bool TimeChecksums(const std::vector<Item>& items, uint64_t corpusBytes, int runs) {
  // Only the implementations this machine can run; the last of each is the
  // one UpdateCrc32 and CryptBuffer use.
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
    line(Join({"CryptBuffer, ", scramblers[i].name}), firstScramble + i);

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
  std::printf("  CryptBuffer against %.0f MB/s: %s, target %s; CPU: %s\n\n",
              UnscrambleTarget / MB, Comparison(scrambleWall, UnscrambleTarget).c_str(),
              scrambleWall >= UnscrambleTarget ? "met" : "NOT met",
              Comparison(scrambleCpu, UnscrambleTarget).c_str());
  return true;
}

// Builds the archive of the corpus, then times whole extractions against a
// copy of the tree and against writing the files from memory. False when
// the archive cannot be written or extracts to anything but the corpus.
bool TimeExtraction(const std::vector<Item>& items, uint64_t corpusBytes, int runs,
                    EncodeTimes& encodeTimes) {
  auto start = Clock::now();
  Bytes body;
  for (const Item& item : items)
    pack::AppendRecord({item.name, RecordDosTime, fileio::AttrArchive, item.data}, body);
  const Bytes archive = pack::FinishArchive(std::move(body));
  encodeTimes.pack = Seconds(start);

  TempDir temp;
  if (temp.Path().empty()) {
    std::fprintf(stderr, "pvbench: cannot create a temporary directory\n");
    return false;
  }
  const fs::path archivePath = temp.Path() / "payload.pvz";
  const fs::path tree = temp.Path() / "tree";
  const fs::path target = temp.Path() / "out";
  std::error_code ec;
  // The first extraction is checked file by file and kept as the tree the
  // copy starts from.
  Rounds rounds(3);
  for (int r = 0; r < runs; ++r) {
    bool ok = WriteWhole(archivePath, archive);
    int32_t result = ArcOk;
    rounds.Time(
        0, [&] { result = ExtractArchive(archivePath.c_str(), target.c_str(), nullptr, nullptr); });
    // The reader deletes its archive on every path.
    ok = ok && result == ArcOk && !fs::exists(archivePath, ec);
    if (r == 0) {
      ok = ok && TreeMatches(target, items);
      fs::rename(target, tree, ec);
    }
    fs::remove_all(target, ec);
    if (!ok) {
      std::fprintf(stderr, "pvbench: extracting the archive failed (%d) or gave wrong files\n",
                   result);
      return false;
    }
    rounds.Time(1, [&] { fs::copy(tree, target, fs::copy_options::recursive, ec); });
    fs::remove_all(target, ec);
    rounds.Time(2, [&] { WriteTree(target, items); });
    fs::remove_all(target, ec);
  }

  std::printf(
      "Whole extraction of %zu files, %.2f MB (archive %.2f MB); a fresh archive copy\n"
      "and a fresh directory each run, both in %s (page cache, no sync).\n"
      "CPU seconds are this thread's, system calls included; the rest is waiting.\n",
      items.size(), double(corpusBytes) / MB, double(archive.size()) / MB,
      temp.Path().parent_path().c_str());
  std::printf("  %-34s %9s %9s %24s\n", "", "seconds", "CPU s", "MB/s");
  const char* const names[] = {"ExtractArchive", "std::filesystem::copy of the tree",
                               "writing the files from memory"};
  for (size_t k = 0; k < std::size(names); ++k)
    std::printf("  %-34s %9.3f %9.3f %24s\n", names[k], rounds.Wall(k).median, rounds.Cpu(k).median,
                Rate(corpusBytes, rounds.Wall(k)).c_str());
  std::printf("  ExtractArchive takes %.1fx the time of the copy (%.1fx its CPU time)\n\n",
              rounds.Wall(0).median / rounds.Wall(1).median,
              rounds.Cpu(0).median / rounds.Cpu(1).median);
  return true;
}

void PrintEncoding(const EncodeTimes& times, uint64_t corpusBytes) {
  std::printf("Encoding, one pass each, MB/s of input (for information)\n");
  const struct {
    const char* name;
    double seconds;
  } rows[] = {{"ImplodeSmallest (ours)", times.implode},
              {"zlib level 9 (raw deflate)", times.deflate},
              {"xz preset 9 (raw LZMA2)", times.lzma},
              {"AppendRecord + FinishArchive", times.pack}};
  for (const auto& row : rows)
    std::printf("  %-34s %9.1f\n", row.name, double(corpusBytes) / MB / row.seconds);
}

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
  EncodeTimes encodeTimes = Compress(items);
  Decoders dec(largest);
  if (!DecodersAgree(dec, items)) return 1;
  std::vector<const Item*> members[GroupCount];
  for (int g = 0; g < GroupCount; ++g) members[g] = Members(items, Group(g));
  PrintSizes(members);
  std::fflush(stdout);

  std::fprintf(stderr, "pvbench: timing the decoders...\n");
  TimeDecoders(dec, members, runs);
  std::fflush(stdout);
  if (!TimeChecksums(items, corpusBytes, runs)) return 1;
  std::fflush(stdout);

  std::fprintf(stderr, "pvbench: building the archive and extracting it...\n");
  if (!TimeExtraction(items, corpusBytes, runs, encodeTimes)) return 1;
  PrintEncoding(encodeTimes, corpusBytes);
  std::printf("\nload average at end: %s\n", LoadAverage().c_str());
  return 0;
}
