// The archive reader: turns one archive file into files below a destination
// directory.
//
// The layout and its primitives: archive/Format.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/FileIo.h"
#include "archive/Format.h"

// Result codes of ExtractArchive.
enum : int32_t {
  ArcOk = 0,
  ArcCannotOpen = -1,    // no archive name, or the file cannot be opened
  ArcCannotCreate = -2,  // no destination, or an output file cannot be created
  ArcIoError = -3,       // reading a packed stream or writing a file failed
  ArcBadChecksum = -5,   // the body does not match the trailer
  ArcBadRecord = -6,     // a record failed its checks, or its name is unsafe
};

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

// The rules by which a record is read, for every reader of the format.

// Whether a record decoded soundly: the decoder's result, the packed bytes
// it consumed, and the count and CRC-32 register of the bytes it produced,
// against the record's fields. An empty file's stream is 4 bytes, which the
// decoder reports as too short: that is sound.
bool AcceptDecodedRecord(const FileRecordHeader& header, uint32_t result, uint32_t consumed,
                         uint32_t produced, uint32_t check);
