#include "tools/pvpack/Pack.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "archive/Format.h"
#include "archive/FileIo.h"
#include "archive/PeImage.h"
#include "archive/ProductFiles.h"
#include "archive/PvUnZip.h"
#include "explode/Crc32.h"
#include "explode/Explode.h"
#include "tools/pvpack/Implode.h"
#include "tools/pvpack/Names.h"
#include "tools/pvpack/Workers.h"

namespace fs = std::filesystem;

namespace pack {
namespace {

UniqueFile OpenForReading(const std::string& path) {
  return UniqueFile(std::fopen(path.c_str(), "rb"));
}

// A new temporary file, open for writing and reading, that goes away when
// it is closed (or the process ends); null when none can be made.
UniqueFile OpenTempFile() {
#ifdef _WIN32
  char dir[MAX_PATH], name[MAX_PATH];
  const DWORD n = GetTempPathA(sizeof dir, dir);
  if (n == 0 || n >= sizeof dir || !GetTempFileNameA(dir, "pvp", 0, name)) return nullptr;
  HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DeleteFileA(name);
    return nullptr;
  }
  // From here on the descriptor, and then the stream, owns the handle.
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(fd, "w+b");
  if (!file) _close(fd);
  return UniqueFile(file);
#else
  std::error_code ec;
  const fs::path dir = fs::temp_directory_path(ec);
  if (ec) return nullptr;
  std::string name = (dir / "pvpack-XXXXXX").string();
  const int fd = mkstemp(name.data());
  if (fd < 0) return nullptr;
  unlink(name.c_str());  // nameless: nothing is left behind, however the process ends
  std::FILE* file = fdopen(fd, "w+b");
  if (!file) close(fd);
  return UniqueFile(file);
#endif
}

// Feeds one packed stream to the decoder and measures what comes out.
struct DecodeRun {
  DecodeRun(const uint8_t* data, size_t size) : in(data), left(size) {}
  const uint8_t* in;
  size_t left;
  size_t consumed = 0;
  uint64_t produced = 0;
  uint32_t crc = 0xFFFFFFFFu;

  static uint32_t Read(uint8_t* buffer, uint32_t* size, void* param) {
    auto* run = static_cast<DecodeRun*>(param);
    uint32_t n = uint32_t(std::min<size_t>(run->left, *size));
    if (n) std::memcpy(buffer, run->in, n);
    run->in += n;
    run->left -= n;
    run->consumed += n;
    return n;
  }
  static void Write(uint8_t* buffer, uint32_t* size, void* param) {
    auto* run = static_cast<DecodeRun*>(param);
    run->crc = UpdateCrc32(buffer, size, &run->crc);
    run->produced += *size;
  }
};

}  // namespace

bool ReadFileBytes(const std::string& path, Bytes& data) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  std::streamoff size = in.tellg();
  if (size < 0) return false;
  data.resize(size_t(size));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(data.data()), size);
  return in.gcount() == size;
}

uint32_t CheckValue(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  // UpdateCrc32 takes a 32-bit count; feed large buffers in slices.
  while (size > 0) {
    uint32_t n = uint32_t(std::min<size_t>(size, 1u << 30));
    crc = UpdateCrc32(data, &n, &crc);
    data += n;
    size -= n;
  }
  return crc;
}

