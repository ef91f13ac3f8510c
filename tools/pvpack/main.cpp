// pvpack: packs a product tree into the setup program's archive, appends it
// to the setup stub, and checks and unpacks archives with the setup
// program's own reader.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "archive/Archive.h"
#include "archive/PvUnZip.h"
#include "explode/Explode.h"
#include "tools/pvpack/Implode.h"
#include "tools/pvpack/Pack.h"
#include "tools/pvpack/Workers.h"

namespace {

using pack::Bytes;

// Exit statuses besides the decoder's and the reader's own codes.
constexpr int ExitUsage = 64;
constexpr int ExitName = 65;  // a name Windows or the code page cannot hold
constexpr int ExitIo = 74;

constexpr char Version[] = "3.03";

// Prints "usage: pvpack COMMAND ..." for command to standard error, after
// problem when there is one, and returns ExitUsage.
int UsageError(const std::string& command, const std::string& problem = "");

bool StderrIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr));
#else
  return isatty(2);
#endif
}

// What stands at path when it is no regular file, for a message; empty for
// a file, or a pipe (read as a stream, up to the limit).
std::string NotAFile(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec) return ec.message();
  switch (status.type()) {
    case fs::file_type::regular:
    case fs::file_type::fifo: return "";
    case fs::file_type::directory: return "a folder, not a file";
    case fs::file_type::block:
    case fs::file_type::character: return "a device, not a file";
    case fs::file_type::socket: return "a socket, not a file";
    default: return "not a file";
  }
}

// Reads the file at path ("-": standard input) into data. Refuses, with
// error naming path, what is no file (a folder, a device such as
// /dev/zero) and more than limit bytes, so that no input runs on for ever
// or is taken for a huge file.
bool ReadInput(const std::string& path, uint64_t limit, Bytes& data, std::string& error) {
  const std::string shown = path == "-" ? "standard input" : path;
  std::FILE* in = stdin;
  pack::UniqueFile owned;
  uintmax_t expected = 0;  // the size of a file, to read it in one allocation
  if (path == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
#else
    // A device such as /dev/zero would run on until the limit; a terminal
    // is typed into and ends.
    struct stat status;
    if (fstat(0, &status) == 0 && (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) &&
        !isatty(0)) {
      error = shown + ": a device, not a file";
      return false;
    }
#endif
  } else {
    if (const std::string why = NotAFile(path); !why.empty()) {
      error = path + ": " + why;
      return false;
    }
    std::error_code ec;
    expected = std::filesystem::file_size(path, ec);
    if (ec) expected = 0;
    if (expected > limit) {
      error = path + ": " + std::to_string(expected) + " bytes, more than a setup can hold";
      return false;
    }
    owned.reset(std::fopen(path.c_str(), "rb"));
    if (!owned) {
      error = path + ": cannot read (" + std::strerror(errno) + ")";
      return false;
    }
    in = owned.get();
  }
  data.clear();
  try {
    data.reserve(size_t(expected));
    Bytes block(size_t(1) << 20);
    for (;;) {
      const size_t n = std::fread(block.data(), 1, block.size(), in);
      if (data.size() + n > limit) {
        error = shown + ": more than " + std::to_string(limit) + " bytes, more than a setup can hold";
        return false;
      }
      data.insert(data.end(), block.begin(), block.begin() + std::ptrdiff_t(n));
      if (n < block.size()) break;
    }
  } catch (const std::bad_alloc&) {
    error = shown + ": too large to read into memory";
    return false;
  }
  if (std::ferror(in)) {
    error = shown + ": cannot read";
    return false;
  }
  return true;
}

bool WriteAll(const std::string& path, const Bytes& data) {
  if (path == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    return std::fwrite(data.data(), 1, data.size(), stdout) == data.size() &&
           std::fflush(stdout) == 0;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  out.close();
  return !out.fail();
}

int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "pvpack: %s\n", message.c_str());
  return status;
}

// A command line with its options taken out.
struct Arguments {
  std::vector<std::string> operands;
  std::map<std::string, std::string> options;  // by name; a flag's value is empty

  bool Has(const char* name) const { return options.count(name) != 0; }
  const std::string& Value(const char* name) const { return options.at(name); }
};

// The code page of the names in archives: --codepage N, 1252 unless given.
// Returns 0, or ExitUsage having said why the code page cannot be used.
// On Windows names stand in the system's code page already, and are taken
// as they stand (table null); N may only name that code page.
int CodePageOf(const Arguments& args, const codepage::SingleByteTable*& table) {
#ifdef _WIN32
  table = nullptr;
#else
  table = pack::DefaultCodePage();
#endif
  if (!args.Has("--codepage")) return 0;
  const std::string& text = args.Value("--codepage");
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos)
    return Fail(ExitUsage, "--codepage " + text + ": not a number");
  const int number = std::atoi(text.c_str());
