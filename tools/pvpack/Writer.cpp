// The archive writer: files packed by workers, written in order and sealed.
#include "tools/pvpack/Pack.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "archive/Format.h"
#include "explode/Crc32.h"
#include "tools/pvpack/Implode.h"
#include "tools/pvpack/Workers.h"

namespace fs = std::filesystem;

namespace pack {

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
  // Opened once, as the file the walk found, and read through that
  // descriptor: a file swapped for a link or another file meanwhile is
  // refused, not packed.
  uint64_t volume = file.volume, index = file.index, size = 0;
  FileInput first{OpenPlainFile(file.path, volume, index, size, job.error), 0, 0xFFFFFFFFu,
                  &job.progress, &stop};
  if (!first.file) return;
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
    status = implode::ImplodeAll(input, outputs.data(), options.limits.packedSize, options.search,
                                  best);
    if (status == implode::Status::Ok) job.stream = std::move(stores[implode::EncodingIndex(best)]);
  } else {
    status = implode::ImplodeAll(input, nullptr, options.limits.packedSize, options.search, best);
    if (status == implode::Status::Ok && first.read == file.size) {
      // The second reading must find the same bytes as the first.
      FileInput again{std::move(first.file), 0, 0xFFFFFFFFu, &job.progress, &stop};
      job.stream = std::make_unique<StreamStore>(options.holdMax, heldTotal);
      status = std::fseek(again.file.get(), 0, SEEK_SET) != 0 ? implode::Status::ReadFailed
                           : implode::ImplodeTo({FileInput::Read, &again, file.size}, best.mode,
                                                best.dictBits, job.stream->AsOutput(),
                                                options.search);
      if (status == implode::Status::Ok && (again.read != first.read || again.crc != first.crc))
        status = implode::Status::TooLong;
    }
  }
  switch (status) {
    case implode::Status::Ok:
      break;
    case implode::Status::ReadFailed:
      job.error = "cannot read (" + std::string(std::strerror(errno)) + ")";
      return;
    case implode::Status::WriteFailed:
      job.error = "cannot write its packed stream to a temporary file (" +
                  std::string(std::strerror(errno)) + ")";
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

// Appends job's record to the archive. False, with fault naming the file,
// when the file could not be packed or the archive would grow too large.
bool WriteRecord(const Job& job, const PackOptions& options, const std::string& outName,
                 ArchiveWriter& writer, Fault& fault) {
  const TreeFile& file = *job.file;
  if (!job.error.empty()) {
    fault = {file.shown, job.error};
    return false;
  }
  Bytes head;
  AppendRecordHead(head, file.name, job.header);
  const uint64_t total = writer.BodySize() + head.size() + job.stream->Size() + 4;
  if (total > options.limits.archiveSize) {
    fault = {file.shown, "with this file the archive would take " + std::to_string(total) +
                             " bytes, more than the " +
                             std::to_string(options.limits.archiveSize) + " the setup can read"};
    return false;
  }
  if (!writer.Write(head.data(), head.size()) ||
      !job.stream->CopyTo([&](const uint8_t* d, size_t n) { return writer.Write(d, n); })) {
    fault = {outName, "cannot write (" + std::string(std::strerror(errno)) + ")"};
    return false;
  }
  return true;
}

}  // namespace

bool PackFiles(const std::vector<TreeFile>& files, const PackOptions& options, std::FILE* out,
               const std::string& outName, Fault& fault, uint64_t* written) {
#ifdef __GLIBC__
  // The encoder of each file takes a few MiB of tables and gives them back.
  // By default glibc returns such blocks to the system at once, and the next
  // file faults them in again, zeroed: on a product of many files that was
  // an eighth of the CPU time. Kept, they are taken again as they are.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
  const size_t count = files.size();
  std::atomic<uint64_t> heldTotal{0};  // outlives the jobs' streams, which count in it
  std::unique_ptr<Job[]> jobs(new Job[count]);
  for (size_t i = 0; i < count; ++i) {
    jobs[i].file = &files[i];
    // A race runs one encoding on past its first 64 KiB, and the others'
    // streams end there: whatever the file's size, one stream grows, so it
    // is written as it is measured. Only a full search keeps six growing.
    jobs[i].passes =
        options.search == implode::Search::Full && files[i].size > options.onePassMax ? 2 : 1;
  }
  const unsigned workerCount =
      std::max(1u, unsigned(std::min<size_t>(std::min(options.workers, MaxWorkers), count)));
  // Jobs a worker may take before the writer is through with them: enough to
  // keep every worker busy while one packs a large file (on a product of
  // documents, one file of 8 MB takes as long as a hundred others; with 36
  // the other worker stood idle for 0.35 s of a 4 s run), few enough that
  // the streams waiting for their turn stay few: their bytes in memory are
  // bounded anyway (HeldMax), the temporary files of the others by this,
  // well within the 512 streams the Windows C runtime opens at once, with
  // up to six of each of 32 workers besides.
  const unsigned lookahead = std::min(16 * workerCount + 128, 192u);
  Crew crew(options, jobs.get(), count, heldTotal, lookahead);
  if (!crew.slots.Valid() || !crew.finished.Valid()) {
    fault = {"", "cannot make the workers' semaphores"};
    return false;
  }
  workers::ThreadGroup group(count > 0 ? workerCount : 0, WorkerMain, &crew);
  if (count > 0 && group.Started() == 0) {
    fault = {"", "cannot start a worker thread"};
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
    ok = WriteRecord(job, options, outName, writer, fault);
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
    fault = {outName, "cannot write (" + std::string(std::strerror(errno)) + ")"};
    ok = false;
  }
  if (written) *written = writer.BodySize() + 4;
  return ok;
}

}  // namespace pack
