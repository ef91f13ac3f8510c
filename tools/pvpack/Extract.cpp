// pvpack extract: an archive unpacked by the setup program's own reader.
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "archive/Archive.h"
#include "tools/pvpack/Input.h"
#include "tools/pvpack/Pvpack.h"
#include "tools/pvpack/Records.h"

namespace pvpack {
namespace {

// What the reader has reported while it extracts: the file it works on,
// and how many records it has started.
struct ExtractProgress {
  std::string name;
  size_t started = 0;
  int percent = -1;
  const Reporter* reporter = nullptr;
};

// The extraction in progress. The reader's callback carries no context of
// its own, and the reader itself is one per process, not reentrant: the
// call sets this for its duration and clears it.
ExtractProgress* Extracting = nullptr;

void NoteProgress(const char* name, int32_t percent) {
  ExtractProgress& e = *Extracting;
  if (e.name != name) {
    e.name = name;
    ++e.started;
  }
  if (!e.reporter->progress || percent == e.percent) return;
  e.percent = percent;
  char text[32];
  std::snprintf(text, sizeof text, "extracting %3d%%", int(percent));
  e.reporter->progress(e.reporter->context, text, percent == 100);
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
Fault CannotCreate(const std::string& dest, const std::vector<pack::Record>& records,
                   size_t index) {
  namespace fs = std::filesystem;
  if (index >= records.size()) return {dest, ReaderFailure(ArcCannotCreate)};
  const fs::path file = fs::path(dest) / Shown(records[index].name);
  fs::path folder;
  for (const fs::path& part : file.parent_path()) {
    folder /= part;
    std::error_code ec;
    const fs::file_status status = fs::status(folder, ec);
    if (!fs::exists(status)) return {folder.string(), "cannot make this folder"};
    if (!fs::is_directory(status))
      return {folder.string(), "cannot make this folder, a file of that name is in the way"};
  }
  return {file.string(), "cannot create this file"};
}

// Writes the archive of loaded to out for the reader: as it stands, or,
// with names, each record's name replaced by its converted one (the
// records as loaded) and sealed anew. False when reading or writing fails.
bool WriteCopy(Loaded& loaded, bool withNames, std::FILE* out) {
  const auto write = [&](const uint8_t* data, size_t n) {
    return std::fwrite(data, 1, n, out) == n;
  };
  if (!withNames) return loaded.source.CopyRaw(write);
  ArchiveSource& source = loaded.source;
  if (!source.Rewind()) return false;
  BodySeal seal;
  Bytes block(size_t(1) << 20);
  const auto put = [&](uint8_t* data, size_t n) {
    seal.Seal(data, n);
    return write(data, n);
  };
  for (const pack::Record& r : loaded.records) {
    // The old head is passed over; its length is known from the old name.
    size_t got = source.ReadPlain(block.data(), 2);
    const size_t rest = size_t(block[0] | block[1] << 8) + sizeof(FileRecordHeader);
    if (got != 2 || source.ReadPlain(block.data(), rest) != rest) return false;
    Bytes head;
    if (!AppendRecordHead(head, r.name, r.header) || !put(head.data(), head.size())) return false;
    for (uint64_t left = r.header.PackedSize; left > 0;) {
      const size_t n = size_t(std::min<uint64_t>(left, block.size()));
      if (source.ReadPlain(block.data(), n) != n || !put(block.data(), n)) return false;
      left -= n;
    }
  }
  Bytes trailer;
  seal.AppendTrailer(trailer);
  return write(trailer.data(), trailer.size());
}

}  // namespace

Result Extract(const std::string& file, const std::string& dir,
               const codepage::SingleByteTable* codePage, const Reporter& reporter,
               Totals& totals) {
  Loaded loaded;
  if (Result result = LoadRecords(file, codePage, -ArcCannotOpen, loaded); result.status != 0)
    return result;
  const uint64_t archiveSize = loaded.source.Size();
  // The reader creates each file by its stored name: give it the names as
  // this system writes them.
  for (const pack::Record& r : loaded.records)
    if (codePage && r.name.size() > 0xFFFF)
      return {-ArcBadRecord, {file, "a name too long to write in UTF-8"}};
  // The reader unscrambles in place and deletes what it reads: give it a copy.
  std::string folder;
  const std::string temp = NewTempFile(folder);
  if (temp.empty()) return {ExitIo, {folder, "cannot make a temporary copy of the archive"}};
  pack::UniqueFile copy(std::fopen(temp.c_str(), "wb"));
  bool written = copy && WriteCopy(loaded, codePage != nullptr, copy.get());
  if (copy && std::fclose(copy.release()) != 0) written = false;
  if (!written) {
    std::remove(temp.c_str());
    return {ExitIo, {temp, "cannot write a temporary copy of the archive"}};
  }
  // An absolute destination: the reader takes a name of fewer than three
  // characters for a drive root and would make no directory for it.
  std::error_code ec;
  const std::string dest = std::filesystem::absolute(dir, ec).string();
  ExtractProgress progress;
  progress.reporter = &reporter;
  Extracting = &progress;
  int32_t result = ExtractArchive(temp.c_str(), (ec ? dir : dest).c_str(), nullptr, NoteProgress);
  Extracting = nullptr;
  std::remove(temp.c_str());
  // The reader says only that a file could not be created; the records it
  // has started tell which one.
  if (result == ArcCannotCreate) return {-result, CannotCreate(dir, loaded.records, progress.started)};
  if (result == ArcIoError && progress.started > 0)
    return {-result, {file, ReaderFailure(result) + " " + Shown(progress.name)}};
  if (result != ArcOk) return {-result, {file, ReaderFailure(result)}};
  totals = {loaded.records.size(), TotalSize(loaded.records), archiveSize, 0};
  return {};
}

}  // namespace pvpack
