// What Windows lets a product's file names be, checked when a tree is
// packed: the setup writes each name below its destination as it stands,
// so a name Windows cannot store, or two it takes for one, would fail or
// garble on the user's machine long after the archive has passed verify.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "archive/Format.h"
#include "archive/ProductFiles.h"
#include "tools/pvpack/CodePageTables.h"

namespace names {

// The longest destination the setup proposes: the 32-bit program-files
// folder of a 64-bit Windows followed by the product's own folder.
inline constexpr product::Joined LongestDestination{
    product::Joined{"C:\\Program Files (x86)", product::DefaultDestination.text}.text, "\\"};
// Windows' path limit less the terminating zero (MAX_PATH is 260).
inline constexpr size_t MaxPathLength = 259;
// The longest record name, in bytes of the archive's code page.
inline constexpr size_t MaxNameLength = MaxPathLength - (sizeof LongestDestination.text - 1);
static_assert(MaxNameLength == 219);

// The file the setup copies its archive into, at the root of the
// destination, and deletes when it is done.
using ::SetupTempName;

// Why Windows cannot store name (one file or folder name, no separators),
// as a phrase that follows the name in a message; empty when it can.
// Refused: the characters < > : " / \ | ? * and 0 to 31, the device names
// (IsDeviceName, archive/Format.h; the superscript digits in UTF-8 here),
// and a name that ends in a dot or a blank.
std::string NameFault(std::string_view name);

// The key under which Windows takes two names in one folder for the same:
// trailing dots and blanks dropped and letters in upper case (ASCII and the
// Latin, Greek and Cyrillic letters the single-byte code pages hold).
// name is UTF-8; bytes that are not are kept as they are.
std::u32string SameNameKey(std::string_view name);

// How Windows folds the case of names in codePage (1252 when null), for
// the rules of names (RecordFaults).
CaseFold FoldOf(const codepage::SingleByteTable* codePage);

}  // namespace names
