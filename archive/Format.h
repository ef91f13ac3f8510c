// The archive format's primitives, written once for every reader and writer:
// the record head, the seal of the body (scrambling and check value, with
// the trailer) and the DOS date and time a record carries.
//
// Layout: the body (file records back to back, scrambled as one stream from
// the key) and a 4-byte trailer holding the CRC-32 register of the plain
// body. A record: NameLength (2), Name, then FileRecordHeader (20), then
// PackedSize bytes of one compressed stream. Integers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// ---- Record head ------------------------------------------------------------

// One record's name and fixed fields, split from the plain body.
struct RecordHead {
  std::string name;
  FileRecordHeader header = {};
  int64_t streamStart = 0;  // body offset of its packed stream
};

// Bytes a record holds before its packed stream, at the most.
inline constexpr size_t MaxRecordHead = 2 + 65535 + sizeof(FileRecordHeader);

// Appends a record's name and fixed fields, all that stands before its
// packed stream, to out. False, appending nothing, when the name is empty
// or longer than NameLength can count.
bool AppendRecordHead(std::vector<uint8_t>& out, std::string_view name,
                      const FileRecordHeader& header);

// Splits the record that starts at offset at of a plain body of bodyLength
// bytes; bytes holds the available bytes from there on (fewer than the
// record needs when it is cut off). ArcOk (0), or ArcBadRecord (-6) when
// the record is cut off by the trailer or its name is unsafe.
int32_t SplitRecord(const uint8_t* bytes, size_t available, int64_t at, int64_t bodyLength,
                    RecordHead& out);

// True when name is a relative path below the destination: not empty, no
// NUL, no drive or stream colon, no leading separator, and no component made
// only of dots and blanks (Windows trims those to "." or "..").
bool IsSafeRecordName(const char* name, uint32_t length);

// ---- Seal -------------------------------------------------------------------

// The bytes of the trailer.
inline constexpr size_t TrailerSize = 4;

// The seal of one body, taken over its bytes in order as they are written
// or read: the scrambling stream (archive/Encript.h) started from the key,
// and the CRC-32 register of the plain bytes, which the trailer holds. Each
// seal keeps its own place in the stream, so one body can be read while
// another is written.
class BodySeal {
 public:
  explicit BodySeal(std::string_view key = "");
  // Runs the check value over the plain bytes of data, then scrambles them
  // in place.
  void Seal(uint8_t* data, size_t size);
  // Unscrambles data in place, then runs the check value over it.
  void Unseal(uint8_t* data, size_t size);
  // The CRC-32 register of the plain bytes so far.
  uint32_t Check() const { return check_; }
  // Where the scrambling stream stands: with it, Resume takes the body up
  // again at this place, to read a part of it out of order.
  uint32_t StreamState() const { return state_; }
  // A seal that goes on from streamState (see StreamState); its check value
  // covers only the bytes it is given.
  static BodySeal Resume(uint32_t streamState) {
    BodySeal seal;
    seal.state_ = streamState;
    return seal;
  }
  // Appends the trailer for the bytes so far to out.
  void AppendTrailer(std::vector<uint8_t>& out) const;

 private:
  uint32_t check_ = 0xFFFFFFFFu;
  uint32_t state_ = 0;  // the scrambling stream's
};

// The value a trailer holds.
uint32_t TrailerValue(const uint8_t* trailer);

// ---- Date and time ----------------------------------------------------------

// A local calendar date and time, month and day from 1.
struct CivilTime {
  int year = 1980, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// 1980-01-01 00:00:00 and 2107-12-31 23:59:58, the ends of the DOS range.
inline constexpr uint32_t FirstDosTime = (1u << 5 | 1u) << 16;
inline constexpr uint32_t LastDosTime =
    (127u << 9 | 12u << 5 | 31u) << 16 | (23u << 11 | 59u << 5 | 29u);

// A record's DosDateTime for a local time: the DOS date in the high 16 bits,
// the time in the low ones, seconds rounded down to even. A time before 1980
// gives FirstDosTime, one after 2107 LastDosTime: the nearest time a record
// can hold, so that a file never looks newer or older than every other one.
uint32_t DosTimeOf(const CivilTime& local);

// The local time a record's DosDateTime stands for. False for fields no
// calendar has (month 0 or 13, day 0, hour 24 and the like), as Windows
// refuses them.
bool CivilTimeOf(uint32_t dosDateTime, CivilTime& local);
