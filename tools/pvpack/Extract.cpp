// pvpack extract: an archive's files written below a folder by the rules the
// setup's reader writes them by (archive/RecordFiles.h), the records
// decoded on several threads.
//
// One thread reads the archive in order: it creates each record's file and
// hands the file and the record's packed stream to a worker, which decodes
// it into the file and finishes it. A stream too large to hold is decoded
// by the reading thread itself as it reads. What is held at once is
// bounded, whatever the archive's size.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "archive/Archive.h"
#include "archive/RecordFiles.h"
#include "archive/ShortUtl.h"
#include "explode/Explode.h"
#include "tools/pvpack/Pvpack.h"
#include "tools/pvpack/Records.h"
#include "tools/pvpack/Workers.h"

namespace pvpack {
namespace {

// Packed streams held for the workers at once, counted in units of
// BudgetUnit bytes; a stream larger than InMemoryMax is never held.
constexpr uint32_t BudgetUnit = 64 * 1024;
constexpr uint32_t BudgetUnits = 256;  // 16 MB
constexpr uint32_t InMemoryMax = 8u << 20;
// Records handed out and not yet finished, at the most.
constexpr size_t Slots = 64;
// A slot's buffer up to this size stays for its next record.
constexpr size_t KeptRoom = 64 * 1024;
constexpr unsigned MaxExtractWorkers = 8;

// Gathers a record's output into blocks for its file.
struct FileSink {
  explicit FileSink(fileio::File& f) : file(f), block(BudgetUnit) {}

  static void Put(void* context, const uint8_t* data, uint32_t size) {
    auto* sink = static_cast<FileSink*>(context);
    if (sink->fill + size > sink->block.size()) sink->Flush();
    std::copy(data, data + size, sink->block.begin() + sink->fill);
    sink->fill += size;
  }
  // False once any write has failed.
  bool Flush() {
    if (fill > 0 && !file.Write(block.data(), fill)) failed = true;
    fill = 0;
    return !failed;
  }

