// pvpack: packs a product tree into the setup program's archive, appends it
// to the setup stub, and checks and unpacks archives with the setup
// program's own reader.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "archive/Archive.h"
#include "archive/PvUnZip.h"
#include "explode/Explode.h"
#include "tools/pvpack/Implode.h"
#include "tools/pvpack/Pack.h"

namespace {

using pack::Bytes;

// Exit statuses besides the decoder's and the reader's own codes.
constexpr int ExitUsage = 64;
constexpr int ExitIo = 74;

const char Usage[] =
    "usage: pvpack implode [--ascii] [--dict 1024|2048|4096] IN OUT\n"
    "       pvpack explode IN OUT\n"
    "       pvpack pack DIR ARCHIVE\n"
    "       pvpack list ARCHIVE\n"
    "       pvpack extract ARCHIVE DIR\n"
    "       pvpack setup STUB ARCHIVE OUT\n"
    "       pvpack verify FILE\n"
    "IN, OUT and FILE may be - for standard input or output.\n";

bool StderrIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr));
#else
  return isatty(2);
#endif
}

bool ReadAll(const std::string& path, Bytes& data) {
  if (path == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    data.assign(std::istreambuf_iterator<char>(std::cin), {});
    return !std::cin.bad();
  }
  return pack::ReadFileBytes(path, data);
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

int CmdImplode(const std::vector<std::string>& args) {
  implode::LiteralMode mode = implode::LiteralMode::Binary;
  unsigned dictBits = 6;
  std::vector<std::string> files;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--ascii") {
      mode = implode::LiteralMode::Ascii;
    } else if (args[i] == "--dict" && i + 1 < args.size()) {
      const std::string& size = args[++i];
      dictBits = size == "1024" ? 4 : size == "2048" ? 5 : size == "4096" ? 6 : 0;
      if (!dictBits) return Fail(ExitUsage, "the dictionary size is 1024, 2048 or 4096");
    } else {
      files.push_back(args[i]);
    }
  }
  if (files.size() != 2) return Fail(ExitUsage, std::string("\n") + Usage);
  Bytes in;
  if (!ReadAll(files[0], in)) return Fail(ExitIo, files[0] + ": cannot read");
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

int CmdExplode(const std::vector<std::string>& args) {
  if (args.size() != 2) return Fail(ExitUsage, std::string("\n") + Usage);
  Bytes in;
  if (!ReadAll(args[0], in)) return Fail(ExitIo, args[0] + ": cannot read");
  MemoryStreams streams{&in, 0, {}};
  alignas(DclWorkArea) static uint8_t workArea[DclWorkAreaSize];
  uint32_t result = DclDecompress(MemoryStreams::Read, MemoryStreams::Write, workArea, &streams);
  if (!WriteAll(args[1], streams.out)) return Fail(ExitIo, args[1] + ": cannot write");
  static const char* const Words[] = {"", "bad dictionary size", "bad literal mode",
                                      "stream too short", "stream ended without an end code"};
  if (result != DclOk) std::fprintf(stderr, "pvpack: %s\n", Words[result]);
  return int(result);
}

int CmdPack(const std::vector<std::string>& args) {
  if (args.size() != 2) return Fail(ExitUsage, std::string("\n") + Usage);
  std::vector<pack::SourceFile> files;
  std::string error;
  if (!pack::CollectTree(args[0], files, error)) return Fail(ExitIo, error);
  const bool showProgress = StderrIsTerminal() && files.size() > 1;
  Bytes body;
  for (size_t i = 0; i < files.size(); ++i) {
    if (showProgress) std::fprintf(stderr, "\rpacking %zu/%zu files", i + 1, files.size());
    pack::AppendRecord(files[i], body);
    files[i].data = Bytes();  // keep only one file's contents in memory at a time
  }
  if (showProgress) std::fprintf(stderr, "\n");
  if (!WriteAll(args[1], pack::FinishArchive(std::move(body))))
    return Fail(ExitIo, args[1] + ": cannot write");
  return 0;
}

// Reads FILE and checks its archive. Returns 0 or an exit status, having
// said why on standard error.
int LoadRecords(const std::string& path, Bytes& body, std::vector<pack::Record>& records) {
  Bytes file;
  if (!ReadAll(path, file)) return Fail(-ArcCannotOpen, path + ": " + ReaderFailure(ArcCannotOpen));
  bool isSetup = false;
  Bytes archive = pack::ArchiveOf(file, isSetup);
  int32_t result = pack::ReadRecords(archive, body, records);
  if (result != ArcOk) return Fail(-result, path + ": " + ReaderFailure(result));
  return 0;
}

const char* AttributeLetters(uint32_t a, char* out) {
  std::snprintf(out, 8, "%c%c%c%c", a & 0x01 ? 'R' : '-', a & 0x02 ? 'H' : '-',
                a & 0x04 ? 'S' : '-', a & 0x20 ? 'A' : '-');
  return out;
}

