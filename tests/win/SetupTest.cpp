// The setup driver in this process: the destination checks, the welcome
// dialog driven from inside its own modal loop, the whole driver up to the
// rights test and the failed extraction, the message pump and the main
// icon. Message boxes and free space go through the driver's seams;
// HKEY_LOCAL_MACHINE stands for a scratch key.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <filesystem>
#include <string>
#include <vector>

#include "postset/PostSet.h"
#include "seldir/SelDirRes.h"
#include "setup/Global.h"
#include "setup/PavInst.h"
#include "setup/PavInstRes.h"
#include "tests/common/SetupTexts.h"
#include "tests/common/TestUtil.h"
#include "tests/win/Boxes.h"
#include "tests/win/DialogScript.h"
#include "tests/win/ScratchKey.h"
#include "winbase/Handles.h"

namespace fs = std::filesystem;

namespace {

using boxes::Shown;
using namespace dialogscript;

struct {
  BOOL ok;
  DWORD sectorsPerCluster, bytesPerSector, freeClusters;
  std::string root;  // what the driver asked for
} Disk;

BOOL WINAPI FakeDiskFreeSpace(LPCSTR root, LPDWORD sectors, LPDWORD bytes, LPDWORD freeClusters,
                              LPDWORD total) {
  Disk.root = root;
  *sectors = Disk.sectorsPerCluster;
  *bytes = Disk.bytesPerSector;
  *freeClusters = *total = Disk.freeClusters;
  return Disk.ok;
}

std::string Text(HWND dialog, int id) { return WindowText(GetDlgItem(dialog, id)); }

INT_PTR RunWelcome(std::vector<Step> steps) {
  INT_PTR result = -2;
  Drive(std::move(steps), [&](HWND owner) {  // a hidden owner, as the backdrop owns it
    result = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_WELCOME), owner,
                             WelcomeDialogProc, 0);
  });
  return result;
}

class SetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QueryDiskFreeSpace = FakeDiskFreeSpace;
    CurrentDialog = nullptr;
    DestDir.clear();
    DefaultDestDir = Path("dest");
  }
  void TearDown() override {
    QueryDiskFreeSpace = GetDiskFreeSpaceA;
    DestFont.reset();
    DefaultDestDir = "\\VelmSoft\\Pavlane";
  }
  std::string Path(const std::string& relative) const { return temp_.str() + "\\" + relative; }

  testutil::TempDir temp_;
  boxes::Recorder boxes_;
};

TEST_F(SetupTest, MakeDestinationDirectoryMakesMissingParentsOnly) {
  testutil::WriteFile(temp_ / "file.txt", std::string("x"));
  fs::create_directory(temp_ / "exists");
  struct Row {
    int line;
    std::string path;
    bool made;                         // MakeDestinationDirectory returns the path
    std::vector<const char*> present;  // below the scratch folder afterwards
  };
  const Row rows[] = {
      {__LINE__, Path("a\\b\\c\\"), true, {"a", "a\\b", "a\\b\\c"}},
      {__LINE__, Path("exists"), true, {"exists"}},
      {__LINE__, Path("exists\\"), true, {"exists"}},
      // Only one trailing backslash goes; the second makes the path its own parent.
      {__LINE__, Path("d\\e\\\\"), false, {}},
      {__LINE__, Path("file.txt\\sub"), false, {}},
      // A level the file system refuses ends it; the levels before stay.
      {__LINE__, Path("f\\g\\bad|name\\h"), false, {"f", "f\\g"}},
      {__LINE__, "C:", true, {}},
      {__LINE__, "C:\\", true, {}},
      {__LINE__, "relative", true, {"relative"}},  // made in the current directory
  };
  char saved[MAX_PATH];
  ASSERT_NE(GetCurrentDirectoryA(MAX_PATH, saved), 0u);
  ASSERT_TRUE(SetCurrentDirectoryA(temp_.str().c_str()));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(MakeDestinationDirectory(row.path), row.made ? row.path : "");
    for (const char* dir : row.present) EXPECT_TRUE(IsExistingDirectory(Path(dir))) << dir;
  }
  SetCurrentDirectoryA(saved);
  EXPECT_FALSE(fs::exists(temp_ / "d"));
  EXPECT_FALSE(IsExistingDirectory(Path("file.txt")));
}