namespace {

const char* KindOf(fs::file_type type) {
  switch (type) {
    case fs::file_type::fifo: return "a FIFO";
    case fs::file_type::socket: return "a socket";
    case fs::file_type::block:
    case fs::file_type::character: return "a device";
    default: return "of an unknown kind";
  }
}

#ifdef _WIN32
// The standard library's narrow form of a path is no code page Windows
// names, so paths go through the wide form and these two conversions.
std::string NarrowOf(const std::wstring& wide, UINT codePage, bool* exact = nullptr) {
  if (wide.empty()) return "";
  BOOL usedDefault = FALSE;
  // Best fit would store "a" for "ä" silently; a missing character must show.
  const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL* used = codePage == CP_UTF8 ? nullptr : &usedDefault;
  const int n = WideCharToMultiByte(codePage, flags, wide.data(), int(wide.size()), nullptr, 0,
                                    nullptr, used);
  std::string out(size_t(std::max(n, 0)), '\0');
  if (n > 0)
    WideCharToMultiByte(codePage, flags, wide.data(), int(wide.size()), out.data(), n, nullptr, used);
  if (exact) *exact = n > 0 && !usedDefault;
  return out;
}

std::wstring WideOfUtf8(const std::string& text) {
  if (text.empty()) return L"";
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring out(size_t(std::max(n, 0)), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
  return out;
}
#endif

// A name found in the tree in UTF-8, the form the name rules read.
std::string Utf8Of(const fs::path& path) {
#ifdef _WIN32
  return NarrowOf(path.wstring(), CP_UTF8);
#else
  return path.string();
#endif
}

// A path as this system's narrow file functions take it and its messages
// show it: on Windows in the ANSI code page (exact false when a character
// has no form there), elsewhere as it stands.
std::string NativeOf(const fs::path& path, bool* exact = nullptr) {
#ifdef _WIN32
  return NarrowOf(path.wstring(), CP_ACP, exact);
#else
  if (exact) *exact = true;
  return path.string();
#endif
}

// A UTF-8 name as messages show it.
std::string ShownOf(const std::string& utf8) {
#ifdef _WIN32
  return NarrowOf(WideOfUtf8(utf8), CP_ACP);
#else
  return utf8;
#endif
}

// Walks a product tree. Every folder on the way down is held by its
// canonical path, so a link back to one of them (which would repeat the
// tree forever) is seen; a link to any other folder is simply followed.
struct TreeWalk {
  struct Open {
    fs::path canonical;
    std::string shown;
  };
  struct Found {
    std::string name;  // record name
    fs::path real;     // the file itself, past any links
    std::string shown;
    bool operator<(const Found& other) const { return name < other.name; }
  };
  std::vector<Open> open;  // the folders being walked, outermost first
  std::vector<Found> found;
  std::string error;
  bool nameRefused = false;  // error is about a name Windows cannot store
  std::vector<std::string> emptyFolders;  // holding no file, outermost only
  std::vector<std::string> linksOut;      // links to something outside the tree

  // Walks dir, whose records are named prefix + their name below it.
  bool Walk(const fs::path& dir, const std::string& prefix) {
    std::error_code ec;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
      entries.push_back(it->path());
    if (ec) return Fail(NativeOf(dir) + ": " + ec.message());
    // Name order, so that the first problem reported is the same on every run.
    std::sort(entries.begin(), entries.end());
    for (const fs::path& path : entries) {
      const std::string shown = NativeOf(path);
      const std::string name = prefix + Utf8Of(path.filename());
      // canonical follows every link on the way and fails on one to nothing
      // (or a chain of links that never ends).
      const fs::path real = fs::canonical(path, ec);
      if (ec) {
        std::error_code linkError;
        if (fs::is_symlink(fs::symlink_status(path, linkError)))
          return Fail(shown + ": a link that leads nowhere (" + ec.message() + ")");
        return Fail(shown + ": " + ec.message());
      }
      const fs::file_status status = fs::status(real, ec);
      if (ec) return Fail(shown + ": " + ec.message());
      if (fs::is_symlink(fs::symlink_status(path, ec)) && !Holds(open.front().canonical, real))
        linksOut.push_back(shown + ": a link to " + NativeOf(real) + ", outside " +
                           open.front().shown + "; what it leads to is packed");
      const std::string fault = names::NameFault(Utf8Of(path.filename()));
      if (fs::is_regular_file(status)) {
        if (!fault.empty()) return FailName(shown + ": " + fault);
        found.push_back({name, real, shown});
      } else if (fs::is_directory(status)) {
        for (const Open& o : open)
          if (o.canonical == real)
            return Fail(shown + ": a link back to " + o.shown + ", a folder that holds it");
        open.push_back({real, shown});
        const size_t before = found.size(), emptyBefore = emptyFolders.size();
        if (!Walk(path, name + "\\")) return false;
        open.pop_back();
        if (found.size() == before) {
          emptyFolders.resize(emptyBefore);  // those inside go with it
          emptyFolders.push_back(shown);
        }
        // A folder that holds no file is not stored, so its name cannot fail.
        if (found.size() > before && !fault.empty()) return FailName(shown + ": " + fault);
      } else {
        return Fail(shown + ": " + KindOf(status.type()) + ", neither a file nor a folder");
      }
    }
    return true;
  }

  bool Fail(std::string message) {
    error = std::move(message);
    return false;
  }
  // Whether folder holds path, both canonical.
  static bool Holds(const fs::path& folder, const fs::path& path) {
    auto p = path.begin();
    for (auto f = folder.begin(); f != folder.end(); ++f, ++p)
      if (p == path.end() || *f != *p) return false;
    return true;
  }

  bool FailName(std::string message) {
    nameRefused = true;
    return Fail(std::move(message));
  }
};

// The folder part of shown, the path of a file found below root named
// name, that stands for the first `length` bytes of name.
std::string ShownPrefix(const std::string& root, const std::string& name, size_t length) {
  std::string path = ShownOf(name.substr(0, length));
  std::replace(path.begin(), path.end(), '\\', char(fs::path::preferred_separator));
  return root + char(fs::path::preferred_separator) + path;
}

// Refuses, naming them, what Windows cannot hold of the names of files
// (sorted by name) found below root: a name at the root that the setup's
// temporary file takes, and two names in one folder that Windows takes for
// one.
bool CheckWindowsNames(const std::string& root, const std::vector<TreeFile>& files,
                       std::string& error) {
  const std::u32string tempKey = names::SameNameKey(names::SetupTempName);
  // Every folder and file path seen, by the key Windows compares it by.
  std::map<std::u32string, std::string> seen;
  for (const TreeFile& file : files) {
    const std::string& name = file.name;
    std::u32string key;
    for (size_t start = 0; start <= name.size();) {
      size_t end = name.find('\\', start);
      if (end == std::string::npos) end = name.size();
      const std::u32string part = names::SameNameKey(std::string_view(name).substr(start, end - start));
      if (start == 0 && part == tempKey) {
        error = ShownPrefix(root, name, end) + ": the setup uses the name " +
                names::SetupTempName + " at the root of the destination for its own copy of " +
                "the archive, and deletes it";
        return false;
      }
      key += part;
      const auto [it, added] = seen.emplace(key, name.substr(0, end));
      if (!added && it->second != name.substr(0, end)) {
        error = ShownPrefix(root, name, end) + ": Windows takes it for " +
                ShownPrefix(root, it->second, it->second.size()) +
                " (case and trailing dots and blanks aside), and one would overwrite the other";
        return false;
      }
      key += U'\\';
      start = end + 1;
    }
  }
  return true;
}

}  // namespace

bool CollectTree(const std::string& dir, std::vector<TreeFile>& files, std::string& error,
                 const TreeOptions& options, TreeReport* report) {
  TreeReport ignored;
  if (!report) report = &ignored;
  const std::optional<int64_t>& latestTime = options.latestTime;
  std::error_code ec;
  const fs::path root(dir);
  if (!fs::is_directory(root, ec)) {
    error = dir + ": not a directory";
    return false;
  }
  TreeWalk walk;
  walk.open.push_back({fs::canonical(root, ec), dir});
  if (ec || !walk.Walk(root, "")) {
    error = ec ? dir + ": " + ec.message() : walk.error;
    report->nameRefused = walk.nameRefused;
    return false;
  }
  for (const std::string& folder : walk.emptyFolders)
    report->warnings.push_back(folder + ": a folder without files, dropped (an archive stores "
                               "files only)");
  for (std::string& link : walk.linksOut) report->warnings.push_back(std::move(link));
  if (walk.found.empty()) {
    error = dir + ": no file to pack";
    return false;
  }
  std::sort(walk.found.begin(), walk.found.end());
  for (const TreeWalk::Found& found : walk.found) {
    TreeFile file;
    file.name = found.name;
    bool exact = true;
    file.path = NativeOf(found.real, &exact);
    file.shown = found.shown;
    if (!exact) {
#ifdef _WIN32
      error = file.shown + ": holds a character that this system's code page, " +
              std::to_string(GetACP()) + ", cannot hold";
#endif
      report->nameRefused = true;
      return false;
    }
    if (file.name.size() > 0xFFFF ||
        !IsSafeRecordName(file.name.data(), uint32_t(file.name.size()))) {
      error = file.shown + ": this name cannot be stored";
      return false;
    }
    // Opened, not read: what cannot be read is found before any packing.
    const uintmax_t size = fs::file_size(found.real, ec);
    if (ec || !OpenForReading(file.path)) {
      error = file.shown + ": cannot read";
      return false;
    }
    file.size = uint64_t(size);
    // The time and attributes of the file itself, not of a link to it.
    const auto written = fs::last_write_time(found.real, ec);
    const int64_t seconds = ec ? 0 : std::chrono::floor<std::chrono::seconds>(
        std::chrono::file_clock::to_sys(written)).time_since_epoch().count();
    if (latestTime && seconds > *latestTime) {
      file.dosDateTime = fileio::DosTimeOfSeconds(*latestTime);
    } else {
      fileio::File f;
      f.Open(file.path, fileio::OpenMode::ReadShared);
      file.dosDateTime = f.GetDosTime();
    }
    uint32_t attributes = fileio::GetAttributes(file.path);
    attributes &= fileio::AttrReadOnly | fileio::AttrHidden | fileio::AttrSystem |
                  fileio::AttrArchive;
    file.attributes = attributes ? attributes : fileio::AttrNormal;
    files.push_back(std::move(file));
  }
  report->nameRefused = true;
  if (!CheckWindowsNames(dir, files, error)) return false;
  for (TreeFile& file : files) {
    if (options.codePage) {
      std::string converted, missing;
      if (!codepage::FromUtf8(*options.codePage, file.name, converted, missing)) {
        error = file.shown + ": holds " + missing + ", which code page " +
                std::to_string(options.codePage->number) + " cannot hold (see --codepage)";
        return false;
      }
      file.name = std::move(converted);
    } else {
#ifdef _WIN32
      // The setup reads the names in the code page of the machine it runs on;
      // this machine's is the one to check them against.
      bool exact = false;
      std::string converted = NarrowOf(WideOfUtf8(file.name), CP_ACP, &exact);
      if (!exact) {
        error = file.shown + ": holds a character that this system's code page, " +
                std::to_string(GetACP()) + ", cannot hold";
        return false;
      }
      // In a double-byte code page a second byte may be 0x5C, which the
      // setup's reader would take for a backslash between folders.
      for (size_t i = 0; i < converted.size(); ++i) {
        if (!IsDBCSLeadByte(BYTE(converted[i]))) continue;
        if (i + 1 < converted.size() && converted[i + 1] == '\\') {
          error = file.shown + ": a character whose second byte in this system's code page, " +
                  std::to_string(GetACP()) + ", is 0x5C, which the setup would read as a "
                  "backslash between folders";
          return false;
        }
        ++i;
      }
      file.name = std::move(converted);
#endif
    }
    // The setup makes each path with the ANSI functions, which stop at
    // MAX_PATH characters.
    if (file.name.size() > names::MaxNameLength) {
      error = file.shown + ": " + std::to_string(file.name.size()) +
              " characters below the destination, so that under " + names::LongestDestination +
              " the path would pass Windows' limit of " + std::to_string(names::MaxPathLength) +
              " characters (at most " + std::to_string(names::MaxNameLength) + " fit)";
      return false;
    }
  }
  report->nameRefused = false;
  // Records go in byte order of their stored names.
  std::sort(files.begin(), files.end(),
            [](const TreeFile& a, const TreeFile& b) { return a.name < b.name; });
  return true;
}

std::vector<ProductReference> MissingProductFiles(const std::vector<TreeFile>& files) {
  std::vector<ProductReference> wanted;
  for (const product::MenuShortcut& shortcut : product::MenuShortcuts)
    wanted.push_back({shortcut.target + 1,
                      std::string("the Programs-menu shortcut \"") + shortcut.name + "\" leads to it"});
  wanted.push_back({product::Uninstaller + 1, "the uninstall entry starts it"});
  wanted.push_back({product::SampleQuery + 1, "the product's settings name it as the first query"});
  for (const char* copy : {product::WininetCopy, product::ShlwapiCopy})
    wanted.push_back({copy + 1, "the setup copies it over an older system library, and says a "
                                "file is in use when it cannot"});
  // Windows compares the names without case; these are ASCII.
  const auto fold = [](std::string text) {
    for (char& c : text) c = c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
    return text;
  };
  std::vector<ProductReference> missing;
  for (ProductReference& reference : wanted) {
    const std::string path = fold(reference.path);
    const bool found = std::any_of(files.begin(), files.end(), [&](const TreeFile& file) {
      const std::string name = fold(file.name);
      return name == path || name.compare(0, path.size() + 1, path + "\\") == 0;
    });
    if (!found) missing.push_back(std::move(reference));
  }
  return missing;
}

const codepage::SingleByteTable* DefaultCodePage() {
  std::string why;
  return codepage::Find(codepage::DefaultNumber, why);
}

namespace {

// The least a stream for size bytes can take: its header, the end code, and
// for each byte 22/518 of a bit, which is what the longest copy (16 bits) at
// the cheapest distance (6 bits) costs per byte it covers.
uint64_t LeastStreamSize(uint64_t size) {
  const uint64_t bits = 16 + (22 * size + 517) / 518;
  return 2 + (bits + 7) / 8;
}

}  // namespace

bool CheckLimits(const std::vector<TreeFile>& files, const Limits& limits, std::string& error) {
  uint64_t least = 4;  // the trailer
  for (const TreeFile& file : files) {
    if (file.size > limits.fileSize) {
      error = file.shown + ": " + std::to_string(file.size) + " bytes, more than the " +
              std::to_string(limits.fileSize) + " of the largest file the setup can unpack";
      return false;
    }
    least += 2 + file.name.size() + sizeof(FileRecordHeader) + LeastStreamSize(file.size);
    if (least > limits.archiveSize) {
      error = file.shown + ": with this file the archive would take at least " +
              std::to_string(least) + " bytes, more than the " +
              std::to_string(limits.archiveSize) + " the setup can read";
      return false;
    }
  }
  return true;
}

namespace {

// A packed stream on its way to the archive: in memory while it is small,
// all of it in a temporary file once it outgrows holdMax bytes or the
// streams in memory together pass HeldMax.
class StreamStore {
 public:
  // heldTotal counts the bytes that all stores hold in memory.
  StreamStore(size_t holdMax, std::atomic<uint64_t>& heldTotal)
      : holdMax_(holdMax), heldTotal_(heldTotal) {}
  ~StreamStore() { heldTotal_ -= held_.size(); }
  StreamStore(const StreamStore&) = delete;
  StreamStore& operator=(const StreamStore&) = delete;

