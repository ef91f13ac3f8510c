// The reader on an archive file named by its path, as the tests and the
// fuzzers run it; the setup itself hands the reader a file it holds open.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "archive/Archive.h"
#include "archive/FileIo.h"
#include "archive/ShortUtl.h"

namespace testutil {

// ExtractArchiveFile on the file at path, opened for reading and writing,
// into destDir, made and held here. The file is unscrambled in place and
// removed afterwards, on every path but a null path or destDir (which touch
// nothing); ArcCannotOpen when it cannot be opened, ArcCannotCreate when
// destDir cannot be made.
inline int32_t ExtractArchiveAt(const char* path, const char* destDir, const char* key,
                                ProgressProc progress) {
  if (!path) return ArcCannotOpen;
  if (!destDir) return ArcCannotCreate;
  fileio::File archive;
  if (!archive.Open(path, fileio::OpenMode::ReadWrite)) {
    fileio::RemoveFile(path);
    return ArcCannotOpen;
  }
  // The destination made and held once, as the setup holds its own from
  // Install on.
  const std::string dir = StripTrailingBackslashes(destDir);
  MakeDirPath(dir);
  fileio::File destination;
  int32_t result = ArcCannotCreate;
  if (destination.HoldDirectory(dir))
    result = ExtractArchiveFile(std::move(archive), destination, destDir, key, progress);
  archive.Close();
  fileio::RemoveFile(path);
  return result;
}

}  // namespace testutil