int CmdList(const std::vector<std::string>& args) {
  if (args.size() != 1) return Fail(ExitUsage, std::string("\n") + Usage);
  Bytes body;
  std::vector<pack::Record> records;
  if (int status = LoadRecords(args[0], body, records)) return status;
  for (const pack::Record& r : records) {
    const FileRecordHeader& h = r.header;
    uint32_t date = h.DosDateTime >> 16, time = h.DosDateTime & 0xFFFF;
    char attributes[8];
    std::printf("%-40s %10u %10u %s %04u-%02u-%02u %02u:%02u:%02u %08X\n", r.name.c_str(),
                unsigned(h.Size), unsigned(h.PackedSize), AttributeLetters(h.Attributes, attributes),
                1980 + (date >> 9), (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63,
                (time & 31) * 2, unsigned(h.Check));
  }
  return 0;
}

int CmdVerify(const std::vector<std::string>& args) {
  if (args.size() != 1) return Fail(ExitUsage, std::string("\n") + Usage);
  Bytes body;
  std::vector<pack::Record> records;
  if (int status = LoadRecords(args[0], body, records)) return status;
  std::string failed;
  if (pack::VerifyRecords(body, records, failed) != ArcOk)
    return Fail(-ArcBadRecord, args[0] + ": " + failed + ": " + ReaderFailure(ArcBadRecord));
  return 0;
}

// A new temporary file that nobody else can have guessed, or "". It has an
// extension, so the reader takes its name as it is.
std::string NewTempFile() {
#ifdef _WIN32
  char dir[MAX_PATH], name[MAX_PATH];
  DWORD n = GetTempPathA(sizeof dir, dir);
  if (n == 0 || n >= sizeof dir || !GetTempFileNameA(dir, "pvp", 0, name)) return "";
  return name;
#else
  std::string name = (std::filesystem::temp_directory_path() / "pvpack-XXXXXX.tmp").string();
  int fd = mkstemps(name.data(), 4);
  if (fd < 0) return "";
  close(fd);
  return name;
#endif
}

int LastPercent = -1;
void ShowPercent(const char*, int32_t percent) {
  if (percent == LastPercent) return;
  LastPercent = percent;
  std::fprintf(stderr, "\rextracting %3d%%", int(percent));
  if (percent == 100) std::fprintf(stderr, "\n");
}

int CmdExtract(const std::vector<std::string>& args) {
  if (args.size() != 2) return Fail(ExitUsage, std::string("\n") + Usage);
  Bytes file;
  if (!ReadAll(args[0], file)) return Fail(-ArcCannotOpen, args[0] + ": " + ReaderFailure(ArcCannotOpen));
  bool isSetup = false;
  Bytes archive = pack::ArchiveOf(file, isSetup);
  // The reader unscrambles in place and deletes what it reads: give it a copy.
  std::string temp = NewTempFile();
  if (temp.empty() || !WriteAll(temp, archive)) {
    if (!temp.empty()) std::remove(temp.c_str());
    return Fail(ExitIo, "cannot write a temporary copy of the archive");
  }
  // An absolute destination: the reader takes a name of fewer than three
  // characters for a drive root and would make no directory for it.
  std::error_code ec;
  const std::string dest = std::filesystem::absolute(args[1], ec).string();
  int32_t result = ExtractArchive(temp.c_str(), (ec ? args[1] : dest).c_str(), nullptr,
                                  StderrIsTerminal() ? ShowPercent : nullptr);
  std::remove(temp.c_str());
  if (result != ArcOk) return Fail(-result, args[0] + ": " + ReaderFailure(result));
  return 0;
}

int CmdSetup(const std::vector<std::string>& args) {
  if (args.size() != 3) return Fail(ExitUsage, std::string("\n") + Usage);
  Bytes stub, archive;
  if (!ReadAll(args[0], stub)) return Fail(ExitIo, args[0] + ": cannot read");
  if (!ReadAll(args[1], archive)) return Fail(ExitIo, args[1] + ": cannot read");
  Bytes out;
  std::string error;
  if (pack::MakeSetup(stub, archive, out, error) != 0) return Fail(ExitUsage, args[0] + ": " + error);
  if (!WriteAll(args[2], out)) return Fail(ExitIo, args[2] + ": cannot write");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Fail(ExitUsage, std::string("\n") + Usage);
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "implode") return CmdImplode(args);
  if (command == "explode") return CmdExplode(args);
  if (command == "pack") return CmdPack(args);
  if (command == "list") return CmdList(args);
  if (command == "extract") return CmdExtract(args);
  if (command == "setup") return CmdSetup(args);
  if (command == "verify") return CmdVerify(args);
  return Fail(ExitUsage, "unknown command " + command + "\n" + Usage);
}
