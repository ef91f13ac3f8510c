// The reader on an archive file named by its path, as the tests and the
// fuzzers run it; the setup itself hands the reader a file it holds open.
#pragma once

#include <cstdint>
#include <utility>

#include "archive/Archive.h"
#include "archive/FileIo.h"

namespace testutil {

// ExtractArchiveFile on the file at path, opened for reading and writing.
// The file is unscrambled in place and removed afterwards, on every path
// but a null path or destDir (which touch nothing); ArcCannotOpen when it
// cannot be opened.
inline int32_t ExtractArchiveAt(const char* path, const char* destDir, const char* key,
                                ProgressProc progress) {
  if (!path) return ArcCannotOpen;
  if (!destDir) return ArcCannotCreate;
  fileio::File archive;
  if (!archive.Open(path, fileio::OpenMode::ReadWrite)) {
    fileio::RemoveFile(path);
    return ArcCannotOpen;
  }
  const int32_t result = ExtractArchiveFile(std::move(archive), destDir, key, progress);
  fileio::RemoveFile(path);
  return result;
}

}  // namespace testutil
