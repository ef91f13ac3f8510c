#include "archive/Archive.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "archive/Encript.h"
#include "archive/FileIo.h"
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

uint32_t ReadBlock(uint8_t* buffer, uint32_t* size, void*) {
  uint32_t want = uint32_t(Min32(PackedLeft, int32_t(*size)));
  uint32_t got = 0;
  if (want > 0 && !ArchiveFile.Read(buffer, want, &got)) StreamIoFailed = true;
  PackedRead += int32_t(got);
  PackedLeft -= int32_t(got);
  return got;
}

void WriteBlock(uint8_t* buffer, uint32_t* size, void*) {
  if (!OutputFile.Write(buffer, *size)) StreamIoFailed = true;
  RunningCrc = UpdateCrc32(buffer, size, &RunningCrc);
  // Wraps like the 32-bit counter it is, never as a signed overflow.
  BytesWritten = int32_t(uint32_t(BytesWritten) + *size);
  if (Progress) Progress(CurrentName.c_str(), Percent);
}

void CloseArchive(const std::string& name) {
  ArchiveFile.Close();
  fileio::RemoveFile(name);
  OutputFile.Close();
}

// Unscrambles the body in place, chunk by chunk, running RunningCrc over the
// plain bytes. False when a read failed or came up short before the trailer
// (the body then cannot match its check value).
bool UnscrambleBody(int64_t bodyLength, uint8_t* chunk) {
  RunningCrc = 0xFFFFFFFFu;
  int64_t left = bodyLength;
  while (left > 0) {
    int64_t position = ArchiveFile.Tell();
    uint32_t n = 0;
    if (position < 0 || !ArchiveFile.Read(chunk, uint32_t(left < WorkAreaChunk ? left : WorkAreaChunk), &n) ||
        n == 0)
      return false;
    left -= n;
    CryptBuffer(chunk, int32_t(n));
    RunningCrc = UpdateCrc32(chunk, &n, &RunningCrc);
    // Writing back is best effort: the check above already covers the
    // bytes that were read.
    ArchiveFile.Seek(position);
    ArchiveFile.Write(chunk, n);
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
  if (StreamIoFailed) return ArcIoError;
  // An empty file's stream is the header and the end code alone: 4 bytes,
  // which the decoder reports as too short.
  if (header.Size == 0 && header.PackedSize == 4 && r == DclInputTooShort) r = DclOk;
  if (uint32_t(PackedRead) != header.PackedSize || uint32_t(BytesWritten) != header.Size ||
      RunningCrc != header.Check || r != DclOk)
    return ArcBadRecord;
  return ArcOk;
}

// Makes the directories of a record's name below dir, parents first, and
// holds each one open in held until the record's file is written, so none
// can be swapped for a link meanwhile. Whoever could write below dir before
// the setup ran may have planted links there: such a link is replaced by a
// real directory, never followed. False when a directory cannot be made
// safe this way.
bool MakeRecordDirectories(const std::string& dir, const std::string& name,
                           std::vector<fileio::File>& held) {
  held.clear();
  // The destination itself is the user's choice and is taken as it stands.
  MakeDirPath(dir);
  std::string path = dir;
  size_t start = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    // Both separators: the system takes "/" for one too.
    if (name[i] != '\\' && name[i] != '/') continue;
    if (i > start) {
      path += '\\';
      path.append(name, start, i - start);
      fileio::RemoveLink(path);
      fileio::MakeDirectory(path);  // fails harmlessly when it exists
      held.emplace_back();
      if (!held.back().OpenDirectory(path)) return false;
    }
    start = i + 1;
  }
  return true;
}