#ifdef _WIN32
  if (unsigned(number) == GetACP()) return 0;
  return Fail(ExitUsage, "--codepage " + text + ": on Windows names are taken in the system's "
                         "code page, " + std::to_string(GetACP()) + ", as they stand");
#else
  std::string why;
  table = codepage::Find(number, why);
  return table ? 0 : Fail(ExitUsage, "code page " + text + " " + why);
#endif
}

// The one place that turns a reader result into words.
std::string ReaderFailure(int32_t result) {
  switch (result) {
    case ArcCannotOpen: return "cannot open the archive";
    case ArcCannotCreate: return "cannot create an output file";
    case ArcIoError: return "a read or write failed while decoding";
    case ArcBadChecksum: return "the archive is damaged: its check value does not match";
    case ArcBadRecord: return "a file in the archive is damaged or has an unsafe name";
    default: return "unknown failure " + std::to_string(result);
  }
}

int CmdImplode(const Arguments& args) {
  const implode::LiteralMode mode =
      args.Has("--ascii") ? implode::LiteralMode::Ascii : implode::LiteralMode::Binary;
  unsigned dictBits = 6;
  if (args.Has("--dict")) {
    const std::string& size = args.Value("--dict");
    dictBits = size == "1024" ? 4 : size == "2048" ? 5 : size == "4096" ? 6 : 0;
    if (!dictBits) return UsageError("implode", "the dictionary size is 1024, 2048 or 4096");
  }
  const std::vector<std::string>& files = args.operands;
  Bytes in;
  std::string error;
  if (!ReadInput(files[0], pack::MaxFileSize, in, error)) return Fail(ExitIo, error);
  if (!WriteAll(files[1], implode::Implode(in.data(), in.size(), mode, dictBits)))
    return Fail(ExitIo, files[1] + ": cannot write");
  return 0;
}

struct MemoryStreams {
  const Bytes* in;
  size_t pos = 0;
  Bytes out;
  static uint32_t Read(uint8_t* buffer, uint32_t* size, void* param) {
    auto* s = static_cast<MemoryStreams*>(param);
    uint32_t n = uint32_t(std::min<size_t>(s->in->size() - s->pos, *size));
    if (n) std::memcpy(buffer, s->in->data() + s->pos, n);  // data() may be null when empty
    s->pos += n;
    return n;
  }
  static void Write(uint8_t* buffer, uint32_t* size, void* param) {
    auto* s = static_cast<MemoryStreams*>(param);
    s->out.insert(s->out.end(), buffer, buffer + *size);
  }
};

int CmdExplode(const Arguments& arguments) {
  const std::vector<std::string>& args = arguments.operands;
  Bytes in;
  std::string error;
  if (!ReadInput(args[0], pack::MaxSetupSize, in, error)) return Fail(ExitIo, error);
  MemoryStreams streams{&in, 0, {}};
  alignas(DclWorkArea) static uint8_t workArea[DclWorkAreaSize];
  uint32_t result = DclDecompress(MemoryStreams::Read, MemoryStreams::Write, workArea, &streams);
  if (!WriteAll(args[1], streams.out)) return Fail(ExitIo, args[1] + ": cannot write");
  static const char* const Words[] = {"", "bad dictionary size", "bad literal mode",
                                      "stream too short", "stream ended without an end code"};
  if (result != DclOk) std::fprintf(stderr, "pvpack: %s: %s\n", args[0].c_str(), Words[result]);
  return int(result);
}

// Reads a SOURCE_DATE_EPOCH value: a decimal count of seconds since 1970,
// digits only, no later than the end of 9999. False for anything else.
bool ParseEpoch(const std::string& text, int64_t& seconds) {
  constexpr int64_t Last = 253402300799;  // 9999-12-31 23:59:59 UTC
  if (text.empty() || text.size() > 12) return false;
  seconds = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    seconds = seconds * 10 + (c - '0');
  }
  return seconds <= Last;
}

// Reads a count for -j: digits only, 1 to pack::MaxWorkers. False for
// anything else.
bool ParseJobs(const std::string& text, unsigned& jobs) {
  if (text.empty() || text.size() > 4) return false;
  jobs = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    jobs = jobs * 10 + unsigned(c - '0');
  }
  return jobs >= 1 && jobs <= pack::MaxWorkers;
}

using Clock = std::chrono::steady_clock;

