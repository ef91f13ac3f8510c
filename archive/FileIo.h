// The file and directory operations of the payload modules. One interface,
// two implementations: the Win32 ANSI API for the setup program, POSIX for
// the native tools and tests. Paths use "\" as the separator on both; the
// POSIX side turns it into "/" at the call.
//
// No operation throws. Each reports failure by its result, and the caller
// decides which failures matter.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace fileio {

// File-attribute bits as Windows defines them.
inline constexpr uint32_t AttrReadOnly = 0x01;
inline constexpr uint32_t AttrHidden = 0x02;
inline constexpr uint32_t AttrSystem = 0x04;
inline constexpr uint32_t AttrDirectory = 0x10;
inline constexpr uint32_t AttrArchive = 0x20;
inline constexpr uint32_t AttrNormal = 0x80;
inline constexpr uint32_t AttrReparsePoint = 0x400;  // a symbolic link, junction, placeholder...
inline constexpr uint32_t InvalidAttributes = 0xFFFFFFFFu;

// The two modes that write never open through a link standing at the path
// itself: the open fails instead, and what the link points to is untouched.
// The setup runs with raised rights in a folder that others may have
// prepared, so a planted link must not steer its writes elsewhere.
enum class OpenMode {
  ReadShared,  // an existing file, for reading; others may read and write it
  ReadHeld,    // an existing file, for reading; others may read it, but neither
               // write, rename nor delete it while it is open
  ReadWrite,   // an existing file, for reading and writing
  Create,      // a new empty file replacing any old one, for reading and writing
  CreateNew,   // a new file, for reading and writing; fails when anything
               // (file, link, folder) stands at the path
  Private,     // as CreateNew, and nobody else may open it while it is open;
               // on NT only administrators and the system may open it at
               // all. It is deleted when it is closed.
  Inspect,     // whatever stands at the path itself, a link not followed, for
               // Facts, SetAttributes and Delete; a folder too
  Attributes,  // an existing file itself, a link not followed, for Facts and
               // SetAttributes only
};

// What a handle refers to.
struct FileFacts {
  uint32_t attributes = 0;  // Windows attribute bits (see GetAttributes)
  uint32_t links = 0;       // names the file has; hard links make more than one
  // A symbolic link, junction or other reparse point that stands for a
  // name elsewhere (a name surrogate). Other reparse points (a placeholder
  // of a cloud folder, a deduplicated file) are files and folders like the
  // rest.
  bool isLink = false;
};

// Whether a reparse point with this tag is a link: any tag that stands for
// a name elsewhere (a name surrogate: junctions, symbolic links and their
// kin). One whose tag cannot be read (0: the call failed; 0 to 2, the
// reserved tags no real reparse point has: the system reports none, as
// Wine does for the Unix links it shows as reparse points) counts as a
// link too.
inline constexpr bool IsLinkTag(uint32_t tag) { return (tag & 0x20000000) != 0 || tag <= 2; }

