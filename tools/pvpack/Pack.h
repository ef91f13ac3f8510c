// Writing and checking archives, for the packing tool.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "tools/pvpack/CodePage.h"
#include "tools/pvpack/Implode.h"

namespace pack {

using Bytes = std::vector<uint8_t>;

// Why something failed: the path at fault, empty when the fault is no
// path's, and what is wrong, shown as "path: problem". Every function here
// that walks, packs or assembles returns false and fills one; those that
// read an archive return the setup's reader's codes (archive/Archive.h).
struct Fault {
  std::string path;
  std::string problem;
  std::string Message() const { return path.empty() ? problem : path + ": " + problem; }
};

// An open C stream, closed when it goes.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// What stands at path, past links when follow is set, as the standard
// library tells it, with its size when size is given. On POSIX taken with
// this program's own 64-bit times and sizes: a 32-bit runtime's library
// fails on any file dated past 2038.
std::filesystem::file_status StatusOf(const std::filesystem::path& path, bool follow,
                                      std::error_code& ec, uintmax_t* size = nullptr);

inline UniqueFile OpenForReading(const std::string& path) {
  return UniqueFile(std::fopen(path.c_str(), "rb"));
}

// Opens the plain file at path for reading, a link at its name not
// followed, and tells which file it is (volume and index: device and inode,
// or volume serial and file index) and its size. When volume or index is
// not 0 on the call, the file must be that one: a file swapped for another,
// or for a link, between a check and the read is refused. Null, with why,
// when it cannot be opened or is not that file. *modified, when given, gets
// its last-write time in seconds since 1970.
UniqueFile OpenPlainFile(const std::string& path, uint64_t& volume, uint64_t& index,
                         uint64_t& size, std::string& why, int64_t* modified = nullptr);

// A new temporary file, open for writing and reading, that goes away when
// it is closed (or the process ends); null when none can be made.
UniqueFile OpenTempFile();

// A record as it stands in an archive.
struct Record {
  std::string name;
  FileRecordHeader header = {};
  size_t streamOffset = 0;  // offset of the packed stream in the plain body
  uint32_t streamState = 0;  // the body's scrambling stream there (BodySeal::StreamState)
};

// What the setup program can read.
// A file: the record holds its size in 32 bits (the reader counts the
// bytes it writes in 32 bits and compares them as such).
inline constexpr uint64_t MaxFileSize = 0xFFFFFFFFu;
// A packed stream: the reader counts the bytes left of it in a signed
// 32-bit integer.
inline constexpr uint64_t MaxPackedSize = 0x7FFFFFFFu;
// The setup executable: Windows starts none of 4 GiB or more, and a
// signature is found by a 32-bit file offset; room is left for one.
inline constexpr uint64_t MaxSetupSize = 0xFFFFFFFFu - 0xFFFFu;
// The archive: the setup executable less room for the program in front of
// it (the bare setup program is under 1 MiB).
inline constexpr uint64_t MaxArchiveSize = MaxSetupSize - (uint64_t(4) << 20);

struct Limits {
  uint64_t fileSize = MaxFileSize;
  uint64_t packedSize = MaxPackedSize;
  uint64_t archiveSize = MaxArchiveSize;
};

// The table of codepage::DefaultNumber.
const codepage::SingleByteTable* DefaultCodePage();

// One file of a product tree as CollectTree finds it.
struct TreeFile {
  std::string name;   // record name: relative, "\" separators
  std::string path;   // where to read it: the file itself, past any links
  std::string shown;  // its path below the tree as given, for messages
  uint64_t size = 0;
  uint32_t dosDateTime = 0;
  uint32_t attributes = 0;
  // Which file the walk found (device and inode; volume serial and file
  // index): the file read must be this one. Both 0 when not known.
  uint64_t volume = 0, index = 0;
};

struct TreeOptions {
  // A file time later than this (seconds since 1970) is recorded as it.
  std::optional<int64_t> latestTime;
  // The code page the names are stored in, converted from UTF-8; null:
  // names are stored as they stand (on Windows, already in its code page).
  const codepage::SingleByteTable* codePage = DefaultCodePage();
};

// What CollectTree says besides its result.
struct TreeReport {
  // The error is about names: one Windows cannot store or takes for
  // another, or a path too long.
  bool nameRefused = false;
  // Every name refused, in order of their paths; the fault is the first.
  // Also those found before a fault of another kind.
  std::vector<Fault> refused;
  // What is packed all the same, and may not be meant: each folder dropped
  // for holding no file, each link to something outside the tree, each
  // time moved into the range an archive holds.
  std::vector<std::string> warnings;
};

// Finds every regular file below dir, in a fixed order (byte order of the
// record names), with its size, time and attributes; it opens each one but
// reads none. A symbolic link is followed: what it points to is stored
// under the link's name, with the target's time and attributes. Sets fault,
// naming the path, and returns false when something cannot be stored: a
// link that leads nowhere, a link back to a folder that holds it, a FIFO,
// socket or device, an unreadable folder or file; and, with
// report->nameRefused set, a name options.codePage cannot hold, a name
// Windows cannot store (names::NameFault),
// names::SetupTempName at the root, a name longer than
// names::MaxNameLength, or two names in one folder that Windows takes for
// one (names::SameNameKey).
bool CollectTree(const std::string& dir, std::vector<TreeFile>& files, Fault& fault,
                 const TreeOptions& options = {}, TreeReport* report = nullptr);

// A file or folder of the product that the setup refers to after
// unpacking, as a record name, and what refers to it.
struct ProductReference {
  std::string path;
  std::string user;
};

// The product's files and folders that the post-install sequence refers to
// (archive/ProductFiles.h) that files lacks, as Windows compares names.
std::vector<ProductReference> MissingProductFiles(const std::vector<TreeFile>& files);

// Refuses, from the sizes alone, files the setup could not read: a file
// larger than limits.fileSize, or so many bytes that even the best packing
// would pass limits.archiveSize. Sets fault, naming the first file at fault.
// Whether each stream stays within limits.packedSize, and the archive
// within limits.archiveSize, is only known while packing (see PackFiles).
bool CheckLimits(const std::vector<TreeFile>& files, const Limits& limits, Fault& fault);

// The most files packed at the same time. Each worker holds about 10 MiB
// (up to about 60 MiB on long runs of repeated data), so this keeps the
// memory of pack bounded whatever it is asked for.
inline constexpr unsigned MaxWorkers = 32;

struct PackOptions {
  unsigned workers = 1;  // files packed at the same time, at most MaxWorkers
  Limits limits;
  // With the full search, up to this size a file is read once, and all six
  // streams are written while they are measured; a larger one is read a
  // second time to write the smallest. A race reads every file once.
  uint64_t onePassMax = implode::OnePassMax;
  // Full: every file's six streams parsed to the end, for the smallest of
  // them; Race: those that fall clearly behind dropped early (less than
  // half the time, and rarely more than a few bytes larger).
  implode::Search search = implode::Search::Race;
  // Bytes of a stream held in memory; a longer one waits in a temporary
  // file, and so does any once those held by all together pass 64 MiB.
  size_t holdMax = size_t(256) << 10;
  // Called on the calling thread with the files and the bytes of input
  // packed so far, in order: after each file, and now and then within one.
  void (*progress)(void* context, size_t files, uint64_t bytes) = nullptr;
  void* progressContext = nullptr;
};

// Packs files, in their order, each with the smallest stream that
// options.search finds, into an archive written to out; the same files give the same bytes whatever
// options.workers is. Reads each file in pieces, so memory does not grow
// with file sizes. Refuses, naming the file, one that cannot be read or
// changes while it is packed, one whose smallest stream would pass
// options.limits.packedSize (known as soon as every stream has passed it),
// and the file with which the archive would pass options.limits.archiveSize.
// outName names out in messages. On failure out holds part of an archive.
// *written, when given, counts the bytes of the archive written.
bool PackFiles(const std::vector<TreeFile>& files, const PackOptions& options, std::FILE* out,
               const std::string& outName, Fault& fault, uint64_t* written = nullptr);

// Whether an archive of archiveSize bytes, whose first n bytes are first
// (all of it when it is shorter), begins as an archive does: its first
// record, unscrambled, splits soundly (or the body is empty). Tells an
// archive whose check value fails (damaged) from a file that holds none.
bool LooksLikeArchive(const uint8_t* first, size_t n, uint64_t archiveSize);

// Whether stub is this project's bare setup program: "" when it is, else
// what it lacks of it (its version block, the dialogs it shows), in words.
std::string StubFault(const Bytes& stub);

// What goes in front of an archive of archiveSize bytes to make a setup
// executable: stub, zero filler so that the whole file's length is a
// multiple of 8 (ready for signing), and the marker. Refuses, with a fault
// naming stubName, a stub that is no executable or already carries a
// marker or a signature, and a setup larger than MaxSetupSize.
bool SetupHead(const Bytes& stub, const std::string& stubName, uint64_t archiveSize, Bytes& head,
               Fault& fault);

}  // namespace pack
