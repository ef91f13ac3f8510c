// The product tree: what pack finds below a folder, and what it refuses
// before anything is read.
#include "tools/pvpack/Pack.h"

#include <algorithm>
#include <filesystem>
#include <map>

#ifdef _WIN32
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "archive/FileIo.h"
#include "archive/ProductFiles.h"
#include "tools/pvpack/Names.h"
#include "tools/pvpack/Output.h"

namespace fs = std::filesystem;

namespace pack {

fs::file_status StatusOf(const fs::path& path, bool follow, std::error_code& ec,
                         uintmax_t* size) {
#ifdef _WIN32
  if (size) *size = 0;
  const fs::file_status status = follow ? fs::status(path, ec) : fs::symlink_status(path, ec);
  if (size && !ec && fs::is_regular_file(status)) *size = fs::file_size(path, ec);
  return status;
#else
  struct stat st;
  if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
    ec.assign(errno, std::generic_category());
    return fs::file_status(errno == ENOENT || errno == ENOTDIR ? fs::file_type::not_found
                                                                 : fs::file_type::none);
  }
  ec.clear();
  if (size) *size = uintmax_t(st.st_size);
  const fs::file_type type = S_ISREG(st.st_mode)    ? fs::file_type::regular
                             : S_ISDIR(st.st_mode)  ? fs::file_type::directory
                             : S_ISLNK(st.st_mode)  ? fs::file_type::symlink
                             : S_ISBLK(st.st_mode)  ? fs::file_type::block
                             : S_ISCHR(st.st_mode)  ? fs::file_type::character
                             : S_ISFIFO(st.st_mode) ? fs::file_type::fifo
                             : S_ISSOCK(st.st_mode) ? fs::file_type::socket
                                                    : fs::file_type::unknown;
  return fs::file_status(type, fs::perms(st.st_mode & 07777));
#endif
}

UniqueFile OpenPlainFile(const std::string& path, uint64_t& volume, uint64_t& index,
                         uint64_t& size, std::string& why, int64_t* modified) {
  const bool check = volume != 0 || index != 0;
  uint64_t newVolume = 0, newIndex = 0;
#ifdef _WIN32
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    why = "cannot read (" + pvpack::SystemReason() + ")";
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    CloseHandle(handle);
    why = "changed since it was found: no longer a plain file";
    return nullptr;
  }
  newVolume = info.dwVolumeSerialNumber;
  newIndex = uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  const uint64_t newSize = uint64_t(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
  if (modified)
    *modified = int64_t((uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32 |
                         info.ftLastWriteTime.dwLowDateTime) / 10000000) - 11644473600LL;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) CloseHandle(handle);
  std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "rb");
  if (!file && fd >= 0) _close(fd);
#else
  // Not blocking: a FIFO put in a file's place must not hold the walk up.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    why = errno == ELOOP ? "changed since it was found: now a link"
                         : "cannot read (" + std::string(std::strerror(errno)) + ")";
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    why = "changed since it was found: no longer a plain file";
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  newVolume = uint64_t(st.st_dev);
  newIndex = uint64_t(st.st_ino);
  const uint64_t newSize = uint64_t(st.st_size);
  if (modified) *modified = int64_t(st.st_mtime);
  std::FILE* file = fdopen(fd, "rb");
  if (!file) ::close(fd);
#endif
  if (!file) {
    why = "cannot read (" + std::string(std::strerror(errno)) + ")";
    return nullptr;
  }
  if (check && (newVolume != volume || newIndex != index)) {
    std::fclose(file);
    why = "changed since it was found: another file stands at its name";
    return nullptr;
  }
  volume = newVolume;
  index = newIndex;
  size = newSize;
  return UniqueFile(file);
}

