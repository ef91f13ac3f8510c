#include "archive/PvUnZip.h"

#include <algorithm>
#include <chrono>
#include <cstring>
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
// 4 KiB block between two calls (about 50 us a call under Wine, and a
// request to its server, another process, each time), so a call that
// comes less than 25 ms after the last one that ran is skipped: the windows
// still get their messages 40 times a second, more often than a person
// can tell, and the progress window is passive. A first and a last call
// (always) run.
using PumpClock = std::chrono::steady_clock;
constexpr auto PumpInterval = std::chrono::milliseconds(25);
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

// The executable read for FindArchive, pumping messages before each block.
bool ReadExe(void* context, int64_t offset, uint8_t* out, uint32_t n, uint32_t* got) {
  auto& exe = *static_cast<fileio::File*>(context);
  PumpMessages(offset == 0);
  *got = 0;
  return exe.Seek(offset) && exe.Read(out, n, got);
}

}  // namespace

const std::string PayloadMarker = UpperCaseMarker();

int64_t MarkerEnd(const uint8_t* data, size_t n) {
  const uint8_t* hit = std::search(data, data + n, PayloadMarker.begin(), PayloadMarker.end());
  return hit == data + n ? -1 : int64_t(hit - data) + int64_t(PayloadMarker.size());
}

bool FindArchive(ReadAtProc read, void* context, int64_t fileSize, ArchivePlace& place) {
  place = {0, fileSize, false};
  uint8_t head[PeHeaderBytes];
  uint32_t headLength = 0;
  const uint32_t want = uint32_t(std::min<int64_t>(fileSize, int64_t(sizeof head)));
  if (!read(context, 0, head, want, &headLength) || headLength != want) return false;
  // Only an executable is taken for a setup; anything else is an archive.
  if (!StartsAsExecutable(head, headLength)) return true;
  std::vector<uint8_t> chunk(ChunkSize);
  // Chunks overlap by the marker's length less one, so a marker cut by the
  // end of one is seen whole in the next.
  const int64_t step = int64_t(ChunkSize) - int64_t(PayloadMarker.size() - 1);
  for (int64_t at = 0; at < fileSize; at += step) {
    const uint32_t n = uint32_t(std::min<int64_t>(ChunkSize, fileSize - at));
    uint32_t got = 0;
    if (!read(context, at, chunk.data(), n, &got) || got != n) return false;
    if (const int64_t end = MarkerEnd(chunk.data(), n); end >= 0) {
      place.start = at + end;
      place.isSetup = true;
      uint32_t offset = 0, tableSize = 0;
      if (PeCertificateTable(head, headLength, &offset, &tableSize) && offset >= place.start &&
          int64_t(offset) + tableSize <= fileSize)
        place.end = offset;
      return true;
    }
    if (at + n >= fileSize) break;
  }
  return true;
}

ArchivePlace FindArchiveIn(const uint8_t* data, size_t size) {
  struct Memory {
    const uint8_t* data;
    size_t size;
  } memory{data, size};
  ArchivePlace place;
  FindArchive(
      [](void* context, int64_t offset, uint8_t* out, uint32_t n, uint32_t* got) {
        const auto& m = *static_cast<const Memory*>(context);
        *got = uint32_t(std::min<uint64_t>(n, m.size - uint64_t(offset)));
        if (*got > 0) std::memcpy(out, m.data + offset, *got);
        return true;
      },
      &memory, int64_t(size), place);
  return place;
}

namespace {

// The running setup's own file, held from start-up on (HoldSetupFile).
fileio::File SetupFile;

bool UnpackFrom(fileio::File& exe, const fileio::File& destination, const std::string& destDir,
                MessagePumpProc pump) {
  Pump = pump;
  PumpedYet = false;
  ArchivePlace place;
  bool failed = !exe.IsOpen() || !FindArchive(ReadExe, &exe, exe.Size(), place);

  // Whatever stands at the name in the held destination goes, by the name
  // itself: a file, a link, a second name of some other file. Whatever its
  // target or other names lead to is never opened. The copy is then made
  // new there, for this process alone (on NT, only administrators and the
  // system may open it at all), and reaches the reader as this handle,
  // never by its name again: nobody can change the records between the
  // check of the whole body and their use. All of it relative to the
  // folder held, never by a path: the folder's name may lead elsewhere by
  // now.
  fileio::RemoveLinkAt(destination, SetupTempName);
  fileio::File old;
  fileio::FileFacts facts;
  if (old.OpenAt(destination, SetupTempName, fileio::OpenMode::Inspect) && old.Facts(&facts) &&
      !(facts.attributes & fileio::AttrDirectory))
    old.Delete();
  old.Close();
  fileio::File temp;
  if (!temp.OpenAt(destination, SetupTempName, fileio::OpenMode::Private)) failed = true;

  // The copy is unscrambled, checked and walked on its way, so that its
  // bytes pass through memory once: what it holds is the plain body, as
  // the unscrambling pass in place would leave it, and the trailer. The
  // copy reaches the reader only once all of it has been read.
  std::vector<uint8_t> chunk(ChunkSize);
  const int64_t bodyEnd = std::max(place.start, place.end - int64_t(TrailerSize));
  RecordWalk walk(place.end - place.start - int64_t(TrailerSize));
  uint8_t trailer[TrailerSize] = {};  // a short archive leaves the high bytes 0
  if (!failed && !exe.Seek(place.start)) failed = true;
  for (int64_t position = place.start; !failed && position < place.end;) {
    PumpMessages(position == place.start || place.end - position <= ChunkSize);
    const uint32_t want =
        uint32_t(place.end - position < ChunkSize ? place.end - position : ChunkSize);
    uint32_t n = 0;
    if (!exe.Read(chunk.data(), want, &n) || n == 0) {
      failed = true;
      break;
    }
    const uint32_t body = uint32_t(std::clamp<int64_t>(bodyEnd - position, 0, n));
    walk.Take(chunk.data(), body);
    for (uint32_t i = body; i < n; ++i) trailer[position + i - bodyEnd] = chunk[i];
    if (!temp.Write(chunk.data(), n)) failed = true;
    position += n;
  }
  // Closing the copy deletes it.
  if (failed) return false;
  return ExtractWalkedArchive(std::move(temp), walk, TrailerValue(trailer), destination,
                              destDir.c_str(), ProgressAdapter) == ArcOk;
}

}  // namespace

bool HoldSetupFile() {
  return SetupFile.IsOpen() || SetupFile.Open(fileio::ModulePath(), fileio::OpenMode::ReadHeld);
}

bool UnpackPayloadFile(const std::string& exePath, const std::string& destDir,
                       MessagePumpProc pump) {
  fileio::File exe, destination;
  exe.Open(exePath, fileio::OpenMode::ReadHeld);
  if (!destination.HoldDirectory(destDir)) return false;
  return UnpackFrom(exe, destination, destDir, pump);
}

bool UnpackPayload(const fileio::File& destination, const std::string& destDir,
                   MessagePumpProc pump) {
  // Only the file held since start-up: opened by its name now, it might be
  // another file than the one the user started.
  return UnpackFrom(SetupFile, destination, destDir, pump);
}
