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

namespace fileio {

// File-attribute bits as Windows defines them.
inline constexpr uint32_t AttrReadOnly = 0x01;
inline constexpr uint32_t AttrHidden = 0x02;
inline constexpr uint32_t AttrSystem = 0x04;
inline constexpr uint32_t AttrDirectory = 0x10;
inline constexpr uint32_t AttrArchive = 0x20;
inline constexpr uint32_t AttrNormal = 0x80;
inline constexpr uint32_t AttrReparsePoint = 0x400;  // a symbolic link, junction and the like
inline constexpr uint32_t InvalidAttributes = 0xFFFFFFFFu;

// The two modes that write never open through a link standing at the path
// itself: the open fails instead, and what the link points to is untouched.
// The setup runs with raised rights in a folder that others may have
// prepared, so a planted link must not steer its writes elsewhere.
enum class OpenMode {
  ReadShared,  // an existing file, for reading; others may read and write it
  ReadWrite,   // an existing file, for reading and writing
  Create,      // a new empty file replacing any old one, for reading and writing
};

// An open file. Owns its handle and closes it when it goes.
class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = Invalid; }
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.handle_;
      other.handle_ = Invalid;
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
  bool IsOpen() const { return handle_ != Invalid; }
  // Closes the file. False if the close failed or nothing was open.
  bool Close();

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
  // The last-write time as a local MS-DOS date and time; 0 on failure.
  // Times before 1980 come out as 1980-01-01 00:00:00.
  uint32_t GetDosTime() const;

 private:
  // A Win32 HANDLE or a POSIX descriptor, stored in a pointer-sized integer.
  // -1 is both INVALID_HANDLE_VALUE and "no descriptor".
  static constexpr intptr_t Invalid = -1;
  intptr_t handle_ = Invalid;
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
// Removes the link at path itself, never what it points to. False when no
// link stands there, or it could not be removed.
bool RemoveLink(const std::string& path);
// Creates one directory level (default security). False if it failed,
// including when it already exists.
bool MakeDirectory(const std::string& path);
// The process's current directory, or an empty string.
std::string CurrentDir();
// The full path of the running program's executable, or an empty string.
std::string ModulePath();

// Test seam: when set, every read and write of an open file asks it first,
// and a true answer makes that call fail as a failing disk would.
using FaultProc = bool (*)(bool isWrite);
extern FaultProc InjectFault;

}  // namespace fileio
