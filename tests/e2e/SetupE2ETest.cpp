// The real setup program, packed by pvpack around a small product and
// driven from outside through its windows and message boxes, in a Wine
// prefix of its own (scripts/wine-prefix.sh): it installs every file with its
// time and attributes, the shortcuts and the uninstall entry. (What each
// window and step does is tested in process, tests/win.)
//
// The suite "Planting" runs on its own, with Wine preferring DLL files to
// its built-in libraries as Windows does.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "archive/ProductFiles.h"
#include "setup/PavInstRes.h"
#include "tests/common/SetupTexts.h"
#include "tests/common/TestUtil.h"
#include "tools/automate/Automation.h"
#include "winbase/Handles.h"

namespace fs = std::filesystem;
using automate::Session;
using testutil::Bytes;
using testutil::TempDir;

namespace {

const char* const Title = product::SetupTitle.text;

// A path handed in by CTest (a Unix path) as this Windows program names it.
std::string FromEnvironment(const char* name) {
  std::string path = std::getenv(name) ? std::getenv(name) : "";
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

// Runs a program to its end; its exit code, or -1.
int RunProgram(const std::string& commandLine) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  std::string line = commandLine;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info))
    return -1;
  handles::UniqueKernelHandle process(info.hProcess), thread(info.hThread);
  if (WaitForSingleObject(process.get(), 120000) != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), 1);
    return -1;
  }
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  return int(code);
}

// Removes dir with everything in it, read-only files too.
void RemoveTree(const fs::path& dir) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec))
    SetFileAttributesA(it->path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
  fs::remove_all(dir, ec);
}

// Every file below dir by its relative path: contents, last write time and
// the attributes the archive keeps.
using Facts = std::tuple<Bytes, uint64_t, DWORD>;
std::map<std::string, Facts> Survey(const fs::path& dir) {
  std::map<std::string, Facts> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!it->is_regular_file() ||
        !GetFileAttributesExA(it->path().string().c_str(), GetFileExInfoStandard, &info))
      continue;
    files[fs::relative(it->path(), dir).generic_string()] = {
        testutil::ReadFile(it->path()),
        uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32 | info.ftLastWriteTime.dwLowDateTime,
        info.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                 FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE)};
  }
  return files;
}

// The setup made by pvpack.exe from the tree below dir, as dir\setup.exe,
// packed with options (such as "--smallest "); empty when it could not be
// made.
std::string PackSetup(const fs::path& dir, const fs::path& tree, const std::string& options = "") {
  const std::string pvpack = Quote(FromEnvironment("PV_PVPACK"));
  const std::string archive = (dir / "product.pvz").string(), exe = (dir / "setup.exe").string();
  return RunProgram(pvpack + " pack " + options + Quote(tree.string()) + " " + Quote(archive)) ==
                 0 &&
                 RunProgram(pvpack + " setup " + Quote(FromEnvironment("PV_SETUP_STUB")) + " " +
                            Quote(archive) + " " + Quote(exe)) == 0
             ? exe
             : std::string();
}

// A message box as read back: caption, text, flags and the button pressed.
using Box = std::tuple<std::string, std::string, UINT, std::string>;

