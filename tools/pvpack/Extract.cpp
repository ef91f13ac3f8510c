// pvpack extract: an archive's files written below a folder by the rules the
// setup's reader writes them by (archive/RecordFiles.h), the records
// decoded on several threads.
//
// Once the whole archive has passed its check value, one thread creates the
// records' files in order, as those rules need, and hands each to a worker,
// which reads the record's packed stream from its place in the archive,
// decodes it into the file and finishes it. What is held at once is a few
// blocks a worker, whatever the archive's size.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "archive/Archive.h"
#include "archive/RecordFiles.h"
#include "archive/ShortUtl.h"
#include "explode/Explode.h"
#include "tools/pvpack/Output.h"
#include "tools/pvpack/Pvpack.h"
#include "tools/pvpack/Records.h"
#include "tools/pvpack/Workers.h"

namespace pvpack {
namespace {

// Records handed out and not yet finished, at the most.
constexpr size_t Slots = 64;
constexpr unsigned MaxExtractWorkers = 8;

// Writes a record's output, in the decoder's blocks, to its file.
bool WriteToFile(void* context, const uint8_t* data, uint32_t size) {
  return static_cast<fileio::File*>(context)->Write(data, size);
}

// Decodes record into its new file and finishes it. ArcOk, ArcIoError
// when reading or writing failed, ArcBadRecord when the stream is unsound.
int32_t WriteRecord(RecordDecoder& decoder, const pack::Record& record, fileio::File& file,
                    const std::string& path, uint8_t* workArea) {
  const int32_t result = decoder.Decode(HeadOf(record), workArea, WriteToFile, &file);
  if (result != ArcOk) return result;
  FinishRecordFile(file, path, record.header);
  return ArcOk;
}

// A record handed to a worker.
struct Slot {
  size_t index = 0;
  fileio::File file;
  std::string path;
  std::atomic<bool> busy{false};
};

// The first record that failed, and how, over all threads: its index and
// its result in one word, so that the lowest index wins as a whole.
class FirstFailure {
 public:
  void Note(size_t index, int32_t result) {
    const uint64_t mine = uint64_t(index) << 8 | uint8_t(-result);
    uint64_t seen = word_.load();
    while (mine < seen && !word_.compare_exchange_weak(seen, mine)) {
    }
  }
  bool Any() const { return word_.load() != None; }
  size_t Index() const { return size_t(word_.load() >> 8); }
  int32_t Result() const { return -int32_t(word_.load() & 0xFF); }

 private:
  static constexpr uint64_t None = ~uint64_t(0);
  std::atomic<uint64_t> word_{None};
};

// What the creating thread and the workers share.
struct Crew {
  explicit Crew(Loaded& l) : loaded(l) {}
  Loaded& loaded;
  Slot slots[Slots];
  std::atomic<size_t> next{0};    // the next record handed out that a worker takes
  std::atomic<size_t> handed{0};  // records handed out in all, once creating is through
  workers::Semaphore queued{0};    // one permit per record handed out, then one per worker to end
  workers::Semaphore finished{0};  // one permit per record a worker is through with
  FirstFailure failure;
  std::atomic<bool> creating{true};
  std::atomic<size_t> done{0};         // records the workers are through with
  std::atomic<uint64_t> doneBytes{0};  // their packed bytes
};

void WorkerMain(void* context) {
  Crew& crew = *static_cast<Crew*>(context);
  alignas(DclWorkArea) uint8_t workArea[DclWorkAreaSize];
  RecordDecoder decoder = DecoderOf(crew.loaded.source);
  for (;;) {
    crew.queued.Acquire();
    const size_t taken = crew.next.fetch_add(1);
    if (!crew.creating.load() && taken >= crew.handed.load()) return;
    Slot& slot = crew.slots[taken % Slots];
    const size_t i = slot.index;
    if (!crew.failure.Any() || crew.failure.Index() > i) {
      const int32_t result =
          WriteRecord(decoder, crew.loaded.records[i], slot.file, slot.path, workArea);
      if (result != ArcOk) crew.failure.Note(i, result);
    }
    slot.file.Close();
    crew.doneBytes.fetch_add(crew.loaded.records[i].header.PackedSize);
    crew.done.fetch_add(1);
    slot.busy.store(false);
    crew.finished.Release();
  }
}

// A path as the reader makes it ("\" between folders), as this system writes it.
std::string Shown(std::string path) {
#ifndef _WIN32
  std::replace(path.begin(), path.end(), '\\', '/');
#endif
  return path;
}

// records[index]'s file could not be created below dest: names the first
// folder on its way that is missing (which could not be made) or stands as
// a file, else the file itself.
// reason: the system's words for the failure.
Fault CannotCreate(const std::string& dest, const std::vector<pack::Record>& records,
                   size_t index, const std::string& reason) {
  namespace fs = std::filesystem;
  if (index >= records.size()) return {dest, ReaderFailure(ArcCannotCreate) + " (" + reason + ")"};
  const fs::path file = fs::path(dest) / Shown(records[index].name);
  fs::path folder;
  for (const fs::path& part : file.parent_path()) {
    folder /= part;
    std::error_code ec;
    const fs::file_status status = fs::status(folder, ec);
    if (!fs::exists(status)) return {folder.string(), "cannot make this folder (" + reason + ")"};
    if (!fs::is_directory(status))
      return {folder.string(), "cannot make this folder: a file of that name is in the way"};
  }
  return {file.string(), "cannot create this file (" + reason + ")"};
}

// Reports how far the reading has come, when the percentage changes.
struct ExtractProgress {
  const Reporter& reporter;
  uint64_t size;
  int percent = -1;

