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
#include "explode/Crc32.h"
#include "explode/Explode.h"

// The trailer is read straight into an integer.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr size_t WorkAreaSize =
    DclWorkAreaSize > size_t(WorkAreaChunk) ? DclWorkAreaSize : size_t(WorkAreaChunk);

// The archive is read and the output written in blocks of this size: one
// system call where the decoder's 2 KiB reads and 4 KiB writes would take
// 32 and 16, and a quarter of the calls of the unscrambling pass.
constexpr uint32_t IoBlock = 65536;

// What one call of the reader works with; the decoder's callbacks reach it
// through their parameter.
struct Reader {
  fileio::File archive;
  fileio::File output;
  std::string currentName;  // full path of the file being written
  ProgressProc progress = nullptr;
  int32_t percent = 0;  // progress of the current record

  // Read-ahead of the archive: its unread bytes are [inAt, inEnd), and
  // inPosition is the archive offset of the next one.
  std::vector<uint8_t> inBuffer = std::vector<uint8_t>(IoBlock);
  uint32_t inAt = 0, inEnd = 0;
  int64_t inPosition = 0;
  // Decoded bytes not yet written.
  std::vector<uint8_t> outBuffer = std::vector<uint8_t>(IoBlock);
  uint32_t outFill = 0;

  // The current record.
  FileRecordHeader header = {};
  uint32_t packedLeft = 0;  // packed bytes not yet handed to the decoder
  uint32_t packedRead = 0;  // packed bytes handed to the decoder
  uint64_t produced = 0;    // bytes the decoder has produced, counted in full
  uint32_t crc = 0;         // CRC-32 register of the bytes kept
  bool ioFailed = false;    // a read or write failed during decoding

  // Reads up to count bytes of the archive through the read-ahead and sets
  // *got to the count read. False when reading the file failed.
  bool Read(uint8_t* to, uint32_t count, uint32_t* got) {
    *got = 0;
    while (count > 0) {
      if (inAt == inEnd) {
        inAt = inEnd = 0;
        if (!archive.Read(inBuffer.data(), IoBlock, &inEnd)) return false;
        if (inEnd == 0) break;
      }
      const uint32_t n = std::min(count, inEnd - inAt);
      std::memcpy(to + *got, inBuffer.data() + inAt, n);
      inAt += n;
      inPosition += n;
      *got += n;
      count -= n;
    }
    return true;
  }

  // Moves the reading to offset, within the read-ahead where it can.
  bool MoveTo(int64_t offset) {
    if (offset >= inPosition && offset - inPosition <= int64_t(inEnd - inAt)) {
      inAt += uint32_t(offset - inPosition);
      inPosition = offset;
      return true;
    }
    inAt = inEnd = 0;
    inPosition = offset;
    return archive.Seek(offset);
  }

  // Writes the gathered output. False on a failed or short write.
  bool Flush() {
    const bool ok = outFill == 0 || output.Write(outBuffer.data(), outFill);
    outFill = 0;
    return ok;
  }

  // Keeps what the decoder produced up to the record's Size; a byte past it
  // ends the record (see ReadBlock), and none of it is written.
  void Keep(const uint8_t* data, uint32_t size) {
    const uint64_t room = produced < header.Size ? header.Size - produced : 0;
    produced += size;
    if (size > room) size = uint32_t(room);
    if (outFill + size > IoBlock && !Flush()) ioFailed = true;
    std::memcpy(outBuffer.data() + outFill, data, size);
    outFill += size;
    crc = UpdateCrc32(data, &size, &crc);
  }

  bool PastSize() const { return produced > header.Size; }
};

uint32_t ReadBlock(uint8_t* buffer, uint32_t* size, void* param) {
  auto& r = *static_cast<Reader*>(param);
  // Past the record's size the decoder gets no more input, so it stops
  // with what it holds.
  if (r.PastSize()) return 0;
  const uint32_t want = std::min(r.packedLeft, *size);
  uint32_t got = 0;
  if (want > 0 && !r.Read(buffer, want, &got)) r.ioFailed = true;
  r.packedRead += got;
  r.packedLeft -= got;
  return got;
}

void WriteBlock(uint8_t* buffer, uint32_t* size, void* param) {
  auto& r = *static_cast<Reader*>(param);
  r.Keep(buffer, *size);
  if (r.progress) r.progress(r.currentName.c_str(), r.percent);
}

