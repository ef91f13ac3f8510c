// The archive format's primitives, written once for every reader and writer:
// the record head, the seal of the body (scrambling and check value, with
// the trailer) and the DOS date and time a record carries.
//
// Layout: the body (file records back to back, scrambled as one stream from
// the key) and a 4-byte trailer holding the CRC-32 register of the plain
// body. A record: NameLength (2), Name, then FileRecordHeader (20), then
// PackedSize bytes of one compressed stream. Integers are little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Result codes of the format's readers (the setup's ExtractArchiveFile and
// every reader that follows its rules).
enum : int32_t {
  ArcOk = 0,
  ArcCannotOpen = -1,    // no archive name, or the file cannot be opened
  ArcCannotCreate = -2,  // no destination, or an output file cannot be created
  ArcIoError = -3,       // reading a packed stream or writing a file failed
  ArcBadChecksum = -5,   // the body does not match the trailer
  ArcBadRecord = -6,     // a record failed its checks, or breaks a rule of names
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

// ---- Record head ------------------------------------------------------------

// One record's name and fixed fields, split from the plain body.
struct RecordHead {
  std::string name;
  FileRecordHeader header = {};
  int64_t streamStart = 0;  // body offset of its packed stream
  uint32_t streamState = 0;  // the scrambling stream there (BodySeal::StreamState)
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
// the record is cut off by the trailer or its stream is longer than a
// reader counts (2^31 bytes or more). Its name is not judged here: that is
// RecordFaults' work, over all records at once.
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
  // Steps over count bytes unseen: the stream goes on after them, and the
  // check value leaves them out.
  void Pass(uint64_t count);
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

// ---- The walk over the records -------------------------------------------

// The one walk over an archive's records, for every reader: the body is
// taken in order, in pieces of any size, as it stands in the file
// (scrambled); each piece is unscrambled in place, the check value runs on,
// and every record's head is gathered with where its packed stream starts
// and the scrambling stream's state there, the streams themselves passed
// over. So one pass over the body settles its check value, its layout and
// its names before any file is written.
class RecordWalk {
 public:
  explicit RecordWalk(int64_t bodyLength, std::string_view key = "");
  // Unscrambles the next size bytes of the body in place and walks them.
  void Take(uint8_t* data, size_t size);
  // The bytes of a packed stream that come next, which Pass may step over
  // unread (0 once a record is broken: the walk then has its result).
  int64_t Passable() const { return broken_ ? 0 : skip_; }
  // Whether a record is broken: nothing after it is walked.
  bool Broken() const { return broken_; }
  // Steps over count bytes (at most Passable()) unread. Check() then leaves
  // them out: a reader that walks only the heads this way settles the
  // body's check value itself (ShiftCrc32 joins parts checked apart).
  void Pass(int64_t count);
  // The CRC-32 register of the plain bytes taken, which the trailer holds.
  uint32_t Check() const { return seal_.Check(); }
  // Once the whole body has been taken: ArcOk, or ArcBadRecord when a
  // record is cut off by the trailer or its stream is too long to count
  // (the records before it are gathered).
  int32_t Result() const {
    return broken_ || !head_.empty() || taken_ < bodyLength_ ? ArcBadRecord : ArcOk;
  }
  const std::vector<RecordHead>& Records() const { return records_; }
  std::vector<RecordHead>& Records() { return records_; }

 private:
  BodySeal seal_;
  int64_t bodyLength_;
  int64_t taken_ = 0;        // body bytes taken
  int64_t skip_ = 0;         // bytes of the current packed stream still to pass over
  std::vector<uint8_t> head_;  // the bytes of the head being gathered
  bool broken_ = false;
  std::vector<RecordHead> records_;
};

// Reads up to n bytes of a file at offset into out and sets *got to the
// count read (fewer only at the file's end). False when reading failed.
using ReadAtProc = bool (*)(void* context, int64_t offset, uint8_t* out, uint32_t n,
                            uint32_t* got);

// The one decoding of a record's packed stream, for every reader: the
// stream read from a body through read (offsets in the body), as it stands
// (unscrambled from the record's streamState) or already plain; the output
// counted in 64 bits against the record's Size and handed to a sink, never
// more than Size bytes of it. Past Size the decoder gets no more input, so
// it stops within the input it holds. Input is read ahead, and output
// gathered, in blocks of Block bytes: one call where the decoder's 2 KiB
// reads and 4 KiB writes would take 32 and 16. One decoder serves one
// thread, and may decode any number of records in turn.
class RecordDecoder {
 public:
  static constexpr uint32_t Block = 65536;
  // Takes size bytes of output (at most Block); false when they cannot be
  // written, which fails the record with ArcIoError.
  using Sink = bool (*)(void* context, const uint8_t* data, uint32_t size);

