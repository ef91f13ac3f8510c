#include "archive/Archive.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "archive/FileIo.h"
#include "archive/RecordFiles.h"
#include "archive/ShortUtl.h"
#include "explode/Explode.h"

// The trailer is read straight into an integer.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr size_t WorkAreaSize =
    DclWorkAreaSize > size_t(WorkAreaChunk) ? DclWorkAreaSize : size_t(WorkAreaChunk);

// The archive is unscrambled in blocks of this size (the decoder reads and
// writes in blocks of its own, RecordDecoder::Block).
constexpr uint32_t IoBlock = 65536;

// What one call of the reader works with.
struct Reader {
  fileio::File archive;
  fileio::File output;
  std::string currentName;  // full path of the file being written
  ProgressProc progress = nullptr;
  int32_t percent = 0;  // progress of the current record
  std::vector<uint8_t> block = std::vector<uint8_t>(IoBlock);  // the unscrambling pass's
};

// The plain archive file, read for the record decoder.
bool ReadPlain(void* context, int64_t offset, uint8_t* out, uint32_t n, uint32_t* got) {
  auto& r = *static_cast<Reader*>(context);
  *got = 0;
  return r.archive.Seek(offset) && r.archive.Read(out, n, got);
}

// Writes a record's output, in the decoder's blocks, to its file, and
// reports progress after each block.
bool KeepOutput(void* context, const uint8_t* data, uint32_t size) {
  auto& r = *static_cast<Reader*>(context);
  const bool ok = r.output.Write(data, size);
  if (r.progress) r.progress(r.currentName.c_str(), r.percent);
  return ok;
}

// Unscrambles the body in place, block by block, walking its records.
// False when a read failed or came up short before the trailer (the body
// then cannot match its check value).
bool UnscrambleBody(Reader& r, RecordWalk& walk, int64_t bodyLength) {
  uint8_t* chunk = r.block.data();
  for (int64_t position = 0; position < bodyLength;) {
    uint32_t n = 0;
    const int64_t left = bodyLength - position;
    if (!r.archive.Read(chunk, uint32_t(left < IoBlock ? left : IoBlock), &n) || n == 0)
      return false;
    walk.Take(chunk, n);
    // Writing back is best effort: the check value already covers the
    // bytes that were read.
    r.archive.Seek(position);
    r.archive.Write(chunk, n);
    position += n;
  }
  return true;
}

// What each record written by the last call declared, for checks of copies
// made from those files later.
std::vector<std::pair<std::string, FileRecordHeader>> Written;

bool SameRecordName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] == '/' ? '\\' : a[i], y = b[i] == '/' ? '\\' : b[i];
    if (x >= 'a' && x <= 'z') x = char(x - 0x20);
    if (y >= 'a' && y <= 'z') y = char(y - 0x20);
    if (x != y) return false;
  }
  return true;
}

int32_t ExtractRecords(Reader& r, const std::vector<RecordHead>& records, RecordFiles& files,
                       int64_t fileLength, uint8_t* workArea) {
  // The body is plain now, unscrambled in place.
  RecordDecoder decoder(ReadPlain, &r, false);
  for (const RecordHead& record : records) {
    if (files.Create(record.name, r.output, r.currentName) != ArcOk) return ArcCannotCreate;
    // Taken in 64 bits: position * 100 overflows 32 bits past 21 MB.
    r.percent = int32_t(std::nearbyint(double(record.streamStart) * 100.0 /
                                       double(fileLength > 1 ? fileLength : 1)));
    if (r.progress) r.progress(r.currentName.c_str(), r.percent);
    const int32_t result = decoder.Decode(record, workArea, KeepOutput, &r);
    if (result != ArcOk) {
      // A file that was not written soundly does not stay.
      r.output.Close();
      files.Remove(record.name);
      return result;
    }
    FinishRecordFile(r.output, r.currentName, record.header);
    Written.emplace_back(record.name, record.header);
  }
  return ArcOk;
}

// Settles a body that walk has taken whole (bodyRead: without a failed or
// short read) against trailer and the rules of its records, then writes the
// records' files from the plain body in r.archive. Closes the archive.
int32_t ExtractWalked(Reader& r, RecordWalk& walk, bool bodyRead, uint32_t trailer,
                      const fileio::File& destination, const char* destDir) {
  RecordFiles files(destination, StripTrailingBackslashes(destDir));
  alignas(DclWorkArea) uint8_t workArea[WorkAreaSize];
  int32_t result = ArcOk;
  if (!bodyRead || trailer != walk.Check()) result = ArcBadChecksum;
  // Nothing is written for an archive whose layout or names break a rule.
  if (result == ArcOk && (walk.Result() != ArcOk || !RecordFaults(walk.Records()).empty()))
    result = ArcBadRecord;
  if (result == ArcOk)
    result = ExtractRecords(r, walk.Records(), files, r.archive.Size(), workArea);
  if (result == ArcOk && r.progress) r.progress(r.currentName.c_str(), 100);
  r.archive.Close();
  r.output.Close();
  return result;
}

// Unpacks the archive open in r.archive, unscrambling it in place first.
int32_t ExtractOpened(Reader& r, const fileio::File& destination, const char* destDir,
                      const char* key) {
  Written.clear();
  const int64_t fileLength = r.archive.Size();
  RecordWalk walk(fileLength - 4, key ? key : "");
  const bool bodyRead =
      fileLength >= 0 && r.archive.Seek(0) && UnscrambleBody(r, walk, fileLength - 4);
  uint32_t trailer = 0;
  uint32_t got = 0;
  if (bodyRead) r.archive.Read(reinterpret_cast<uint8_t*>(&trailer), sizeof trailer, &got);
  return ExtractWalked(r, walk, bodyRead, trailer, destination, destDir);
}

}  // namespace

bool WrittenRecord(const std::string& name, uint32_t* size, uint32_t* check) {
  for (const auto& [written, header] : Written) {
    if (!SameRecordName(written, name)) continue;
    *size = header.Size;
    *check = header.Check;
    return true;
  }
  return false;
}

int32_t ExtractArchiveFile(fileio::File archive, const fileio::File& destination,
                           const char* destDir, const char* key, ProgressProc progress) {
  Reader r;
  r.archive = std::move(archive);
  if (!destDir) return ArcCannotCreate;
  r.progress = progress;
  if (!r.archive.IsOpen()) return ArcCannotOpen;
  return ExtractOpened(r, destination, destDir, key);
}

int32_t ExtractWalkedArchive(fileio::File archive, RecordWalk& walk, uint32_t trailer,
                             const fileio::File& destination, const char* destDir,
                             ProgressProc progress) {
  Reader r;
  r.archive = std::move(archive);
  if (!destDir) return ArcCannotCreate;
  r.progress = progress;
  if (!r.archive.IsOpen()) return ArcCannotOpen;
  Written.clear();
  return ExtractWalked(r, walk, true, trailer, destination, destDir);
}
