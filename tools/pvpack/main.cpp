// pvpack: packs a product tree into the setup program's archive, appends it
// to the setup stub, and checks and unpacks archives by the setup
// program's own rules. This front end parses the command line and prints;
// the commands themselves are library calls (Pvpack.h).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "archive/Format.h"
#include "explode/Explode.h"
#include "archive/ProductFiles.h"
#include "tools/pvpack/Pvpack.h"
#include "tools/pvpack/Workers.h"

namespace {

using pvpack::Failure;
using Clock = std::chrono::steady_clock;

// The exit statuses: what is wrong with the request or pvpack's own files
// in the values of BSD's sysexits.h; for an archive, the setup's reader's
// code negated (its check value not matching, -5, gives 5); for one
// compressed stream, the decoder's result.
constexpr int ExitUsage = 64;
constexpr int ExitName = 65;      // a name Windows or the code page cannot hold
constexpr int ExitSoftware = 70;  // a fault of pvpack itself
constexpr int ExitIo = 74;

int ExitStatus(Failure failure) {
  switch (failure) {
    case Failure::None: return 0;
    case Failure::Usage: return ExitUsage;
    case Failure::Name: return ExitName;
    case Failure::Io: return ExitIo;
    case Failure::CannotOpen: return -ArcCannotOpen;
    case Failure::CannotCreate: return -ArcCannotCreate;
    case Failure::ReadWrite: return -ArcIoError;
    case Failure::NoArchive: return -ArcBadChecksum;
    case Failure::BadRecord: return -ArcBadRecord;
    case Failure::BadDictionarySize: return int(DclBadDictSize);
    case Failure::BadLiteralMode: return int(DclBadLiteralMode);
    case Failure::StreamTooShort: return int(DclInputTooShort);
    case Failure::NoEndCode: return int(DclInputEnded);
  }
  return ExitSoftware;
}

constexpr const char* Version = product::Version;

// Prints "usage: pvpack COMMAND ..." for command to standard error, after
// problem when there is one, and returns ExitUsage.
int UsageError(const std::string& command, const std::string& problem = "");

bool IsTerminal(std::FILE* stream) {
#ifdef _WIN32
  return _isatty(_fileno(stream));
#else
  return isatty(fileno(stream));
#endif
}

int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "pvpack: %s\n", message.c_str());
  return status;
}

