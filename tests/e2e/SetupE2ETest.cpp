// The real setup program, packed by pvpack around a small product and
// driven from outside through its windows and message boxes, in a Wine
// prefix of its own (tests/e2e/prefix.sh). Every message box is read back
// with its caption, text, buttons and icon.
//
// The suite "Planting" runs on its own, with Wine preferring DLL files to
// its built-in libraries as Windows does.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "seldir/SelDirRes.h"
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

const char Title[] = "Pavlane Orbit Suite 3.03 Setup";

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

// What a test expects of one message box.
struct Box {
  std::string caption, text;
  UINT flags;
  std::string answer;
};
const Box Success = {"Pavlane Setup", texts::Success, MB_OK | MB_ICONASTERISK, "OK"};
Box Exit(const char* answer) {
  return {"Exit Setup", texts::ExitQuestion, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, answer};
}
Box CreateQuestion(const std::string& dest) {
  return {"Setup",
          "The directory:\r\r" + dest + "\r\rdoes not exist. Do you want the directory to be created?",
          MB_YESNO | MB_ICONQUESTION, "Yes"};
}
Box Warning(const char* answer) {
  return {"Pavlane Setup", texts::LowSpaceWarning, MB_YESNO | MB_ICONQUESTION, answer};
}

bool operator==(const Box& a, const Box& b) {
  return a.caption == b.caption && a.text == b.text && a.flags == b.flags && a.answer == b.answer;
}
void PrintTo(const Box& b, std::ostream* os) {
  *os << '"' << b.caption << "\" " << automate::DescribeFlags(b.flags) << " \""
      << automate::Escape(b.text) << "\" -> " << b.answer;
}

