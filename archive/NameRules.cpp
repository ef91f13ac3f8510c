// The rules of names: what an archive's records may be called so that the
// setup writes each of them, and only them, below its destination.
#include <algorithm>
#include <map>

#include "archive/Format.h"

namespace {

bool IsSeparatorByte(char c) { return c == '\\' || c == '/'; }

// What Windows refuses in a name besides separators and the colon
// (IsSafeRecordName): control characters and < > " | ? *.
bool IsForbidden(char c) {
  return uint8_t(c) < 32 || std::string_view("<>\"|?*").find(c) != std::string_view::npos;
}

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

bool EqualsUpper(std::string_view text, std::string_view upper) {
  if (text.size() != upper.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (AsciiUpper(text[i]) != upper[i]) return false;
  return true;
}

// The form in which Windows compares a component: trailing dots and blanks
// dropped, letters folded to capitals.
std::string ComponentKey(std::string_view component, const CaseFold& fold) {
  while (!component.empty() && (component.back() == '.' || component.back() == ' '))
    component.remove_suffix(1);
  std::string key;
  for (char c : component) key.push_back(char(fold[uint8_t(c)]));
  return key;
}

// name split at its separators, empty components (which Windows passes
// over) left out.
std::vector<std::string_view> Components(std::string_view name) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && !IsSeparatorByte(name[i])) continue;
    if (i > start) parts.push_back(name.substr(start, i - start));
    start = i + 1;
  }
  return parts;
}

std::string Quoted(const std::vector<RecordHead>& records, size_t index) {
  return "record " + std::to_string(index + 1) + " (" + records[index].name + ")";
}

}  // namespace

const CaseFold& CaseFold1252() {
  static const CaseFold fold = [] {
    CaseFold f{};
    for (int b = 0; b < 256; ++b) f[size_t(b)] = uint8_t(b);
    for (int b = 'a'; b <= 'z'; ++b) f[size_t(b)] = uint8_t(b - 0x20);
    // à to þ but the division sign; š œ ž ÿ stand apart from their capitals.
    for (int b = 0xE0; b <= 0xFE; ++b)
      if (b != 0xF7) f[size_t(b)] = uint8_t(b - 0x20);
    f[0x9A] = 0x8A;
    f[0x9C] = 0x8C;
    f[0x9E] = 0x8E;
    f[0xFF] = 0x9F;
    return f;
  }();
  return fold;
}

bool IsDeviceName(std::string_view component) {
  std::string_view stem = component.substr(0, component.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"})
    if (EqualsUpper(stem, device)) return true;
  if (stem.size() != 4 || !(EqualsUpper(stem.substr(0, 3), "COM") ||
                            EqualsUpper(stem.substr(0, 3), "LPT")))
    return false;
  // Windows takes the superscript digits of its code page for devices too.
  const uint8_t last = uint8_t(stem[3]);
  return (last >= '0' && last <= '9') || last == 0xB9 || last == 0xB2 || last == 0xB3;
}

std::vector<RecordFault> RecordFaults(const std::vector<RecordHead>& records,
                                      const CaseFold& fold) {
  std::vector<RecordFault> faults;
  const std::string tempKey = ComponentKey(SetupTempName, fold);
  // Each file's and each folder's key, with the first record that has it.
  std::map<std::string, size_t> files, folders;
  for (size_t i = 0; i < records.size(); ++i) {
    const std::string& name = records[i].name;
    const auto fault = [&](std::string why) { faults.push_back({i, std::move(why)}); };
    if (!IsSafeRecordName(name.data(), uint32_t(name.size()))) {
      fault("is no name below the destination (empty, absolute, a drive, a stream, a NUL or a "
            "component of dots)");
      continue;
    }
    if (IsSeparatorByte(name.back())) {
      fault("ends in a separator and names no file");
      continue;
    }
    if (const auto bad = std::find_if(name.begin(), name.end(), IsForbidden); bad != name.end()) {
      fault("holds a character Windows does not allow in a name (byte " +
            std::to_string(uint8_t(*bad)) + ")");
      continue;
    }
    const std::vector<std::string_view> parts = Components(name);
    bool device = false;
    for (std::string_view part : parts)
      if (!device && IsDeviceName(part)) {
        fault("holds " + std::string(part) + ", the name of a Windows device");
        device = true;
      }
    if (device) continue;
    if (ComponentKey(parts.front(), fold) == tempKey) {
      fault(std::string("takes the name ") + SetupTempName +
            ", which the setup gives its own copy of the archive at the root");
      continue;
    }
    std::string key;
    bool clash = false;
    for (size_t p = 0; p + 1 < parts.size() && !clash; ++p) {
      key += ComponentKey(parts[p], fold);
      if (const auto file = files.find(key); file != files.end()) {
        fault("needs a folder where " + Quoted(records, file->second) + " is a file");
        clash = true;
      }
      folders.emplace(key, i);
      key += '\\';
    }
    if (clash) continue;
    key += ComponentKey(parts.back(), fold);
    if (const auto folder = folders.find(key); folder != folders.end() && folder->second != i) {
      fault("is a folder of " + Quoted(records, folder->second));
    } else if (const auto [file, added] = files.emplace(key, i); !added) {
      fault("names the same file as " + Quoted(records, file->second) +
            " (Windows ignores case and trailing dots and blanks)");
    }
  }
  return faults;
}
