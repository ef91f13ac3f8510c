// The real setup program, packed by pvpack around a small product and
// driven from outside through its windows and message boxes, in a Wine
// prefix of its own (tests/e2e/prefix.sh). Every message box is read back
// from the screen with its caption, text, buttons and icon.
//
// The suite "Planting" runs on its own, with Wine told to prefer DLL files
// to its built-in libraries as Windows does: a setup with look-alike system
// libraries beside it must load none of them, and a plain program must (the
// control that shows the planted libraries would be taken).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "setup/Handles.h"
#include "tests/common/TestUtil.h"
#include "tools/automate/Automation.h"

namespace fs = std::filesystem;
using automate::BoxRecord;
using automate::Session;
using testutil::Bytes;
using testutil::TempDir;

namespace {

const char Title[] = "Pavlane Orbit Suite 3.03 Setup";
const char SuccessText[] =
    "Pavlane has been successfully installed.\r\rTo run the application, click the START "
    "button, then point to PROGRAMS, and select PAVLANE ORBIT SUITE.";
const char CorruptedText[] =
    "Unable to extract data as the Setup file has been corrupted.\r\r"
    "You should obtain a correct copy by visiting the VelmoraSoft home page at "
    "http://www.velmsoft.com.";
const char ExitQuestion[] = "Setup is not complete yet. Are you sure you want to exit setup now?";
const char WarningText[] =
    "There is not enough disk space on the destination drive (at least 5MB recommended). "
    "This may cause errors while installing or running Pavlane.\r\r"
    "Would you, nevertheless, wish to proceed now?";

// A path handed in by CTest (a Unix path) as this Windows program names it.
std::string FromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return {};
  std::string path = value;
  if (path[0] == '/') path = "Z:" + path;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

// Runs a console program to its end; its exit code, or -1. Its output goes
// to output when that is named.
int RunProgram(const std::string& commandLine, const std::string& output = "") {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  handles::UniqueFile out;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  if (!output.empty()) {
    out.reset(CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return -1;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.get();
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  }
  PROCESS_INFORMATION info = {};
  std::string line = commandLine;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
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

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

// Removes dir with everything in it, read-only files too.
void RemoveTree(const fs::path& dir) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec))
    SetFileAttributesA(it->path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
  fs::remove_all(dir, ec);
}

// Sets a file's last-write time (local, whole even seconds, as the archive
// keeps it) and attributes.
void Stamp(const fs::path& file, int year, int month, int day, int hour, DWORD attributes) {
  SYSTEMTIME local = {};
  local.wYear = WORD(year);
  local.wMonth = WORD(month);
  local.wDay = WORD(day);
  local.wHour = WORD(hour);
  local.wMinute = 30;
  local.wSecond = 42;
  FILETIME localTime, utc;
  ASSERT_TRUE(SystemTimeToFileTime(&local, &localTime));
  ASSERT_TRUE(LocalFileTimeToFileTime(&localTime, &utc));
  {
    handles::UniqueFile f(CreateFileA(file.string().c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(f);
    ASSERT_TRUE(SetFileTime(f.get(), nullptr, nullptr, &utc));
  }
  ASSERT_TRUE(SetFileAttributesA(file.string().c_str(), attributes));
}

struct FileFacts {
  Bytes data;
  FILETIME written{};
  DWORD attributes = 0;
};

// Every file below dir by its relative path.
std::map<std::string, FileFacts> Survey(const fs::path& dir) {
  std::map<std::string, FileFacts> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    FileFacts facts;
    facts.data = testutil::ReadFile(it->path());
    const std::string path = it->path().string();
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &info)) {
      facts.written = info.ftLastWriteTime;
      facts.attributes = info.dwFileAttributes &
                         (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                          FILE_ATTRIBUTE_ARCHIVE);
    }
    files[fs::relative(it->path(), dir).generic_string()] = facts;
  }
  return files;
}

// What a test expects of one message box.
struct Box {
  std::string caption, text;
  UINT flags;
  std::string answer;
};

void ExpectBoxes(const Session& session, const std::vector<Box>& expected) {
  const std::vector<BoxRecord>& seen = session.Boxes();
  ASSERT_EQ(seen.size(), expected.size()) << [&] {
    std::string all;
    for (const BoxRecord& b : seen) all += automate::FormatBox(b) + "\n";
    return all;
  }();
  for (size_t i = 0; i < seen.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen[i].caption, expected[i].caption);
    EXPECT_EQ(seen[i].text, expected[i].text);
    EXPECT_EQ(seen[i].Flags(), expected[i].flags) << automate::DescribeFlags(seen[i].Flags());
    EXPECT_EQ(seen[i].answer, expected[i].answer);
  }
}