  RecordDecoder(ReadAtProc read, void* context, bool scrambled)
      : read_(read), context_(context), scrambled_(scrambled) {}
  // Decodes record with workArea (DclWorkAreaSize bytes aligned for
  // DclWorkArea), its output to sink when there is one. ArcOk; ArcIoError
  // when reading or the sink failed; ArcBadRecord when the stream does not
  // decode to the record's size and check value, or passes its size.
  int32_t Decode(const RecordHead& record, uint8_t* workArea, Sink sink = nullptr,
                 void* sinkContext = nullptr);

  // What decoding a bare stream came to.
  struct StreamEnd {
    uint32_t result = 0;  // the decoder's (explode/Explode.h)
    bool readFailed = false;  // then result tells nothing
    bool sinkFailed = false;
  };
  // Decodes one bare stream, no record around it: read in order from offset
  // 0 until a read gives nothing (4 GiB - 1 bytes at the most), as it
  // stands, its output, of any length, to sink. An empty file's stream (its
  // two header bytes and an end code in two more, which the decoder reports
  // as too short) gives DclOk.
  StreamEnd DecodeStream(uint8_t* workArea, Sink sink, void* sinkContext);

 private:
  static uint32_t Read(uint8_t* buffer, uint32_t* size, void* param);
  static void Write(uint8_t* buffer, uint32_t* size, void* param);
  // Runs the decoder from at over packed bytes, at most size_ output bytes
  // kept; what is gathered is handed to the sink before it returns.
  uint32_t Run(int64_t at, uint32_t packed, uint32_t streamState, uint8_t* workArea, Sink sink,
               void* sinkContext);
  // Hands the output gathered to the sink.
  void Flush();

  ReadAtProc read_;
  void* context_;
  bool scrambled_;
  std::vector<uint8_t> block_;  // read ahead: [blockAt_, blockEnd_) not yet handed out
  size_t blockAt_ = 0, blockEnd_ = 0;
  std::vector<uint8_t> out_;  // output gathered: outFill_ bytes
  uint32_t outFill_ = 0;
  int64_t at_ = 0;        // body offset of the next byte to read
  uint32_t unread_ = 0;   // packed bytes not yet read
  uint32_t consumed_ = 0;  // packed bytes handed to the decoder
  uint64_t produced_ = 0;  // bytes the decoder produced
  uint64_t size_ = 0;      // the bytes kept at the most: the record's Size
  uint32_t crc_ = 0;       // CRC-32 register of the bytes kept
  bool readFailed_ = false;
  bool sinkFailed_ = false;
  // The scrambling stream's state at at_. Only unscrambled: the whole
  // body's check value was settled before any record is decoded.
  uint32_t streamState_ = 0;
  Sink sink_ = nullptr;
  void* sinkContext_ = nullptr;
};

// Whether a record decoded soundly: the decoder's result, the packed bytes
// it consumed, and the count and CRC-32 register of the bytes it produced,
// against the record's fields. An empty file's stream is 4 bytes, which the
// decoder reports as too short: that is sound.
bool AcceptDecodedRecord(const FileRecordHeader& header, uint32_t result, uint32_t consumed,
                         uint64_t produced, uint32_t check);

// ---- The rules of names -----------------------------------------------------

// Capitals of a single-byte code page: fold[b] is the byte Windows takes b
// for when it compares names without case.
using CaseFold = std::array<uint8_t, 256>;
// The fold of code page 1252, in which archives store their names.
const CaseFold& CaseFold1252();

// The name the setup gives its copy of the archive, at the root of the
// destination.
inline constexpr char SetupTempName[] = "tempfile.$$$";

// Whether one component of a name (no separators) opens a Windows device:
// CON PRN AUX NUL, COM and LPT with a digit or a superscript 1, 2 or 3
// (0xB9 0xB2 0xB3 in code page 1252), CONIN$ CONOUT$ CLOCK$; alone or with
// any extension, in any case, blanks before the dot ignored.
bool IsDeviceName(std::string_view component);

// A record that breaks a rule of names, and why, as a phrase that follows
// its name in a message.
struct RecordFault {
  size_t index;
  std::string why;
};

// Judges the names of all of an archive's records at once, as Windows will
// take them below the destination, and gives each record at fault, in
// order: a name that would leave the destination (IsSafeRecordName) or
// names no file, a character Windows does not allow in a name (control
// characters, < > " | ? *), a component that is a device, the setup's temporary name at the root, a
// name that Windows takes for an earlier record's (case folded by fold,
// trailing dots and blanks dropped), and a name that is a folder of an
// earlier record's path or has an earlier record's file for a folder.
std::vector<RecordFault> RecordFaults(const std::vector<RecordHead>& records,
                                      const CaseFold& fold = CaseFold1252());

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