TEST_F(SetupTest, DriveFreeMegabytesMeasuresTheDriveOfThePath) {
  struct Row {
    int line;
    const char *path, *root;  // asked for, and what the system is asked about
    BOOL ok;
    DWORD sectors, bytes, freeClusters;
    double megabytes;
  };
  const Row rows[] = {
      {__LINE__, "d:\\work", "D:\\", TRUE, 8, 512, 1280, 5.0},
      {__LINE__, "C:\\Program Files", "C:\\", TRUE, 1, 512, 10219, 4.98974609375},
      {__LINE__, "C", "C\\", TRUE, 1, 512, 2048, 1.0},
      {__LINE__, "\\\\server\\share", "\\\\\\", TRUE, 1, 512, 2048, 1.0},
      {__LINE__, "E:\\", "E:\\", FALSE, 8, 512, 1280, -1.0},
      // More than 2^31 free clusters: a large volume, not a negative one.
      {__LINE__, "F:\\", "F:\\", TRUE, 8, 512, 0x80000000u, 8388608.0},
      {__LINE__, "G:\\", "G:\\", TRUE, 128, 4096, 0xFFFFFFFFu, 2147483647.5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    Disk = {row.ok, row.sectors, row.bytes, row.freeClusters, ""};
    EXPECT_DOUBLE_EQ(DriveFreeMegabytes(row.path), row.megabytes);
    EXPECT_EQ(Disk.root, row.root);
  }
}

TEST_F(SetupTest, DefaultDestinationComesFromTheProgramFilesValue) {
  struct Row {
    int line;
    bool key;           // Software\Microsoft\Windows\CurrentVersion exists
    DWORD type;         // of ProgramFilesDir; REG_NONE: no value
    std::string value;  // with its terminating zero where it has one
    const char* expected;
  };
  const Row rows[] = {
      {__LINE__, true, REG_SZ, std::string("D:\\Apps") + '\0', "D:\\Apps\\VelmSoft\\Pavlane"},
      // The type is not looked at.
      {__LINE__, true, REG_BINARY, std::string("E:\\Bin") + '\0', "E:\\Bin\\VelmSoft\\Pavlane"},
      {__LINE__, true, REG_NONE, "", "C:\\VelmSoft\\Pavlane"},
      {__LINE__, true, REG_SZ, std::string(300, 'x') + '\0', "C:\\VelmSoft\\Pavlane"},
      {__LINE__, false, REG_NONE, "", "C:\\VelmSoft\\Pavlane"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    testutil::ScratchKey machine;
    machine.StandIn(HKEY_LOCAL_MACHINE);
    handles::UniqueHkey version;
    if (row.key)
      version = testutil::MakeKey(machine.get(), "Software\\Microsoft\\Windows\\CurrentVersion");
    if (row.type != REG_NONE)
      RegSetValueExA(version.get(), "ProgramFilesDir", 0, row.type,
                     reinterpret_cast<const BYTE*>(row.value.data()), DWORD(row.value.size()));
    DefaultDestDir = "\\VelmSoft\\Pavlane";
    SetDefaultDestDir();
    EXPECT_EQ(DefaultDestDir, row.expected);
  }
}

// A directory chooser step: typed into its path box and OK; null: Cancel.
Step Choose(const char* typed) {
  return [typed](HWND chooser) {
    EXPECT_EQ(WindowText(chooser), "Choose Directory");
    if (!typed) return Press(IDCANCEL)(chooser);
    SetDlgItemTextA(chooser, IDC_SELDIR_PATH, typed);
    Press(IDC_SELDIR_OK)(chooser);
  };
}
Step Shows(const std::string& dest) {
  return [dest](HWND dialog) { EXPECT_EQ(Text(dialog, IDC_DESTDIR), dest); };
}

TEST_F(SetupTest, WelcomeSessions) {
  testutil::WriteFile(temp_ / "file.txt", std::string("x"));
  fs::create_directory(temp_ / "exists");
  fs::create_directory(temp_ / "picked");
  const Shown warning{nullptr, texts::LowSpaceWarning, "Pavlane Setup", MB_YESNO | MB_ICONQUESTION};
  const Shown exit{nullptr, texts::ExitQuestion, "Exit Setup", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2};
  const Shown cannot{nullptr, "Cannot create destination directory:\r\r" + Path("file.txt\\sub"),
                     "Pavlane Setup", MB_OK | MB_ICONHAND};
  const Step install = Press(IDC_INSTALL), browse = Press(IDC_BROWSE);
  const Step firstLook = [&](HWND dialog) {
    EXPECT_EQ(WindowText(dialog), "Pavlane Orbit Suite 3.03 Setup");
    EXPECT_EQ(CurrentDialog, dialog);
    EXPECT_EQ(Text(dialog, IDC_WELCOMETEXT), texts::Welcome);
    EXPECT_EQ(Text(dialog, IDC_DESTDIR), Path("dest"));
    EXPECT_EQ(DestDir, Path("dest"));
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, IDC_INSTALL));
    // Only the destination shows in the 11-pixel message font.
    ASSERT_TRUE(DestFont);
    auto font = [&](int id) { return HFONT(SendDlgItemMessageA(dialog, id, WM_GETFONT, 0, 0)); };
    EXPECT_EQ(font(IDC_DESTDIR), DestFont.get());
    EXPECT_NE(font(IDC_WELCOMETEXT), DestFont.get());
    LOGFONTA logFont;
    GetObjectA(DestFont.get(), sizeof logFont, &logFont);
    EXPECT_EQ(logFont.lfHeight, -11);
  };
  const Step focusText = [](HWND dialog) {
    // Moving there by keyboard selects an edit's whole text.
    SendMessageA(dialog, WM_NEXTDLGCTL, WPARAM(GetDlgItem(dialog, IDC_WELCOMETEXT)), TRUE);
  };
  const Step unselected = [](HWND dialog) {
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, IDC_WELCOMETEXT));
    DWORD start = 1, end = 1;
    SendDlgItemMessageA(dialog, IDC_WELCOMETEXT, EM_GETSEL, WPARAM(&start), LPARAM(&end));
    EXPECT_EQ(start + end, 0u);
  };
  const Step escape = [](HWND) { PressKey(GetFocus(), VK_ESCAPE); };
  const Step enter = [](HWND) { PressKey(GetFocus(), VK_RETURN); };
  const std::string picked = Path("picked");
  struct Row {
    int line;
    std::vector<Step> steps;
    INT_PTR result;           // 1: ended by Install, and the destination made
    std::string chosen = "";  // DestDir afterwards; empty: the default
    std::vector<Shown> boxes = {};
    std::vector<int> answers = {};
    const char* dest = "dest";     // the default, below the scratch folder
    long long clusters = 1 << 20;  // free, of 512 bytes; -1: not measurable
  };
  const Row rows[] = {
      {__LINE__, {firstLook, CloseBox}, 0},
      {__LINE__, {install}, 1, "", {}, {}, "exists"},
      // Exactly 5 MB is enough; less asks, and an unknown amount asks too.
      {__LINE__, {install}, 1, "", {}, {}, "new\\dir", 10240},
      {__LINE__, {install, CloseBox}, 0, "", {warning}, {IDNO}, "new\\dir", 10219},
      {__LINE__, {install}, 1, "", {warning}, {IDYES}, "new\\dir", 10219},
      {__LINE__, {install}, 1, "", {warning}, {IDYES}, "new\\dir", -1},
      {__LINE__, {install, CloseBox}, 0, "", {cannot}, {}, "file.txt\\sub"},
      {__LINE__, {Press(IDC_CANCEL), Press(IDC_CANCEL)}, 0, "", {exit, exit}, {IDNO, IDYES}},
      // Escape (IDCANCEL) is left alone; WM_CLOSE ends it without a question.
      {__LINE__, {escape, CloseBox}, 0},
      {__LINE__, {enter}, 1},  // Install is the default button
      {__LINE__, {focusText, unselected, CloseBox}, 0},
      // A drive comes back bare and gets its backslash.
      {__LINE__, {browse, Choose("C:\\"), Shows("C:\\"), install}, 1, "C:\\"},
      {__LINE__, {browse, Choose(picked.c_str()), Shows(picked), install}, 1, picked},
      {__LINE__, {browse, Choose(nullptr), Shows(Path("dest")), install}, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    fs::remove_all(temp_ / "new");
    fs::remove_all(temp_ / "dest");
    boxes_.shown.clear();
    boxes_.answers = row.answers;
    Disk = {row.clusters >= 0, 1, 512, DWORD(row.clusters), ""};
    DefaultDestDir = Path(row.dest);
    EXPECT_EQ(RunWelcome(row.steps), row.result);
    std::vector<Shown> boxes = row.boxes;
    for (Shown& box : boxes) box.owner = CurrentDialog;
    EXPECT_EQ(boxes_.shown, boxes);
    EXPECT_EQ(DestDir, row.chosen.empty() ? Path(row.dest) : row.chosen);
    EXPECT_EQ(IsExistingDirectory(DestDir), row.result == 1);
    // A destination accepted is held: nobody can rename it.
    EXPECT_EQ(HeldDestination.IsOpen(), row.result == 1);
    EXPECT_EQ(MoveFileA(DestDir.c_str(), (DestDir + "-moved").c_str()) != FALSE,
              row.result != 1 && IsExistingDirectory(DestDir));
    HeldDestination.Close();
  }
}

