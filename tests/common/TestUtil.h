// Helpers shared by the tests: scratch folders and whole-file I/O.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tools/common/TempDir.h"

namespace testutil {

using Bytes = std::vector<uint8_t>;

// A scratch folder that fails the test when it cannot be made.
class TempDir : public scratch::TempDir {
 public:
  TempDir();
};

Bytes ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const Bytes& data);
void WriteFile(const std::filesystem::path& path, const std::string& text);

// The project's source folder (PV_SOURCE_DIR, set by CTest).
std::filesystem::path SourceDir();

// A minimal writer of the archive formats, kept apart from the code under
// test: plain-literal streams only, its own CRC and scrambling.

// The usual CRC-32 register (bitwise, no table), preset 0xFFFFFFFF, not
// complemented.
uint32_t CrcRegister(const Bytes& data);

// A stream that stores data as 8-bit literals (dictionary bits 6), ended
// by the end code.
Bytes LiteralStream(const Bytes& data);

// A stream of zeros: a literal 0, copies of 518 bytes at distance 1, then
// when last is set one copy of 349 bytes, and the end code; 1 + 518 *
// copies (+ 349) bytes from about 3 bytes a copy.
Bytes ZeroStream(uint32_t copies, bool last = false);

struct TestRecord {
  TestRecord(std::string n, Bytes d, uint32_t time = 0x5A8F6000 /* 2025-04-15 12:00:00 */,
             uint32_t attr = 0x20)
      : name(std::move(n)), data(std::move(d)), dosDateTime(time), attributes(attr) {}
  // Overrides for damaged records.
  TestRecord& WithStream(Bytes s) { stream = std::move(s); return *this; }
  TestRecord& WithSize(int64_t n) { size = n; return *this; }
  TestRecord& WithCheck(int64_t c) { check = c; return *this; }

  std::string name;
  Bytes data;
  uint32_t dosDateTime;
  uint32_t attributes;
  Bytes stream;  // empty: LiteralStream(data)
  int64_t size = -1;
  int64_t packedSize = -1;
  int64_t check = -1;
};

// The plain body of an archive holding these records.
Bytes ArchiveBody(const std::vector<TestRecord>& records);
// A complete archive: body scrambled from the empty key, trailer appended.
Bytes ArchiveFromBody(Bytes body);
inline Bytes BuildArchive(const std::vector<TestRecord>& records) {
  return ArchiveFromBody(ArchiveBody(records));
}

// Every file below dir, as relative generic paths with their contents.
std::vector<std::pair<std::string, Bytes>> TreeContents(const std::filesystem::path& dir);

// A file's last-write time in seconds since the epoch.
int64_t LastWriteUnix(const std::filesystem::path& path);

}  // namespace testutil
