// pvpack's commands as library calls: the front end (main.cpp) parses the
// command line and prints; the fuzzers and tests call these directly.
//
// Every command returns a Result: unless it succeeded, why it failed, in
// pvpack's own terms, and the fault (the path at fault and what is wrong),
// which the front end shows as "pvpack: path: problem" and turns into an
// exit status. Nothing here prints; progress and
// warnings go to the Reporter the caller gives. A command's result file is
// written through Output (Output.h): whole, or not at all, and never over
// one of its inputs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/pvpack/CodePage.h"
#include "tools/pvpack/Implode.h"
#include "tools/pvpack/Pack.h"

namespace pvpack {

using pack::Bytes;
using pack::Fault;

// Why a command failed.
enum class Failure {
  None,
  Usage,  // the command cannot do what was asked (an empty destination, a wrong stub)
  Name,   // a name Windows or the code page cannot hold
  Io,     // a file of pvpack's own could not be read or written, or is too large
  // An archive as the setup program's reader takes it (the reader's codes,
  // archive/Format.h):
  CannotOpen,    // the archive cannot be opened
  CannotCreate,  // a file or folder below the destination cannot be made
  ReadWrite,     // reading the archive or writing a file failed while decoding
  NoArchive,     // no archive, or one whose check value does not match
  BadRecord,     // a record is damaged or breaks a rule of names
  // One compressed stream, as the decoder judges it (explode):
  BadDictionarySize,
  BadLiteralMode,
  StreamTooShort,
  NoEndCode,
};

struct Result {
  Failure failure = Failure::None;
  Fault fault;
  std::vector<Fault> earlier = {};  // further faults found before fault, in order (pack's names)

  bool Ok() const { return failure == Failure::None; }
};

// The failure a result code of the setup's reader (archive/Format.h) stands
// for; None for ArcOk.
Failure FailureOf(int32_t readerResult);

// What a command went through, for its summary line.
struct Totals {
  size_t files = 0;
  uint64_t bytes = 0;   // the files' own bytes
  uint64_t packed = 0;  // the archive's
  uint64_t setup = 0;   // the setup executable's, for setup
};

// Where a command reports while it runs; either may be null.
struct Reporter {
  void* context = nullptr;
  // Progress in words; last is set on the final report.
  void (*progress)(void* context, const std::string& text, bool last) = nullptr;
  // Something done that may not be meant.
  void (*warning)(void* context, const std::string& text) = nullptr;
};

// The one place that turns a reader result into words.
std::string ReaderFailure(int32_t result);

// implode: IN compressed into one stream, written to OUT.
Result Implode(const std::string& in, const std::string& out, implode::LiteralMode mode,
               unsigned dictBits);

// explode: one stream IN decoded into OUT. The failure is the decoder's
// judgement (an empty file's 4-byte stream is sound); OUT is written
// whatever it is, unless IN cannot be read whole.
Result Explode(const std::string& in, const std::string& out);

struct PackRequest {
  std::string dir;
  std::string archive;  // "-": standard output
  unsigned jobs = 1;
  const codepage::SingleByteTable* codePage = pack::DefaultCodePage();
  std::optional<int64_t> latestTime;  // SOURCE_DATE_EPOCH
  implode::Search search = implode::Search::Race;  // --smallest: Full
};

// pack: every file below request.dir into request.archive. Every name
// refused is given, in order (Result::earlier, then fault), as Failure::Name.
Result Pack(const PackRequest& request, const Reporter& reporter, Totals& totals);

// list: the records of file (an archive or a setup executable), their names
// converted from codePage to UTF-8 (as they stand when codePage is null).
Result List(const std::string& file, const codepage::SingleByteTable* codePage,
            std::vector<pack::Record>& records);

// verify: file checked record by record, nothing written.
Result Verify(const std::string& file, const codepage::SingleByteTable* codePage,
              Totals& totals);

// extract: file unpacked below dir, each file made by the setup program's
// own rules (archive/RecordFiles.h) and the records decoded on several
// threads; the names converted from codePage (as they stand when codePage
// is null). A record that fails leaves the files before it; its own is
// removed, and it is named. An empty dir is refused (Failure::Usage).
Result Extract(const std::string& file, const std::string& dir,
               const codepage::SingleByteTable* codePage, const Reporter& reporter,
               Totals& totals);

// setup: stub, filler, marker and archive written to out, once archive has
// been checked whole.
Result Setup(const std::string& stub, const std::string& archive, const std::string& out,
             Totals& totals);

}  // namespace pvpack
