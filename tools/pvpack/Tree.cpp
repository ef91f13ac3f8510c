// The product tree: what pack finds below a folder, and what it refuses
// before anything is read.
#include "tools/pvpack/Pack.h"

#include <algorithm>
#include <filesystem>
#include <map>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>

#include <cerrno>
#endif

#include "archive/FileIo.h"
#include "archive/ProductFiles.h"
#include "tools/pvpack/Names.h"

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
  bool nameRefused = false;  // the fault is about a name Windows cannot store
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
      // canonical follows every link on the way and fails on one to nothing
      // (or a chain of links that never ends).
      const fs::path real = fs::canonical(path, ec);
      if (ec) {
        std::error_code linkError;
        if (fs::is_symlink(StatusOf(path, false, linkError)))
          return Fail(shown, "a link that leads nowhere (" + ec.message() + ")");
        return Fail(shown, ec.message());
      }
      const fs::file_status status = StatusOf(real, true, ec);
      if (ec) return Fail(shown, ec.message());
      if (fs::is_symlink(StatusOf(path, false, ec)) && !Holds(open.front().canonical, real))
        linksOut.push_back(shown + ": a link to " + NativeOf(real) + ", outside " +
                           open.front().shown + "; what it leads to is packed");
      const std::string nameFault = names::NameFault(Utf8Of(path.filename()));
      if (fs::is_regular_file(status)) {
        if (!nameFault.empty()) return FailName(shown, nameFault);
        found.push_back({name, real, shown});
      } else if (fs::is_directory(status)) {
        for (const Open& o : open)
          if (o.canonical == real)
            return Fail(shown, "a link back to " + o.shown + ", a folder that holds it");
        open.push_back({real, shown});
        const size_t before = found.size(), emptyBefore = emptyFolders.size();
        if (!Walk(path, name + "\\")) return false;
        open.pop_back();
        if (found.size() == before) {
          emptyFolders.resize(emptyBefore);  // those inside go with it
          emptyFolders.push_back(shown);
        }
        // A folder that holds no file is not stored, so its name cannot fail.
        if (found.size() > before && !nameFault.empty()) return FailName(shown, nameFault);
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

  bool FailName(std::string path, std::string problem) {
    nameRefused = true;
    return Fail(std::move(path), std::move(problem));
  }
};

// The folder part of shown, the path of a file found below root named
// name, that stands for the first `length` bytes of name.
std::string ShownPrefix(const std::string& root, const std::string& name, size_t length) {
  std::string path = ShownOf(name.substr(0, length));
  std::replace(path.begin(), path.end(), '\\', char(fs::path::preferred_separator));
  return root + char(fs::path::preferred_separator) + path;
}

// Refuses, naming them, what Windows cannot hold of the names of files
// (sorted by name) found below root: a name at the root that the setup's
// temporary file takes, and two names in one folder that Windows takes for
// one.
bool CheckWindowsNames(const std::string& root, const std::vector<TreeFile>& files,
                       Fault& fault) {
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
        fault = {ShownPrefix(root, name, end), std::string("the setup uses the name ") +
                names::SetupTempName + " at the root of the destination for its own copy of " +
                "the archive, and deletes it"};
        return false;
      }
      key += part;
      const auto [it, added] = seen.emplace(key, name.substr(0, end));
      if (!added && it->second != name.substr(0, end)) {
        fault = {ShownPrefix(root, name, end), "Windows takes it for " +
                ShownPrefix(root, it->second, it->second.size()) +
                " (case and trailing dots and blanks aside), and one would overwrite the other"};
        return false;
      }
      key += U'\\';
      start = end + 1;
    }
  }
  return true;
}

}  // namespace

