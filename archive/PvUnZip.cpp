#include "archive/PvUnZip.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "archive/Archive.h"
#include "archive/FileIo.h"
#include "archive/PeImage.h"

namespace {

// Read through a volatile pointer so the compiler cannot fold the upper-case
// form into the program's data, where it would be found as the marker.
const char LowerCaseMarker[] = "<pvzip file begins here>";

std::string UpperCaseMarker() {
  const char* volatile text = LowerCaseMarker;
  std::string marker(text);
  for (char& c : marker)
    if (c >= 'a' && c <= 'z') c = char(c - 0x20);
  return marker;
}

constexpr uint32_t ChunkSize = 65536;

MessagePumpProc Pump = nullptr;

// Dispatching waiting messages can cost more than the 64 KiB chunk or the
// 4 KiB block between two calls (about 50 us a call under Wine), so a call
// that comes less than 10 ms after the last one that ran is skipped: the
// windows still get their messages 100 times a second. A first and a last
// call (always) run.
using PumpClock = std::chrono::steady_clock;
constexpr auto PumpInterval = std::chrono::milliseconds(10);
PumpClock::time_point LastPump;
bool PumpedYet = false;

void PumpMessages(bool always = false) {
  if (!Pump) return;
  const PumpClock::time_point now = PumpClock::now();
  if (!always && PumpedYet && now - LastPump < PumpInterval) return;
  PumpedYet = true;
  LastPump = now;
  Pump(false);
}

// The reader's progress only keeps the windows alive; nobody shows it. Its
// last call reports 100.
void ProgressAdapter(const char*, int32_t percent) { PumpMessages(percent >= 100); }

// Offset of the first byte after the first marker in exe, or 0 when there
// is none. A failed or stalled read ends the search and sets failed.
int64_t FindArchiveStart(fileio::File& exe, std::vector<uint8_t>& chunk, bool& failed) {
  const int64_t size = exe.Size();
  const int64_t markerLength = int64_t(PayloadMarker.size());
  int64_t position = 0;
  while (position < size) {
    PumpMessages(position + ChunkSize >= size);
    // Chunks overlap by the marker's length, so a marker cut by the border
    // of the previous chunk is seen whole in this one.
    int64_t from = position > 0 ? position - markerLength : 0;
    uint32_t n = 0;
    if (!exe.Seek(from) || !exe.Read(chunk.data(), ChunkSize, &n) || from + n <= position) {
      failed = true;
      return 0;
    }
    int64_t end = MarkerEnd(chunk.data(), n);
    if (end >= 0) return from + end;
    position = from + n;
  }
  return 0;
}

}  // namespace

const std::string PayloadMarker = UpperCaseMarker();

int64_t MarkerEnd(const uint8_t* data, size_t n) {
  const uint8_t* hit = std::search(data, data + n, PayloadMarker.begin(), PayloadMarker.end());
  return hit == data + n ? -1 : int64_t(hit - data) + int64_t(PayloadMarker.size());
}

int64_t ArchiveEnd(const uint8_t* head, size_t n, int64_t start, int64_t fileSize) {
  uint32_t offset = 0, tableSize = 0;
  if (PeCertificateTable(head, n, &offset, &tableSize) && offset >= start &&
      int64_t(offset) + tableSize <= fileSize)
    return offset;
  return fileSize;
}

namespace {

// The running setup's own file, held from start-up on (HoldSetupFile).
fileio::File SetupFile;

bool UnpackFrom(fileio::File& exe, const std::string& destDir, MessagePumpProc pump) {
  Pump = pump;
  PumpedYet = false;
  bool failed = !exe.IsOpen();
  std::vector<uint8_t> chunk(ChunkSize);
  const int64_t start = failed ? 0 : FindArchiveStart(exe, chunk, failed);

  const std::string tempName = destDir + "\\tempfile.$$$";
  // Whatever stands at the name goes, by the name itself: a file, a link,
  // a second name of some other file. Whatever its target or other names
  // lead to is never opened. The copy is then made new, for this process
  // alone (on NT, only administrators and the system may open it at all),
  // and reaches the reader as this handle, never by its name again: nobody
  // can change the records between the check of the whole body and their
  // use.
  fileio::RemoveLink(tempName);
  fileio::RemoveFile(tempName);
  fileio::File temp;
  if (!temp.Open(tempName, fileio::OpenMode::Private)) failed = true;

  if (!failed) {
    // Only an archive behind a marker can end at a certificate table; a
    // file without one is copied whole.
    uint32_t headLength = 0;
    const int64_t end =
        start > 0 && exe.Seek(0) && exe.Read(chunk.data(), uint32_t(PeHeaderBytes), &headLength)
            ? ArchiveEnd(chunk.data(), headLength, start, exe.Size())
            : exe.Size();
    if (!exe.Seek(start)) failed = true;
    for (int64_t position = start; !failed && position < end;) {
      PumpMessages(position == start || end - position <= ChunkSize);
      uint32_t want = uint32_t(end - position < ChunkSize ? end - position : ChunkSize);
      uint32_t n = 0;
      if (!exe.Read(chunk.data(), want, &n) || n == 0 || !temp.Write(chunk.data(), n))
        failed = true;
      position += n;
    }
  }
  // Closing the copy deletes it.
  if (failed) return false;
  return ExtractArchiveFile(std::move(temp), destDir.c_str(), nullptr, ProgressAdapter) == ArcOk;
}

}  // namespace

bool HoldSetupFile() {
  return SetupFile.IsOpen() || SetupFile.Open(fileio::ModulePath(), fileio::OpenMode::ReadHeld);
}

bool UnpackPayloadFile(const std::string& exePath, const std::string& destDir,
                       MessagePumpProc pump) {
  fileio::File exe;
  exe.Open(exePath, fileio::OpenMode::ReadHeld);
  return UnpackFrom(exe, destDir, pump);
}

bool UnpackPayload(const std::string& destDir, MessagePumpProc pump) {
  // Only the file held since start-up: opened by its name now, it might be
  // another file than the one the user started.
  return UnpackFrom(SetupFile, destDir, pump);
}