  fileio::File& file;
  Bytes block;
  uint32_t fill = 0;
  bool failed = false;
};

// Decodes run into the record's new file and finishes it. ArcOk,
// ArcIoError when writing failed, ArcBadRecord when the stream is unsound.
int32_t WriteRecord(DecodeRun& run, const FileRecordHeader& header, fileio::File& file,
                    const std::string& path, uint8_t* workArea) {
  FileSink sink(file);
  run.sink = FileSink::Put;
  run.sinkContext = &sink;
  const bool sound = run.Decode(header, workArea);
  if (!sink.Flush()) return ArcIoError;
  if (!sound) return ArcBadRecord;
  FinishRecordFile(file, path, header);
  return ArcOk;
}

// A record handed to a worker.
struct Slot {
  size_t index = 0;
  FileRecordHeader header = {};
  // The packed stream; its bytes are read over, never cleared first.
  std::unique_ptr<uint8_t[]> packed;
  size_t room = 0;
  uint32_t units = 0;
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

// What the reading thread and the workers share.
struct Crew {
  Slot slots[Slots];
  std::atomic<size_t> next{0};    // the next record handed out that a worker takes
  std::atomic<size_t> handed{0};  // records handed out in all, once the reading is through
  workers::Semaphore queued{0};  // one permit per record handed out, then one per worker to end
  workers::Semaphore finished{0};  // one permit per record a worker is through with
  workers::Semaphore budget{BudgetUnits};
  FirstFailure failure;
  std::atomic<bool> reading{true};
};

void WorkerMain(void* context) {
  Crew& crew = *static_cast<Crew*>(context);
  alignas(DclWorkArea) uint8_t workArea[DclWorkAreaSize];
  for (;;) {
    crew.queued.Acquire();
    const size_t taken = crew.next.fetch_add(1);
    if (!crew.reading.load() && taken >= crew.handed.load()) return;
    Slot& slot = crew.slots[taken % Slots];
    const size_t i = slot.index;
    if (!crew.failure.Any() || crew.failure.Index() > i) {
      DecodeRun run(slot.packed.get(), slot.header.PackedSize);
      const int32_t result = WriteRecord(run, slot.header, slot.file, slot.path, workArea);
      if (result != ArcOk) crew.failure.Note(i, result);
    }
    slot.file.Close();
    // Small buffers stay for the next record; large ones would add up
    // over the slots.
    if (slot.room > KeptRoom) {
      slot.packed.reset();
      slot.room = 0;
    }
    const uint32_t units = slot.units;
    slot.busy.store(false);
    crew.budget.Release(units);
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
  Loaded loaded;
  if (Result result = LoadRecords(file, codePage, -ArcCannotOpen, loaded); result.status != 0)
    return result;
  ArchiveSource& source = loaded.source;
  const std::vector<pack::Record>& records = loaded.records;
  // An absolute destination: a name of fewer than three characters would
  // be taken for a drive root, and no folder made for it.
  std::error_code ec;
  const std::string absolute = std::filesystem::absolute(dir, ec).string();
  RecordFiles files(StripTrailingBackslashes(ec ? dir : absolute));

  auto crew = std::make_unique<Crew>();
  if (!crew->queued.Valid() || !crew->finished.Valid() || !crew->budget.Valid())
    return {ExitIo, {"", "cannot make the workers' semaphores"}};
  const unsigned workerCount = std::clamp(workers::ProcessorCount(), 1u, MaxExtractWorkers);
  workers::ThreadGroup group(records.empty() ? 0 : workerCount, WorkerMain, crew.get());
  if (!records.empty() && group.Started() == 0)
    return {ExitIo, {"", "cannot start a worker thread"}};

  ExtractProgress progress{reporter, source.Size()};
  alignas(DclWorkArea) uint8_t workArea[DclWorkAreaSize];
  size_t index = 0, handed = 0, created = 0;
  const int32_t walked = WalkRecords(source, [&](const RecordHead& head, Bytes& scratch) -> int32_t {
    const size_t i = index++;
    if (crew->failure.Any()) return ArcBadRecord;
    progress.At(uint64_t(head.streamStart));
    // The names as loaded, converted to this system's.
    const std::string& name = i < records.size() ? records[i].name : head.name;
    if (!IsSafeRecordName(name.data(), uint32_t(name.size()))) {
      crew->failure.Note(i, ArcBadRecord);
      return ArcBadRecord;
    }
    const FileRecordHeader& header = head.header;
    if (header.PackedSize > InMemoryMax) {
      fileio::File out;
      std::string path;
      int32_t result = files.Create(name, out, path);
      if (result == ArcOk) {
        ++created;
        DecodeRun run(&source, header.PackedSize);
        result = WriteRecord(run, header, out, path, workArea);
        if (!SkipPlain(source, run.left, scratch) && result == ArcOk) result = ArcBadRecord;
      }
      if (result != ArcOk) crew->failure.Note(i, result);
      return result;
    }
    Slot& slot = crew->slots[handed % Slots];
    while (slot.busy.load()) crew->finished.Acquire();
    slot.units = 1 + header.PackedSize / BudgetUnit;
    for (uint32_t u = 0; u < slot.units; ++u) crew->budget.Acquire();
    if (slot.room < header.PackedSize) {
      slot.room = std::max<size_t>(header.PackedSize, 4096);
      slot.packed.reset(new uint8_t[slot.room]);
    }
    int32_t result = ArcOk;
    if (source.ReadPlain(slot.packed.get(), header.PackedSize) != header.PackedSize)
      result = ArcBadRecord;
    else if ((result = files.Create(name, slot.file, slot.path)) == ArcOk)
      ++created;
    if (result != ArcOk) {
      crew->budget.Release(slot.units);
      crew->failure.Note(i, result);
      return result;
    }
    slot.index = i;
    slot.header = header;
    slot.busy.store(true);
    ++handed;
    crew->queued.Release();
    return ArcOk;
  });
  crew->handed.store(handed);
  crew->reading.store(false);
  crew->queued.Release(workerCount);
  group.Join();

  if (walked != ArcOk && !crew->failure.Any()) crew->failure.Note(index, walked);
  if (crew->failure.Any()) {
    const size_t at = crew->failure.Index();
    // Files were made ahead of the record that failed; as the setup's
    // reader would, leave those after it unwritten.
    for (size_t j = at + 1; j < created && j < records.size(); ++j) files.Remove(records[j].name);
    const int32_t result = crew->failure.Result();
    if (result == ArcCannotCreate) return {-result, CannotCreate(dir, records, at)};
    if (result == ArcIoError && at < records.size())
      return {-result, {file, ReaderFailure(result) + " " +
                                  Shown(StripTrailingBackslashes(ec ? dir : absolute) + "\\" +
                                        records[at].name)}};
    return {-result, {file, ReaderFailure(result)}};
  }
  progress.At(source.Size());
  totals = {records.size(), TotalSize(records), source.Size(), 0};
  return {};
}

}  // namespace pvpack
