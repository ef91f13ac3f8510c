// The payload locator: finds the archive behind the marker in the setup
// executable, copies it out and unpacks it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/FileIo.h"
#include "archive/Format.h"
#include "archive/MessagePump.h"

// The marker that stands between the program image and the archive, in
// upper case. The program keeps only its lower-case form and makes this one
// when it starts, so the marker text inside the program never matches.
extern const std::string PayloadMarker;

// Offset just past the first marker in data[0..n), or -1 when there is none.
int64_t MarkerEnd(const uint8_t* data, size_t n);

// Where the archive stands in a file: bytes [start, end).
struct ArchivePlace {
  int64_t start = 0;
  int64_t end = 0;
  bool isSetup = false;  // behind the marker of a setup executable
};

// The one finder of an archive in a file of fileSize bytes, read through
// read (ReadAtProc, archive/Format.h): in a file that begins as a Windows executable ("MZ") and holds the
// marker, the archive runs from the first byte after the first marker to
// the certificate table when the file was signed after the archive was
// appended (signing tools put the table at the end), else to the end of the
// file; in any other file it is the whole file. False when a read failed.
bool FindArchive(ReadAtProc read, void* context, int64_t fileSize, ArchivePlace& place);

// FindArchive over a file held in memory.
ArchivePlace FindArchiveIn(const uint8_t* data, size_t size);

// Opens the running executable's own file and holds it, for reading, until
// the process ends: while it is held, nobody can write, rename or
// delete it, so the payload unpacked is the one of the setup the user
// started. Run it first thing at start-up. False when it cannot be held
// (another program has it open for writing or deleting): the caller must
// then stop, and UnpackPayload fails.
bool HoldSetupFile();

// Unpacks the archive appended to the running executable, through the
// hold HoldSetupFile took (never by its name), into the destination folder
// the caller holds (File::HoldDirectory) until this returns, named destDir
// (no trailing backslash; it must be writable), the archive found by
// FindArchive. Everything, the temporary copy "tempfile.$$$" included, is
// made relative to that hold, so a folder put at destDir's name meanwhile
// gets nothing. True when the archive was copied without an I/O failure
// and extracted completely. Calls pump with false between blocks of work.
// The temporary copy never outlives the call.
bool UnpackPayload(const fileio::File& destination, const std::string& destDir,
                   MessagePumpProc pump);

// The same for the executable at exePath, opened now, into the existing
// folder destDir, held now.
bool UnpackPayloadFile(const std::string& exePath, const std::string& destDir,
                       MessagePumpProc pump);