// A destination that another program has open for deleting cannot be held
// against renaming: the user is told so, and the dialog waits for another
// choice.
TEST_F(SetupTest, ADestinationThatCannotBeHeldIsRefused) {
  fs::create_directory(temp_ / "theirs");
  const handles::UniqueFile other(CreateFileA(Path("theirs").c_str(), DELETE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                              nullptr));
  ASSERT_TRUE(other);
  Disk = {true, 1, 512, 1 << 20, ""};
  DefaultDestDir = Path("theirs");
  EXPECT_EQ(RunWelcome({Press(IDC_INSTALL), CloseBox}), 0);
  EXPECT_EQ(boxes_.shown, (std::vector<Shown>{{CurrentDialog,
                                               "Unable to install into the destination directory "
                                               "as it is being used by another program:\r\r" +
                                                   Path("theirs"),
                                               "Pavlane Setup", MB_OK | MB_ICONHAND}}));
  EXPECT_FALSE(HeldDestination.IsOpen());
}

// The security each folder is made with, as text ("" for the default).
std::vector<std::string> MadeWith;
BOOL WINAPI RecordFolder(LPCSTR path, LPSECURITY_ATTRIBUTES security) {
  LPSTR text = nullptr;
  MadeWith.emplace_back(security && ConvertSecurityDescriptorToStringSecurityDescriptorA(
                                        security->lpSecurityDescriptor, SDDL_REVISION_1,
                                        DACL_SECURITY_INFORMATION, &text, nullptr)
                            ? text
                            : "");
  LocalFree(text);
  return CreateDirectoryA(path, nullptr);
}

