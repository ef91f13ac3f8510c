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

Result Failed(Failure failure, std::string path, std::string problem) {
  return {failure, {std::move(path), std::move(problem)}};
}

// The input of explode, read in order, as the decoder asks for it.
struct InOrder {
  InputStream* in;
  Fault fault;  // why reading failed
};

bool ReadInOrder(void* context, int64_t, uint8_t* out, uint32_t n, uint32_t* got) {
  auto* reading = static_cast<InOrder*>(context);
  size_t count = 0;
  const bool ok = ReadSome(*reading->in, out, n, count, reading->fault);
  *got = uint32_t(count);
  return ok;
}

// The output of explode.
struct ToFile {
  std::FILE* out;
  int error = 0;  // errno of the write that failed
};

bool WriteToFile(void* context, const uint8_t* data, uint32_t size) {
  auto* writing = static_cast<ToFile*>(context);
  if (std::fwrite(data, 1, size, writing->out) == size) return true;
  writing->error = errno;
  return false;
}

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

Failure FailureOf(int32_t readerResult) {
  switch (readerResult) {
    case ArcOk: return Failure::None;
    case ArcCannotOpen: return Failure::CannotOpen;
    case ArcCannotCreate: return Failure::CannotCreate;
    case ArcIoError: return Failure::ReadWrite;
    case ArcBadChecksum: return Failure::NoArchive;
    default: return Failure::BadRecord;
  }
}

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
  if (!ReadInput(in, pack::MaxFileSize, data, input, fault)) return {Failure::Io, fault};
  Output output;
  if (!output.Open(out, {input}, fault)) return {Failure::Io, fault};
  const Bytes stream = implode::Implode(data.data(), data.size(), mode, dictBits);
  if (std::fwrite(stream.data(), 1, stream.size(), output.Stream()) != stream.size())
    return Failed(Failure::Io, out, "cannot write (" + ErrnoReason(errno) + ")");
  if (!output.Commit(fault)) return {Failure::Io, fault};
  return {};
}

Result Explode(const std::string& in, const std::string& out) {
  InputStream input;
  Fault fault;
  if (!OpenInput(in, pack::MaxSetupSize, input, fault)) return {Failure::Io, fault};
  Output output;
  if (!output.Open(out, {{IdOf(input.file), input.shown}}, fault)) return {Failure::Io, fault};
  InOrder reading{&input, {}};
  ToFile writing{output.Stream()};
  alignas(DclWorkArea) uint8_t workArea[DclWorkAreaSize];
  RecordDecoder decoder(ReadInOrder, &reading, false);
  const RecordDecoder::StreamEnd end = decoder.DecodeStream(workArea, WriteToFile, &writing);
  // What could not be read whole is not decoded into anything.
  if (end.readFailed) return {Failure::Io, reading.fault};
  if (end.sinkFailed)
    return Failed(Failure::Io, out, "cannot write (" + ErrnoReason(writing.error) + ")");
  if (!output.Commit(fault)) return {Failure::Io, fault};
  static const struct {
    Failure failure;
    const char* words;
  } Judged[] = {{Failure::None, ""},
                {Failure::BadDictionarySize, "bad dictionary size"},
                {Failure::BadLiteralMode, "bad literal mode"},
                {Failure::StreamTooShort, "stream too short"},
                {Failure::NoEndCode, "stream ended without an end code"}};
  if (end.result != DclOk) return Failed(Judged[end.result].failure, in, Judged[end.result].words);
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
    Result result{report.nameRefused ? Failure::Name : Failure::Io, fault, std::move(report.refused)};
    if (report.nameRefused && !result.earlier.empty()) {
      result.fault = result.earlier.back();
      result.earlier.pop_back();
    }
    return result;
  }
  if (!pack::CheckLimits(files, pack::Limits(), fault)) return {Failure::Io, fault};
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
  if (!output.Open(archive, inputs, fault)) return {Failure::Io, fault};
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
  if (!ok) return {Failure::Io, fault};
  totals = {files.size(), progress.bytes, written, 0};
  return {};
}

Result List(const std::string& file, const codepage::SingleByteTable* codePage,
            std::vector<pack::Record>& records) {
  Loaded loaded;
  Result result = LoadRecords(file, codePage, Failure::CannotOpen, loaded);
  records = std::move(loaded.records);
  return result;
}

Result Verify(const std::string& file, const codepage::SingleByteTable* codePage,
              Totals& totals) {
  Loaded loaded;
  if (Result result = LoadRecords(file, codePage, Failure::CannotOpen, loaded); !result.Ok())
    return result;
  std::string failed;
  if (VerifyLoaded(loaded, failed) != ArcOk)
    return Failed(Failure::BadRecord, file, failed + ": " + ReaderFailure(ArcBadRecord));
  totals = {loaded.records.size(), TotalSize(loaded.records), loaded.source.Size(), 0};
  return {};
}

Result Setup(const std::string& stubPath, const std::string& archivePath, const std::string& out,
             Totals& totals) {
  Bytes stub;
  Fault fault;
  InputFile stubInput;
  if (!ReadInput(stubPath, pack::MaxSetupSize, stub, stubInput, fault)) return {Failure::Io, fault};
  // The archive is checked whole, every record decoded, before anything is
  // written: a setup that verify would refuse is never made.
  Loaded loaded;
  if (Result result = LoadRecords(archivePath, nullptr, Failure::Io, loaded); !result.Ok())
    return result;
  if (loaded.source.IsSetup())
    return Failed(Failure::Usage, archivePath,
                  "a setup executable, not an archive; give the archive it was made from");
  std::string failed;
  if (VerifyLoaded(loaded, failed) != ArcOk)
    return Failed(Failure::BadRecord, archivePath, failed + ": " + ReaderFailure(ArcBadRecord));
  Bytes head;
  if (!pack::SetupHead(stub, stubPath, loaded.source.Size(), head, fault)) return {Failure::Usage, fault};
  if (const std::string missing = pack::StubFault(stub); !missing.empty())
    return Failed(Failure::Usage, stubPath, missing);
  Output output;
  if (!output.Open(out, {stubInput, {IdOf(loaded.source.Stream()), loaded.source.Shown()}}, fault))
    return {Failure::Io, fault};
  std::FILE* const stream = output.Stream();
  const auto write = [&](const uint8_t* data, size_t n) {
    return std::fwrite(data, 1, n, stream) == n;
  };
  if (!write(head.data(), head.size()) || !loaded.source.CopyRaw(loaded.source.Size(), write))
    return Failed(Failure::Io, out, "cannot write (" + ErrnoReason(errno) + ")");
  if (!output.Commit(fault)) return {Failure::Io, fault};
  totals = {loaded.records.size(), TotalSize(loaded.records), loaded.source.Size(),
            head.size() + loaded.source.Size()};
  return {};
}

}  // namespace pvpack