// The product, its archive and the setup made from it, once for all tests.
// Times are local whole even seconds, as the archive keeps them.
struct Product {
  Product() {
    Bytes orbits(300000);  // several reads and progress calls
    uint32_t seed = 12345;
    for (size_t i = 0; i < orbits.size(); ++i) {
      seed = seed * 1103515245u + 12345u;
      orbits[i] = uint8_t(i % 7 == 0 ? seed >> 24 : "ORBIT"[i % 5]);
    }
    const struct {
      const char* name;
      Bytes data;
      WORD year, month, day, hour;
      DWORD attributes;
    } files[] = {
        {"Readme.txt", Bytes(26, 't'), 2003, 4, 5, 6, 0},
        {"Help/Deep/Nested/page.htm", Bytes(300, 'h'), 1999, 12, 31, 23, 0},
        {"Library/Empty.dat", Bytes(), 2001, 1, 1, 0, 0},
        {"Library/orbits.dat", orbits, 2002, 6, 15, 12, 0},
        {"ReadOnly.txt", Bytes(15, 'r'), 2000, 2, 29, 8, FILE_ATTRIBUTE_READONLY},
        {"Hidden.ini", Bytes(11, 'i'), 2003, 3, 3, 3, FILE_ATTRIBUTE_HIDDEN},
    };
    for (const auto& f : files) {
      const fs::path file = tree / f.name;
      fs::create_directories(file.parent_path());
      testutil::WriteFile(file, f.data);
      SYSTEMTIME local = {f.year, f.month, 0, f.day, f.hour, 30, 42, 0};
      FILETIME localTime, utc;
      handles::UniqueFile h(CreateFileA(file.string().c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
      ok = ok && h && SystemTimeToFileTime(&local, &localTime) &&
           LocalFileTimeToFileTime(&localTime, &utc) && SetFileTime(h.get(), nullptr, nullptr, &utc) &&
           SetFileAttributesA(file.string().c_str(), f.attributes | FILE_ATTRIBUTE_ARCHIVE);
    }
    // Packed with all six encodings to the end; the other setups here are
    // packed as pack packs by default, so both kinds of archive install.
    const std::string exe = ok ? PackSetup(work.path(), tree, "--smallest ") : std::string();
    ok = !exe.empty();
    if (ok) setup = testutil::ReadFile(exe);
  }
  TempDir work;
  fs::path tree = work / "product";
  Bytes setup;
  bool ok = true;
};

const Product& Made() {
  static Product product;
  return product;
}

class E2E : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Made().ok) << "pvpack could not make the setup"; }

  // Installs the setup, as downloaded into a folder of its own, into the
  // default destination (emptied first), with Install and OK.
  void Install() {
    InstallWith([] {}, [] {}, texts::Success);
    // The product's files with their contents, times and attributes, nothing
    // else, and no leftover of the extraction.
    EXPECT_EQ(Survey(dest_), Survey(Made().tree));
    EXPECT_FALSE(fs::exists(fs::path(dest_) / "tempfile.$$$"));
  }

  // The same with plant() run before the setup starts, and meanwhile() while
  // its welcome dialog waits; the one message expected at the end (the
  // success or the damaged setup).
  template <typename Plant, typename Meanwhile>
  void InstallWith(Plant plant, Meanwhile meanwhile, const char* expected) {
    ASSERT_TRUE(Downloaded(setup_ ? *setup_ : Made().setup));
    const std::string exe = Exe();
    plant();
    Session s;
    HWND welcome = s.Start(Quote(exe), downloads_.str()) ? s.WaitWindow(Title) : nullptr;
    ASSERT_NE(welcome, nullptr) << s.Error();
    EXPECT_EQ(s.GetText(welcome, IDC_DESTDIR), dest_);
    const DWORD before = GetTickCount();
    meanwhile();
    const DWORD spent = GetTickCount() - before;
    // A dialog already seen is found again when it is awaited once more.
    EXPECT_EQ(s.WaitWindow(Title), welcome) << s.Error();
    ASSERT_TRUE(s.Press(welcome, IDC_INSTALL));
    HWND box = s.WaitWindow("Pavlane Setup");
    ASSERT_NE(box, nullptr) << s.Error();
    EXPECT_TRUE(s.Press(box, IDOK)) << s.Error();
    DWORD code = 99;
    ASSERT_TRUE(s.WaitExit(&code)) << s.Error();
    EXPECT_EQ(code, 0u);
    // The welcome stood waiting for its user at least while meanwhile ran,
    // and no longer than the setup lived.
    EXPECT_GE(s.UserTime(), int64_t(spent));
    EXPECT_LE(s.UserTime(), s.Lifetime());
    std::vector<Box> seen;
    for (const auto& b : s.Boxes()) seen.emplace_back(b.caption, b.text, b.Flags(), b.answer);
    const UINT flags = expected == texts::Success ? MB_OK | MB_ICONASTERISK : MB_OK | MB_ICONHAND;
    EXPECT_EQ(seen, std::vector<Box>{Box("Pavlane Setup", expected, flags, "OK")});
  }

  std::string Exe() const { return (downloads_ / "PavlaneSetup.exe").string(); }

  // The setup as downloaded, and its default destination, emptied.
  bool Downloaded(const Bytes& setup) {
    // A 32-bit program on 64-bit Windows gets the program folder for 32-bit
    // programs. (The prefixes' system drive is C:.)
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64)) return false;
    std::strcpy(dest_, (std::string(wow64 ? "C:\\Program Files (x86)" : "C:\\Program Files") +
                        product::DefaultDestination.text)
                           .c_str());
    RemoveTree(dest_);
    testutil::WriteFile(Exe(), setup);
    return true;
  }

  // The one message box expected, pressed OK, and the setup's end with 0.
  void ExpectEnd(Session& s, const char* text, UINT flags) {
    HWND box = s.WaitWindow("Pavlane Setup");
    ASSERT_NE(box, nullptr) << s.Error();
    EXPECT_TRUE(s.Press(box, IDOK)) << s.Error();
    DWORD code = 99;
    ASSERT_TRUE(s.WaitExit(&code)) << s.Error();
    EXPECT_EQ(code, 0u);
    ASSERT_EQ(s.Boxes().size(), 1u);
    const auto& b = s.Boxes()[0];
    EXPECT_EQ(Box(b.caption, b.text, b.Flags(), b.answer), Box("Pavlane Setup", text, flags, "OK"));
  }

  TempDir downloads_;
  char dest_[MAX_PATH] = "";
  const Bytes* setup_ = nullptr;  // the setup to run, when not the product's
};

