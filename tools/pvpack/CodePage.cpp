#include "tools/pvpack/CodePage.h"

#include <cstdio>

namespace codepage {
namespace {

// Known entries, so that a table generated wrongly does not build.
constexpr const SingleByteTable& Table(int index) { return SingleByteTables[index]; }
static_assert(Table(0).number == 874 && Table(0).upper[0xA1 - 0x80] == 0x0E01);  // ko kai
static_assert(Table(1).number == 1250 && Table(1).upper[0xA3 - 0x80] == 0x0141);  // Ł
static_assert(Table(2).number == 1251 && Table(2).upper[0xC0 - 0x80] == 0x0410);  // А
static_assert(Table(3).number == 1252 && Table(3).upper[0x80 - 0x80] == 0x20AC);  // €
static_assert(Table(3).upper[0xE9 - 0x80] == 0x00E9 && Table(3).upper[0x81 - 0x80] == 0);
static_assert(Table(4).number == 1253 && Table(4).upper[0xC1 - 0x80] == 0x0391);  // Α
static_assert(Table(9).number == 1258 && Table(9).upper[0xD5 - 0x80] == 0x01A0);  // Ơ

void PutUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | c >> 6);
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | c >> 12);
    out += char(0x80 | (c >> 6 & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | c >> 18);
    out += char(0x80 | (c >> 12 & 0x3F));
    out += char(0x80 | (c >> 6 & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

}  // namespace

bool NextUtf8(std::string_view text, size_t& i, char32_t& c) {
  const unsigned char lead = uint8_t(text[i]);
  const size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2
                      : lead >= 0xE0 && lead < 0xF0 ? 3 : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
  if (length == 0 || i + length > text.size()) return false;
  c = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
  for (size_t k = 1; k < length; ++k) {
    const unsigned char next = uint8_t(text[i + k]);
    if ((next & 0xC0) != 0x80) return false;
    c = c << 6 | (next & 0x3F);
  }
  static constexpr char32_t Least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < Least[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  i += length;
  return true;
}

const SingleByteTable* Find(int number, std::string& why) {
  for (const SingleByteTable& table : SingleByteTables)
    if (table.number == number) return &table;
  // The double-byte Windows ANSI code pages: Japanese, Simplified Chinese,
  // Korean, Traditional Chinese, Korean Johab.
  if (number == 932 || number == 936 || number == 949 || number == 950 || number == 1361)
    why = "is a double-byte code page, whose second bytes may be 0x5C, which the setup's "
          "reader takes for a backslash between folders";
  else
    why = "is not a single-byte Windows ANSI code page";
  why += "; pvpack supports 874 and 1250 to 1258";
  return nullptr;
}

bool FromUtf8(const SingleByteTable& table, std::string_view text, std::string& out,
              std::string& missing) {
  out.clear();
  for (size_t i = 0; i < text.size();) {
    const size_t start = i;
    char32_t c = 0;
    char shown[64];
    if (!NextUtf8(text, i, c)) {
      std::snprintf(shown, sizeof shown, "the byte 0x%02X, which is no UTF-8", unsigned(uint8_t(text[i])));
      missing = shown;
      return false;
    }
    if (c < 0x80) {
      out += char(c);
      continue;
    }
    size_t byte = 0;
    while (byte < 128 && table.upper[byte] != c) ++byte;
    if (byte == 128) {
      std::snprintf(shown, sizeof shown, "U+%04X ", unsigned(c));
      missing = std::string(shown) + std::string(text.substr(start, i - start));
      return false;
    }
    out += char(0x80 + byte);
  }
  return true;
}

std::string ToUtf8(const SingleByteTable& table, std::string_view text) {
  std::string out;
  for (unsigned char byte : text) {
    const char32_t c = byte < 0x80 ? byte : table.upper[byte - 0x80];
    PutUtf8(c ? c : 0xFFFD, out);
  }
  return out;
}

}  // namespace codepage