// The product, its archive and the setup made from it, once for all tests.
class Product {
 public:
  Product() {
    product_ = work_ / "product";
    fs::create_directories(product_ / "Help" / "Deep" / "Nested");
    fs::create_directories(product_ / "Library");
    testutil::WriteFile(product_ / "Readme.txt", std::string("Pavlane Orbit Suite 3.03\r\n"));
    testutil::WriteFile(product_ / "Help" / "Deep" / "Nested" / "page.htm",
                        std::string("<html><body>Help</body></html>\r\n"));
    testutil::WriteFile(product_ / "Library" / "Empty.dat", Bytes());
    // Enough to take several reads and progress calls, small enough for S:.
    Bytes orbits(300000);
    uint32_t seed = 12345;
    for (size_t i = 0; i < orbits.size(); ++i) {
      seed = seed * 1103515245u + 12345u;
      orbits[i] = uint8_t(i % 7 == 0 ? seed >> 24 : "ORBIT"[i % 5]);
    }
    testutil::WriteFile(product_ / "Library" / "orbits.dat", orbits);
    testutil::WriteFile(product_ / "ReadOnly.txt", std::string("do not change\r\n"));
    testutil::WriteFile(product_ / "Hidden.ini", std::string("[Pavlane]\r\n"));
    Stamp(product_ / "Readme.txt", 2003, 4, 5, 6, FILE_ATTRIBUTE_ARCHIVE);
    Stamp(product_ / "Help" / "Deep" / "Nested" / "page.htm", 1999, 12, 31, 23,
          FILE_ATTRIBUTE_ARCHIVE);
    Stamp(product_ / "Library" / "Empty.dat", 2001, 1, 1, 0, FILE_ATTRIBUTE_ARCHIVE);
    Stamp(product_ / "Library" / "orbits.dat", 2002, 6, 15, 12, FILE_ATTRIBUTE_ARCHIVE);
    Stamp(product_ / "ReadOnly.txt", 2000, 2, 29, 8, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    Stamp(product_ / "Hidden.ini", 2003, 3, 3, 3, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);

    const std::string pvpack = Quote(FromEnvironment("PV_PVPACK"));
    archive_ = (work_ / "product.pvz").string();
    setup_ = (work_ / "PavlaneSetup.exe").string();
    ok_ = RunProgram(pvpack + " pack " + Quote(product_.string()) + " " + Quote(archive_)) == 0 &&
          RunProgram(pvpack + " setup " + Quote(FromEnvironment("PV_SETUP_STUB")) + " " +
                     Quote(archive_) + " " + Quote(setup_)) == 0;
  }
  bool ok() const { return ok_; }
  const fs::path& tree() const { return product_; }
  const std::string& setup() const { return setup_; }

 private:
  TempDir work_;
  fs::path product_;
  std::string archive_, setup_;
  bool ok_ = false;
};

Product* Made = nullptr;

class E2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!Made) Made = new Product;
  }
  void SetUp() override {
    ASSERT_TRUE(Made->ok()) << "pvpack could not make the setup";
  }
  // Puts a copy of the setup (or other bytes) into a download folder of its own.
  std::string Place(const Bytes& program) {
    const fs::path exe = downloads_ / "PavlaneSetup.exe";
    testutil::WriteFile(exe, program);
    return exe.string();
  }
  std::string Place() { return Place(testutil::ReadFile(Made->setup())); }
  static bool Start(Session& s, const std::string& exe) {
    return s.Start(Quote(exe), fs::path(exe).parent_path().string());
  }
  static HWND Welcome(Session& s) {
    HWND welcome = s.WaitWindow(Title);
    EXPECT_NE(welcome, nullptr) << s.Error();
    return welcome;
  }
  // Picks dest in the directory dialog, agreeing to create it when asked.
  static void Choose(Session& s, HWND welcome, const std::string& dest, bool missing) {
    ASSERT_TRUE(s.Press(welcome, 203));
    HWND chooser = s.WaitWindow("Choose Directory");
    ASSERT_NE(chooser, nullptr) << s.Error();
    ASSERT_TRUE(s.SetText(chooser, 103, dest));
    ASSERT_TRUE(s.Press(chooser, 108));
    if (missing) Answer(s, "Setup", IDYES);
    for (int i = 0; i < 500 && IsWindow(chooser); ++i) Sleep(10);
    ASSERT_FALSE(IsWindow(chooser));
  }
  static void Answer(Session& s, const char* caption, int button) {
    HWND box = s.WaitWindow(caption);
    ASSERT_NE(box, nullptr) << s.Error();
    EXPECT_TRUE(s.Press(box, button)) << s.Error();
  }
  static void ExpectExitZero(Session& s) {
    DWORD code = 99;
    ASSERT_TRUE(s.WaitExit(&code)) << s.Error();
    EXPECT_EQ(code, 0u);
  }
  // The product's files, each under dest with its contents, time and
  // attributes, and nothing else there.
  void ExpectInstalled(const fs::path& dest) {
    auto want = Survey(Made->tree()), got = Survey(dest);
    ASSERT_EQ(got.size(), want.size());
    for (const auto& [name, facts] : want) {
      SCOPED_TRACE(name);
      auto it = got.find(name);
      ASSERT_NE(it, got.end());
      EXPECT_TRUE(it->second.data == facts.data);
      EXPECT_EQ(CompareFileTime(&it->second.written, &facts.written), 0);
      EXPECT_EQ(it->second.attributes, facts.attributes);
    }
    EXPECT_FALSE(fs::exists(dest / "tempfile.$$$"));
  }
  static std::string Message(const std::string& path) {
    return "The directory:\r\r" + path +
           "\r\rdoes not exist. Do you want the directory to be created?";
  }

  Session session_;
  TempDir downloads_, scratch_;
};