namespace {

const char* KindOf(fs::file_type type) {
  switch (type) {
    case fs::file_type::fifo: return "a FIFO";
    case fs::file_type::socket: return "a socket";
    case fs::file_type::block:
    case fs::file_type::character: return "a device";
    default: return "of an unknown kind";
  }
}

#ifdef _WIN32
// The standard library's narrow form of a path is no code page Windows
// names, so paths go through the wide form and these two conversions.
std::string NarrowOf(const std::wstring& wide, UINT codePage, bool* exact = nullptr) {
  if (wide.empty()) return "";
  BOOL usedDefault = FALSE;
  // Best fit would store "a" for "ä" silently; a missing character must show.
  const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL* used = codePage == CP_UTF8 ? nullptr : &usedDefault;
  const int n = WideCharToMultiByte(codePage, flags, wide.data(), int(wide.size()), nullptr, 0,
                                    nullptr, used);
  std::string out(size_t(std::max(n, 0)), '\0');
  if (n > 0)
    WideCharToMultiByte(codePage, flags, wide.data(), int(wide.size()), out.data(), n, nullptr, used);
  if (exact) *exact = n > 0 && !usedDefault;
  return out;
}

std::wstring WideOfUtf8(const std::string& text) {
  if (text.empty()) return L"";
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring out(size_t(std::max(n, 0)), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
  return out;
}
#endif

// A name found in the tree in UTF-8, the form the name rules read.
std::string Utf8Of(const fs::path& path) {
#ifdef _WIN32
  return NarrowOf(path.wstring(), CP_UTF8);
#else
  return path.string();
#endif
}

// A path as this system's narrow file functions take it and its messages
// show it: on Windows in the ANSI code page (exact false when a character
// has no form there), elsewhere as it stands.
std::string NativeOf(const fs::path& path, bool* exact = nullptr) {
#ifdef _WIN32
  return NarrowOf(path.wstring(), CP_ACP, exact);
#else
  if (exact) *exact = true;
  return path.string();
#endif
}

// A UTF-8 name as messages show it.
std::string ShownOf(const std::string& utf8) {
#ifdef _WIN32
  return NarrowOf(WideOfUtf8(utf8), CP_ACP);
#else
  return utf8;
#endif
}

// The local time of seconds since 1970. False when the system cannot tell.
bool LocalTimeOf(int64_t seconds, CivilTime& t) {
#ifdef _WIN32
  // From 1601 in 100-nanosecond steps.
  const int64_t ticks = (seconds + 11644473600LL) * 10000000LL;
  if (seconds < -11644473600LL || seconds > 900000000000LL) return false;
  FILETIME utc = {DWORD(ticks), DWORD(uint64_t(ticks) >> 32)}, local;
  SYSTEMTIME st;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &st)) return false;
  t = {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
#else
  const time_t when = time_t(seconds);
  struct tm tm;
  if (int64_t(when) != seconds || !localtime_r(&when, &tm)) return false;
  t = {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
#endif
  return true;
}

std::string TimeText(const CivilTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

// Walks a product tree. Every folder on the way down is held by its
// canonical path, so a link back to one of them (which would repeat the
// tree forever) is seen; a link to any other folder is simply followed.
struct TreeWalk {
  struct Open {
    fs::path canonical;
    std::string shown;
  };
  struct Found {
    std::string name;  // record name
    fs::path real;     // the file itself, past any links
    std::string shown;
    bool operator<(const Found& other) const { return name < other.name; }
  };
  std::vector<Open> open;  // the folders being walked, outermost first
  std::vector<Found> found;
  Fault fault;
  std::vector<Fault> refused;  // names Windows cannot store, in the order found
  std::vector<std::string> emptyFolders;  // holding no file, outermost only
  std::vector<std::string> linksOut;      // links to something outside the tree

  // Walks dir, whose records are named prefix + their name below it.
  bool Walk(const fs::path& dir, const std::string& prefix) {
    std::error_code ec;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
      entries.push_back(it->path());
    if (ec) return Fail(NativeOf(dir), ec.message());
    // Name order, so that the first problem reported is the same on every run.
    std::sort(entries.begin(), entries.end());
    for (const fs::path& path : entries) {
      const std::string shown = NativeOf(path);
      const std::string name = prefix + Utf8Of(path.filename());
      // Whether it is a link is told once, before it is followed: what is
      // said about it and what is packed must be the same thing.
      const bool isLink = fs::is_symlink(StatusOf(path, false, ec));
      // canonical follows every link on the way and fails on one to nothing
      // (or a chain of links that never ends).
      const fs::path real = fs::canonical(path, ec);
      if (ec) {
        std::error_code linkError;
        if (fs::is_symlink(StatusOf(path, false, linkError)))
          return Fail(shown, "a link that leads nowhere (" + ec.message() + ")");
        return Fail(shown, ec.message());
      }
      // Not a link, it is itself: one swapped in since is not followed.
      if (!isLink && real != open.back().canonical / path.filename())
        return Fail(shown, "changed while the tree was walked: now a link");
      const fs::file_status status = StatusOf(real, true, ec);
      if (ec) return Fail(shown, ec.message());
      if (isLink && !Holds(open.front().canonical, real))
        linksOut.push_back(shown + ": a link to " + NativeOf(real) + ", outside " +
                           open.front().shown + "; what it leads to is packed");
      const std::string nameFault = names::NameFault(Utf8Of(path.filename()));
      if (fs::is_regular_file(status)) {
        if (!nameFault.empty()) {
          refused.push_back({shown, nameFault});
          continue;
        }
        found.push_back({name, real, shown});
      } else if (fs::is_directory(status)) {
        for (const Open& o : open)
          if (o.canonical == real)
            return Fail(shown, "a link back to " + o.shown + ", a folder that holds it");
        open.push_back({real, shown});
        const size_t before = found.size(), emptyBefore = emptyFolders.size();
        const size_t refusedBefore = refused.size();
        if (!Walk(path, name + "\\")) return false;
        open.pop_back();
        if (found.size() == before) {
          emptyFolders.resize(emptyBefore);  // those inside go with it
          emptyFolders.push_back(shown);
        }
        // A folder that holds no file is not stored, so its name cannot
        // fail; one that does is named before what it holds.
        if (found.size() > before && !nameFault.empty())
          refused.insert(refused.begin() + std::ptrdiff_t(refusedBefore), {shown, nameFault});
      } else {
        return Fail(shown, std::string(KindOf(status.type())) + ", neither a file nor a folder");
      }
    }
    return true;
  }

  bool Fail(std::string path, std::string problem) {
    fault = {std::move(path), std::move(problem)};
    return false;
  }
  // Whether folder holds path, both canonical.
  static bool Holds(const fs::path& folder, const fs::path& path) {
    auto p = path.begin();
    for (auto f = folder.begin(); f != folder.end(); ++f, ++p)
      if (p == path.end() || *f != *p) return false;
    return true;
  }

};

// The folder part of shown, the path of a file found below root named
// name, that stands for the first `length` bytes of name.
std::string ShownPrefix(const std::string& root, const std::string& name, size_t length) {
  std::string path = ShownOf(name.substr(0, length));
  std::replace(path.begin(), path.end(), '\\', char(fs::path::preferred_separator));
  return root + char(fs::path::preferred_separator) + path;
}

// Adds to refused, naming them, what Windows cannot hold of the names of
// files (sorted by name) found below root: a name at the root that the
// setup's temporary file takes, and two names in one folder that Windows
// takes for one.
void CheckWindowsNames(const std::string& root, const std::vector<TreeFile>& files,
                       std::vector<Fault>& refused) {
  const std::u32string tempKey = names::SameNameKey(names::SetupTempName);
  // Every folder and file path seen, by the key Windows compares it by.
  std::map<std::u32string, std::string> seen;
  for (const TreeFile& file : files) {
    const std::string& name = file.name;
    std::u32string key;
    for (size_t start = 0; start <= name.size();) {
      size_t end = name.find('\\', start);
      if (end == std::string::npos) end = name.size();
      const std::u32string part = names::SameNameKey(std::string_view(name).substr(start, end - start));
      if (start == 0 && part == tempKey) {
        refused.push_back({ShownPrefix(root, name, end), std::string("the setup uses the name ") +
                names::SetupTempName + " at the root of the destination for its own copy of " +
                "the archive, and deletes it"});
        break;
      }
      key += part;
      const auto [it, added] = seen.emplace(key, name.substr(0, end));
      if (!added && it->second != name.substr(0, end)) {
        refused.push_back({ShownPrefix(root, name, end), "Windows takes it for " +
                ShownPrefix(root, it->second, it->second.size()) +
                " (case and trailing dots and blanks aside), and one would overwrite the other"});
        break;
      }
      key += U'\\';
      start = end + 1;
    }
  }
}

}  // namespace

bool CollectTree(const std::string& dir, std::vector<TreeFile>& files, Fault& fault,
                 const TreeOptions& options, TreeReport* report) {
  TreeReport ignored;
  if (!report) report = &ignored;
  const std::optional<int64_t>& latestTime = options.latestTime;
  std::error_code ec;
  const fs::path root(dir);
  const fs::file_status status = StatusOf(root, true, ec);
  if (!fs::is_directory(status)) {
    fault = {dir, status.type() == fs::file_type::not_found ? "No such file or folder"
                  : ec ? "cannot read (" + ec.message() + ")"
                       : "not a folder"};
    return false;
  }
  TreeWalk walk;
  walk.open.push_back({fs::canonical(root, ec), dir});
  if (ec || !walk.Walk(root, "")) {
    fault = ec ? Fault{dir, "cannot read (" + ec.message() + ")"} : walk.fault;
    report->refused = std::move(walk.refused);
    return false;
  }
  // Every name refused is named, in order, in one run.
  std::vector<Fault>& refused = walk.refused;
  for (const std::string& folder : walk.emptyFolders)
    report->warnings.push_back(folder + ": a folder without files, dropped (an archive stores "
                               "files only)");
  for (std::string& link : walk.linksOut) report->warnings.push_back(std::move(link));
  if (walk.found.empty() && walk.refused.empty()) {
    fault = {dir, "no file to pack"};
    return false;
  }
  std::sort(walk.found.begin(), walk.found.end());
  for (const TreeWalk::Found& found : walk.found) {
    TreeFile file;
    file.name = found.name;
    bool exact = true;
    file.path = NativeOf(found.real, &exact);
    file.shown = found.shown;
    if (!exact) {
#ifdef _WIN32
      refused.push_back({file.shown, "holds a character that this system's code page, " +
                        std::to_string(GetACP()) + ", cannot hold"});
#endif
      continue;
    }
    if (file.name.size() > 0xFFFF ||
        !IsSafeRecordName(file.name.data(), uint32_t(file.name.size()))) {
      fault = {file.shown, "this name cannot be stored"};
      return false;
    }
    // Opened, not read: what cannot be read is found before any packing,
    // and which file it is, so that the one packed is this one.
    std::string why;
    int64_t modified = 0;
    if (!OpenPlainFile(file.path, file.volume, file.index, file.size, why, &modified)) {
      fault = {file.shown, why};
      return false;
    }
    // The time and attributes of the file itself, not of a link to it. The
    // time through the file layer, whose times are 64-bit in every build:
    // the 32-bit runtimes' own filesystem library is not past 2038. A DOS
    // time grows with the time it stands for, so the later of two compares
    // alike as a DOS time.
    fileio::File f;
    f.Open(file.path, fileio::OpenMode::ReadShared);
    file.dosDateTime = f.GetDosTime();
    // A time the format cannot hold is stored as the nearest it can; said,
    // as the file then looks older or newer than it is.
    CivilTime real, stored;
    if ((file.dosDateTime == FirstDosTime || file.dosDateTime == LastDosTime) &&
        LocalTimeOf(modified, real) && (real.year < 1980 || real.year > 2107) &&
        CivilTimeOf(file.dosDateTime, stored))
      report->warnings.push_back(file.shown + ": its time " + TimeText(real) +
                                 " is outside what an archive can hold (1980 to 2107); stored as " +
                                 TimeText(stored));
    if (latestTime)
      file.dosDateTime = std::min(file.dosDateTime, fileio::DosTimeOfSeconds(*latestTime));
    uint32_t attributes = fileio::GetAttributes(file.path);
    attributes &= fileio::AttrReadOnly | fileio::AttrHidden | fileio::AttrSystem |
                  fileio::AttrArchive;
    file.attributes = attributes ? attributes : fileio::AttrNormal;
    files.push_back(std::move(file));
  }
  CheckWindowsNames(dir, files, refused);
  for (TreeFile& file : files) {
    if (options.codePage) {
      std::string converted, missing;
      if (!codepage::FromUtf8(*options.codePage, file.name, converted, missing)) {
        refused.push_back({file.shown, "holds " + missing + ", which code page " +
                          std::to_string(options.codePage->number) + " cannot hold (see --codepage)"});
        continue;
      }
      file.name = std::move(converted);
    } else {
#ifdef _WIN32
      // The setup reads the names in the code page of the machine it runs on;
      // this machine's is the one to check them against.
      bool exact = false;
      std::string converted = NarrowOf(WideOfUtf8(file.name), CP_ACP, &exact);
      if (!exact) {
        refused.push_back({file.shown, "holds a character that this system's code page, " +
                          std::to_string(GetACP()) + ", cannot hold"});
        continue;
      }
      // In a double-byte code page a second byte may be 0x5C, which the
      // setup's reader would take for a backslash between folders.
      for (size_t i = 0; i < converted.size(); ++i) {
        if (!IsDBCSLeadByte(BYTE(converted[i]))) continue;
        if (i + 1 < converted.size() && converted[i + 1] == '\\') {
          refused.push_back({file.shown, "a character whose second byte in this system's code "
                            "page, " + std::to_string(GetACP()) + ", is 0x5C, which the setup "
                            "would read as a backslash between folders"});
          break;
        }
        ++i;
      }
      file.name = std::move(converted);
#endif
    }
    // The setup makes each path with the ANSI functions, which stop at
    // MAX_PATH characters.
    if (file.name.size() > names::MaxNameLength) {
      refused.push_back({file.shown, std::to_string(file.name.size()) +
                        " characters below the destination, so that under " +
                        names::LongestDestination.text + " the path would pass Windows' limit of " +
                        std::to_string(names::MaxPathLength) + " characters (at most " +
                        std::to_string(names::MaxNameLength) + " fit)"});
    }
  }
  // The rules every reader holds an archive's names to, over the names as
  // stored; a tree already refused above would only be told the same again.
  if (refused.empty()) {
    std::vector<RecordHead> heads(files.size());
    for (size_t i = 0; i < files.size(); ++i) heads[i].name = files[i].name;
    for (const RecordFault& f : RecordFaults(heads, names::FoldOf(options.codePage)))
      refused.push_back({files[f.index].shown, f.why});
  }
  if (!refused.empty()) {
    std::stable_sort(refused.begin(), refused.end(),
                     [](const Fault& a, const Fault& b) { return a.path < b.path; });
    fault = refused.front();
    report->nameRefused = true;
    report->refused = std::move(refused);
    return false;
  }
  // Records go in byte order of their stored names.
  std::sort(files.begin(), files.end(),
            [](const TreeFile& a, const TreeFile& b) { return a.name < b.name; });
  return true;
}

std::vector<ProductReference> MissingProductFiles(const std::vector<TreeFile>& files) {
  std::vector<ProductReference> wanted;
  for (const product::MenuShortcut& shortcut : product::MenuShortcuts)
    wanted.push_back({shortcut.target + 1,
                      std::string("the Programs-menu shortcut \"") + shortcut.name + "\" leads to it"});
  wanted.push_back({product::Uninstaller + 1, "the uninstall entry starts it"});
  wanted.push_back({product::SampleQuery + 1, "the product's settings name it as the first query"});
  for (const char* copy : {product::WininetCopy, product::ShlwapiCopy})
    wanted.push_back({copy + 1, "the setup copies it over an older system library, and says a "
                                "file is in use when it cannot"});
  // Windows compares the names without case; these are ASCII.
  const auto fold = [](std::string text) {
    for (char& c : text) c = c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
    return text;
  };
  std::vector<ProductReference> missing;
  for (ProductReference& reference : wanted) {
    const std::string path = fold(reference.path);
    const bool found = std::any_of(files.begin(), files.end(), [&](const TreeFile& file) {
      const std::string name = fold(file.name);
      return name == path || name.compare(0, path.size() + 1, path + "\\") == 0;
    });
    if (!found) missing.push_back(std::move(reference));
  }
  return missing;
}

const codepage::SingleByteTable* DefaultCodePage() {
  std::string why;
  return codepage::Find(codepage::DefaultNumber, why);
}

namespace {

// The least a stream for size bytes can take: its header, the end code, and
// for each byte 22/518 of a bit, which is what the longest copy (16 bits) at
// the cheapest distance (6 bits) costs per byte it covers.
uint64_t LeastStreamSize(uint64_t size) {
  const uint64_t bits = 16 + (22 * size + 517) / 518;
  return 2 + (bits + 7) / 8;
}

}  // namespace

bool CheckLimits(const std::vector<TreeFile>& files, const Limits& limits, Fault& fault) {
  uint64_t least = 4;  // the trailer
  for (const TreeFile& file : files) {
    if (file.size > limits.fileSize) {
      fault = {file.shown, std::to_string(file.size) + " bytes, more than the " +
              std::to_string(limits.fileSize) + " of the largest file the setup can unpack"};
      return false;
    }
    least += 2 + file.name.size() + sizeof(FileRecordHeader) + LeastStreamSize(file.size);
    if (least > limits.archiveSize) {
      fault = {file.shown, "with this file the archive would take at least " +
              std::to_string(least) + " bytes, more than the " +
              std::to_string(limits.archiveSize) + " the setup can read"};
      return false;
    }
  }
  return true;
}

}  // namespace pack