  implode::Output AsOutput() { return {Write, this}; }
  uint64_t Size() const { return size_; }

  // Hands the whole stream, from its start, to write. False when write
  // refused it or the temporary file could not be read back.
  template <typename Sink>
  bool CopyTo(Sink write) {
    if (!file_) return held_.empty() || write(held_.data(), held_.size());
    if (std::fflush(file_.get()) != 0 || std::fseek(file_.get(), 0, SEEK_SET) != 0) return false;
    Bytes block(size_t(1) << 16);
    for (uint64_t left = size_; left > 0;) {
      const size_t n =
          std::fread(block.data(), 1, size_t(std::min<uint64_t>(left, block.size())), file_.get());
      if (n == 0 || !write(block.data(), n)) return false;
      left -= n;
    }
    return true;
  }

 private:
  static bool Write(void* context, const uint8_t* data, size_t size) {
    auto* store = static_cast<StreamStore*>(context);
    store->size_ += size;
    if (store->file_) return std::fwrite(data, 1, size, store->file_.get()) == size;
    store->held_.insert(store->held_.end(), data, data + size);
    const uint64_t total = store->heldTotal_ += size;
    if (store->held_.size() <= store->holdMax_ && total <= HeldMax) return true;
    store->file_ = OpenTempFile();
    const bool ok = store->file_ && std::fwrite(store->held_.data(), 1, store->held_.size(),
                                                store->file_.get()) == store->held_.size();
    store->heldTotal_ -= store->held_.size();
    Bytes().swap(store->held_);
    return ok;
  }

