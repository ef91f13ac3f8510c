// The inputs and outputs of pvpack's commands, for the library's own files.
#pragma once

#include <cstdint>
#include <string>

#include "tools/pvpack/Pack.h"

namespace pvpack {

using pack::Bytes;
using pack::Fault;

// What stands at path when it is no regular file, for a message; empty for
// a file, or a pipe (read as a stream, up to the limit).
std::string NotAFile(const std::string& path);

// Reads the file at path ("-": standard input) into data. Refuses, with
// fault naming path, what is no file (a folder, a device such as
// /dev/zero) and more than limit bytes, so that no input runs on for ever
// or is taken for a huge file.
bool ReadInput(const std::string& path, uint64_t limit, Bytes& data, Fault& fault);

// Writes data to the file at path ("-": standard output), replacing it.
bool WriteAll(const std::string& path, const Bytes& data);

// A new temporary file that nobody else can have guessed, or "" with
// folder naming where it could not be made. It has an extension, so the
// reader takes its name as it is.
std::string NewTempFile(std::string& folder);

}  // namespace pvpack