// An open file. Owns its handle and closes it when it goes.
class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(File&& other) noexcept
      : handle_(other.handle_), path_(std::move(other.path_)), parent_(other.parent_),
        deleteOnClose_(other.deleteOnClose_) {
    other.handle_ = Invalid;
    other.deleteOnClose_ = false;
  }
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.handle_;
      path_ = std::move(other.path_);
      parent_ = other.parent_;
      deleteOnClose_ = other.deleteOnClose_;
      other.handle_ = Invalid;
      other.deleteOnClose_ = false;
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens path; an already open file is closed first. False on failure.
  bool Open(const std::string& path, OpenMode mode);
  // Opens path as a real directory (not a link) and holds it: while it is
  // held, Windows lets nobody rename or remove it, so it cannot be swapped
  // for a link. False when path is no directory or is a link. Where the
  // system has no links (Windows 9x) it only checks, and nothing is open.
  bool OpenDirectory(const std::string& path);
  // Holds an existing directory as it stands (the user's choice, a link
  // included) so that it cannot be renamed or removed while it is held.
  // False when it cannot be held: no directory, or another program has it
  // open for deleting. Windows 9x, which cannot hold folders, only checks.
  bool HoldDirectory(const std::string& path);

  // The same below a held directory, relative to its handle and never
  // through a name from the top: dir holds a directory (HoldDirectory,
  // OpenDirectoryAt) and name is one level below it, no separator in it.
  // A folder on the way renamed or swapped for a link after it was held
  // then redirects nothing. Any mode; the modes that never
  // open through a link (and Inspect, Attributes) fail on a link that the
  // system would follow. Delete, and on POSIX nothing else, acts on name
  // in dir, so dir must stay held while this file is open. Windows 9x,
  // which has no links, opens by the full name.
  bool OpenAt(const File& dir, const std::string& name, OpenMode mode);
  // Opens the real directory name in dir, as OpenAt does, and holds it as
  // OpenDirectory does. False when no directory or a link stands there.
  bool OpenDirectoryAt(const File& dir, const std::string& name);
  // Makes the directory name in dir and holds it as OpenDirectoryAt does;
  // on NT in one call, so the handle is to the folder this call made and
  // the checks a folder found standing needs are left out where the
  // system can tell nothing else (Wine still has the listing checked).
  // False when anything stands at the name or it cannot be made.
  bool NewDirectoryAt(const File& dir, const std::string& name);
  // Opens once more the object that file refers to, whatever has become of
  // its names, in mode Attributes: for changing attributes after the file
  // is closed. Windows 9x opens its name again.
  bool Reopen(const File& file);
  bool IsOpen() const { return handle_ != Invalid; }
  // Closes the file (a Private one is deleted). False if the close failed or
  // nothing was open.
  bool Close();

  // What the handle refers to. False when it cannot be told.
  bool Facts(FileFacts* facts) const;
  // Sets the attributes of the object the handle refers to. False on failure.
  bool SetAttributes(uint32_t attributes);
  // Removes the name the handle was opened by (a link itself, never its
  // target; for a file with more names, only this one) and closes the
  // handle. False, still open, when the system refuses (a read-only file, a
  // folder that is not empty).
  bool Delete();

  // Reads up to count bytes into buffer and sets *got to the count read
  // (0 at the end of the file). False, with *got = 0, on a failed read.
  bool Read(void* buffer, uint32_t count, uint32_t* got);
  // Writes all count bytes. False on failure or on a short write.
  bool Write(const void* buffer, uint32_t count);
  // Moves to an absolute offset.
  bool Seek(int64_t offset);
  // Current offset, or -1.
  int64_t Tell() const;
  // File length in bytes, or -1.
  int64_t Size() const;

  // Sets the last-write time (only) from an MS-DOS date and time in local
  // time, date in the high 16 bits. Returns 0 or the system's error code.
  uint32_t SetDosTime(uint32_t dosDateTime);
  // The last-write time as a local MS-DOS date and time (DosTimeOfSeconds);
  // 0 when it cannot be read.
  uint32_t GetDosTime() const;

 private:
  friend bool MakeDirectoryAt(const File& dir, const std::string& name);
  friend bool RemoveLinkAt(const File& dir, const std::string& name);

  // A Win32 HANDLE or a POSIX descriptor, stored in a pointer-sized integer.
  // -1 is both INVALID_HANDLE_VALUE and "no descriptor".
  static constexpr intptr_t Invalid = -1;
  intptr_t handle_ = Invalid;
  // The name it was opened by: where the system lacks calls through a
  // handle (Windows 9x, which has no links either; POSIX, for the tools and
  // tests), those calls act on the name. Relative to parent_, a directory
  // the caller holds, when opened by OpenAt on POSIX.
  std::string path_;
  intptr_t parent_ = Invalid;
  bool deleteOnClose_ = false;  // a Private file the system does not delete itself
};

// Attributes of path itself, or InvalidAttributes when it does not exist. A
// link is described, not followed: AttrReparsePoint, with AttrDirectory when
// it stands for a directory. On POSIX a directory is AttrDirectory, a file
// AttrArchive, plus AttrReadOnly when the owner may not write it.
uint32_t GetAttributes(const std::string& path);
// Names avoid the Win32 macros DeleteFile, CreateDirectory and friends.
// Sets attributes; on POSIX only the read-only bit has an effect.
bool SetAttributes(const std::string& path, uint32_t attributes);
bool RemoveFile(const std::string& path);
// Removes the link (symbolic link or junction) at path itself, never what it
// points to. False when no link stands there, or it could not be removed.
bool RemoveLink(const std::string& path);
// Creates one directory level (default security). False if it failed,
// including when it already exists.
bool MakeDirectory(const std::string& path);
// The same for name in the directory dir holds, relative to its handle
// (see File::OpenAt).
bool MakeDirectoryAt(const File& dir, const std::string& name);
// Removes the link that stands at name in the directory dir holds, never
// what it points to. False when no link stands there or it stays: where
// the system opens a link's target instead of the link (Wine's Unix links),
// it stays.
bool RemoveLinkAt(const File& dir, const std::string& name);
// A time, in seconds since 1970 UTC, as a record's DosDateTime in local
// time: DosTimeOf of the local time, so a time before 1980 gives
// FirstDosTime and one after 2107 (or beyond what the system can convert)
// LastDosTime. The one conversion for the reader's file layer and the tools.
uint32_t DosTimeOfSeconds(int64_t seconds);
// The process's current directory, or an empty string.
std::string CurrentDir();
// The full path of the running program's executable, or an empty string.
std::string ModulePath();

// Test seam: when set, every read and write of an open file asks it first,
// and a true answer makes that call fail as a failing disk would.
using FaultProc = bool (*)(bool isWrite);
extern FaultProc InjectFault;

}  // namespace fileio
