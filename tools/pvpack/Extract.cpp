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

}  // namespace

Result Extract(const std::string& file, const std::string& dir,
               const codepage::SingleByteTable* codePage, const Reporter& reporter,
               Totals& totals) {
  Loaded loaded;
  if (Result result = LoadRecords(file, codePage, -ArcCannotOpen, loaded); result.status != 0)
    return result;
  const uint64_t archiveSize = loaded.archive.size();
  // The reader creates each file by its stored name: give it the names as
  // this system writes them.
  if (codePage && !pack::RebuildArchive(loaded.body, loaded.records, loaded.archive))
    return {-ArcBadRecord, {file, "a name too long to write in UTF-8"}};
  // The reader unscrambles in place and deletes what it reads: give it a copy.
  std::string folder;
  const std::string temp = NewTempFile(folder);
  if (temp.empty()) return {ExitIo, {folder, "cannot make a temporary copy of the archive"}};
  if (!WriteAll(temp, loaded.archive)) {
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