int32_t ExtractRecords(const std::string& dir, int64_t fileLength, uint8_t* workArea) {
  const int64_t bodyLength = fileLength - 4;
  if (!ArchiveFile.Seek(0)) return ArcBadRecord;
  for (int64_t position = 0; position < bodyLength; position = ArchiveFile.Tell()) {
    uint16_t nameLength = 0;
    uint32_t got = 0;
    ArchiveFile.Read(&nameLength, sizeof nameLength, &got);
    nameLength = uint16_t(got == sizeof nameLength ? nameLength : 0);
    std::string name(nameLength, '\0');
    FileRecordHeader header = {};
    uint32_t gotName = 0, gotHeader = 0;
    if (nameLength) ArchiveFile.Read(name.data(), nameLength, &gotName);
    ArchiveFile.Read(&header, sizeof header, &gotHeader);

    // A record cut off by the trailer, or one whose name would leave the
    // destination, fails before anything of it is written.
    int64_t streamStart = position + 2 + nameLength + int64_t(sizeof header);
    if (gotName != nameLength || gotHeader != sizeof header ||
        streamStart + int64_t(header.PackedSize) > bodyLength ||
        !IsSafeRecordName(name.data(), nameLength))
      return ArcBadRecord;

    CurrentName = dir + "\\" + name;
    std::vector<fileio::File> heldDirectories;
    if (!MakeRecordDirectories(dir, name, heldDirectories)) return ArcCannotCreate;
    // An old file is replaced, read-only or not; a link in its place goes
    // itself, and its target keeps its attributes and contents.
    if (!fileio::RemoveLink(CurrentName)) {
      fileio::SetAttributes(CurrentName, 0);
      fileio::RemoveFile(CurrentName);
    }
    if (!OutputFile.Open(CurrentName, fileio::OpenMode::Create)) return ArcCannotCreate;

    // Taken in 64 bits: position * 100 overflows 32 bits past 21 MB.
    Percent = int32_t(std::nearbyint(double(streamStart) * 100.0 /
                                     double(fileLength > 1 ? fileLength : 1)));
    if (Progress) Progress(CurrentName.c_str(), Percent);

    int32_t result = DecodeRecord(header, workArea);
    if (result != ArcOk) return result;
    OutputFile.SetDosTime(header.DosDateTime);
    // Attributes go on while the file is still open: nobody can then have
    // put a link in its place.
    fileio::SetAttributes(CurrentName, header.Attributes);
    OutputFile.Close();
  }
  return ArcOk;
}

}  // namespace

bool IsSafeRecordName(const char* name, uint32_t length) {
  if (length == 0 || name[0] == '\\' || name[0] == '/') return false;
  bool onlyDotsAndBlanks = true;
  for (uint32_t i = 0; i <= length; ++i) {
    char c = i < length ? name[i] : '\\';
    if (c == '\0' || c == ':') return false;
    if (c == '\\' || c == '/') {
      if (onlyDotsAndBlanks && i > 0 && name[i - 1] != '\\' && name[i - 1] != '/') return false;
      onlyDotsAndBlanks = true;
    } else if (c != '.' && c != ' ') {
      onlyDotsAndBlanks = false;
    }
  }
  return true;
}

int32_t ExtractArchive(const char* archiveName, const char* destDir, const char* key,
                       ProgressProc progress) {
  if (!archiveName) return ArcCannotOpen;
  if (!destDir) return ArcCannotCreate;
  const std::string name = DefaultArchiveName(archiveName, ".pvz");
  Progress = progress;
  const std::string dir = StripTrailingBackslashes(destDir);

  if (!ArchiveFile.Open(name, fileio::OpenMode::ReadWrite)) {
    CloseArchive(name);
    return ArcCannotOpen;
  }
  alignas(DclWorkArea) uint8_t workArea[WorkAreaSize];
  SetKey(key ? key : "");

  int32_t result = ArcOk;
  const int64_t fileLength = ArchiveFile.Size();
  bool bodyRead = fileLength >= 0 && UnscrambleBody(fileLength - 4, workArea);
  uint32_t trailer = 0;
  uint32_t got = 0;
  if (bodyRead) ArchiveFile.Read(&trailer, sizeof trailer, &got);
  if (!bodyRead || trailer != RunningCrc) result = ArcBadChecksum;

  if (result == ArcOk) result = ExtractRecords(dir, fileLength, workArea);
  if (result == ArcOk && Progress) Progress(CurrentName.c_str(), 100);
  CloseArchive(name);
  return result;
}