const Box Question(const std::string& text, const char* answer) {
  return {"Setup", text, MB_YESNO | MB_ICONQUESTION, answer};
}

TEST_F(E2E, InstallsEveryFileIntoTheDefaultDestination) {
  char programFiles[MAX_PATH] = {};
  DWORD size = sizeof programFiles - 1;
  handles::UniqueHkey key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", 0,
                          KEY_QUERY_VALUE, key.put()),
            ERROR_SUCCESS);
  ASSERT_EQ(RegQueryValueExA(key.get(), "ProgramFilesDir", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(programFiles), &size),
            ERROR_SUCCESS);
  const std::string dest = std::string(programFiles) + "\\VelmSoft\\Pavlane";
  RemoveTree(dest);
  ASSERT_TRUE(Start(session_, Place()));
  HWND welcome = Welcome(session_);
  ASSERT_NE(welcome, nullptr);
  EXPECT_EQ(session_.GetText(welcome, 206), dest);
  ASSERT_TRUE(session_.Press(welcome, 201));
  Answer(session_, "Pavlane Setup", IDOK);
  ExpectExitZero(session_);
  ExpectBoxes(session_, {{"Pavlane Setup", SuccessText, MB_OK | MB_ICONASTERISK, "OK"}});
  ExpectInstalled(dest);
  RemoveTree(fs::path(dest).parent_path());
}

TEST_F(E2E, ADriveRootLosesItsBackslashOnTheWayToTheFiles) {
  if (GetDriveTypeA("T:\\") == DRIVE_NO_ROOT_DIR) GTEST_SKIP() << "no drive T: in this prefix";
  ASSERT_TRUE(Start(session_, Place()));
  HWND welcome = Welcome(session_);
  ASSERT_NE(welcome, nullptr);
  Choose(session_, welcome, "T:\\", false);
  EXPECT_EQ(session_.GetText(welcome, 206), "T:\\");
  ASSERT_TRUE(session_.Press(welcome, 201));
  Answer(session_, "Pavlane Setup", IDOK);
  ExpectExitZero(session_);
  ExpectInstalled("T:\\");
  for (const auto& entry : fs::directory_iterator("T:\\")) RemoveTree(entry.path());
}

