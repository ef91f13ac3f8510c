// Names between the build machine's encoding (UTF-8) and the Windows ANSI
// code page the setup reads them in: the setup creates each file with the
// ANSI functions, so a name stored as UTF-8 would come out garbled.
#pragma once

#include <string>
#include <string_view>

#include "tools/pvpack/CodePageTables.h"

namespace codepage {

// Western European, the code page of most Windows installations the
// product is sold for.
inline constexpr int DefaultNumber = 1252;

// The table of a single-byte Windows ANSI code page (874, 1250 to 1258),
// or null for any other number. why is then set to a phrase that follows
// "code page N" in a message: a double-byte code page is refused because a
// second byte of 0x5C reads as a backslash in the setup's reader, which
// splits names byte by byte.
const SingleByteTable* Find(int number, std::string& why);

// The code point that starts text at i, moving i past it; false, with i
// unchanged, when the bytes there are no UTF-8 (a stray or cut-off
// sequence, an overlong form, a surrogate).
bool NextUtf8(std::string_view text, size_t& i, char32_t& c);

// Converts UTF-8 text to the code page. False when it cannot hold a
// character, or text is no UTF-8; missing then names that character
// ("U+4E2D" and the character itself, or the byte that is no UTF-8).
bool FromUtf8(const SingleByteTable& table, std::string_view text, std::string& out,
              std::string& missing);

// Converts text in the code page to UTF-8; a byte the code page leaves
// undefined becomes U+FFFD.
std::string ToUtf8(const SingleByteTable& table, std::string_view text);

}  // namespace codepage