// Each level of a destination the setup makes outside the program-files
// folder gets an access list like that folder's: protected (P), full
// control for Administrators and the system, reading and running for
// Users, inherited by files (OI) and folders (CI) below. Wine keeps no
// access lists to read back, so the test reads the security each folder is
// made with.
TEST_F(SetupTest, ADestinationMadeOutsideProgramFilesGetsAProtectedAccessList) {
  testutil::ScratchKey machine;
  machine.StandIn(HKEY_LOCAL_MACHINE);
  const std::string programs = Path("Programz") + '\0';
  RegSetValueExA(testutil::MakeKey(machine.get(), "Software\\Microsoft\\Windows\\CurrentVersion").get(),
                 "ProgramFilesDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(programs.data()),
                 DWORD(programs.size()));
  const std::string sealed = "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";
  const struct { int line; const char* dest; std::vector<std::string> made; } rows[] = {
      {__LINE__, "Orbit\\Pavlane", {sealed, sealed}},
      {__LINE__, "Orbit\\Other", {sealed}},  // Orbit exists now: it keeps its own
      {__LINE__, "PROGRAMZ\\VelmSoft\\Pavlane", {"", "", ""}},  // case ignored, A to Z
      {__LINE__, "Programz2\\Pavlane", {sealed, sealed}},
  };
  CreateFolder = RecordFolder;
  for (const auto& row : rows) {
    MadeWith.clear();
    EXPECT_EQ(MakeDestinationDirectory(Path(row.dest)), Path(row.dest)) << row.line;
    EXPECT_EQ(MadeWith, row.made) << row.line;
  }
  // Where the registry names no program-files folder, nothing is below it.
  machine.StandIn(HKEY_LOCAL_MACHINE, "Bare");
  MadeWith.clear();
  EXPECT_EQ(MakeDestinationDirectory(Path("PROGRAMZ\\Bare")), Path("PROGRAMZ\\Bare"));
  EXPECT_EQ(MadeWith, std::vector<std::string>{sealed});
  CreateFolder = CreateDirectoryA;
}

