// Writing and checking archives, for the packing tool.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/Archive.h"

namespace pack {

using Bytes = std::vector<uint8_t>;

// One file to be stored: its record name (relative, "\" separators), its
// metadata and its contents.
struct SourceFile {
  std::string name;
  uint32_t dosDateTime = 0;
  uint32_t attributes = 0;
  Bytes data;
};

// A record as it stands in an archive.
struct Record {
  std::string name;
  FileRecordHeader header = {};
  size_t streamOffset = 0;  // offset of the packed stream in the plain body
};

// Reads a whole file into data. False when it cannot be read.
bool ReadFileBytes(const std::string& path, Bytes& data);

// The CRC-32 register over data, started at 0xFFFFFFFF, not complemented.
uint32_t CheckValue(const uint8_t* data, size_t size);

// Packs one file into a record (name, header and the smallest stream) and
// appends it to body, which stays unscrambled.
void AppendRecord(const SourceFile& file, Bytes& body);

// Turns a plain body into an archive: scrambled from the empty key, with
// the trailer appended.
Bytes FinishArchive(Bytes body);

// Collects every regular file below dir, in a fixed order (byte order of
// the record names), with their times, attributes and contents. A symbolic
// link is followed: what it points to is stored under the link's name, with
// the target's time and attributes. A file time later than latestTime
// (seconds since 1970) is recorded as latestTime. Sets error, naming the
// path, and returns false when something cannot be read or stored: a link
// that leads nowhere, a link back to a folder that holds it, a FIFO, socket
// or device, an unreadable folder or file, a name the archive cannot hold.
bool CollectTree(const std::string& dir, std::vector<SourceFile>& files, std::string& error,
                 std::optional<int64_t> latestTime = std::nullopt);

// Unscrambles an archive's body in a copy and checks it against the
// trailer; then splits it into records. Returns ArcOk, ArcBadChecksum, or
// ArcBadRecord for a record that is cut off or has an unsafe name.
int32_t ReadRecords(const Bytes& archive, Bytes& body, std::vector<Record>& records);

// Decodes every record of a plain body against its size and check value
// without writing anything. ArcOk or ArcBadRecord; failedName names the
// first record that failed.
int32_t VerifyRecords(const Bytes& body, const std::vector<Record>& records,
                      std::string& failedName);

// The archive inside file: what follows the first marker when file is a
// setup executable (up to its certificate table, when it has been signed),
// else the whole file. markerFound tells which.
Bytes ArchiveOf(const Bytes& file, bool& markerFound);

// A setup executable: stub, zero filler so that the result's length is a
// multiple of 8 (ready for signing), the marker, archive. Refuses, with
// -1 and a reason in error, a stub that is no executable or already
// carries a marker or a signature.
int32_t MakeSetup(const Bytes& stub, const Bytes& archive, Bytes& out, std::string& error);

}  // namespace pack
