#include "archive/ShortUtl.h"

#include "archive/FileIo.h"

bool IsPathDelimiter(char c) {
#ifdef _WIN32
  return c == '\\' || c == ':';
#else
  return c == '\\' || c == '/';
#endif
}

bool IsSeparator(char c) {
#ifdef _WIN32
  return c == '\\';
#else
  return c == '\\' || c == '/';
#endif
}

namespace {

// Index just past the last delimiter of s, or 0.
size_t DirectoryLength(const std::string& s) {
  for (size_t i = s.size(); i > 0; --i)
    if (IsPathDelimiter(s[i - 1])) return i;
  return 0;
}

}  // namespace

std::string StripTrailingBackslashes(std::string name) {
  while (!name.empty() && IsSeparator(name.back())) name.pop_back();
  return name;
}

void MakeDirPath(std::string dir) {
  if (dir.empty()) return;
  dir = StripTrailingBackslashes(dir);
  if (dir.size() < 3) return;
  uint32_t attributes = fileio::GetAttributes(dir);
  if (attributes != fileio::InvalidAttributes && (attributes & fileio::AttrDirectory)) return;
  std::string parent = dir.substr(0, DirectoryLength(dir));
  if (parent == dir) return;
  MakeDirPath(parent);
  fileio::MakeDirectory(dir);
}