// When the command began, for its summary line.
Clock::time_point Started;

// Progress on standard error: on a terminal one line rewritten in place
// (unless -q); with --progress plain lines, at most one a second, for logs.
class Progress {
 public:
  explicit Progress(const Arguments& args)
      : style_(args.Has("--progress")                  ? Style::Lines
               : args.Has("-q") || !StderrIsTerminal() ? Style::None
                                                       : Style::Terminal) {}
  ~Progress() {
    if (style_ == Style::Terminal && shown_) std::fprintf(stderr, "\n");
  }
  bool Shown() const { return style_ != Style::None; }

  // Shows text now on a terminal; as a line when a second has passed since
  // the last one, or when last is set.
  void Show(const std::string& text, bool last = false) {
    const Clock::time_point now = Clock::now();
    if (style_ == Style::None || (style_ == Style::Lines && shown_ && !last &&
                                  now - last_ < std::chrono::seconds(1)))
      return;
    std::fprintf(stderr, style_ == Style::Terminal ? "\r%s" : "%s\n", text.c_str());
    shown_ = true;
    last_ = now;
  }

 private:
  enum class Style { None, Terminal, Lines };
  Style style_;
  bool shown_ = false;
  Clock::time_point last_;
};

// The line a command ends with, unless -q: its files, their bytes and the
// bytes of their archive with the share they are of them, what else it
// made, and the time it took. On standard output, unless that carries data.
void Summary(const Arguments& args, const char* command, size_t files, uint64_t bytes,
             uint64_t packed, const std::string& more = "", bool toStderr = false) {
  if (args.Has("-q")) return;
  char share[32] = "";
  if (bytes > 0) std::snprintf(share, sizeof share, " (%.1f%%)", double(packed) * 100 / double(bytes));
  const double seconds = std::chrono::duration<double>(Clock::now() - Started).count();
  std::fprintf(toStderr ? stderr : stdout, "pvpack %s: %zu files, %llu bytes, packed %llu bytes%s%s, %.2f s\n",
               command, files, static_cast<unsigned long long>(bytes),
               static_cast<unsigned long long>(packed), share, more.c_str(), seconds);
}

// What pack shows as it goes: files and megabytes done, in archive order.
struct PackTotals {
  size_t files = 0;
  uint64_t bytes = 0;
  Progress* progress = nullptr;
};

void ShowPackProgress(void* context, size_t files, uint64_t bytes) {
  const auto* total = static_cast<const PackTotals*>(context);
  char text[96];
  std::snprintf(text, sizeof text, "packing %zu/%zu files, %.1f/%.1f MB", files, total->files,
                double(bytes) / 1e6, double(total->bytes) / 1e6);
  total->progress->Show(text, files == total->files);
}

int CmdPack(const Arguments& args) {
  unsigned jobs = std::min(workers::ProcessorCount(), pack::MaxWorkers);
  if (args.Has("-j") && !ParseJobs(args.Value("-j"), jobs))
    return UsageError("pack", "-j takes the number of files to pack at once, 1 to " +
                                  std::to_string(pack::MaxWorkers));
  const std::vector<std::string>& paths = args.operands;
  const std::string& dir = paths[0];
  const std::string& archive = paths[1];
  // The reproducible-builds convention: no file time after the source's
  // own date (set to the last commit's), so that a tree checked out or
  // built later packs to the same bytes. Set but empty counts as not set.
  std::optional<int64_t> latest;
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch && *epoch) {
    int64_t seconds = 0;
    if (!ParseEpoch(epoch, seconds))
      return Fail(ExitUsage, std::string("SOURCE_DATE_EPOCH is \"") + epoch +
                                 "\", not a whole number of seconds since 1970");
    latest = seconds;
  }
  // Everything the sizes alone tell is settled before anything is read.
  std::vector<pack::TreeFile> files;
  std::string error;
  pack::TreeOptions treeOptions;
  treeOptions.latestTime = latest;
  if (int status = CodePageOf(args, treeOptions.codePage)) return status;
  pack::TreeReport report;
  if (!pack::CollectTree(dir, files, error, treeOptions, &report))
    return Fail(report.nameRefused ? ExitName : ExitIo, error);
  if (!pack::CheckLimits(files, pack::Limits(), error)) return Fail(ExitIo, error);
  for (const std::string& warning : report.warnings)
    std::fprintf(stderr, "pvpack: warning: %s\n", warning.c_str());
  for (const pack::ProductReference& missing : pack::MissingProductFiles(files)) {
    std::string path = missing.path;
    std::replace(path.begin(), path.end(), '\\', char(std::filesystem::path::preferred_separator));
    std::fprintf(stderr, "pvpack: warning: %s: missing, and %s\n",
                 (std::filesystem::path(dir) / path).string().c_str(), missing.user.c_str());
  }
  std::error_code ec;
  const std::filesystem::path target = std::filesystem::weakly_canonical(archive, ec);
  for (const pack::TreeFile& file : files)
    if (archive != "-" && !ec && std::filesystem::path(file.path) == target)
      return Fail(ExitIo, archive + ": lies in " + dir + " and would be packed into itself");

  pack::UniqueFile owned;
  std::FILE* out = stdout;
  if (archive == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
  } else {
    owned.reset(std::fopen(archive.c_str(), "wb"));
    if (!owned) return Fail(ExitIo, archive + ": cannot write");
    out = owned.get();
  }
  Progress progress(args);
  PackTotals totals;
  totals.files = files.size();
  totals.progress = &progress;
  for (const pack::TreeFile& file : files) totals.bytes += file.size;
  pack::PackOptions options;
  options.workers = jobs;
  if (progress.Shown()) {
    options.progress = ShowPackProgress;
    options.progressContext = &totals;
  }
  uint64_t written = 0;
  bool ok = pack::PackFiles(files, options, out, archive, error, &written);
  if (owned) {
    if (std::fclose(owned.release()) != 0 && ok) {
      error = archive + ": cannot write";
      ok = false;
    }
    // No half-written archive stays behind.
    if (!ok) std::remove(archive.c_str());
  }
  if (!ok) return Fail(ExitIo, error);
  Summary(args, "pack", files.size(), totals.bytes, written, "", archive == "-");
  return 0;
}