  // What the streams of all workers, and those waiting for their turn, may
  // hold in memory together.
  static constexpr uint64_t HeldMax = uint64_t(64) << 20;

  size_t holdMax_;
  std::atomic<uint64_t>& heldTotal_;
  Bytes held_;       // the stream while it is small
  UniqueFile file_;  // the stream once it is not
  uint64_t size_ = 0;
};

// Writes an archive as its body comes, sealing it in order.
class ArchiveWriter {
 public:
  explicit ArchiveWriter(std::FILE* out) : out_(out), block_(size_t(1) << 16) {}

  bool Write(const uint8_t* data, size_t size) {
    while (size > 0) {
      const size_t n = std::min(size, block_.size());
      std::memcpy(block_.data(), data, n);
      seal_.Seal(block_.data(), n);
      if (std::fwrite(block_.data(), 1, n, out_) != n) return false;
      size_ += n;
      data += n;
      size -= n;
    }
    return true;
  }

  // Appends the trailer.
  bool Finish() {
    Bytes trailer;
    seal_.AppendTrailer(trailer);
    return std::fwrite(trailer.data(), 1, trailer.size(), out_) == trailer.size() &&
           std::fflush(out_) == 0;
  }

  uint64_t BodySize() const { return size_; }

 private:
  std::FILE* out_;
  Bytes block_;
  BodySeal seal_;
  uint64_t size_ = 0;
};

// One file on its way through a worker and into the archive.
struct Job {
  const TreeFile* file = nullptr;
  unsigned passes = 1;                // times the file is read
  std::atomic<uint64_t> progress{0};  // bytes read so far, over all passes
  std::atomic<bool> ready{false};     // the worker is through with it
  // The worker's result: why the file cannot be stored, or its record.
  std::string error;
  FileRecordHeader header = {};
  std::unique_ptr<StreamStore> stream;
};

// What the workers and the writer share.
struct Crew {
  Crew(const PackOptions& o, Job* j, size_t n, std::atomic<uint64_t>& held, unsigned lookahead)
      : options(o), jobs(j), count(n), heldTotal(held), slots(lookahead), finished(0) {}
  const PackOptions& options;
  Job* jobs;
  size_t count;
  std::atomic<uint64_t>& heldTotal;  // stream bytes held in memory
  std::atomic<size_t> next{0};     // the next job to take
  std::atomic<bool> stop{false};   // the writer has failed: take no more
  workers::Semaphore slots;        // jobs that may be taken before the writer is through
  workers::Semaphore finished;     // released once for each job done
};

// Reads a file for the encoder, running its check value and size.
struct FileInput {
  UniqueFile file;
  uint64_t read = 0;
  uint32_t crc = 0xFFFFFFFFu;
  std::atomic<uint64_t>* progress;
  const std::atomic<bool>* stop;

