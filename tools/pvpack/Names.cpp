#include "tools/pvpack/Names.h"

#include <cstdio>
#include <map>

#include "archive/Format.h"
#include "tools/pvpack/CodePage.h"

namespace names {
namespace {

// Windows opens these as devices (the rule in archive/Format.h), the
// superscript digits in the code page form it reads names in.
bool IsDeviceName(std::string_view name) {
  std::string stem(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (const char* superscript : {"\xC2\xB9", "\xC2\xB2", "\xC2\xB3"})
    if (stem.size() == 5 && stem.compare(3, 2, superscript) == 0) stem.replace(3, 2, 1, superscript[1]);
  return ::IsDeviceName(stem);
}

// The capital of a letter the single-byte Windows code pages hold, or the
// code point itself.
char32_t Upper(char32_t c) {
  if ((c >= U'a' && c <= U'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
      c != 0x178 && c != 0x17F) {
    // Latin Extended-A pairs a capital with the small letter after it; the
    // pairs from U+0139 to U+0148 and from U+0179 start on an odd code point.
    const bool oddPairs = (c >= 0x139 && c <= 0x148) || c >= 0x179;
    return (c % 2 == 0) == oddPairs ? c - 1 : c;
  }
  if (c == 0x1A1 || c == 0x1B0) return c - 1;  // Vietnamese o and u with horn
  if (c == 0x3C2) return 0x3A3;                 // final sigma
  if ((c >= 0x3B1 && c <= 0x3CB)) return c - 0x20;
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return c - 0x25;
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return c - 0x3F;
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  if (c == 0x491) return 0x490;
  return c;
}

}  // namespace

std::string NameFault(std::string_view name) {
  for (unsigned char c : name) {
    char text[64];
    if (c < 32) {
      std::snprintf(text, sizeof text, "control character %u", unsigned(c));
    } else if (std::string_view("<>:\"/\\|?*").find(char(c)) != std::string_view::npos) {
      std::snprintf(text, sizeof text, "character %c", c);
    } else {
      continue;
    }
    return std::string("holds the ") + text + ", which Windows does not allow in a name";
  }
  if (IsDeviceName(name)) return "is the name of a Windows device, which no file can have";
  if (!name.empty() && (name.back() == '.' || name.back() == ' '))
    return std::string("ends in a ") + (name.back() == '.' ? "dot" : "blank") +
           ", which Windows drops";
  return "";
}

std::u32string SameNameKey(std::string_view name) {
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.remove_suffix(1);
  std::u32string key;
  for (size_t i = 0; i < name.size();) {
    char32_t c = 0;
    if (codepage::NextUtf8(name, i, c)) {
      key.push_back(Upper(c));
    } else {
      // Kept apart from every code point by an offset past Unicode's range.
      key.push_back(0x110000 + uint8_t(name[i++]));
    }
  }
  return key;
}

CaseFold FoldOf(const codepage::SingleByteTable* codePage) {
  if (!codePage || codePage->number == 1252) return CaseFold1252();
  CaseFold fold{};
  std::map<char32_t, uint8_t> byCharacter;
  for (int b = 255; b >= 0; --b)
    byCharacter[b < 0x80 ? char32_t(b) : codePage->upper[b - 0x80]] = uint8_t(b);
  for (int b = 0; b < 256; ++b) {
    const std::u32string key = SameNameKey(codepage::ToUtf8(*codePage, std::string(1, char(b))));
    const auto capital = key.size() == 1 ? byCharacter.find(key[0]) : byCharacter.end();
    fold[size_t(b)] = capital != byCharacter.end() ? capital->second : uint8_t(b);
  }
  return fold;
}

}  // namespace names