  void At(uint64_t position) {
    if (!reporter.progress) return;
    const int now = int(position * 100 / std::max<uint64_t>(size, 1));
    if (now == percent) return;
    percent = now;
    char text[32];
    std::snprintf(text, sizeof text, "extracting %3d%%", now);
    reporter.progress(reporter.context, text, now == 100);
  }
};

}  // namespace

Result Extract(const std::string& file, const std::string& dir,
               const codepage::SingleByteTable* codePage, const Reporter& reporter,
               Totals& totals) {
  // An empty destination (an unset variable in a script) would put every
  // file below the root.
  if (dir.empty()) return {Failure::Usage, {"", "the destination folder is empty"}};
  Loaded loaded;
  if (Result result = LoadRecords(file, codePage, Failure::CannotOpen, loaded); !result.Ok())
    return result;
  ArchiveSource& source = loaded.source;
  const std::vector<pack::Record>& records = loaded.records;
  // An absolute destination: a name of fewer than three characters would
  // be taken for a drive root, and no folder made for it.
  std::error_code ec;
  const std::string absolute = std::filesystem::absolute(dir, ec).string();
  const std::string dest = StripTrailingBackslashes(ec ? dir : absolute);
  // The destination is opened once, as it stands (the user's choice, a
  // link included), and everything below it is reached from that
  // descriptor: a name swapped meanwhile leads nothing elsewhere.
  fileio::File destination;
  if (!records.empty()) {
    MakeDirPath(dest);
    if (!destination.HoldDirectory(dest))
      return {Failure::CannotCreate, CannotCreate(dir, records, 0, SystemReason())};
  }
  RecordFiles files(destination, dest);

  auto crew = std::make_unique<Crew>(loaded);
  if (!crew->queued.Valid() || !crew->finished.Valid())
    return {Failure::Io, {"", "cannot make the workers' semaphores"}};
  const unsigned workerCount = std::clamp(workers::ProcessorCount(), 1u, MaxExtractWorkers);
  workers::ThreadGroup group(records.empty() ? 0 : workerCount, WorkerMain, crew.get());
  if (!records.empty() && group.Started() == 0)
    return {Failure::Io, {"", "cannot start a worker thread"}};

  ExtractProgress progress{reporter, source.Size()};
  // Waits for a worker to finish a record, or a quarter of a second, and
  // tells how far the workers have come.
  const auto await = [&] {
    crew->finished.AcquireFor(250);
    progress.At(crew->doneBytes.load());
  };
  size_t created = 0;
  std::string createFailure;  // the system's words for a file or folder not made
  for (size_t i = 0; i < records.size() && !crew->failure.Any(); ++i) {
    const pack::Record& record = records[i];
    // The names as loaded, converted to this system's: checked again.
    if (!IsSafeRecordName(record.name.data(), uint32_t(record.name.size()))) {
      crew->failure.Note(i, ArcBadRecord);
      break;
    }
    Slot& slot = crew->slots[created % Slots];
    while (slot.busy.load()) await();
    if (int32_t result = files.Create(record.name, slot.file, slot.path); result != ArcOk) {
      createFailure = SystemReason();
      crew->failure.Note(i, result);
      break;
    }
    slot.index = i;
    slot.busy.store(true);
    ++created;
    crew->queued.Release();
  }
  while (crew->done.load() < created) await();
  crew->handed.store(created);
  crew->creating.store(false);
  crew->queued.Release(workerCount);
  group.Join();

  if (crew->failure.Any()) {
    const size_t at = crew->failure.Index();
    const int32_t result = crew->failure.Result();
    if (result == ArcCannotCreate)
      return {Failure::CannotCreate, CannotCreate(dir, records, at, createFailure)};
    // Files were made ahead of the record that failed; as the setup's
    // reader would, leave those after it unwritten. Its own file holds
    // what a damaged or cut-off stream gave, and goes too.
    bool removed = true;
    for (size_t j = at; j < created; ++j)
      removed = files.Remove(records[j].name) && removed;
    if (at >= records.size()) return {FailureOf(result), {file, ReaderFailure(result)}};
    const std::string path = Shown(dest + "\\" + records[at].name);
    const std::string left = at >= created ? ""
                             : removed     ? "; " + path + " is removed"
                                           : "; " + path + " could not be removed and holds wrong data";
    return {FailureOf(result), {file, records[at].name + ": " + ReaderFailure(result) + left}};
  }
  progress.At(source.Size());
  totals = {records.size(), TotalSize(records), source.Size(), 0};
  return {};
}

}  // namespace pvpack