// A command line with its options taken out.
struct Arguments {
  std::vector<std::string> operands;
  std::map<std::string, std::string> options;  // by name; a flag's value is empty
  Clock::time_point started;  // when the command began, for its summary line

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


// The exit status of result, having said what is wrong when it is no
// success.
int Report(const pvpack::Result& result) {
  if (result.Ok()) return 0;
  const int status = ExitStatus(result.failure);
  for (const pack::Fault& fault : result.earlier) Fail(status, fault.Message());
  if (!result.fault.problem.empty()) Fail(status, result.fault.Message());
  return status;
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
  return Report(pvpack::Implode(args.operands[0], args.operands[1], mode, dictBits));
}

int CmdExplode(const Arguments& args) {
  return Report(pvpack::Explode(args.operands[0], args.operands[1]));
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

// Progress on standard error: on a terminal one line rewritten in place
// (unless -q); with --progress plain lines, at most one a second, for logs.
class Progress {
 public:
  explicit Progress(const Arguments& args)
      : style_(args.Has("--progress")                  ? Style::Lines
               : args.Has("-q") || !IsTerminal(stderr) ? Style::None
                                                       : Style::Terminal) {}
  ~Progress() { End(); }
  // Ends the line rewritten in place, so that what follows starts a line.
  void End() {
    if (style_ == Style::Terminal && shown_) std::fprintf(stderr, "\n");
    shown_ = false;
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

// The Reporter that shows progress on standard error as progress says,
// and warnings there too.
pvpack::Reporter ReporterOf(Progress& progress) {
  pvpack::Reporter reporter;
  reporter.context = &progress;
  if (progress.Shown())
    reporter.progress = [](void* context, const std::string& text, bool last) {
      static_cast<Progress*>(context)->Show(text, last);
    };
  reporter.warning = [](void* context, const std::string& text) {
    static_cast<Progress*>(context)->End();
    std::fprintf(stderr, "pvpack: warning: %s\n", text.c_str());
  };
  return reporter;
}

// The line a command ends with, unless -q: its files, their bytes and the
// bytes of their archive with the share they are of them, what else it
// made, and the time it took. On standard output, unless that carries data.
void Summary(const Arguments& args, const char* command, const pvpack::Totals& totals,
             const std::string& more = "", bool toStderr = false) {
  if (args.Has("-q")) return;
  char share[32] = "";
  if (totals.bytes > 0)
    std::snprintf(share, sizeof share, " (%.1f%%)",
                  double(totals.packed) * 100 / double(totals.bytes));
  const double seconds = std::chrono::duration<double>(Clock::now() - args.started).count();
  std::fprintf(toStderr ? stderr : stdout,
               "pvpack %s: %zu file%s, %llu bytes, packed %llu bytes%s%s, %.2f s\n", command,
               totals.files, totals.files == 1 ? "" : "s", static_cast<unsigned long long>(totals.bytes),
               static_cast<unsigned long long>(totals.packed), share, more.c_str(), seconds);
}

int CmdPack(const Arguments& args) {
  pvpack::PackRequest request;
  request.jobs = std::min(workers::ProcessorCount(), pack::MaxWorkers);
  if (args.Has("-j") && !ParseJobs(args.Value("-j"), request.jobs))
    return UsageError("pack", "-j takes the number of files to pack at once, 1 to " +
                                  std::to_string(pack::MaxWorkers));
  if (args.Has("--smallest")) request.search = implode::Search::Full;
  request.dir = args.operands[0];
  request.archive = args.operands[1];
  // The reproducible-builds convention: no file time after the source's
  // own date (set to the last commit's), so that a tree checked out or
  // built later packs to the same bytes. Set but empty counts as not set.
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch && *epoch) {
    int64_t seconds = 0;
    if (!ParseEpoch(epoch, seconds))
      return Fail(ExitUsage, std::string("SOURCE_DATE_EPOCH is \"") + epoch +
                                 "\", not a whole number of seconds since 1970");
    request.latestTime = seconds;
  }
  if (int status = CodePageOf(args, request.codePage)) return status;
  Progress progress(args);
  pvpack::Totals totals;
  const pvpack::Result result = pvpack::Pack(request, ReporterOf(progress), totals);
  progress.End();
  if (int status = Report(result)) return status;
  Summary(args, "pack", totals, "", request.archive == "-");
  return 0;
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
    CivilTime t;
    // A time no calendar has is no ISO 8601 time: null, and the DOS value
    // as it stands beside it.
    char time[48];
    if (CivilTimeOf(h.DosDateTime, t))
      std::snprintf(time, sizeof time, "\"%04d-%02d-%02dT%02d:%02d:%02d\"", t.year, t.month, t.day,
                    t.hour, t.minute, t.second);
    else
      std::snprintf(time, sizeof time, "null, \"dosTime\": %u", unsigned(h.DosDateTime));
    std::printf("%s\n  {\"name\": %s, \"size\": %u, \"packedSize\": %u, \"attributes\": %u, "
                "\"time\": %s, \"check\": \"%08X\"}",
                i ? "," : "", JsonString(r.name).c_str(), unsigned(h.Size), unsigned(h.PackedSize),
                unsigned(h.Attributes), time, unsigned(h.Check));
  }
  std::printf("%s]\n", records.empty() ? "" : "\n");
}

int CmdList(const Arguments& args) {
  const codepage::SingleByteTable* codePage = nullptr;
  if (int status = CodePageOf(args, codePage)) return status;
  std::vector<pack::Record> records;
  if (int status = Report(pvpack::List(args.operands[0], codePage, records))) return status;
  if (args.Has("--json")) {
    ListJson(records);
    return 0;
  }
  for (const pack::Record& r : records) {
    const FileRecordHeader& h = r.header;
    CivilTime t;
    CivilTimeOf(h.DosDateTime, t);  // shown as it stands, even when no calendar has it
    char attributes[8];
    // Padded by characters, not bytes, so that UTF-8 names line up.
    const size_t width = size_t(std::count_if(r.name.begin(), r.name.end(),
                                              [](char c) { return (uint8_t(c) & 0xC0) != 0x80; }));
    const int padding = int(r.name.size() + (width < 40 ? 40 - width : 0));
    std::printf("%-*s %10u %10u %s %04d-%02d-%02d %02d:%02d:%02d %08X\n", padding, r.name.c_str(),
                unsigned(h.Size), unsigned(h.PackedSize), AttributeLetters(h.Attributes, attributes),
                t.year, t.month, t.day, t.hour, t.minute, t.second, unsigned(h.Check));
  }
  return 0;
}

int CmdVerify(const Arguments& args) {
  const codepage::SingleByteTable* codePage = nullptr;
  if (int status = CodePageOf(args, codePage)) return status;
  pvpack::Totals totals;
  if (int status = Report(pvpack::Verify(args.operands[0], codePage, totals))) return status;
  Summary(args, "verify", totals, ", sound");
  return 0;
}

int CmdExtract(const Arguments& args) {
  const codepage::SingleByteTable* codePage = nullptr;
  if (int status = CodePageOf(args, codePage)) return status;
  Progress progress(args);
  pvpack::Totals totals;
  const pvpack::Result result =
      pvpack::Extract(args.operands[0], args.operands[1], codePage, ReporterOf(progress), totals);
  progress.End();
  if (int status = Report(result)) return status;
  Summary(args, "extract", totals);
  return 0;
}

int CmdSetup(const Arguments& args) {
  const std::vector<std::string>& paths = args.operands;
  pvpack::Totals totals;
  if (int status = Report(pvpack::Setup(paths[0], paths[1], paths[2], totals))) return status;
  Summary(args, "setup", totals, ", setup " + std::to_string(totals.setup) + " bytes",
          paths[2] == "-");
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
     "literal mode, 3 stream too short, 4 stream ended without an end code. The\n"
     "4-byte stream of an empty file gives an empty OUT and 0.\n"},
    {"pack", "[-q] [--progress] [--smallest] [-j N] [--codepage N] DIR ARCHIVE",
     {{"-q", false}, {"--progress", false}, {"--smallest", false}, {"-j", true},
      {"--codepage", true}},
     CmdPack,
     "Packs every file below DIR into ARCHIVE, in byte order of their names, N\n"
     "files at a time (-j, 1 to 32; as many as there are processors unless\n"
     "given); N does not change the archive. Each file is encoded six ways (two\n"
     "literal modes, three dictionary sizes); those that fall clearly behind on\n"
     "the first part of the file are dropped, and the smallest of the rest is\n"
     "kept. --smallest carries all six to the end, parses long copies with more\n"
     "care, and keeps the smallest: about twice the time, for an archive about\n"
     "0.01% smaller.\n"
     "A symbolic link is followed and what it points to is stored under the\n"
     "link's name. A link that leads nowhere, a link back to a folder that holds\n"
     "it, and a FIFO, socket or device stop the packing, named. So does a file\n"
     "the setup could\n"
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
     "Unpacks ARCHIVE (an archive or a setup executable) into DIR by the setup\n"
     "program's own rules, on several threads. Exit status: 0 sound, 1 cannot\n"
     "open, 2 cannot create a file or folder, 3 read or write failure, 5 no\n"
     "archive, or a damaged one (check value), 6 damaged record (named, its file\n"
     "removed) or unsafe name, 64 an empty DIR. The files are named in UTF-8,\n"
     "from code page N (--codepage; 1252 unless given). Ends with a\n"
     "summary line (-q: none); --progress shows progress as lines.\n"},
    {"setup", "[-q] STUB ARCHIVE OUT", {{"-q", false}}, CmdSetup,
     "Writes the setup executable OUT: STUB (the bare setup-stub.exe), zero filler\n"
     "to a length that is a multiple of 8, the marker and ARCHIVE; it is then\n"
     "ready for signing. STUB must be the bare setup program, known by its\n"
     "version block and its dialogs; another executable, or one that already\n"
     "carries an archive or a signature, is refused (64), and so is a setup given\n"
     "as ARCHIVE. ARCHIVE is checked whole, every file decoded, before OUT is\n"
     "written; exit status 5 or 6 as for verify when it is not sound. Ends with a\n"
     "summary line (-q: none).\n"},
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
               "IN, OUT and FILE may be - for standard input or output (not a terminal).\n"
               "A result is written beside its target and renamed into place when whole;\n"
               "on a failure or an interruption the old file stays as it was.\n"
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
  // An empty path (an unset variable in a script) would stand for the
  // current folder or, joined to names, for the root.
  for (size_t i = 0; i < names.size(); ++i) {
    if (out.operands[i].empty()) return UsageError(command.name, names[i] + " is empty");
    // Binary data would only garble a terminal.
    const bool output = names[i] == "OUT" || (names[i] == "ARCHIVE" && !std::strcmp(command.name, "pack"));
    if (output && out.operands[i] == "-" && IsTerminal(stdout))
      return UsageError(command.name, names[i] + " is standard output, a terminal; redirect it");
  }
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
  Arguments parsed;
  parsed.started = Clock::now();
  if (int status = ParseArguments(*command, args, parsed)) return status;
  // The commands report by their results; anything thrown past them is a
  // fault of this program, said as one, never an abort.
  try {
    return command->run(parsed);
  } catch (const std::bad_alloc&) {
    return Fail(ExitIo, std::string(command->name) + ": out of memory");
  } catch (const std::exception& e) {
    return Fail(ExitSoftware, std::string(command->name) + ": internal failure: " + e.what());
  }
}

