// The records of an archive or setup executable as the read commands load
// them, for the library's own files. The archive is read from its file a
// block at a time, so memory does not grow with its size.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/Format.h"
#include "archive/PeImage.h"
#include "tools/pvpack/Pvpack.h"

namespace pvpack {

// An archive in a file: an archive file, or the part of a setup executable
// behind its marker.
class ArchiveSource {
 public:
  // Opens path ("-": standard input, first copied to a temporary file) and
  // finds the archive in it.
  bool Open(const std::string& path, Fault& fault);

  const std::string& Shown() const { return shown_; }
  // The file read, for telling which it is.
  std::FILE* Stream() const { return file_.get(); }
  uint64_t FileSize() const { return fileSize_; }
  uint64_t Size() const { return end_ - start_; }  // the archive's bytes
  bool IsSetup() const { return isSetup_; }
  // Whether the file begins as a Windows executable does.
  bool IsExecutable() const { return StartsAsExecutable(head_.data(), head_.size()); }

  // Reads the archive's first up to n bytes as they stand.
  Bytes FirstBytes(size_t n);
  // Passes the archive's first length bytes as they stand, in blocks, to
  // sink, which may change a block in place and returns false to stop.
  // False when reading or sink fails.
  bool CopyRaw(uint64_t length, const std::function<bool(uint8_t*, size_t)>& sink);

  uint64_t BodyLength() const { return Size() < TrailerSize ? 0 : Size() - TrailerSize; }
  // Reads up to n bytes of the body at offset as they stand (scrambled),
  // setting got; fewer only at the archive's end. Several threads may read
  // at once.
  bool ReadAt(uint64_t offset, uint8_t* out, size_t n, size_t& got);
  // The value in the trailer, 0 when it cannot be read.
  uint32_t Trailer();

 private:
  bool SeekTo(uint64_t offset);

  pack::UniqueFile file_;
  std::string shown_;
  Bytes head_;  // the file's first bytes, up to a PE header's
  uint64_t fileSize_ = 0;
  uint64_t start_ = 0, end_ = 0;
  bool isSetup_ = false;
};

struct Loaded {
  ArchiveSource source;
  std::vector<pack::Record> records;  // names converted (see LoadRecords)
};

// Opens path (an archive or a setup executable) and walks its archive
// (RecordWalk) in one pass: its check value, how its records are laid out,
// and the rules of their names (RecordFaults, case folded in codePage, or
// in 1252 when it is null), the fault naming every record that breaks one.
// Leaves each record's name converted from codePage to UTF-8 (as it stands
// when codePage is null). A file that cannot be read gives the failure
// unreadable.
Result LoadRecords(const std::string& path, const codepage::SingleByteTable* codePage,
                   Failure unreadable, Loaded& out);

// Decodes every record of a loaded archive against its size and check
// value, writing nothing. ArcOk, or ArcBadRecord with failedName naming the
// first record that failed (as out.records names it).
int32_t VerifyLoaded(Loaded& loaded, std::string& failedName);

// The record decoder (archive/Format.h) over source's archive, reading
// each record's stream at its place, which several threads may do at once,
// each with a decoder of its own.
RecordDecoder DecoderOf(ArchiveSource& source);

// The head of a loaded record, for the decoder.
RecordHead HeadOf(const pack::Record& record);

// The bytes of the files of records, for a summary.
uint64_t TotalSize(const std::vector<pack::Record>& records);

}  // namespace pvpack
