// The records of an archive or setup executable as the read commands load
// them, for the library's own files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/pvpack/Pvpack.h"

namespace pvpack {

struct Loaded {
  Bytes archive;  // the archive, taken from a setup executable when it is one
  Bytes body;     // its plain body
  std::vector<pack::Record> records;
  bool isSetup = false;
};

// Reads path (an archive or a setup executable) and checks its archive and
// how its records are laid out, leaving each record's name converted from
// codePage to UTF-8 (as it stands when codePage is null). A file that
// cannot be read gives the status unreadable.
Result LoadRecords(const std::string& path, const codepage::SingleByteTable* codePage,
                   int unreadable, Loaded& out);

// The bytes of the files of records, for a summary.
uint64_t TotalSize(const std::vector<pack::Record>& records);

}  // namespace pvpack