  static bool Read(void* context, uint8_t* buffer, size_t count, size_t* got) {
    auto* in = static_cast<FileInput*>(context);
    *got = 0;
    if (in->stop->load(std::memory_order_relaxed)) return false;
    uint32_t n = uint32_t(std::fread(buffer, 1, std::min<size_t>(count, size_t(1) << 20),
                                     in->file.get()));
    if (n == 0 && std::ferror(in->file.get())) return false;
    in->crc = UpdateCrc32(buffer, &n, &in->crc);
    in->read += n;
    in->progress->fetch_add(n, std::memory_order_relaxed);
    *got = n;
    return true;
  }
};

// Packs one file into job's record, or sets job.error.
void PackOne(Job& job, Crew& crew) {
  const TreeFile& file = *job.file;
  const PackOptions& options = crew.options;
  const std::atomic<bool>& stop = crew.stop;
  std::atomic<uint64_t>& heldTotal = crew.heldTotal;
  FileInput first{OpenForReading(file.path), 0, 0xFFFFFFFFu, &job.progress, &stop};
  if (!first.file) {
    job.error = "cannot read";
    return;
  }
  const implode::Input input{FileInput::Read, &first, file.size};
  implode::Encoding best;
  implode::Status status;
  std::vector<std::unique_ptr<StreamStore>> stores;
  if (job.passes == 1) {
    std::vector<implode::Output> outputs;
    for (size_t i = 0; i < implode::EncodingCount; ++i) {
      stores.push_back(std::make_unique<StreamStore>(options.holdMax, heldTotal));
      outputs.push_back(stores.back()->AsOutput());
    }
    status = implode::ImplodeAll(input, outputs.data(), options.limits.packedSize, best);
    if (status == implode::Status::Ok) job.stream = std::move(stores[implode::EncodingIndex(best)]);
  } else {
    status = implode::ImplodeAll(input, nullptr, options.limits.packedSize, best);
    if (status == implode::Status::Ok && first.read == file.size) {
      // The second reading must find the same bytes as the first.
      FileInput again{OpenForReading(file.path), 0, 0xFFFFFFFFu, &job.progress, &stop};
      job.stream = std::make_unique<StreamStore>(options.holdMax, heldTotal);
      status = !again.file ? implode::Status::ReadFailed
                           : implode::ImplodeTo({FileInput::Read, &again, file.size}, best.mode,
                                                best.dictBits, job.stream->AsOutput());
      if (status == implode::Status::Ok && (again.read != first.read || again.crc != first.crc))
        status = implode::Status::TooLong;
    }
  }
  switch (status) {
    case implode::Status::Ok:
      break;
    case implode::Status::ReadFailed:
      job.error = "cannot read";
      return;
    case implode::Status::WriteFailed:
      job.error = "cannot write its packed stream to a temporary file";
      return;
    case implode::Status::OverLimit:
      job.error = "packed, it would take more than " + std::to_string(options.limits.packedSize) +
                  " bytes, more than the setup can read of one file";
      return;
    case implode::Status::TooLong:
      job.error = "changed while it was being packed";
      return;
  }
  if (first.read != file.size) {
    job.error = "changed while it was being packed";
    return;
  }
  job.header.DosDateTime = file.dosDateTime;
  job.header.Size = uint32_t(file.size);
  job.header.Attributes = file.attributes;
  job.header.PackedSize = uint32_t(job.stream->Size());
  job.header.Check = first.crc;
}

void WorkerMain(void* context) {
  Crew& crew = *static_cast<Crew*>(context);
  for (;;) {
    crew.slots.Acquire();
    if (crew.stop.load()) return;
    const size_t i = crew.next.fetch_add(1);
    if (i >= crew.count) return;
    PackOne(crew.jobs[i], crew);
    crew.jobs[i].ready.store(true, std::memory_order_release);
    crew.finished.Release();
  }
}

// Appends job's record to the archive. False, with error naming the file,
// when the file could not be packed or the archive would grow too large.
bool WriteRecord(const Job& job, const PackOptions& options, const std::string& outName,
                 ArchiveWriter& writer, std::string& error) {
  const TreeFile& file = *job.file;
  if (!job.error.empty()) {
    error = file.shown + ": " + job.error;
    return false;
  }
  Bytes head;
  AppendRecordHead(head, file.name, job.header);
  const uint64_t total = writer.BodySize() + head.size() + job.stream->Size() + 4;
  if (total > options.limits.archiveSize) {
    error = file.shown + ": with this file the archive would take " + std::to_string(total) +
            " bytes, more than the " + std::to_string(options.limits.archiveSize) +
            " the setup can read";
    return false;
  }
  if (!writer.Write(head.data(), head.size()) ||
      !job.stream->CopyTo([&](const uint8_t* d, size_t n) { return writer.Write(d, n); })) {
    error = outName + ": cannot write";
    return false;
  }
  return true;
}

}  // namespace

bool PackFiles(const std::vector<TreeFile>& files, const PackOptions& options, std::FILE* out,
               const std::string& outName, std::string& error, uint64_t* written) {
  const size_t count = files.size();
  std::atomic<uint64_t> heldTotal{0};  // outlives the jobs' streams, which count in it
  std::unique_ptr<Job[]> jobs(new Job[count]);
  for (size_t i = 0; i < count; ++i) {
    jobs[i].file = &files[i];
    jobs[i].passes = files[i].size > options.onePassMax ? 2 : 1;
  }
  const unsigned workerCount =
      std::max(1u, unsigned(std::min<size_t>(std::min(options.workers, MaxWorkers), count)));
  // Jobs a worker may take before the writer is through with them: enough to
  // keep every worker busy while one packs a large file, few enough that the
  // streams waiting for their turn stay few.
  Crew crew(options, jobs.get(), count, heldTotal, 2 * workerCount + 32);
  if (!crew.slots.Valid() || !crew.finished.Valid()) {
    error = "cannot make the workers' semaphores";
    return false;
  }
  workers::ThreadGroup group(count > 0 ? workerCount : 0, WorkerMain, &crew);
  if (count > 0 && group.Started() == 0) {
    error = "cannot start a worker thread";
    return false;
  }

  ArchiveWriter writer(out);
  uint64_t bytesDone = 0;
  bool ok = true;
  for (size_t i = 0; ok && i < count; ++i) {
    Job& job = jobs[i];
    while (!job.ready.load(std::memory_order_acquire)) {
      if (crew.finished.AcquireFor(250) || !options.progress) continue;
      options.progress(options.progressContext, i,
                       bytesDone + job.progress.load(std::memory_order_relaxed) / job.passes);
    }
    ok = WriteRecord(job, options, outName, writer, error);
    job.stream.reset();
    crew.slots.Release();
    bytesDone += job.file->size;
    if (ok && options.progress) options.progress(options.progressContext, i + 1, bytesDone);
  }
  if (!ok) {
    crew.stop = true;
    crew.slots.Release(workerCount);  // wakes every worker that waits for a slot
  }
  group.Join();
  if (ok && !writer.Finish()) {
    error = outName + ": cannot write";
    ok = false;
  }
  if (written) *written = writer.BodySize() + 4;
  return ok;
}

int32_t ReadRecords(const Bytes& archive, Bytes& body, std::vector<Record>& records) {
  if (archive.size() < 4) return ArcBadChecksum;
  body.assign(archive.begin(), archive.end() - TrailerSize);
  BodySeal seal;
  seal.Unseal(body.data(), body.size());
  if (seal.Check() != TrailerValue(archive.data() + body.size())) return ArcBadChecksum;

  records.clear();
  for (size_t pos = 0; pos < body.size();) {
    RecordHead head;
    int32_t result = SplitRecord(body.data() + pos, body.size() - pos, int64_t(pos),
                                 int64_t(body.size()), head);
    if (result != ArcOk) return result;
    size_t streamOffset = size_t(head.streamStart);
    pos = streamOffset + head.header.PackedSize;
    records.push_back({std::move(head.name), head.header, streamOffset});
  }
  return ArcOk;
}

bool RebuildArchive(const Bytes& body, const std::vector<Record>& records, Bytes& archive) {
  archive.clear();
  for (const Record& r : records) {
    if (!AppendRecordHead(archive, r.name, r.header)) return false;
    const auto stream = body.begin() + std::ptrdiff_t(r.streamOffset);
    archive.insert(archive.end(), stream, stream + std::ptrdiff_t(r.header.PackedSize));
  }
  BodySeal seal;
  seal.Seal(archive.data(), archive.size());
  seal.AppendTrailer(archive);
  return true;
}

bool LooksLikeArchive(const Bytes& archive) {
  if (archive.size() < 4) return false;
  const size_t bodyLength = archive.size() - 4;
  if (bodyLength == 0) return true;
  Bytes head(archive.begin(), archive.begin() + std::ptrdiff_t(std::min(bodyLength, MaxRecordHead)));
  BodySeal().Unseal(head.data(), head.size());
  // A record cut off by the end of the file is a damaged archive still, so
  // the stream may run past the end; what noise rarely passes is a whole
  // record head with a name Windows could hold.
  RecordHead record;
  if (SplitRecord(head.data(), head.size(), 0, INT64_MAX / 2, record) != ArcOk) return false;
  for (size_t start = 0; start <= record.name.size();) {
    const size_t end = std::min(record.name.find('\\', start), record.name.size());
    if (!names::NameFault(std::string_view(record.name).substr(start, end - start)).empty())
      return false;
    start = end + 1;
  }
  return true;
}

int32_t VerifyRecords(const Bytes& body, const std::vector<Record>& records,
                      std::string& failedName) {
  alignas(DclWorkArea) static uint8_t workArea[DclWorkAreaSize];
  for (const Record& r : records) {
    DecodeRun run(body.data() + r.streamOffset, r.header.PackedSize);
    uint32_t result = DclDecompress(DecodeRun::Read, DecodeRun::Write, workArea, &run);
    if (!AcceptDecodedRecord(r.header, result, uint32_t(run.consumed), uint32_t(run.produced),
                             run.crc)) {
      failedName = r.name;
      return ArcBadRecord;
    }
  }
  return ArcOk;
}

Bytes ArchiveOf(const Bytes& file, bool& markerFound) {
  markerFound = false;
  // Only an executable is taken for a setup; anything else is an archive.
  if (file.size() < 2 || file[0] != 'M' || file[1] != 'Z') return file;
  int64_t start = MarkerEnd(file.data(), file.size());
  if (start < 0) return file;
  markerFound = true;
  int64_t end = ArchiveEnd(file.data(), std::min(file.size(), PeHeaderBytes), start,
                           int64_t(file.size()));
  return Bytes(file.begin() + std::ptrdiff_t(start), file.begin() + std::ptrdiff_t(end));
}

int32_t MakeSetup(const Bytes& stub, const Bytes& archive, Bytes& out, std::string& error) {
  bool hasMarker = false;
  ArchiveOf(stub, hasMarker);
  uint32_t offset = 0, size = 0;
  if (stub.size() < 2 || stub[0] != 'M' || stub[1] != 'Z') {
    error = "the stub is not a Windows executable";
    return -1;
  }
  if (hasMarker) {
    error = "the stub already carries a payload; use the bare setup-stub.exe";
    return -1;
  }
  if (PeCertificateTable(stub.data(), std::min(stub.size(), PeHeaderBytes), &offset, &size)) {
    error = "the stub is signed; sign the finished setup instead, after pvpack setup";
    return -1;
  }
  // Signing tools pad a file to a multiple of 8 bytes before they append the
  // certificate table, and that padding would become part of the archive.
  // Filler between stub and marker makes the finished file need none.
  size_t total = stub.size() + PayloadMarker.size() + archive.size();
  size_t filler = (8 - total % 8) % 8;
  if (uint64_t(total) + filler > MaxSetupSize) {
    error = "with this archive the setup would take " + std::to_string(uint64_t(total) + filler) +
            " bytes, more than the " + std::to_string(MaxSetupSize) +
            " of a setup that Windows can start and sign";
    return -1;
  }
  out = stub;
  out.insert(out.end(), filler, 0);
  out.insert(out.end(), PayloadMarker.begin(), PayloadMarker.end());
  out.insert(out.end(), archive.begin(), archive.end());
  return 0;
}

}  // namespace pack
