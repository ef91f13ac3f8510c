// The inputs and outputs of pvpack's commands, for the library's own files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/pvpack/Output.h"
#include "tools/pvpack/Pack.h"

namespace pvpack {

using pack::Bytes;
using pack::Fault;

// What stands at path when it is no regular file, for a message; empty for
// a file, or a pipe (read as a stream, up to the limit).
std::string NotAFile(const std::string& path);

// An input opened for reading in pieces, as ReadInput reads it.
struct InputStream {
  std::FILE* file = nullptr;
  pack::UniqueFile owned;  // the file, unless it is standard input
  std::string shown;       // its name in messages
  uint64_t limit = 0;      // bytes it may hold
  uint64_t read = 0;       // bytes read so far
  uint64_t expected = 0;   // its size, when it is a file that has one
};

// Opens path ("-": standard input) to be read with ReadSome. Refuses, with
// fault naming path, what is no file and a file of more than limit bytes.
bool OpenInput(const std::string& path, uint64_t limit, InputStream& in, Fault& fault);

// Reads up to size bytes into buffer; got < size only at the end. False,
// with fault, when reading fails or the input passes its limit.
bool ReadSome(InputStream& in, uint8_t* buffer, size_t size, size_t& got, Fault& fault);

// Reads the file at path ("-": standard input) into data, setting input to
// what it read. Refuses, with fault naming path, what is no file (a folder,
// a device such as /dev/zero), more than limit bytes, so that no input runs
// on for ever or is taken for a huge file, and more than this build can
// hold in memory (a 32-bit one: about 2 GiB), before any of it is read.
bool ReadInput(const std::string& path, uint64_t limit, Bytes& data, InputFile& input,
               Fault& fault);

// Reads up to size bytes of file at offset into buffer, setting got; fewer
// only at the file's end. Several threads may read one file at once; the
// stream's own position is left for the next seek to set. False when
// reading fails.
bool ReadAt(std::FILE* file, uint64_t offset, uint8_t* buffer, size_t size, size_t& got);

}  // namespace pvpack
