// The archive reader: turns one archive file into files below a destination
// directory.
//
// Layout: the body (file records back to back, scrambled as one stream from
// the key) and a 4-byte trailer holding the CRC-32 register of the plain
// body. A record: NameLength (2), Name, then FileRecordHeader (20), then
// PackedSize bytes of one compressed stream. Integers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/FileIo.h"

// Result codes of ExtractArchive.
enum : int32_t {
  ArcOk = 0,
  ArcCannotOpen = -1,    // no archive name, or the file cannot be opened
  ArcCannotCreate = -2,  // no destination, or an output file cannot be created
  ArcIoError = -3,       // reading a packed stream or writing a file failed
  ArcBadChecksum = -5,   // the body does not match the trailer
  ArcBadRecord = -6,     // a record failed its checks, or its name is unsafe
};

#pragma pack(push, 1)
// The fixed part of a record after its name, read as one block.
struct FileRecordHeader {
  uint32_t DosDateTime;  // last-write time, local; DOS date in the high half
  uint32_t Size;         // unpacked size
  uint32_t Attributes;   // Windows attribute bits, applied last
  uint32_t PackedSize;   // bytes of the packed stream that follows
  uint32_t Check;        // CRC-32 register (no final complement) of the data
};
#pragma pack(pop)
static_assert(sizeof(FileRecordHeader) == 20);

// Bytes of the work area lent to the decoder (the 64-bit build's decoder
// needs a little more).
inline constexpr int32_t WorkAreaChunk = 12596;

// Called with the full path of the file being written and a percentage.
using ProgressProc = void (*)(const char* fileName, int32_t percent);

// Unpacks archiveName (completed with ".pvz" and the current directory where
// it lacks them) below destDir, unscrambling with key (null: the empty key).
// Returns ArcOk or one of the negative codes above. The archive file is
// unscrambled in place and deleted before returning, on every path but a
// null archiveName or destDir. The whole body is checked before any file is
// written; a record's name that would leave destDir (absolute, drive or
// UNC path, a ".." component) is rejected before anything of it is written.
// Files written before a failing record stay. Not reentrant.
int32_t ExtractArchive(const char* archiveName, const char* destDir, const char* key,
                       ProgressProc progress);

// ExtractArchive on an archive file already open for reading and writing,
// which it takes over and closes before returning (a Private file is
// deleted as it closes). The same results; ArcCannotOpen when archive is not
// open.
int32_t ExtractArchiveFile(fileio::File archive, const char* destDir, const char* key,
                           ProgressProc progress);

// What the record of name (a path below the destination, either separator,
// any case) declared, when the last extraction wrote that file: its size and
// check value. False for any other name.
bool WrittenRecord(const std::string& name, uint32_t* size, uint32_t* check);

// True when name is a relative path below the destination: not empty, no
// NUL, no drive or stream colon, no leading separator, and no component made
// only of dots and blanks (Windows trims those to "." or "..").
bool IsSafeRecordName(const char* name, uint32_t length);

// The rules by which a record is read, for every reader of the format.

// One record's name and fixed fields, split from the plain body.
struct RecordHead {
  std::string name;
  FileRecordHeader header = {};
  int64_t streamStart = 0;  // body offset of its packed stream
};

// Bytes a record holds before its packed stream, at the most.
inline constexpr size_t MaxRecordHead = 2 + 65535 + sizeof(FileRecordHeader);

// Splits the record that starts at offset at of a plain body of bodyLength
// bytes; bytes holds the available bytes from there on (fewer than the
// record needs when it is cut off). ArcOk, or ArcBadRecord when the record
// is cut off by the trailer or its name is unsafe.
int32_t SplitRecord(const uint8_t* bytes, size_t available, int64_t at, int64_t bodyLength,
                    RecordHead& out);

// Whether a record decoded soundly: the decoder's result, the packed bytes
// it consumed, and the count and CRC-32 register of the bytes it produced,
// against the record's fields. An empty file's stream is 4 bytes, which the
// decoder reports as too short: that is sound.
bool AcceptDecodedRecord(const FileRecordHeader& header, uint32_t result, uint32_t consumed,
                         uint32_t produced, uint32_t check);
