// The corpus: files named on the command line, or by default text and
// programs every Debian system has. Folders are walked as pvpack packs a
// product tree.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <system_error>
#include <utility>

#include "bench/Bench.h"
#include "tests/common/FileBytes.h"

namespace fs = std::filesystem;

namespace bench {
namespace {

constexpr uint64_t MiB = uint64_t(1) << 20;
// The archive reader keeps sizes and offsets in 32-bit signed integers;
// staying well below that keeps a large custom corpus from tripping it.
constexpr uint64_t MaxCorpusBytes = uint64_t(1) << 30;

// A place the default corpus draws from, and how much it takes from there.
struct Source {
  std::string label;            // first part of the record names
  std::vector<fs::path> paths;  // files or folders, taken in order
  uint64_t budget;              // stop once this many bytes are taken
  bool skipGz;                  // leave out files that are compressed already
};

class Gatherer {
 public:
  Gatherer(std::vector<Item>& items, CorpusStats& stats) : items_(items), stats_(stats) {}

  enum Outcome { Taken, Skipped, Full };

  // Adds data, read from path, under record name name, unless it is empty, has contents
  // already taken (a link or a copy of another file) or a name the archive
  // cannot hold. Full once the corpus cannot take it.
  Outcome Add(std::string name, std::string path, Bytes data) {
    if (name.size() > 0xFFFF || !IsSafeRecordName(name.data(), uint32_t(name.size()))) {
      ++stats_.unstorable;
      return Skipped;
    }
    if (data.empty()) {
      ++stats_.empty;
      return Skipped;
    }
    if (total_ + data.size() > MaxCorpusBytes) return Full;
    if (!seen_.insert({data.size(), testutil::CheckValue(data.data(), data.size())}).second) {
      ++stats_.duplicate;
      return Skipped;
    }
    total_ += data.size();
    Item& item = items_.emplace_back();
    item.name = std::move(name);
    item.path = std::move(path);
    item.data = std::move(data);
    return Taken;
  }

  // Adds the single file at path under record name name.
  Outcome AddFile(const fs::path& path, std::string name) {
    Bytes data;
    // A "\" in a POSIX name would turn into a separator on the way out.
    if (path.filename().string().find('\\') != std::string::npos) {
      ++stats_.unstorable;
      return Skipped;
    }
    if (!testutil::ReadFileBytes(path.string(), data)) {
      ++stats_.unreadable;
      return Skipped;
    }
    return Add(std::move(name), path.string(), std::move(data));
  }

 private:
  std::vector<Item>& items_;
  CorpusStats& stats_;
  uint64_t total_ = 0;
  std::set<std::pair<size_t, uint32_t>> seen_;  // size and check value of each file taken
};

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

}  // namespace

void DefaultCorpus(std::vector<Item>& items, CorpusStats& stats) {
  Gatherer gatherer(items, stats);
  for (const Source& source : DefaultSources()) {
    uint64_t taken = 0;
    size_t before = items.size();
    std::string from;
    for (const fs::path& path : source.paths) {
      std::error_code ec;
      if (taken >= source.budget) break;
      if (fs::is_directory(path, ec)) {
        std::vector<pack::TreeFile> files;
        pack::Fault fault;
        if (!pack::CollectTree(path.string(), files, fault)) {
          std::fprintf(stderr, "pvbench: leaving out %s\n", fault.Message().c_str());
          continue;
        }
        from += Join({from.empty() ? "" : ", ", path.string()});
        for (pack::TreeFile& file : files) {
          if (taken >= source.budget) break;
          if (source.skipGz && file.name.ends_with(".gz")) continue;
          std::string name = Join({source.label, "\\", path.filename().string(), "\\", file.name});
          Gatherer::Outcome outcome = gatherer.AddFile(file.path, std::move(name));
          if (outcome == Gatherer::Full) return;
          if (outcome == Gatherer::Taken) taken += items.back().data.size();
        }
      } else if (fs::exists(path, ec)) {
        // Single programs: take each that still fits rather than stopping at
        // the first that does not, so one huge binary cannot crowd out the rest.
        uint64_t size = fs::file_size(path, ec);
        if (ec || taken + size > source.budget) continue;
        Gatherer::Outcome outcome =
            gatherer.AddFile(path, Join({source.label, "\\", path.filename().string()}));
        if (outcome == Gatherer::Full) return;
        if (outcome == Gatherer::Taken) {
          taken += items.back().data.size();
          from += Join({from.empty() ? "" : " ", path.filename().string()});
        }
      }
    }
    std::printf("  %-8s %5zu files %8.2f MB  %s\n", source.label.c_str(), items.size() - before,
                double(taken) / MB, from.c_str());
  }
}

bool GivenCorpus(const std::vector<std::string>& args, std::vector<Item>& items,
                 CorpusStats& stats) {
  Gatherer gatherer(items, stats);
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
    if (fs::is_directory(path, ec)) {
      std::vector<pack::TreeFile> files;
      pack::Fault fault;
      if (!pack::CollectTree(args[a], files, fault)) {
        std::fprintf(stderr, "pvbench: %s\n", fault.Message().c_str());
        return false;
      }
      std::string top = Join({"a", number, "-", whole.filename().string(), "\\"});
      for (pack::TreeFile& file : files)
        if (gatherer.AddFile(file.path, top + file.name) == Gatherer::Full)
          return tooLarge();
    } else if (fs::exists(path, ec)) {
      if (gatherer.AddFile(path, Join({"a", number, "\\", path.filename().string()})) ==
          Gatherer::Full)
        return tooLarge();
    } else {
      std::fprintf(stderr, "pvbench: %s: not found\n", args[a].c_str());
      return false;
    }
  }
  return true;
}

}  // namespace bench
