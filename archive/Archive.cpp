#include "archive/Archive.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "archive/Encript.h"
#include "archive/FileIo.h"
#include "archive/RecordFiles.h"
#include "archive/ShortUtl.h"
#include "explode/Crc32.h"
#include "explode/Explode.h"

// Records and trailer are read straight into integers.
static_assert(std::endian::native == std::endian::little);

namespace {

// The reader's state, one set for the whole program.
fileio::File ArchiveFile;
fileio::File OutputFile;
std::string CurrentName;   // full path of the file being written
int32_t PackedLeft = 0;    // packed bytes of this record not yet handed out
int32_t PackedRead = 0;    // packed bytes handed to the decoder
int32_t BytesWritten = 0;  // unpacked bytes received from the decoder
uint32_t RunningCrc = 0;   // CRC-32 register of the pass or the record
int32_t Percent = 0;       // progress of the current record
ProgressProc Progress = nullptr;
bool StreamIoFailed = false;  // a read or write failed during decoding
constexpr size_t WorkAreaSize =
    DclWorkAreaSize > size_t(WorkAreaChunk) ? DclWorkAreaSize : size_t(WorkAreaChunk);

// The archive is read and the output written in blocks of this size: one
// system call where the decoder's 2 KiB reads and 4 KiB writes would take
// 32 and 16, and a quarter of the calls of the unscrambling pass.
constexpr uint32_t IoBlock = 65536;
std::vector<uint8_t> InBuffer;   // read-ahead of the archive, IoBlock bytes
uint32_t InAt = 0, InEnd = 0;    // its unread bytes: [InAt, InEnd)
int64_t InPosition = 0;          // archive offset of the next unread byte
std::vector<uint8_t> OutBuffer;  // decoded bytes not yet written
std::vector<uint8_t> RecordBytes;  // a record's bytes before its packed stream
uint32_t OutFill = 0;

// Reads up to count bytes of the archive through the read-ahead and sets
// *got to the count read. False when reading the file failed.
bool ReadArchive(void* buffer, uint32_t count, uint32_t* got) {
  auto* to = static_cast<uint8_t*>(buffer);
  *got = 0;
  while (count > 0) {
    if (InAt == InEnd) {
      InAt = InEnd = 0;
      if (!ArchiveFile.Read(InBuffer.data(), IoBlock, &InEnd)) return false;
      if (InEnd == 0) break;
    }
    uint32_t n = std::min(count, InEnd - InAt);
    std::memcpy(to + *got, InBuffer.data() + InAt, n);
    InAt += n;
    InPosition += n;
    *got += n;
    count -= n;
  }
  return true;
}

// Writes the gathered output. False on a failed or short write.
bool FlushOutput() {
  bool ok = OutFill == 0 || OutputFile.Write(OutBuffer.data(), OutFill);
  OutFill = 0;
  return ok;
}

uint32_t ReadBlock(uint8_t* buffer, uint32_t* size, void*) {
  uint32_t want = uint32_t(Min32(PackedLeft, int32_t(*size)));
  uint32_t got = 0;
  if (want > 0 && !ReadArchive(buffer, want, &got)) StreamIoFailed = true;
  PackedRead += int32_t(got);
  PackedLeft -= int32_t(got);
  return got;
}

void WriteBlock(uint8_t* buffer, uint32_t* size, void*) {
  if (OutFill + *size > IoBlock && !FlushOutput()) StreamIoFailed = true;
  if (*size > IoBlock) {
    if (!OutputFile.Write(buffer, *size)) StreamIoFailed = true;
  } else {
    std::memcpy(OutBuffer.data() + OutFill, buffer, *size);
    OutFill += *size;
  }
  RunningCrc = UpdateCrc32(buffer, size, &RunningCrc);
  // Wraps like the 32-bit counter it is, never as a signed overflow.
  BytesWritten = int32_t(uint32_t(BytesWritten) + *size);
  if (Progress) Progress(CurrentName.c_str(), Percent);
}

// Closes the archive, deleting it by name when one is given (a Private
// copy goes as it closes), and everything else the call held.
void CloseArchive(const std::string& name) {
  ArchiveFile.Close();
  if (!name.empty()) fileio::RemoveFile(name);
  OutputFile.Close();
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

// Unscrambles the body in place, chunk by chunk, running RunningCrc over the
// plain bytes. False when a read failed or came up short before the trailer
// (the body then cannot match its check value).
bool UnscrambleBody(int64_t bodyLength, const char* key) {
  BodySeal seal(key ? key : "");
  RunningCrc = seal.Check();
  uint8_t* chunk = InBuffer.data();
  for (int64_t position = 0; position < bodyLength;) {
    uint32_t n = 0;
    const int64_t left = bodyLength - position;
    if (!ArchiveFile.Read(chunk, uint32_t(left < IoBlock ? left : IoBlock), &n) || n == 0)
      return false;
    seal.Unseal(chunk, n);
    RunningCrc = seal.Check();
    // Writing back is best effort: the check above already covers the
    // bytes that were read.
    ArchiveFile.Seek(position);
    ArchiveFile.Write(chunk, n);
    position += n;
  }
  return true;
}

// Decodes one record whose name and header have been read; the output file
// is open. Returns ArcOk, ArcIoError or ArcBadRecord.
int32_t DecodeRecord(const FileRecordHeader& header, uint8_t* workArea) {
  PackedLeft = int32_t(header.PackedSize);
  PackedRead = 0;
  BytesWritten = 0;
  RunningCrc = 0xFFFFFFFFu;
  StreamIoFailed = false;

  uint32_t r = DclDecompress(ReadBlock, WriteBlock, workArea, &Percent);
  if (!FlushOutput()) StreamIoFailed = true;
  if (StreamIoFailed) return ArcIoError;
  return AcceptDecodedRecord(header, r, uint32_t(PackedRead), uint32_t(BytesWritten), RunningCrc)
             ? ArcOk
             : ArcBadRecord;
}

int32_t ExtractRecords(RecordFiles& files, int64_t fileLength, uint8_t* workArea) {
  const int64_t bodyLength = fileLength - 4;
  if (!ArchiveFile.Seek(0)) return ArcBadRecord;
  InAt = InEnd = 0;
  InPosition = 0;
  for (int64_t position = 0; position < bodyLength; position = InPosition) {
    // The name's length, then the name and the fixed fields.
    uint8_t* head = RecordBytes.data();
    uint32_t got = 0, gotRest = 0;
    ReadArchive(head, 2, &got);
    if (got == 2)
      ReadArchive(head + 2, uint32_t(head[0] | head[1] << 8) + sizeof(FileRecordHeader), &gotRest);
    // A record cut off by the trailer, or one whose name would leave the
    // destination, fails before anything of it is written.
    RecordHead record;
    if (SplitRecord(head, got + gotRest, position, bodyLength, record) != ArcOk)
      return ArcBadRecord;
    const std::string& name = record.name;
    const FileRecordHeader& header = record.header;
    const int64_t streamStart = record.streamStart;

    if (files.Create(name, OutputFile, CurrentName) != ArcOk) return ArcCannotCreate;

    // Taken in 64 bits: position * 100 overflows 32 bits past 21 MB.
    Percent = int32_t(std::nearbyint(double(streamStart) * 100.0 /
                                     double(fileLength > 1 ? fileLength : 1)));
    if (Progress) Progress(CurrentName.c_str(), Percent);

    int32_t result = DecodeRecord(header, workArea);
    if (result != ArcOk) return result;
    FinishRecordFile(OutputFile, CurrentName, header);
    Written.emplace_back(name, header);
  }
  return ArcOk;
}

}  // namespace

bool AcceptDecodedRecord(const FileRecordHeader& header, uint32_t result, uint32_t consumed,
                         uint32_t produced, uint32_t check) {
  if (header.Size == 0 && header.PackedSize == 4 && result == DclInputTooShort) result = DclOk;
  return result == DclOk && consumed == header.PackedSize && produced == header.Size &&
         check == header.Check;
}

bool WrittenRecord(const std::string& name, uint32_t* size, uint32_t* check) {
  for (const auto& [written, header] : Written) {
    if (!SameRecordName(written, name)) continue;
    *size = header.Size;
    *check = header.Check;
    return true;
  }
  return false;
}

namespace {

// Unpacks the archive already open in ArchiveFile; name, when not empty,
// is deleted at the end.
int32_t ExtractOpened(const std::string& name, const char* destDir, const char* key) {
  // An archive without records reports its end with an empty name, not
  // with a file of an earlier call.
  CurrentName.clear();
  Written.clear();
  RecordFiles files(StripTrailingBackslashes(destDir));

  alignas(DclWorkArea) uint8_t workArea[WorkAreaSize];
  InBuffer.resize(IoBlock);
  OutBuffer.resize(IoBlock);
  RecordBytes.resize(MaxRecordHead);
  OutFill = 0;

  int32_t result = ArcOk;
  const int64_t fileLength = ArchiveFile.Size();
  bool bodyRead = fileLength >= 0 && ArchiveFile.Seek(0) && UnscrambleBody(fileLength - 4, key);
  uint32_t trailer = 0;
  uint32_t got = 0;
  if (bodyRead) ArchiveFile.Read(&trailer, sizeof trailer, &got);
  if (!bodyRead || trailer != RunningCrc) result = ArcBadChecksum;

  if (result == ArcOk) result = ExtractRecords(files, fileLength, workArea);
  if (result == ArcOk && Progress) Progress(CurrentName.c_str(), 100);
  CloseArchive(name);
  return result;
}

}  // namespace

int32_t ExtractArchive(const char* archiveName, const char* destDir, const char* key,
                       ProgressProc progress) {
  if (!archiveName) return ArcCannotOpen;
  if (!destDir) return ArcCannotCreate;
  const std::string name = DefaultArchiveName(archiveName, ".pvz");
  Progress = progress;
  CurrentName.clear();
  if (!ArchiveFile.Open(name, fileio::OpenMode::ReadWrite)) {
    CloseArchive(name);
    return ArcCannotOpen;
  }
  return ExtractOpened(name, destDir, key);
}

int32_t ExtractArchiveFile(fileio::File archive, const char* destDir, const char* key,
                           ProgressProc progress) {
  ArchiveFile = std::move(archive);
  if (!destDir) {
    ArchiveFile.Close();
    return ArcCannotCreate;
  }
  Progress = progress;
  CurrentName.clear();
  if (!ArchiveFile.IsOpen()) {
    CloseArchive("");
    return ArcCannotOpen;
  }
  return ExtractOpened("", destDir, key);
}
