// pvpack's commands but extract: each reads its inputs, calls the archive
// library and says what went wrong in one Result.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "archive/Archive.h"
#include "explode/Explode.h"
#include "tools/pvpack/Input.h"
#include "tools/pvpack/Output.h"
#include "tools/pvpack/Pvpack.h"
#include "tools/pvpack/Records.h"

namespace pvpack {
namespace {

Result Failed(int status, std::string path, std::string problem) {
  return {status, {std::move(path), std::move(problem)}};
}

// One stream decoded from an input to an output. The decoder reads 2 KB and
// writes 4 KB at a time; both go through blocks of PipeBlock bytes here, a
// system call each rather than one for every few KB.
constexpr size_t PipeBlock = 256 * 1024;
struct DecodePipe {
  InputStream* in;
  std::FILE* out;
  Fault fault;  // why reading failed
  bool readFailed = false;
  bool writeFailed = false;
  Bytes inBlock = Bytes(PipeBlock), outBlock = Bytes(PipeBlock);
  size_t inAt = 0, inEnd = 0, outFill = 0;
  uint64_t consumed = 0, produced = 0;
  int writeError = 0;  // errno of the write that failed

  static uint32_t Read(uint8_t* buffer, uint32_t* size, void* param) {
    auto* pipe = static_cast<DecodePipe*>(param);
    uint32_t got = 0;
    while (got < *size && !pipe->readFailed) {
      if (pipe->inAt == pipe->inEnd) {
        pipe->inAt = pipe->inEnd = 0;
        if (!ReadSome(*pipe->in, pipe->inBlock.data(), PipeBlock, pipe->inEnd, pipe->fault))
          pipe->readFailed = true;
        if (pipe->inEnd == 0) break;
      }
      const uint32_t n = uint32_t(std::min<size_t>(*size - got, pipe->inEnd - pipe->inAt));
      std::memcpy(buffer + got, pipe->inBlock.data() + pipe->inAt, n);
      pipe->inAt += n;
      got += n;
    }
    pipe->consumed += got;
    return pipe->readFailed ? 0 : got;
  }
  static void Write(uint8_t* buffer, uint32_t* size, void* param) {
    auto* pipe = static_cast<DecodePipe*>(param);
    pipe->produced += *size;
    if (pipe->outFill + *size > PipeBlock) pipe->Flush();
    std::memcpy(pipe->outBlock.data() + pipe->outFill, buffer, *size);
    pipe->outFill += *size;
  }
  // Writes what is gathered; false once any write has failed.
  bool Flush() {
    if (!writeFailed && out && outFill > 0 &&
        std::fwrite(outBlock.data(), 1, outFill, out) != outFill) {
      writeFailed = true;
      writeError = errno;
    }
    outFill = 0;
    return !writeFailed;
  }
};

// What pack shows as it goes: files and megabytes done, in archive order.
struct PackProgress {
  size_t files = 0;
  uint64_t bytes = 0;
  const Reporter* reporter = nullptr;
};

void ShowPackProgress(void* context, size_t files, uint64_t bytes) {
  const auto* total = static_cast<const PackProgress*>(context);
  char text[96];
  std::snprintf(text, sizeof text, "packing %zu/%zu files, %.1f/%.1f MB", files, total->files,
                double(bytes) / 1e6, double(total->bytes) / 1e6);
  total->reporter->progress(total->reporter->context, text, files == total->files);
}

void Warn(const Reporter& reporter, const std::string& text) {
  if (reporter.warning) reporter.warning(reporter.context, text);
}

}  // namespace

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

Result Implode(const std::string& in, const std::string& out, implode::LiteralMode mode,
               unsigned dictBits) {
  Bytes data;
  Fault fault;
  InputFile input;
  if (!ReadInput(in, pack::MaxFileSize, data, input, fault)) return {ExitIo, fault};
  Output output;
  if (!output.Open(out, {input}, fault)) return {ExitIo, fault};
  const Bytes stream = implode::Implode(data.data(), data.size(), mode, dictBits);
  if (std::fwrite(stream.data(), 1, stream.size(), output.Stream()) != stream.size())
    return Failed(ExitIo, out, "cannot write (" + ErrnoReason(errno) + ")");
  if (!output.Commit(fault)) return {ExitIo, fault};
  return {};
}

Result Explode(const std::string& in, const std::string& out) {
  InputStream input;
  Fault fault;
  if (!OpenInput(in, pack::MaxSetupSize, input, fault)) return {ExitIo, fault};
  Output output;
  if (!output.Open(out, {{IdOf(input.file), input.shown}}, fault)) return {ExitIo, fault};
  DecodePipe pipe{&input, output.Stream(), {}, false, false};
  alignas(DclWorkArea) uint8_t workArea[DclWorkAreaSize];
  uint32_t result = DclDecompress(DecodePipe::Read, DecodePipe::Write, workArea, &pipe);
  // What the setup's reader takes for an empty file, a stream of its two
  // header bytes and an end code in two more, is one here too.
  const uint8_t* head = pipe.inBlock.data();
  if (result == DclInputTooShort && pipe.consumed == 4 && !pipe.readFailed && head[0] <= 1 &&
      head[1] >= 4 && head[1] <= 6)
    result = DclOk;
  pipe.Flush();
  // What could not be read whole is not decoded into anything.
  if (pipe.readFailed) return {ExitIo, pipe.fault};
  if (pipe.writeFailed) return Failed(ExitIo, out, "cannot write (" + ErrnoReason(pipe.writeError) + ")");
  if (!output.Commit(fault)) return {ExitIo, fault};
  static const char* const Words[] = {"", "bad dictionary size", "bad literal mode",
                                      "stream too short", "stream ended without an end code"};
  if (result != DclOk) return Failed(int(result), in, Words[result]);
  return {};
}

Result Pack(const PackRequest& request, const Reporter& reporter, Totals& totals) {
  const std::string& dir = request.dir;
  const std::string& archive = request.archive;
  // Everything the sizes alone tell is settled before anything is read.
  std::vector<pack::TreeFile> files;
  Fault fault;
  pack::TreeOptions treeOptions;
  treeOptions.latestTime = request.latestTime;
  treeOptions.codePage = request.codePage;
  pack::TreeReport report;
  if (!pack::CollectTree(dir, files, fault, treeOptions, &report)) {
    // Every name refused, in order, each once; a fault of another kind last.
    Result result{report.nameRefused ? ExitName : ExitIo, fault, std::move(report.refused)};
    if (report.nameRefused && !result.earlier.empty()) {
      result.fault = result.earlier.back();
      result.earlier.pop_back();
    }
    return result;
  }
  if (!pack::CheckLimits(files, pack::Limits(), fault)) return {ExitIo, fault};
  for (const std::string& warning : report.warnings) Warn(reporter, warning);
  for (const pack::ProductReference& missing : pack::MissingProductFiles(files)) {
    std::string path = missing.path;
    std::replace(path.begin(), path.end(), '\\', char(std::filesystem::path::preferred_separator));
    Warn(reporter, (std::filesystem::path(dir) / path).string() + ": missing, and " + missing.user);
  }
  // The archive must not be one of the files it is made of.
  std::vector<InputFile> inputs;
  for (const pack::TreeFile& file : files) {
    FileId id;
    id.volume = file.volume;
    id.index = file.index;
    id.valid = file.volume != 0 || file.index != 0;
    inputs.push_back({id, file.shown});
  }
  Output output;
  if (!output.Open(archive, inputs, fault)) return {ExitIo, fault};
  PackProgress progress;
  progress.files = files.size();
  progress.reporter = &reporter;
  for (const pack::TreeFile& file : files) progress.bytes += file.size;
  pack::PackOptions options;
  options.workers = request.jobs;
  options.search = request.search;
  if (reporter.progress) {
    options.progress = ShowPackProgress;
    options.progressContext = &progress;
  }
  uint64_t written = 0;
  // No half-written archive takes the old one's place.
  const bool ok = pack::PackFiles(files, options, output.Stream(), output.Shown(), fault, &written) &&
                  output.Commit(fault);
  if (!ok) return {ExitIo, fault};
  totals = {files.size(), progress.bytes, written, 0};
  return {};
}

Result List(const std::string& file, const codepage::SingleByteTable* codePage,
            std::vector<pack::Record>& records) {
  Loaded loaded;
  Result result = LoadRecords(file, codePage, -ArcCannotOpen, loaded);
  records = std::move(loaded.records);
  return result;
}

Result Verify(const std::string& file, const codepage::SingleByteTable* codePage,
              Totals& totals) {
  Loaded loaded;
  if (Result result = LoadRecords(file, codePage, -ArcCannotOpen, loaded); result.status != 0)
    return result;
  std::string failed;
  if (VerifyLoaded(loaded, failed) != ArcOk)
    return Failed(-ArcBadRecord, file, failed + ": " + ReaderFailure(ArcBadRecord));
  totals = {loaded.records.size(), TotalSize(loaded.records), loaded.source.Size(), 0};
  return {};
}

Result Setup(const std::string& stubPath, const std::string& archivePath, const std::string& out,
             Totals& totals) {
  Bytes stub;
  Fault fault;
  InputFile stubInput;
  if (!ReadInput(stubPath, pack::MaxSetupSize, stub, stubInput, fault)) return {ExitIo, fault};
  // The archive is checked whole, every record decoded, before anything is
  // written: a setup that verify would refuse is never made.
  Loaded loaded;
  if (Result result = LoadRecords(archivePath, nullptr, ExitIo, loaded); result.status != 0)
    return result;
  if (loaded.source.IsSetup())
    return Failed(ExitUsage, archivePath,
                  "a setup executable, not an archive; give the archive it was made from");
  std::string failed;
  if (VerifyLoaded(loaded, failed) != ArcOk)
    return Failed(-ArcBadRecord, archivePath, failed + ": " + ReaderFailure(ArcBadRecord));
  Bytes head;
  if (!pack::SetupHead(stub, stubPath, loaded.source.Size(), head, fault)) return {ExitUsage, fault};
  if (const std::string missing = pack::StubFault(stub); !missing.empty())
    return Failed(ExitUsage, stubPath, missing);
  Output output;
  if (!output.Open(out, {stubInput, {IdOf(loaded.source.Stream()), loaded.source.Shown()}}, fault))
    return {ExitIo, fault};
  std::FILE* const stream = output.Stream();
  const auto write = [&](const uint8_t* data, size_t n) {
    return std::fwrite(data, 1, n, stream) == n;
  };
  if (!write(head.data(), head.size()) || !loaded.source.CopyRaw(write))
    return Failed(ExitIo, out, "cannot write (" + ErrnoReason(errno) + ")");
  if (!output.Commit(fault)) return {ExitIo, fault};
  totals = {loaded.records.size(), TotalSize(loaded.records), loaded.source.Size(),
            head.size() + loaded.source.Size()};
  return {};
}

}  // namespace pvpack