bool CollectTree(const std::string& dir, std::vector<TreeFile>& files, Fault& fault,
                 const TreeOptions& options, TreeReport* report) {
  TreeReport ignored;
  if (!report) report = &ignored;
  const std::optional<int64_t>& latestTime = options.latestTime;
  std::error_code ec;
  const fs::path root(dir);
  if (!fs::is_directory(StatusOf(root, true, ec))) {
    fault = {dir, "not a directory"};
    return false;
  }
  TreeWalk walk;
  walk.open.push_back({fs::canonical(root, ec), dir});
  if (ec || !walk.Walk(root, "")) {
    fault = ec ? Fault{dir, ec.message()} : walk.fault;
    report->nameRefused = walk.nameRefused;
    return false;
  }
  for (const std::string& folder : walk.emptyFolders)
    report->warnings.push_back(folder + ": a folder without files, dropped (an archive stores "
                               "files only)");
  for (std::string& link : walk.linksOut) report->warnings.push_back(std::move(link));
  if (walk.found.empty()) {
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
      fault = {file.shown, "holds a character that this system's code page, " +
              std::to_string(GetACP()) + ", cannot hold"};
#endif
      report->nameRefused = true;
      return false;
    }
    if (file.name.size() > 0xFFFF ||
        !IsSafeRecordName(file.name.data(), uint32_t(file.name.size()))) {
      fault = {file.shown, "this name cannot be stored"};
      return false;
    }
    // Opened, not read: what cannot be read is found before any packing.
    uintmax_t size = 0;
    StatusOf(found.real, true, ec, &size);
    if (ec || !OpenForReading(file.path)) {
      fault = {file.shown, "cannot read"};
      return false;
    }
    file.size = uint64_t(size);
    // The time and attributes of the file itself, not of a link to it. The
    // time through the file layer, whose times are 64-bit in every build:
    // the 32-bit runtimes' own filesystem library is not past 2038. A DOS
    // time grows with the time it stands for, so the later of two compares
    // alike as a DOS time.
    fileio::File f;
    f.Open(file.path, fileio::OpenMode::ReadShared);
    file.dosDateTime = f.GetDosTime();
    if (latestTime)
      file.dosDateTime = std::min(file.dosDateTime, fileio::DosTimeOfSeconds(*latestTime));
    uint32_t attributes = fileio::GetAttributes(file.path);
    attributes &= fileio::AttrReadOnly | fileio::AttrHidden | fileio::AttrSystem |
                  fileio::AttrArchive;
    file.attributes = attributes ? attributes : fileio::AttrNormal;
    files.push_back(std::move(file));
  }
  report->nameRefused = true;
  if (!CheckWindowsNames(dir, files, fault)) return false;
  for (TreeFile& file : files) {
    if (options.codePage) {
      std::string converted, missing;
      if (!codepage::FromUtf8(*options.codePage, file.name, converted, missing)) {
        fault = {file.shown, "holds " + missing + ", which code page " +
                std::to_string(options.codePage->number) + " cannot hold (see --codepage)"};
        return false;
      }
      file.name = std::move(converted);
    } else {
#ifdef _WIN32
      // The setup reads the names in the code page of the machine it runs on;
      // this machine's is the one to check them against.
      bool exact = false;
      std::string converted = NarrowOf(WideOfUtf8(file.name), CP_ACP, &exact);
      if (!exact) {
        fault = {file.shown, "holds a character that this system's code page, " +
                std::to_string(GetACP()) + ", cannot hold"};
        return false;
      }
      // In a double-byte code page a second byte may be 0x5C, which the
      // setup's reader would take for a backslash between folders.
      for (size_t i = 0; i < converted.size(); ++i) {
        if (!IsDBCSLeadByte(BYTE(converted[i]))) continue;
        if (i + 1 < converted.size() && converted[i + 1] == '\\') {
          fault = {file.shown, "a character whose second byte in this system's code page, " +
                  std::to_string(GetACP()) + ", is 0x5C, which the setup would read as a "
                  "backslash between folders"};
          return false;
        }
        ++i;
      }
      file.name = std::move(converted);
#endif
    }
    // The setup makes each path with the ANSI functions, which stop at
    // MAX_PATH characters.
    if (file.name.size() > names::MaxNameLength) {
      fault = {file.shown, std::to_string(file.name.size()) +
              " characters below the destination, so that under " + names::LongestDestination.text +
              " the path would pass Windows' limit of " + std::to_string(names::MaxPathLength) +
              " characters (at most " + std::to_string(names::MaxNameLength) + " fit)"};
      return false;
    }
  }
  // The rules every reader holds an archive's names to, over the names as
  // stored.
  std::vector<RecordHead> heads(files.size());
  for (size_t i = 0; i < files.size(); ++i) heads[i].name = files[i].name;
  if (const std::vector<RecordFault> faults = RecordFaults(heads, names::FoldOf(options.codePage));
      !faults.empty()) {
    fault = {files[faults.front().index].shown, faults.front().why};
    return false;
  }
  report->nameRefused = false;
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