TEST_F(E2E, CancelAsksAndNoStays) {
  ASSERT_TRUE(Start(session_, Place()));
  HWND welcome = Welcome(session_);
  ASSERT_NE(welcome, nullptr);
  const std::string dest = session_.GetText(welcome, 206);
  ASSERT_FALSE(fs::exists(dest));
  ASSERT_TRUE(session_.Press(welcome, 202));
  Answer(session_, "Exit Setup", IDNO);
  EXPECT_TRUE(IsWindowVisible(welcome));
  EXPECT_EQ(session_.GetText(welcome, 206), dest);
  ASSERT_TRUE(session_.Press(welcome, 202));
  Answer(session_, "Exit Setup", IDYES);
  ExpectExitZero(session_);
  const Box exit = {"Exit Setup", ExitQuestion, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, ""};
  Box no = exit, yes = exit;
  no.answer = "No";
  yes.answer = "Yes";
  ExpectBoxes(session_, {no, yes});
  EXPECT_FALSE(fs::exists(dest));
}

TEST_F(E2E, TheCloseMessageEndsSetupWithoutAQuestion) {
  ASSERT_TRUE(Start(session_, Place()));
  HWND welcome = Welcome(session_);
  ASSERT_NE(welcome, nullptr);
  ASSERT_TRUE(session_.Close(welcome));
  ExpectExitZero(session_);
  ExpectBoxes(session_, {});
}

TEST_F(E2E, ADamagedOrMissingPayloadIsReportedAndNothingIsExtracted) {
  const Bytes setup = testutil::ReadFile(Made->setup());
  const Bytes stub = testutil::ReadFile(FromEnvironment("PV_SETUP_STUB"));
  struct Row {
    int line;
    Bytes program;
  };
  Bytes damaged = setup;
  damaged[stub.size() + 24 + (setup.size() - stub.size() - 24) / 2] ^= 0x40;
  Bytes stubWithTail = stub;
  stubWithTail.insert(stubWithTail.end(), 1000, 'x');
  const Row rows[] = {
      {__LINE__, damaged},
      {__LINE__, stub},          // no marker, nothing behind the program
      {__LINE__, stubWithTail},  // no marker, something behind it
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    Session session;
    const std::string dest = (scratch_ / ("dest" + std::to_string(row.line))).string();
    ASSERT_TRUE(Start(session, Place(row.program)));
    HWND welcome = Welcome(session);
    ASSERT_NE(welcome, nullptr);
    Choose(session, welcome, dest, true);
    ASSERT_TRUE(session.Press(welcome, 201));
    Answer(session, "Pavlane Setup", IDOK);
    ExpectExitZero(session);
    ExpectBoxes(session, {Question(Message(dest), "Yes"),
                          {"Pavlane Setup", CorruptedText, MB_OK | MB_ICONHAND, "OK"}});
    EXPECT_TRUE(fs::is_directory(dest));
    EXPECT_TRUE(fs::is_empty(dest));
  }
}

TEST_F(E2E, ADestinationThatCannotBeMadeKeepsTheDialog) {
  testutil::WriteFile(scratch_ / "file.txt", std::string("in the way"));
  const std::string dest = (scratch_ / "file.txt" / "Pavlane").string();
  ASSERT_TRUE(Start(session_, Place()));
  HWND welcome = Welcome(session_);
  ASSERT_NE(welcome, nullptr);
  Choose(session_, welcome, dest, true);
  ASSERT_TRUE(session_.Press(welcome, 201));
  Answer(session_, "Pavlane Setup", IDOK);
  // Still there: the user may browse or leave.
  EXPECT_EQ(session_.WaitWindow(Title), welcome);
  ASSERT_TRUE(session_.Press(welcome, 202));
  Answer(session_, "Exit Setup", IDYES);
  ExpectExitZero(session_);
  ExpectBoxes(session_,
              {Question(Message(dest), "Yes"),
               {"Pavlane Setup", "Cannot create destination directory:\r\r" + dest,
                MB_OK | MB_ICONHAND, "OK"},
               {"Exit Setup", ExitQuestion, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, "Yes"}});
}

