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

// Bytes of the work area lent to the decoder (the 64-bit build's decoder
// needs a little more).
inline constexpr int32_t WorkAreaChunk = 12596;

// Called with the full path of the file being written and a percentage.
using ProgressProc = void (*)(const char* fileName, int32_t percent);

// The reader: unpacks an archive file already open for reading and
// writing, which it takes over and closes before returning (a Private file
// is deleted as it closes), into the destination folder the caller holds
// (File::HoldDirectory) until it returns; every file and folder is reached
// from that handle, whatever becomes of the folder's name, destDir. The
// archive is unscrambled in place with key (null: the empty key). The whole
// body, the records' layout and their names (RecordFaults, archive/Format.h)
// are checked before any file is written. A record's output is counted
// against its Size as it comes: decoding stops at the first byte past it,
// and no more than Size bytes are ever written. Files written before a
// failing record stay; the failing record's own file is removed. Returns
// ArcOk or one of the codes of archive/Format.h: ArcCannotOpen when archive
// is not open, ArcCannotCreate for a null destDir.
int32_t ExtractArchiveFile(fileio::File archive, const fileio::File& destination,
                           const char* destDir, const char* key, ProgressProc progress);

// The same for an archive made plain as it was copied: every byte of its
// body went through walk (RecordWalk::Take, which unscrambles in place) on
// its way into archive, which holds the plain body, and trailer is the
// value that stood behind it. The copy and the unscrambling pass are then
// one pass over the bytes instead of two; the body is settled against
// trailer, and the records against their rules, before any file is written,
// as ExtractArchiveFile does.
int32_t ExtractWalkedArchive(fileio::File archive, RecordWalk& walk, uint32_t trailer,
                             const fileio::File& destination, const char* destDir,
                             ProgressProc progress);

// What the record of name (a path below the destination, either separator,
// any case) declared, when the last extraction wrote that file: its size and
// check value. False for any other name.
bool WrittenRecord(const std::string& name, uint32_t* size, uint32_t* check);