// Unscrambles the body in place, block by block, walking its records.
// False when a read failed or came up short before the trailer (the body
// then cannot match its check value).
bool UnscrambleBody(Reader& r, RecordWalk& walk, int64_t bodyLength) {
  uint8_t* chunk = r.inBuffer.data();
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

// Decodes the record whose head is record into the open output file.
// Returns ArcOk, ArcIoError or ArcBadRecord.
int32_t DecodeRecord(Reader& r, const RecordHead& record, uint8_t* workArea) {
  r.header = record.header;
  r.packedLeft = record.header.PackedSize;
  r.packedRead = 0;
  r.produced = 0;
  r.crc = 0xFFFFFFFFu;
  r.ioFailed = false;
  r.outFill = 0;
  if (!r.MoveTo(record.streamStart)) return ArcIoError;

  const uint32_t result = DclDecompress(ReadBlock, WriteBlock, workArea, &r);
  if (!r.Flush()) r.ioFailed = true;
  if (r.PastSize()) return ArcBadRecord;
  if (r.ioFailed) return ArcIoError;
  return AcceptDecodedRecord(r.header, result, r.packedRead, r.produced, r.crc) ? ArcOk
                                                                                 : ArcBadRecord;
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
  for (const RecordHead& record : records) {
    if (files.Create(record.name, r.output, r.currentName) != ArcOk) return ArcCannotCreate;
    // Taken in 64 bits: position * 100 overflows 32 bits past 21 MB.
    r.percent = int32_t(std::nearbyint(double(record.streamStart) * 100.0 /
                                       double(fileLength > 1 ? fileLength : 1)));
    if (r.progress) r.progress(r.currentName.c_str(), r.percent);
    const int32_t result = DecodeRecord(r, record, workArea);
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

// Unpacks the archive open in r.archive; name, when not empty, is deleted
// at the end.
int32_t ExtractOpened(Reader& r, const std::string& name, const char* destDir, const char* key) {
  Written.clear();
  RecordFiles files(StripTrailingBackslashes(destDir));
  alignas(DclWorkArea) uint8_t workArea[WorkAreaSize];

  int32_t result = ArcOk;
  const int64_t fileLength = r.archive.Size();
  RecordWalk walk(fileLength - 4, key ? key : "");
  const bool bodyRead =
      fileLength >= 0 && r.archive.Seek(0) && UnscrambleBody(r, walk, fileLength - 4);
  uint32_t trailer = 0;
  uint32_t got = 0;
  if (bodyRead) r.archive.Read(reinterpret_cast<uint8_t*>(&trailer), sizeof trailer, &got);
  if (!bodyRead || trailer != walk.Check()) result = ArcBadChecksum;
  // Nothing is written for an archive whose layout or names break a rule.
  if (result == ArcOk && (walk.Result() != ArcOk || !RecordFaults(walk.Records()).empty()))
    result = ArcBadRecord;

  if (result == ArcOk) result = ExtractRecords(r, walk.Records(), files, fileLength, workArea);
  if (result == ArcOk && r.progress) r.progress(r.currentName.c_str(), 100);
  r.archive.Close();
  if (!name.empty()) fileio::RemoveFile(name);
  r.output.Close();
  return result;
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

int32_t ExtractArchive(const char* archiveName, const char* destDir, const char* key,
                       ProgressProc progress) {
  if (!archiveName) return ArcCannotOpen;
  if (!destDir) return ArcCannotCreate;
  const std::string name = DefaultArchiveName(archiveName, ".pvz");
  Reader r;
  r.progress = progress;
  if (!r.archive.Open(name, fileio::OpenMode::ReadWrite)) {
    fileio::RemoveFile(name);
    return ArcCannotOpen;
  }
  return ExtractOpened(r, name, destDir, key);
}

int32_t ExtractArchiveFile(fileio::File archive, const char* destDir, const char* key,
                           ProgressProc progress) {
  Reader r;
  r.archive = std::move(archive);
  if (!destDir) return ArcCannotCreate;
  r.progress = progress;
  if (!r.archive.IsOpen()) return ArcCannotOpen;
  return ExtractOpened(r, "", destDir, key);
}