// The files of records and their bytes, for a summary.
uint64_t TotalSize(const std::vector<pack::Record>& records) {
  uint64_t total = 0;
  for (const pack::Record& r : records) total += r.header.Size;
  return total;
}

// Why the archive taken from file (a setup when isSetup) fails its check
// value: damaged, or no archive at all.
std::string ChecksumFailure(const Bytes& file, const Bytes& archive, bool isSetup) {
  if (file.empty()) return "no archive: the file is empty";
  if (!isSetup && file.size() >= 2 && file[0] == 'M' && file[1] == 'Z')
    return "no archive: a Windows executable without the marker that an archive follows";
  if (isSetup && archive.empty()) return "no archive: nothing follows the marker";
  if (!pack::LooksLikeArchive(archive))
    return isSetup ? "no archive: what follows the marker is not one"
                   : "no archive: neither a setup executable nor an archive";
  return ReaderFailure(ArcBadChecksum);
}

// Reads FILE (an archive or a setup executable) and checks its archive and
// how its records are laid out, leaving each record's name converted from
// codePage to UTF-8 (as it stands when codePage is null). Returns 0 or an
// exit status, having said why on standard error; a file that cannot be
// read gives unreadable.
int LoadRecords(const std::string& path, Bytes& archive, Bytes& body,
                std::vector<pack::Record>& records, bool& isSetup,
                const codepage::SingleByteTable* codePage, int unreadable = -ArcCannotOpen) {
  Bytes file;
  std::string error;
  if (!ReadInput(path, pack::MaxSetupSize, file, error)) return Fail(unreadable, error);
  archive = pack::ArchiveOf(file, isSetup);
  const int32_t result = pack::ReadRecords(archive, body, records);
  const std::string shown = path == "-" ? "standard input" : path;
  if (result == ArcBadChecksum)
    return Fail(-result, shown + ": " + ChecksumFailure(file, archive, isSetup));
  if (result != ArcOk) return Fail(-result, shown + ": " + ReaderFailure(result));
  if (codePage)
    for (pack::Record& r : records) r.name = codepage::ToUtf8(*codePage, r.name);
  return 0;
}

int LoadRecords(const Arguments& args, Bytes& archive, Bytes& body,
                std::vector<pack::Record>& records) {
  const codepage::SingleByteTable* codePage = nullptr;
  if (int status = CodePageOf(args, codePage)) return status;
  bool isSetup = false;
  return LoadRecords(args.operands[0], archive, body, records, isSetup, codePage);
}

const char* AttributeLetters(uint32_t a, char* out) {
  std::snprintf(out, 8, "%c%c%c%c", a & 0x01 ? 'R' : '-', a & 0x02 ? 'H' : '-',
                a & 0x04 ? 'S' : '-', a & 0x20 ? 'A' : '-');
  return out;
}