TEST_F(E2E, ASmallDriveBringsTheSpaceWarning) {
  if (GetDriveTypeA("S:\\") == DRIVE_NO_ROOT_DIR)
    GTEST_SKIP() << "no small drive S: in this prefix (it needs a mounted file system)";
  ULARGE_INTEGER free = {};
  ASSERT_TRUE(GetDiskFreeSpaceExA("S:\\", &free, nullptr, nullptr));
  ASSERT_LT(free.QuadPart, 5u << 20);
  const std::string dest = "S:\\Pavlane";
  ASSERT_TRUE(Start(session_, Place()));
  HWND welcome = Welcome(session_);
  ASSERT_NE(welcome, nullptr);
  Choose(session_, welcome, dest, true);
  ASSERT_TRUE(session_.Press(welcome, 201));
  Answer(session_, "Pavlane Setup", IDNO);
  EXPECT_EQ(session_.WaitWindow(Title), welcome);
  EXPECT_FALSE(fs::exists(dest));
  ASSERT_TRUE(session_.Press(welcome, 201));
  Answer(session_, "Pavlane Setup", IDYES);
  Answer(session_, "Pavlane Setup", IDOK);
  ExpectExitZero(session_);
  ExpectBoxes(session_, {Question(Message(dest), "Yes"),
                         {"Pavlane Setup", WarningText, MB_YESNO | MB_ICONQUESTION, "No"},
                         {"Pavlane Setup", WarningText, MB_YESNO | MB_ICONQUESTION, "Yes"},
                         {"Pavlane Setup", SuccessText, MB_OK | MB_ICONASTERISK, "OK"}});
  ExpectInstalled(dest);
  RemoveTree(dest);
}

TEST_F(E2E, PvautoPrintsEveryBoxAndTheExitCode) {
  const std::string exe = Place();
  const std::string output = (scratch_ / "pvauto.txt").string();
  const std::string command =
      Quote(FromEnvironment("PV_PVAUTO")) + " run " + Quote(exe) + " --wait " + Quote(Title) +
      " --text 206 --press 202 --wait \"Exit Setup\" --press No --press 202 --wait \"Exit Setup\""
      " --press Yes --exit";
  ASSERT_EQ(RunProgram(command, output), 0);
  std::ifstream in(output, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  const std::string box =
      "box \"Exit Setup\" 0x124 (MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) \"Setup is not "
      "complete yet. Are you sure you want to exit setup now?\"";
  const std::vector<std::string> expected = {
      "window \"Pavlane Orbit Suite 3.03 Setup\"",
      lines.size() > 1 ? lines[1] : "",  // the default destination, whatever it is here
      box,
      "window \"Exit Setup\"",
      box + " -> No",
      box,
      "window \"Exit Setup\"",
      box + " -> Yes",
      "exit 0",
  };
  EXPECT_EQ(lines, expected);
  ASSERT_GT(lines.size(), 1u);
  EXPECT_EQ(lines[1].rfind("text 206 \"", 0), 0u) << lines[1];
}

// ---- Planted libraries (run with Wine preferring DLL files).

const char* const PlantedNames[] = {"version.dll", "mpr.dll", "comctl32.dll"};

void Plant(const fs::path& dir) {
  const fs::path from = FromEnvironment("PV_PLANTED_DIR");
  for (const char* name : PlantedNames) fs::copy_file(from / name, dir / name);
}

class Planting : public E2E {};

TEST_F(Planting, TheSetupLoadsNoLibraryFromItsOwnFolder) {
  const std::string exe = Place();
  Plant(downloads_.path());
  const std::string dest = (scratch_ / "Pavlane").string();
  ASSERT_TRUE(Start(session_, exe));
  HWND welcome = Welcome(session_);
  ASSERT_NE(welcome, nullptr);
  Choose(session_, welcome, dest, true);
  ASSERT_TRUE(session_.Press(welcome, 201));
  Answer(session_, "Pavlane Setup", IDOK);
  ExpectExitZero(session_);
  ExpectInstalled(dest);
  for (const char* name : PlantedNames) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(fs::exists(downloads_ / (std::string(name) + ".called")));
    // Wine's own user32.dll imports version.dll, and so maps the planted one
    // into every window program before the program's first instruction
    // (the user32.dll of Windows does not). Only the program's own calls
    // show what the program asked for.
    if (std::string(name) != "version.dll") {
      EXPECT_FALSE(fs::exists(downloads_ / (std::string(name) + ".loaded")));
    }
  }
}

TEST_F(Planting, APlainImportTakesThePlantedLibrary) {
  const fs::path exe = downloads_ / "ImportsVersion.exe";
  fs::copy_file(FromEnvironment("PV_IMPORTS_VERSION"), exe);
  Plant(downloads_.path());
  RunProgram(Quote(exe.string()));
  EXPECT_TRUE(fs::exists(downloads_ / "version.dll.loaded") &&
              fs::exists(downloads_ / "version.dll.called"))
      << "the planted library was not taken: this run cannot show that the setup avoids it";
}

}  // namespace