TEST_F(E2E, InstallsEveryFileTheShortcutsAndTheUninstallEntry) {
  Install();
  // The Programs menu every user sees, as the administrator installs.
  char menu[MAX_PATH];
  ASSERT_GT(ExpandEnvironmentStringsA(
                "%ProgramData%\\Microsoft\\Windows\\Start Menu\\Programs\\Pavlane Orbit Suite",
                menu, MAX_PATH),
            0u);
  std::vector<std::string> links;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(menu, ec))
    links.push_back(entry.path().filename().string());
  std::sort(links.begin(), links.end());
  EXPECT_EQ(links, (std::vector<std::string>{"Pavlane  .lnk", "Pavlane Help.lnk",
                                             "Pavlane Report Library.lnk", "Pavlane Site Maps.lnk"}));
  handles::UniqueHkey uninstall;
  char command[MAX_PATH] = "";
  DWORD size = sizeof command;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                          "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
                          "Pavlane Orbit Suite",
                          0, KEY_READ, uninstall.put()),
            ERROR_SUCCESS);
  RegQueryValueExA(uninstall.get(), "UninstallString", nullptr, nullptr,
                   reinterpret_cast<BYTE*>(command), &size);
  EXPECT_EQ(command, Quote(std::string(dest_) + "\\uninst.exe"));
  RemoveTree(fs::path(dest_).parent_path());
}

// ---- Someone who can write where the setup works, without its rights.