// The product, its archive and the setup made from it, once for all tests.
// Times are local whole even seconds, as the archive keeps them.
struct Product {
  Product() {
    Bytes orbits(300000);  // several reads and progress calls, yet small enough for S:
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
    const std::string pvpack = Quote(FromEnvironment("PV_PVPACK"));
    const std::string archive = (work / "product.pvz").string(), exe = (work / "setup.exe").string();
    ok = ok && RunProgram(pvpack + " pack " + Quote(tree.string()) + " " + Quote(archive)) == 0 &&
         RunProgram(pvpack + " setup " + Quote(FromEnvironment("PV_SETUP_STUB")) + " " +
                    Quote(archive) + " " + Quote(exe)) == 0;
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
  // Starts program (the setup unless named) as downloaded into a folder of
  // its own; false unless its welcome dialog comes up.
  bool Open(Session& s, const Bytes* program = nullptr) {
    const std::string exe = (downloads_ / "PavlaneSetup.exe").string();
    testutil::WriteFile(exe, program ? *program : Made().setup);
    welcome_ = s.Start(Quote(exe), downloads_.str()) ? s.WaitWindow(Title) : nullptr;
    EXPECT_NE(welcome_, nullptr) << s.Error();
    return welcome_;
  }
  // Picks dest in the directory dialog (agreeing to create it when asked),
  // starts the installation and answers the box that follows with button.
  void Install(Session& s, const std::string& dest, int button = IDOK, bool missing = true) {
    ASSERT_TRUE(s.Press(welcome_, IDC_BROWSE));
    HWND chooser = s.WaitWindow("Choose Directory");
    ASSERT_NE(chooser, nullptr) << s.Error();
    ASSERT_TRUE(s.SetText(chooser, IDC_SELDIR_PATH, dest));
    ASSERT_TRUE(s.Press(chooser, IDC_SELDIR_OK));
    if (missing) Answer(s, "Setup", IDYES);
    for (int i = 0; i < 500 && IsWindow(chooser); ++i) Sleep(10);
    ASSERT_FALSE(IsWindow(chooser));
    EXPECT_EQ(s.GetText(welcome_, IDC_DESTDIR), dest);
    ASSERT_TRUE(s.Press(welcome_, IDC_INSTALL));
    Answer(s, "Pavlane Setup", button);
  }
  static void Answer(Session& s, const char* caption, int button) {
    HWND box = s.WaitWindow(caption);
    ASSERT_NE(box, nullptr) << s.Error();
    EXPECT_TRUE(s.Press(box, button)) << s.Error();
  }
  // The program ends with exit code 0, having shown exactly these boxes.
  static void ExpectEnd(Session& s, const std::vector<Box>& boxes) {
    DWORD code = 99;
    ASSERT_TRUE(s.WaitExit(&code)) << s.Error();
    EXPECT_EQ(code, 0u);
    std::vector<Box> seen;
    for (const auto& b : s.Boxes()) seen.push_back({b.caption, b.text, b.Flags(), b.answer});
    EXPECT_EQ(seen, boxes);
  }
  // The product's files under dest with their contents, times and
  // attributes, nothing else, and no leftover of the extraction.
  static void ExpectInstalled(const fs::path& dest) {
    EXPECT_EQ(Survey(dest), Survey(Made().tree));
    EXPECT_FALSE(fs::exists(dest / "tempfile.$$$"));
  }

  Session session_;
  TempDir downloads_, scratch_;
  HWND welcome_ = nullptr;
};

TEST_F(E2E, InstallsEveryFileIntoTheDefaultDestination) {
  char dest[MAX_PATH];
  ASSERT_GT(ExpandEnvironmentStringsA("%ProgramFiles%\\VelmSoft\\Pavlane", dest, MAX_PATH), 0u);
  RemoveTree(dest);
  ASSERT_TRUE(Open(session_));
  EXPECT_EQ(session_.GetText(welcome_, IDC_DESTDIR), dest);
  ASSERT_TRUE(session_.Press(welcome_, IDC_INSTALL));
  Answer(session_, "Pavlane Setup", IDOK);
  ExpectEnd(session_, {Success});
  ExpectInstalled(dest);
  RemoveTree(fs::path(dest).parent_path());
}

TEST_F(E2E, ADriveRootLosesItsBackslashOnTheWayToTheFiles) {
  if (GetDriveTypeA("T:\\") == DRIVE_NO_ROOT_DIR) GTEST_SKIP() << "no drive T: in this prefix";
  ASSERT_TRUE(Open(session_));
  Install(session_, "T:\\", IDOK, false);
  ExpectEnd(session_, {Success});
  ExpectInstalled("T:\\");
  for (const auto& entry : fs::directory_iterator("T:\\")) RemoveTree(entry.path());
}

TEST_F(E2E, CancelAsksAndNoStays) {
  ASSERT_TRUE(Open(session_));
  const std::string dest = session_.GetText(welcome_, IDC_DESTDIR);
  ASSERT_FALSE(fs::exists(dest));
  ASSERT_TRUE(session_.Press(welcome_, IDC_CANCEL));
  Answer(session_, "Exit Setup", IDNO);
  EXPECT_TRUE(IsWindowVisible(welcome_));
  EXPECT_EQ(session_.GetText(welcome_, IDC_DESTDIR), dest);
  ASSERT_TRUE(session_.Press(welcome_, IDC_CANCEL));
  Answer(session_, "Exit Setup", IDYES);
  ExpectEnd(session_, {Exit("No"), Exit("Yes")});
  EXPECT_FALSE(fs::exists(dest));
}

TEST_F(E2E, TheCloseMessageEndsSetupWithoutAQuestion) {
  ASSERT_TRUE(Open(session_));
  ASSERT_TRUE(session_.Close(welcome_));
  ExpectEnd(session_, {});
}

TEST_F(E2E, ADamagedOrMissingPayloadIsReportedAndNothingIsExtracted) {
  const Bytes& setup = Made().setup;
  const Bytes stub = testutil::ReadFile(FromEnvironment("PV_SETUP_STUB"));
  Bytes damaged = setup, stubWithTail = stub;
  damaged[stub.size() + 24 + (setup.size() - stub.size() - 24) / 2] ^= 0x40;
  stubWithTail.insert(stubWithTail.end(), 1000, 'x');
  const struct {
    int line;
    const Bytes& program;
  } rows[] = {
      {__LINE__, damaged},
      {__LINE__, stub},          // no marker, nothing behind the program
      {__LINE__, stubWithTail},  // no marker, something behind it
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    Session session;
    const std::string dest = (scratch_ / ("dest" + std::to_string(row.line))).string();
    ASSERT_TRUE(Open(session, &row.program));
    Install(session, dest);
    ExpectEnd(session, {CreateQuestion(dest),
                          {"Pavlane Setup", texts::Corrupted, MB_OK | MB_ICONHAND, "OK"}});
    EXPECT_TRUE(fs::is_directory(dest) && fs::is_empty(dest));
  }
}

TEST_F(E2E, ADestinationThatCannotBeMadeKeepsTheDialog) {
  testutil::WriteFile(scratch_ / "file.txt", std::string("in the way"));
  const std::string dest = (scratch_ / "file.txt" / "Pavlane").string();
  ASSERT_TRUE(Open(session_));
  Install(session_, dest);
  EXPECT_EQ(session_.WaitWindow(Title), welcome_);  // the user may browse again or leave
  ASSERT_TRUE(session_.Press(welcome_, IDC_CANCEL));
  Answer(session_, "Exit Setup", IDYES);
  ExpectEnd(session_, {CreateQuestion(dest),
                         {"Pavlane Setup", "Cannot create destination directory:\r\r" + dest,
                          MB_OK | MB_ICONHAND, "OK"},
                         Exit("Yes")});
}

TEST_F(E2E, ASmallDriveBringsTheSpaceWarning) {
  ULARGE_INTEGER free = {};
  if (GetDriveTypeA("S:\\") == DRIVE_NO_ROOT_DIR)
    GTEST_SKIP() << "no small drive S: in this prefix (it needs a mounted file system)";
  ASSERT_TRUE(GetDiskFreeSpaceExA("S:\\", &free, nullptr, nullptr));
  ASSERT_LT(free.QuadPart, 5u << 20);
  const std::string dest = "S:\\Pavlane";
  ASSERT_TRUE(Open(session_));
  Install(session_, dest, IDNO);
  EXPECT_EQ(session_.WaitWindow(Title), welcome_);
  EXPECT_FALSE(fs::exists(dest));
  ASSERT_TRUE(session_.Press(welcome_, IDC_INSTALL));
  Answer(session_, "Pavlane Setup", IDYES);
  Answer(session_, "Pavlane Setup", IDOK);
  ExpectEnd(session_, {CreateQuestion(dest), Warning("No"), Warning("Yes"), Success});
  ExpectInstalled(dest);
  RemoveTree(dest);
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
  const std::string dest = (scratch_ / "Pavlane").string();
  ASSERT_TRUE(Open(session_));
  Install(session_, dest);
  ExpectEnd(session_, {CreateQuestion(dest), Success});
  ExpectInstalled(dest);
  for (const char* name : PlantedNames) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(Left(name, ".called"));
    // Wine's user32.dll (unlike Windows') imports version.dll, so the planted
    // one is mapped before the setup runs; only its calls tell.
    EXPECT_TRUE(std::string(name) == "version.dll" || !Left(name, ".loaded"));
  }
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