// The whole driver on the real disk: the welcome dialog driven by steps on
// a destination below the scratch folder (SetDefaultDestDir puts drive C:
// before it), then the rights test on a scratch HKEY_LOCAL_MACHINE (below a
// volatile key it fails) and the extraction, which finds no payload in this
// program.
TEST_F(SetupTest, TheDriverEndsAfterTheWelcomeDialogTheRightsTestOrTheFailedExtraction) {
  QueryDiskFreeSpace = GetDiskFreeSpaceA;
  ASSERT_EQ(temp_.str().substr(0, 2), "C:");
  const struct { int line; std::vector<Step> steps; DWORD machine; const char* box; } rows[] = {
      {__LINE__, {CloseBox}, 0, nullptr},
      {__LINE__, {Press(IDC_INSTALL)}, REG_OPTION_VOLATILE, texts::Permission},
      {__LINE__, {Press(IDC_INSTALL)}, 0, texts::Corrupted},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    testutil::ScratchKey machine(row.machine);
    machine.StandIn(HKEY_LOCAL_MACHINE);
    boxes_.shown.clear();
    fs::remove_all(temp_ / "dest");
    DefaultDestDir = Path("dest\\").substr(2);
    Drive(row.steps, [](HWND) { RunSetup(); });
    EXPECT_FALSE(IsWindow(MainWindow) || IsWindow(CurrentDialog) || DestFont || ShellModule ||
                 HeldDestination.IsOpen());
    UnregisterClassA("PavInstWnd", GetModuleHandleA(nullptr));  // the next run registers it
    std::vector<Shown> shown;
    if (row.box) shown = {{MainWindow, row.box, "Pavlane Setup", MB_OK | MB_ICONHAND}};
    EXPECT_EQ(boxes_.shown, shown);
    // Only an extraction takes off the trailing backslash; Install made
    // the destination and nothing went into it.
    const bool extracted = row.box == texts::Corrupted;
    EXPECT_EQ(DestDir, Path(extracted ? "dest" : "dest\\"));
    EXPECT_EQ(fs::exists(temp_ / "dest"), row.box != nullptr);
    EXPECT_TRUE(!fs::exists(temp_ / "dest") || fs::is_empty(temp_ / "dest"));
    handles::UniqueHkey product;  // made by the rights test
    RegOpenKeyExA(machine.get(), ProductKeyPath, 0, KEY_READ, product.put());
    EXPECT_EQ(bool(product), extracted);
  }
}

int Dispatched = 0;
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP) ++Dispatched;
  return DefWindowProcA(window, message, wParam, lParam);
}

TEST_F(SetupTest, MessagePumpDispatchesWithoutWaitingAndClosesOnRequest) {
  WNDCLASSA counting = {};
  counting.lpfnWndProc = CountingProc;
  counting.lpszClassName = "PavSetupTestCounter";
  RegisterClassA(&counting);
  handles::UniqueWindow target(CreateWindowExA(0, counting.lpszClassName, "", WS_POPUP, 0, 0, 0, 0,
                                               nullptr, nullptr, nullptr, nullptr));
  CurrentDialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_PROGRESS),
                                     nullptr, ProgressDialogProc, 0);
  ASSERT_NE(CurrentDialog, nullptr);
  EXPECT_TRUE(IsWindowVisible(CurrentDialog));
  Dispatched = 0;
  PostMessageA(target.get(), WM_APP, 0, 0);
  PostMessageA(target.get(), WM_APP, 0, 0);
  PostQuitMessage(0);  // taken like any other message
  MessagePump(false);
  EXPECT_EQ(Dispatched, 2);
  EXPECT_TRUE(IsWindow(CurrentDialog));
  MSG left;
  EXPECT_FALSE(PeekMessageA(&left, nullptr, 0, 0, PM_NOREMOVE));
  MessagePump(true);
  EXPECT_FALSE(IsWindow(CurrentDialog));
  MessagePump(true);  // the window is gone already: nothing happens
}

// The main icon, drawn in both sizes the system asks for, not scaled from another.
TEST(SetupResources, MainIconInBothSizes) {
  auto resource = [](LPCSTR name, int type) {
    HRSRC found = FindResourceA(nullptr, name, MAKEINTRESOURCEA(type));
    return found ? std::string(static_cast<const char*>(LockResource(LoadResource(nullptr, found))),
                               SizeofResource(nullptr, found))
                 : std::string();
  };
  std::string group = resource("MAINICON", 14 /* RT_GROUP_ICON */);
  ASSERT_FALSE(group.empty());
  for (int size : {16, 32}) {
    int id = LookupIconIdFromDirectoryEx(reinterpret_cast<BYTE*>(group.data()), TRUE, size, size,
                                         LR_DEFAULTCOLOR);
    const std::string icon = resource(MAKEINTRESOURCEA(id), 3 /* RT_ICON */);
    ASSERT_GE(icon.size(), sizeof(BITMAPINFOHEADER)) << size;
    EXPECT_EQ(reinterpret_cast<const BITMAPINFOHEADER*>(icon.data())->biWidth, size);
  }
}

}  // namespace