// A file outside the destination, its contents and attributes as planted.
struct Outside {
  explicit Outside(const fs::path& at, DWORD attributes) : path(at) {
    testutil::WriteFile(path, std::string("precious"));
    SetFileAttributesA(path.string().c_str(), attributes);
  }
  ~Outside() {
    SetFileAttributesA(path.string().c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.string().c_str());
  }
  // A second name of it at name; true when the system made one.
  bool LinkAs(const fs::path& name) const {
    fs::create_directories(name.parent_path());
    return CreateHardLinkA(name.string().c_str(), path.string().c_str(), nullptr);
  }
  void ExpectUnchanged(DWORD attributes) const {
    EXPECT_EQ(testutil::ReadFile(path), Bytes({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
    EXPECT_EQ(GetFileAttributesA(path.string().c_str()) & FILE_ATTRIBUTE_READONLY,
              attributes & FILE_ATTRIBUTE_READONLY);
  }
  fs::path path;
};

// A second name of an outside file as the temporary copy: the name goes,
// the file is never written, and the product installs.
TEST_F(E2E, ASecondNamePlantedAsTheTemporaryCopyIsOnlyRemoved) {
  const Outside outside(downloads_ / "outside.dat", FILE_ATTRIBUTE_ARCHIVE);
  bool linked = false;
  InstallWith([&] { linked = outside.LinkAs(fs::path(dest_) / "tempfile.$$$"); }, [] {},
              texts::Success);
  ASSERT_TRUE(linked);
  outside.ExpectUnchanged(FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(Survey(dest_), Survey(Made().tree));
  RemoveTree(dest_);
}

// A read-only second name in place of a product file: its read-only bit is
// the outside file's too, so the setup cannot replace it without changing
// that file, and stops with the damaged-setup message instead.
TEST_F(E2E, AReadOnlySecondNameInPlaceOfAProductFileStopsTheSetup) {
  const Outside outside(downloads_ / "outside.txt", FILE_ATTRIBUTE_READONLY);
  bool linked = false;
  InstallWith([&] { linked = outside.LinkAs(fs::path(dest_) / "Help/Deep/Nested/page.htm"); },
              [] {}, texts::Corrupted);
  ASSERT_TRUE(linked);
  outside.ExpectUnchanged(FILE_ATTRIBUTE_READONLY);
  RemoveTree(dest_);
}

// The setup renamed while its welcome dialog waits, and another setup with
// another payload put at its name: what installs is the payload of the
// setup the user started, or nothing of the other one.
// Another setup, whose payload is one file, evil.txt; empty when it could
// not be made.
std::string EvilSetup(const TempDir& other) {
  fs::create_directories(other / "tree");
  testutil::WriteFile(other / "tree" / "evil.txt", std::string("evil"));
  return PackSetup(other.path(), other / "tree");
}

TEST_F(E2E, ASetupSwappedWhileTheWelcomeWaitsInstallsItsOwnPayload) {
  TempDir other;
  const std::string evil = EvilSetup(other);
  ASSERT_FALSE(evil.empty());
  bool renamed = true, replaced = true;
  InstallWith([] {}, [&] {
    renamed = MoveFileA(Exe().c_str(), (Exe() + ".old").c_str());
    replaced = CopyFileA(evil.c_str(), Exe().c_str(), FALSE);
  }, texts::Success);
  EXPECT_FALSE(renamed) << "the running setup's file is held against renaming";
  EXPECT_FALSE(replaced);
  EXPECT_FALSE(fs::exists(fs::path(dest_) / "evil.txt"));
  EXPECT_EQ(Survey(dest_), Survey(Made().tree));
  RemoveTree(dest_);
}

// ---- Archives that break a rule, made by hand (pvpack packs none of them):
// verify and extract refuse each, and the setup shows its damaged-setup
// message, all with nothing written.
TEST_F(E2E, ArchivesThatBreakARuleAreRefusedWithNothingWritten) {
  using testutil::TestRecord;
  const Bytes x(5, 'x');
  const struct {
    int line;
    std::vector<TestRecord> records;
  } rows[] = {
      {__LINE__, {TestRecord("Help\\CON", x), TestRecord("NUL.txt", x)}},
      {__LINE__, {TestRecord("tempfile.$$$", x)}},
      {__LINE__, {TestRecord("x\\y.txt", x), TestRecord("x", x)}},
      {__LINE__, {TestRecord("say \"hi\".txt", x)}},
      {__LINE__, {TestRecord("twice.txt", x), TestRecord("twice.txt", x)}},
      {__LINE__, {TestRecord("a.txt", x), TestRecord("A.TXT", x)}},
      {__LINE__, {TestRecord("COM0", x)}},
      {__LINE__, {TestRecord("lpt0.log", x)}},
      {__LINE__, {TestRecord("COM\xB9.txt", x)}},
      {__LINE__, {TestRecord("Com\xB2", x)}},
      {__LINE__, {TestRecord("COM\xB3.a.b", x)}},
      {__LINE__, {TestRecord("LPT\xB9", x)}},
      {__LINE__, {TestRecord("x\\lpt\xB2.txt", x)}},
      {__LINE__, {TestRecord("LPT\xB3 .txt", x)}},
      {__LINE__, {TestRecord("Docs\\CONIN$", x)}},
      {__LINE__, {TestRecord("conout$.log", x)}},
      {__LINE__, {TestRecord("CLOCK$", x)}},
      {__LINE__, {TestRecord("b", x), TestRecord("B.\\c.txt", x)}},
      // Says 1 byte, decodes to 200 MB.
      {__LINE__, {TestRecord("readme.txt", {}).WithStream(testutil::ZeroStream(386101)).WithSize(1)}},
      // Says 10 bytes, decodes to 2^32 + 10, its check value over all of them.
      {__LINE__, {TestRecord("readme.txt", {}).WithStream(testutil::ZeroStream(8291442, true)).WithSize(10).WithCheck(0x94784E13)}},
  };
  const std::string pvpack = Quote(FromEnvironment("PV_PVPACK"));
  TempDir work;
  const std::string archive = (work / "bad.pvz").string();
  Bytes stub = testutil::ReadFile(FromEnvironment("PV_SETUP_STUB"));
  const std::string marker = "<PVZIP FILE BEGINS HERE>";
  stub.insert(stub.end(), marker.begin(), marker.end());
  for (const auto& r : rows) {
    SCOPED_TRACE(r.line);
    const Bytes bad = testutil::BuildArchive(r.records);
    testutil::WriteFile(archive, bad);
    EXPECT_EQ(RunProgram(pvpack + " verify -q " + Quote(archive)), 6);
    const fs::path out = work / "out";
    EXPECT_EQ(RunProgram(pvpack + " extract -q " + Quote(archive) + " " + Quote(out.string())), 6);
    EXPECT_TRUE(Survey(out).empty());
    Bytes setup = stub;
    setup.insert(setup.end(), bad.begin(), bad.end());
    setup_ = &setup;
    InstallWith([] {}, [] {}, texts::Corrupted);
    EXPECT_TRUE(Survey(dest_).empty());
    RemoveTree(dest_);
  }
}

// Another program has the setup's file open for deleting, sharing
// everything, before the setup starts: the setup cannot hold its file and
// says so, reading nothing. Were it to go on, that program could rename the
// file while the welcome dialog waits and put another setup at its name;
// here it does, should the welcome come.
TEST_F(E2E, ASetupThatCannotHoldItsFileSaysSoAndInstallsNothing) {
  TempDir other;
  const std::string evil = EvilSetup(other);
  ASSERT_TRUE(!evil.empty() && Downloaded(Made().setup));
  const handles::UniqueFile holder(CreateFileA(Exe().c_str(), DELETE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                               nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
  Session s;
  ASSERT_TRUE(s.Start(Quote(Exe()), downloads_.str())) << s.Error();
  HWND welcome = nullptr;
  for (int i = 0; i < 300 && !welcome && !s.FindWindowNow("Pavlane Setup"); ++i) {
    Sleep(100);
    welcome = s.FindWindowNow(Title);
  }
  if (welcome) {
    MoveFileA(Exe().c_str(), (Exe() + ".old").c_str());
    CopyFileA(evil.c_str(), Exe().c_str(), FALSE);
    s.Press(welcome, IDC_INSTALL);
  }
  ExpectEnd(s,
            "Unable to run Setup as the Setup file is being used by another program.\r\r"
            "Please, close all applications that are working at the moment and run this "
            "program, again.",
            MB_OK | MB_ICONHAND);
  EXPECT_FALSE(welcome);
  EXPECT_FALSE(fs::exists(fs::path(dest_) / "evil.txt"));
  EXPECT_FALSE(fs::exists(dest_));
}

// What another user of the machine can do to a folder under Wine, which
// does not stop Unix calls on held folders: a Linux system call (i386
// numbers), made from this 32-bit process directly.
long LinuxCall(long number, long a, long b, long c = 0, long d = 0, long e = 0) {
  long result;
  asm volatile("push %%ebx\n\tmov %2, %%ebx\n\tint $0x80\n\tpop %%ebx"
               : "=a"(result)
               : "0"(number), "r"(a), "c"(b), "d"(c), "S"(d), "D"(e)
               : "memory");
  return result;
}
// renameat2 with RENAME_EXCHANGE: swaps the objects at two Unix paths,
// whatever Windows holds. 0 when done.
long UnixExchange(const std::string& a, const std::string& b) {
  return LinuxCall(353, -100, long(a.c_str()), -100, long(b.c_str()), 2);
}

// The Unix path of a Windows path under Wine, or an empty string.
std::string UnixPath(const std::string& path) {
  using Proc = char*(CDECL*)(const wchar_t*);
  const auto unixName = reinterpret_cast<Proc>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  const std::wstring wide(path.begin(), path.end());
  char* name = unixName ? unixName(wide.c_str()) : nullptr;
  const std::string result = name ? name : "";
  if (name) HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// While the setup installs 2000 files into one folder, another user
// exchanges that folder, again and again, with a link to a folder of
// theirs. The setup writes each file relative to the folder it holds, so
// whatever it reports, nothing reaches the other folder.
TEST_F(E2E, AFolderExchangedForALinkDuringTheInstallLeadsNothingOutside) {
  TempDir made;
  fs::create_directories(made / "tree" / "Library");
  for (int i = 0; i < 2000; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "f%04d.dat", i);
    testutil::WriteFile(made / "tree" / "Library" / name, std::string(100, char('a' + i % 26)));
  }
  const std::string exe = PackSetup(made.path(), made / "tree");
  ASSERT_TRUE(!exe.empty() && Downloaded(testutil::ReadFile(exe)));
  fs::create_directories(dest_);
  fs::create_directories(downloads_ / "theirs");
  const std::string folder = UnixPath(dest_) + "/Library", link = UnixPath(downloads_.str()) + "/link";
  const std::string theirs = UnixPath(downloads_.str()) + "/theirs";
  ASSERT_EQ(LinuxCall(83 /* symlink */, long(theirs.c_str()), long(link.c_str())), 0);
  Session s;
  HWND welcome = s.Start(Quote(Exe()), downloads_.str()) ? s.WaitWindow(Title) : nullptr;
  ASSERT_NE(welcome, nullptr) << s.Error();
  std::atomic<bool> installing{true};
  long exchanges = 0;
  std::thread other([&] {
    while (installing)
      if (UnixExchange(folder, link) == 0) ++exchanges;
    if (exchanges % 2) UnixExchange(folder, link);
  });
  s.Press(welcome, IDC_INSTALL);
  HWND box = s.WaitWindow("Pavlane Setup");
  installing = false;
  other.join();
  ASSERT_NE(box, nullptr) << s.Error();
  s.Press(box, IDOK);
  EXPECT_GT(exchanges, 100);
  EXPECT_TRUE(fs::is_empty(downloads_ / "theirs")) << testutil::TreeContents(downloads_ / "theirs").size();
  DWORD code = 99;
  EXPECT_TRUE(s.WaitExit(&code) && code == 0);
  // The Unix link goes as itself: Wine would take it for the folder.
  LinuxCall(10 /* unlink */, long(link.c_str()), 0);
  RemoveTree(dest_);
}

// The destination itself exchanged for a link to another user's folder
// once the setup holds it: when the welcome dialog is gone, Install has
// taken the hold, and the copy of the archive and the files are still to
// come. Nothing, the temporary copy included, goes into the other folder.
TEST_F(E2E, TheDestinationExchangedForALinkAfterItIsHeldLeadsNothingOutside) {
  ASSERT_TRUE(Downloaded(Made().setup));
  fs::create_directories(downloads_ / "theirs");
  const std::string dest = UnixPath(dest_), link = UnixPath(downloads_.str()) + "/link";
  const std::string theirs = UnixPath(downloads_.str()) + "/theirs";
  ASSERT_EQ(LinuxCall(83 /* symlink */, long(theirs.c_str()), long(link.c_str())), 0);
  Session s;
  HWND welcome = s.Start(Quote(Exe()), downloads_.str()) ? s.WaitWindow(Title) : nullptr;
  ASSERT_NE(welcome, nullptr) << s.Error();
  std::atomic<bool> exchanged{false};
  std::thread other([&] {
    const DWORD until = GetTickCount() + 60000;
    while (IsWindow(welcome) && GetTickCount() < until) continue;
    exchanged = UnixExchange(dest, link) == 0;
  });
  s.Press(welcome, IDC_INSTALL);
  other.join();
  HWND box = s.WaitWindow("Pavlane Setup");
  ASSERT_TRUE(exchanged);
  // Back again: the folder held is at the destination's name once more.
  EXPECT_EQ(UnixExchange(dest, link), 0);
  ASSERT_NE(box, nullptr) << s.Error();
  s.Press(box, IDOK);
  DWORD code = 99;
  EXPECT_TRUE(s.WaitExit(&code) && code == 0);
  EXPECT_TRUE(fs::is_empty(downloads_ / "theirs")) << testutil::TreeContents(downloads_ / "theirs").size();
  // What reaches the folder held is not checked: Wine reopens a held folder
  // (to list it) by the name it was opened by, so the setup stops at the
  // first subfolder, and deletes its copy by that name too.
  LinuxCall(10 /* unlink */, long(link.c_str()), 0);
  RemoveTree(dest_);
}

// ---- Planted libraries: a setup with look-alike system libraries beside it
// must load none of them.

const char* const PlantedNames[] = {"version.dll", "mpr.dll", "comctl32.dll"};

class Planting : public E2E {
 protected:
  void SetUp() override {
    E2E::SetUp();
    for (const char* name : PlantedNames)
      fs::copy_file(fs::path(FromEnvironment("PV_PLANTED_DIR")) / name, downloads_ / name);
  }
  bool Left(const char* name, const char* trace) {
    return fs::exists(downloads_ / (std::string(name) + trace));
  }
};

TEST_F(Planting, TheSetupLoadsNoLibraryFromItsOwnFolder) {
  Install();
  for (const char* name : PlantedNames) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(Left(name, ".called"));
    // Wine's user32.dll (unlike Windows') imports version.dll, so the planted
    // one is mapped before the setup runs; only its calls tell.
    EXPECT_TRUE(std::string(name) == "version.dll" || !Left(name, ".loaded"));
  }
  RemoveTree(dest_);
}

// The control: without it, a Wine that ignored the planted files would let
// the test above pass whatever the setup did.
TEST_F(Planting, APlainImportTakesThePlantedLibrary) {
  const fs::path exe = downloads_ / "ImportsVersion.exe";
  fs::copy_file(FromEnvironment("PV_IMPORTS_VERSION"), exe);
  RunProgram(Quote(exe.string()));
  EXPECT_TRUE(Left("version.dll", ".loaded") && Left("version.dll", ".called"));
}

}  // namespace