// text as a JSON string: quoted, with quotes, backslashes and control
// characters escaped. text is UTF-8 (on Windows, in the system's code page,
// and converted).
std::string JsonString(const std::string& text) {
  std::string utf8 = text;
#ifdef _WIN32
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring wide(size_t(std::max(n, 0)), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), wide.data(), n);
  const int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
  utf8.assign(size_t(std::max(m, 0)), '\0');
  if (m > 0)
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), utf8.data(), m, nullptr, nullptr);
#endif
  std::string out = "\"";
  for (char c : utf8) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (uint8_t(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", unsigned(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// One JSON object a record, in an array: name, size, packed size,
// attribute bits, the local time in ISO 8601 form and the check value.
void ListJson(const std::vector<pack::Record>& records) {
  std::printf("[");
  for (size_t i = 0; i < records.size(); ++i) {
    const pack::Record& r = records[i];
    const FileRecordHeader& h = r.header;
    const uint32_t date = h.DosDateTime >> 16, time = h.DosDateTime & 0xFFFF;
    std::printf("%s\n  {\"name\": %s, \"size\": %u, \"packedSize\": %u, \"attributes\": %u, "
                "\"time\": \"%04u-%02u-%02uT%02u:%02u:%02u\", \"check\": \"%08X\"}",
                i ? "," : "", JsonString(r.name).c_str(), unsigned(h.Size), unsigned(h.PackedSize),
                unsigned(h.Attributes), 1980 + (date >> 9), (date >> 5) & 15, date & 31,
                time >> 11, (time >> 5) & 63, (time & 31) * 2, unsigned(h.Check));
  }
  std::printf("%s]\n", records.empty() ? "" : "\n");
}

int CmdList(const Arguments& arguments) {
  Bytes archive, body;
  std::vector<pack::Record> records;
  if (int status = LoadRecords(arguments, archive, body, records)) return status;
  if (arguments.Has("--json")) {
    ListJson(records);
    return 0;
  }
  for (const pack::Record& r : records) {
    const FileRecordHeader& h = r.header;
    uint32_t date = h.DosDateTime >> 16, time = h.DosDateTime & 0xFFFF;
    char attributes[8];
    // Padded by characters, not bytes, so that UTF-8 names line up.
    const size_t width = size_t(std::count_if(r.name.begin(), r.name.end(),
                                              [](char c) { return (uint8_t(c) & 0xC0) != 0x80; }));
    const int padding = int(r.name.size() + (width < 40 ? 40 - width : 0));
    std::printf("%-*s %10u %10u %s %04u-%02u-%02u %02u:%02u:%02u %08X\n", padding, r.name.c_str(),
                unsigned(h.Size), unsigned(h.PackedSize), AttributeLetters(h.Attributes, attributes),
                1980 + (date >> 9), (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63,
                (time & 31) * 2, unsigned(h.Check));
  }
  return 0;
}

int CmdVerify(const Arguments& arguments) {
  const std::vector<std::string>& args = arguments.operands;
  Bytes archive, body;
  std::vector<pack::Record> records;
  if (int status = LoadRecords(arguments, archive, body, records)) return status;
  std::string failed;
  if (pack::VerifyRecords(body, records, failed) != ArcOk)
    return Fail(-ArcBadRecord, args[0] + ": " + failed + ": " + ReaderFailure(ArcBadRecord));
  Summary(arguments, "verify", records.size(), TotalSize(records), archive.size(), ", sound");
  return 0;
}

// A new temporary file that nobody else can have guessed, or "" with
// folder naming where it could not be made. It has an extension, so the
// reader takes its name as it is.
std::string NewTempFile(std::string& folder) {
#ifdef _WIN32
  char dir[MAX_PATH], name[MAX_PATH];
  DWORD n = GetTempPathA(sizeof dir, dir);
  folder = n > 0 && n < sizeof dir ? dir : "the temporary folder";
  if (n == 0 || n >= sizeof dir || !GetTempFileNameA(dir, "pvp", 0, name)) return "";
  return name;
#else
  std::error_code ec;
  const std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
  folder = ec ? "the temporary folder" : dir.string();
  std::string name = (dir / "pvpack-XXXXXX.tmp").string();
  int fd = ec ? -1 : mkstemps(name.data(), 4);
  if (fd < 0) return "";
  close(fd);
  return name;
#endif
}

// What the reader has reported while it extracts: the file it works on,
// and how many records it has started.
struct ExtractProgress {
  std::string name;
  size_t started = 0;
  int percent = -1;
  Progress* progress = nullptr;
} Extracting;

void NoteProgress(const char* name, int32_t percent) {
  if (Extracting.name != name) {
    Extracting.name = name;
    ++Extracting.started;
  }
  if (!Extracting.progress || percent == Extracting.percent) return;
  Extracting.percent = percent;
  char text[32];
  std::snprintf(text, sizeof text, "extracting %3d%%", int(percent));
  Extracting.progress->Show(text, percent == 100);
}

// A path as the reader makes it ("\" between folders), as this system writes it.
std::string Shown(std::string path) {
#ifndef _WIN32
  std::replace(path.begin(), path.end(), '\\', '/');
#endif
  return path;
}

// The reader could not create the file of records[index] below dest:
// names the first folder on its way that is missing (which the reader
// could not make) or stands as a file, else the file itself.
std::string CannotCreate(const std::string& dest, const std::vector<pack::Record>& records,
                         size_t index) {
  namespace fs = std::filesystem;
  if (index >= records.size()) return dest + ": " + ReaderFailure(ArcCannotCreate);
  const fs::path file = fs::path(dest) / Shown(records[index].name);
  fs::path folder;
  for (const fs::path& part : file.parent_path()) {
    folder /= part;
    std::error_code ec;
    const fs::file_status status = fs::status(folder, ec);
    if (!fs::exists(status)) return folder.string() + ": cannot make this folder";
    if (!fs::is_directory(status))
      return folder.string() + ": cannot make this folder, a file of that name is in the way";
  }
  return file.string() + ": cannot create this file";
}

int CmdExtract(const Arguments& arguments) {
  const std::vector<std::string>& args = arguments.operands;
  const codepage::SingleByteTable* codePage = nullptr;
  if (int status = CodePageOf(arguments, codePage)) return status;
  Bytes archive, body;
  std::vector<pack::Record> records;
  bool isSetup = false;
  if (int status = LoadRecords(args[0], archive, body, records, isSetup, codePage)) return status;
  const uint64_t archiveSize = archive.size();
  // The reader creates each file by its stored name: give it the names as
  // this system writes them.
  if (codePage && !pack::RebuildArchive(body, records, archive))
    return Fail(-ArcBadRecord, args[0] + ": a name too long to write in UTF-8");
  // The reader unscrambles in place and deletes what it reads: give it a copy.
  std::string folder;
  const std::string temp = NewTempFile(folder);
  if (temp.empty()) return Fail(ExitIo, folder + ": cannot make a temporary copy of the archive");
  if (!WriteAll(temp, archive)) {
    std::remove(temp.c_str());
    return Fail(ExitIo, temp + ": cannot write a temporary copy of the archive");
  }
  // An absolute destination: the reader takes a name of fewer than three
  // characters for a drive root and would make no directory for it.
  std::error_code ec;
  const std::string dest = std::filesystem::absolute(args[1], ec).string();
  Progress progress(arguments);
  Extracting = {};
  Extracting.progress = &progress;
  int32_t result =
      ExtractArchive(temp.c_str(), (ec ? args[1] : dest).c_str(), nullptr, NoteProgress);
  Extracting.progress = nullptr;
  std::remove(temp.c_str());
  if (result == ArcCannotCreate) {
    // The reader says only that a file could not be created; the records
    // it has started tell which one.
    return Fail(-result, CannotCreate(args[1], records, Extracting.started));
  }
  if (result == ArcIoError && Extracting.started > 0)
    return Fail(-result, args[0] + ": " + ReaderFailure(result) + " " + Shown(Extracting.name));
  if (result != ArcOk) return Fail(-result, args[0] + ": " + ReaderFailure(result));
  Summary(arguments, "extract", records.size(), TotalSize(records), archiveSize);
  return 0;
}

int CmdSetup(const Arguments& arguments) {
  const std::vector<std::string>& args = arguments.operands;
  Bytes stub;
  std::string error;
  if (!ReadInput(args[0], pack::MaxSetupSize, stub, error)) return Fail(ExitIo, error);
  // The archive is checked whole, every record decoded, before anything is
  // written: a setup that verify would refuse is never made.
  Bytes archive, body;
  std::vector<pack::Record> records;
  bool isSetup = false;
  if (int status = LoadRecords(args[1], archive, body, records, isSetup, nullptr, ExitIo))
    return status;
  if (isSetup)
    return Fail(ExitUsage, args[1] + ": a setup executable, not an archive; give the archive "
                                     "it was made from");
  std::string failed;
  if (pack::VerifyRecords(body, records, failed) != ArcOk)
    return Fail(-ArcBadRecord, args[1] + ": " + failed + ": " + ReaderFailure(ArcBadRecord));
  Bytes out;
  if (pack::MakeSetup(stub, archive, out, error) != 0) return Fail(ExitUsage, args[0] + ": " + error);
  if (!WriteAll(args[2], out)) return Fail(ExitIo, args[2] + ": cannot write");
  Summary(arguments, "setup", records.size(), TotalSize(records), archive.size(),
          ", setup " + std::to_string(out.size()) + " bytes", args[2] == "-");
  return 0;
}

struct Option {
  const char* name;
  bool takesValue;
};

struct Command {
  const char* name;
  const char* arguments;  // its synopsis; the words outside brackets are its operands
  std::vector<Option> options;
  int (*run)(const Arguments& args);
  const char* help;
};

const Command Commands[] = {
    {"implode", "[--ascii] [--dict 1024|2048|4096] IN OUT", {{"--ascii", false}, {"--dict", true}},
     CmdImplode,
     "Compresses IN into one stream of the compressed-data format, written to OUT.\n"
     "--ascii codes the literals for text; --dict sets the dictionary size in\n"
     "bytes (4096 unless given).\n"},
    {"explode", "IN OUT", {}, CmdExplode,
     "Decodes one compressed stream IN and writes what it holds to OUT. The exit\n"
     "status is the decoder's result: 0 complete, 1 bad dictionary size, 2 bad\n"
     "literal mode, 3 stream too short, 4 stream ended without an end code.\n"},
    {"pack", "[-q] [--progress] [-j N] [--codepage N] DIR ARCHIVE",
     {{"-q", false}, {"--progress", false}, {"-j", true}, {"--codepage", true}}, CmdPack,
     "Packs every file below DIR into ARCHIVE, in byte order of their names, each\n"
     "with the smallest stream, N files at a time (-j, 1 to 32; as many as there\n"
     "are processors unless given); N does not change the archive. A symbolic\n"
     "link is followed and what it points to is stored under the link's name. A\n"
     "link that leads nowhere, a link back to a folder that holds it, and a FIFO,\n"
     "socket or device stop the packing, named. So does a file the setup could\n"
     "not unpack: one over 4294967295 bytes (found from the sizes, before anything\n"
     "is read), or one whose packed stream would pass 2147483647 bytes, or one\n"
     "with which the archive would pass the size the setup can read (found while\n"
     "packing).\n"
     "A name Windows cannot store or would take for another in the same folder,\n"
     "tempfile.$$$ at the root, and a path of more than 219 characters (the\n"
     "setup's longest destination in front makes 259) are refused, named, with\n"
     "exit status 65.\n"
     "Names are stored in Windows code page N (--codepage; 1252 unless given),\n"
     "converted from UTF-8; a name it cannot hold is refused (65). The single-byte\n"
     "code pages 874 and 1250 to 1258 are supported.\n"
     "When SOURCE_DATE_EPOCH is set (seconds since 1970), a file time later than\n"
     "it is recorded as it, so that a tree checked out later packs the same.\n"
     "A tree without files is refused (74). Warnings name each folder without\n"
     "files (dropped), each link out of the tree, and each file or folder the\n"
     "setup refers to after unpacking that the tree lacks.\n"
     "Ends with a summary line (-q: none); --progress shows progress as lines.\n"},
    {"list", "[--json] [--codepage N] ARCHIVE", {{"--json", false}, {"--codepage", true}}, CmdList,
     "Lists the files in ARCHIVE (an archive or a setup executable): name, size,\n"
     "packed size, attributes (RHSA), time and check value. Names are shown in\n"
     "UTF-8, from code page N (--codepage; 1252 unless given). --json writes a\n"
     "JSON array, one object per file: name, size, packedSize, attributes (the\n"
     "Windows bits), time (local, ISO 8601) and check.\n"},
    {"extract", "[-q] [--progress] [--codepage N] ARCHIVE DIR",
     {{"-q", false}, {"--progress", false}, {"--codepage", true}}, CmdExtract,
     "Unpacks ARCHIVE (an archive or a setup executable) into DIR with the setup\n"
     "program's own reader. Exit status: 0 sound, 1 cannot open, 2 cannot create a\n"
     "file or folder, 3 read or write failure, 5 no archive, or a damaged one\n"
     "(check value), 6 damaged record or unsafe name. The files are named in\n"
     "UTF-8, from code page N (--codepage; 1252 unless given). Ends with a\n"
     "summary line (-q: none); --progress shows progress as lines.\n"},
    {"setup", "[-q] STUB ARCHIVE OUT", {{"-q", false}}, CmdSetup,
     "Writes the setup executable OUT: STUB (the bare setup-stub.exe), zero filler\n"
     "to a length that is a multiple of 8, the marker and ARCHIVE; it is then\n"
     "ready for signing. A stub that already carries an archive or a signature\n"
     "is refused (64), and so is a setup given as ARCHIVE. ARCHIVE is checked\n"
     "whole, every file decoded, before OUT is written; exit status 5 or 6 as\n"
     "for verify when it is not sound. Ends with a summary line (-q: none).\n"},
    {"verify", "[-q] [--codepage N] FILE", {{"-q", false}, {"--codepage", true}}, CmdVerify,
     "Checks FILE (an archive or a setup executable) file by file and writes\n"
     "nothing. Exit status as for extract. Ends with a summary line (-q: none).\n"},
};

const Command* Find(const std::string& name) {
  for (const Command& c : Commands)
    if (name == c.name) return &c;
  return nullptr;
}

void PrintUsage(std::FILE* to) {
  for (const Command& c : Commands)
    std::fprintf(to, "%s pvpack %s %s\n", &c == Commands ? "usage:" : "      ", c.name,
                 c.arguments);
  std::fprintf(to,
               "IN, OUT and FILE may be - for standard input or output.\n"
               "pack, setup, verify and extract end with a summary line; -q leaves it out.\n"
               "--progress writes progress as lines, at most one a second.\n"
               "pvpack COMMAND --help explains a command; pvpack --version prints the version.\n");
}

int UsageError(const std::string& command, const std::string& problem) {
  if (!problem.empty()) std::fprintf(stderr, "pvpack: %s: %s\n", command.c_str(), problem.c_str());
  const Command* c = Find(command);
  std::fprintf(stderr, "usage: pvpack %s %s\n", c->name, c->arguments);
  return ExitUsage;
}

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

// The operands that command's synopsis names: its words outside brackets.
std::vector<std::string> OperandNames(const Command& command) {
  std::vector<std::string> words;
  int depth = 0;
  std::string word;
  for (const char* p = command.arguments;; ++p) {
    if (*p == ' ' || *p == '\0') {
      if (!word.empty() && depth == 0) words.push_back(word);
      word.clear();
      if (!*p) return words;
    } else if (*p == '[' || *p == ']') {
      depth += *p == '[' ? 1 : -1;
    } else if (depth == 0) {
      word += *p;
    }
  }
}

// Splits args into command's options and operands: "-" is an operand,
// "--" ends the options, a value follows its option as the next argument,
// after "=" or, for a one-letter option, directly ("-j4"). Returns 0, or
// ExitUsage having named the unknown option, the option without its value,
// the missing operand or the extra one.
int ParseArguments(const Command& command, const std::vector<std::string>& args, Arguments& out) {
  bool optionsEnd = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
      out.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnd = true;
      continue;
    }
    const Option* option = nullptr;
    std::string value;
    bool valueGiven = false;
    for (const Option& o : command.options) {
      const size_t n = std::strlen(o.name);
      if (arg.compare(0, n, o.name) != 0) continue;
      if (arg.size() == n) {
        option = &o;
      } else if (o.takesValue && (arg[n] == '=' || n == 2)) {
        option = &o;
        value = arg.substr(arg[n] == '=' ? n + 1 : n);
        valueGiven = true;
      }
      if (option) break;
    }
    if (!option) return UsageError(command.name, "unknown option " + arg);
    if (option->takesValue && !valueGiven) {
      if (i + 1 == args.size())
        return UsageError(command.name, arg + " needs a value");
      value = args[++i];
    }
    out.options[option->name] = value;
  }
  const std::vector<std::string> names = OperandNames(command);
  if (out.operands.size() < names.size())
    return UsageError(command.name, "missing " + names[out.operands.size()]);
  if (out.operands.size() > names.size())
    return UsageError(command.name, "extra argument " + out.operands[names.size()]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return ExitUsage;
  }
  const std::string first = argv[1];
  if (IsHelp(first)) {
    PrintUsage(stdout);
    return 0;
  }
  if (first == "--version") {
    std::printf("pvpack %s\n", Version);
    return 0;
  }
  const Command* command = Find(first);
  if (!command) {
    std::fprintf(stderr, "pvpack: unknown command %s\n", first.c_str());
    PrintUsage(stderr);
    return ExitUsage;
  }
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (std::any_of(args.begin(), args.end(), IsHelp)) {
    std::printf("usage: pvpack %s %s\n%s", command->name, command->arguments, command->help);
    return 0;
  }
  Started = Clock::now();
  Arguments parsed;
  if (int status = ParseArguments(*command, args, parsed)) return status;
  try {
    return command->run(parsed);
  } catch (const std::bad_alloc&) {
    return Fail(ExitIo, std::string(command->name) + ": out of memory");
  }
}
