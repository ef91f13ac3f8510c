// The setup driver in this process: the destination checks, the welcome
// dialog driven from inside its own modal loop, the driver's sequence up to
// the rights test and the failed extraction, the message pump, and the
// icon and version block the resource script compiles to. Messages and the disk's free space go through the
// driver's seams; HKEY_LOCAL_MACHINE is redirected to a scratch key of the
// current user where a test needs its own.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "seldir/SelDir.h"
#include "setup/Global.h"
#include "setup/Handles.h"
#include "setup/PavInst.h"
#include "setup/PavInstRes.h"
#include "tests/common/TestUtil.h"

namespace fs = std::filesystem;
using testutil::TempDir;

namespace {

const char WarningText[] =
    "There is not enough disk space on the destination drive (at least 5MB recommended). "
    "This may cause errors while installing or running Pavlane.\r\r"
    "Would you, nevertheless, wish to proceed now?";
const char ExitQuestion[] = "Setup is not complete yet. Are you sure you want to exit setup now?";
const char PermissionText[] =
    "You do not have enough permissions to install Pavlane.\r\rPlease, log on as administrator.";

// ---- Registry scratch space below the current user.

constexpr char ScratchPath[] = "Software\\PavlaneSetupTest";

void DeleteTree(HKEY root, const std::string& path) {
  handles::UniqueHkey key;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, key.put()) == ERROR_SUCCESS) {
    for (;;) {
      char name[256];
      DWORD size = sizeof name;
      if (RegEnumKeyExA(key.get(), 0, name, &size, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS)
        break;
      const size_t before = size;
      DeleteTree(key.get(), name);
      size = sizeof name;
      // A subkey that would not go would be found again and again.
      if (RegEnumKeyExA(key.get(), 0, name, &size, nullptr, nullptr, nullptr, nullptr) ==
              ERROR_SUCCESS &&
          size == before)
        break;
    }
  }
  key.reset();
  RegDeleteKeyA(root, path.c_str());
}

// HKEY_CURRENT_USER\Software\PavlaneSetupTest, fresh, removed when it goes.
class ScratchKey {
 public:
  ScratchKey() {
    DeleteTree(HKEY_CURRENT_USER, ScratchPath);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, ScratchPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key_.put(), nullptr),
              ERROR_SUCCESS);
  }
  ~ScratchKey() {
    key_.reset();
    DeleteTree(HKEY_CURRENT_USER, ScratchPath);
  }
  HKEY get() const { return key_.get(); }
  // A subkey, volatile or not.
  handles::UniqueHkey Make(const std::string& path, bool isVolatile = false) const {
    handles::UniqueHkey key;
    EXPECT_EQ(RegCreateKeyExA(key_.get(), path.c_str(), 0, nullptr,
                              isVolatile ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    return key;
  }

 private:
  handles::UniqueHkey key_;
};

// HKEY_LOCAL_MACHINE of this process redirected to target while it lives.
class MachineRedirect {
 public:
  explicit MachineRedirect(HKEY target) {
    using OverrideProc = LONG(WINAPI*)(HKEY, HKEY);
    override_ = reinterpret_cast<OverrideProc>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("advapi32.dll"), "RegOverridePredefKey")));
    ok_ = override_ && override_(HKEY_LOCAL_MACHINE, target) == ERROR_SUCCESS;
  }
  ~MachineRedirect() {
    if (ok_) override_(HKEY_LOCAL_MACHINE, nullptr);
  }
  bool ok() const { return ok_; }

 private:
  LONG(WINAPI* override_)(HKEY, HKEY) = nullptr;
  bool ok_ = false;
};

// ---- Message boxes and the disk, through the driver's seams.

struct Shown {
  HWND owner;
  std::string text, caption;
  UINT flags;
};
std::vector<Shown> Boxes;
std::vector<int> Answers;  // given in turn; IDNO (or IDOK) when they run out

int WINAPI RecordBox(HWND owner, LPCSTR text, LPCSTR caption, UINT flags) {
  Boxes.push_back({owner, text, caption, flags});
  if (Answers.empty()) return (flags & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK;
  int answer = Answers.front();
  Answers.erase(Answers.begin());
  return answer;
}

struct FakeDisk {
  BOOL ok = TRUE;
  DWORD sectorsPerCluster = 8, bytesPerSector = 512, freeClusters = 1u << 20;
  std::string root;  // what the driver asked for
} Disk;

BOOL WINAPI FakeDiskFreeSpace(LPCSTR root, LPDWORD sectors, LPDWORD bytes, LPDWORD freeClusters,
                              LPDWORD total) {
  Disk.root = root;
  *sectors = Disk.sectorsPerCluster;
  *bytes = Disk.bytesPerSector;
  *freeClusters = Disk.freeClusters;
  *total = Disk.freeClusters;
  return Disk.ok;
}

// ---- Modal dialogs driven from inside their loops.
//
// Each time a modal dialog of this thread has handled its messages and
// waits for input, it tells its owner (WM_ENTERIDLE); a thread hook sees
// that message and runs the next step with the waiting dialog. After each
// step a WM_NULL is posted, so the loop comes back even when a step only
// looks. A dialog still open after the last step is closed, and said so.

using Step = std::function<void(HWND dialog)>;
struct Script {
  explicit Script(std::vector<Step> s) : steps(std::move(s)) {}
  std::vector<Step> steps;
  size_t next = 0;
  std::string problem;
};
Script* Running = nullptr;

LRESULT CALLBACK IdleHook(int code, WPARAM wParam, LPARAM lParam) {
  const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && Running && call->message == WM_ENTERIDLE &&
      call->wParam == MSGF_DIALOGBOX) {
    HWND dialog = reinterpret_cast<HWND>(call->lParam);
    if (Running->next < Running->steps.size()) {
      Running->steps[Running->next++](dialog);
      PostMessageA(dialog, WM_NULL, 0, 0);
    } else {
      if (Running->problem.empty()) Running->problem = "a dialog stayed open after the last step";
      PostMessageA(dialog, WM_CLOSE, 0, 0);
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

struct HookOwner {
  HHOOK hook;
  explicit HookOwner(Script& script)
      : hook(SetWindowsHookExA(WH_CALLWNDPROC, IdleHook, nullptr, GetCurrentThreadId())) {
    Running = &script;
  }
  ~HookOwner() {
    Running = nullptr;
    UnhookWindowsHookEx(hook);
  }
};

// A hidden window to own the welcome dialog, as the backdrop does.
HWND TestOwner() {
  static HWND owner = [] {
    WNDCLASSA c = {};
    c.lpfnWndProc = DefWindowProcA;
    c.hInstance = GetModuleHandleA(nullptr);
    c.lpszClassName = "PavSetupTestOwner";
    RegisterClassA(&c);
    return CreateWindowExA(0, c.lpszClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           c.hInstance, nullptr);
  }();
  return owner;
}

std::string Text(HWND dialog, int id) {
  char text[1024];
  int n = GetDlgItemTextA(dialog, id, text, sizeof text);
  return std::string(text, n > 0 ? n : 0);
}

// Steps.
Step Press(int id) {
  return [id](HWND dialog) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
  };
}
Step CloseIt() { return [](HWND dialog) { PostMessageA(dialog, WM_CLOSE, 0, 0); }; }
Step Look(std::function<void(HWND)> check) { return check; }

// Runs the welcome dialog under script; its result.
INT_PTR RunWelcome(Script& script) {
  HookOwner hook(script);
  return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_WELCOME), TestOwner(),
                         WelcomeDialogProc, 0);
}

class SetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Boxes.clear();
    Answers.clear();
    Disk = FakeDisk{};
    SetupMessageBox = RecordBox;
    SelDirMessageBox = RecordBox;
    QueryDiskFreeSpace = FakeDiskFreeSpace;
    CurrentDialog = nullptr;
    DestDir.clear();
    DefaultDestDir = Path("dest");
  }
  void TearDown() override {
    SetupMessageBox = MessageBoxA;
    SelDirMessageBox = MessageBoxA;
    QueryDiskFreeSpace = GetDiskFreeSpaceA;
    DestFont.reset();
    DefaultDestDir = "\\VelmSoft\\Pavlane";
  }
  std::string Path(const std::string& relative) const { return temp_.str() + "\\" + relative; }

  TempDir temp_;
};

// ---- Destination checks.

TEST_F(SetupTest, CreateDirectoryPathMakesMissingParentsOnly) {
  testutil::WriteFile(temp_ / "file.txt", std::string("x"));
  fs::create_directory(temp_ / "exists");
  struct Row {
    int line;
    std::string path;        // below the scratch folder
    bool made;               // MakeDestinationDirectory returns the path
    std::vector<const char*> present;  // directories there afterwards
  };
  const Row rows[] = {
      {__LINE__, "a\\b\\c\\", true, {"a", "a\\b", "a\\b\\c"}},
      {__LINE__, "exists", true, {"exists"}},
      {__LINE__, "exists\\", true, {"exists"}},
      // Only one trailing backslash goes; the second makes the path its own parent.
      {__LINE__, "d\\e\\\\", false, {}},
      {__LINE__, "file.txt\\sub", false, {}},
      // A level the file system refuses ends it; the levels before stay.
      {__LINE__, "f\\g\\bad|name\\h", false, {"f", "f\\g"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    const std::string path = Path(row.path);
    EXPECT_EQ(MakeDestinationDirectory(path), row.made ? path : "");
    for (const char* dir : row.present) EXPECT_TRUE(IsExistingDirectory(Path(dir))) << dir;
  }
  EXPECT_FALSE(fs::exists(temp_ / "d"));
  EXPECT_FALSE(IsExistingDirectory(Path("file.txt")));
}

TEST_F(SetupTest, CreateDirectoryPathTakesRootsAndRelativeNames) {
  // A bare drive or root exists already and comes back as given.
  for (const char* root : {"C:", "C:\\"}) EXPECT_EQ(MakeDestinationDirectory(root), root);
  // A name without colon or backslash is made in the current directory.
  char saved[MAX_PATH];
  ASSERT_NE(GetCurrentDirectoryA(MAX_PATH, saved), 0u);
  ASSERT_TRUE(SetCurrentDirectoryA(temp_.str().c_str()));
  const std::string made = MakeDestinationDirectory("relative");
  SetCurrentDirectoryA(saved);
  EXPECT_EQ(made, "relative");
  EXPECT_TRUE(IsExistingDirectory(Path("relative")));
}

TEST_F(SetupTest, DriveFreeMegabytesMeasuresTheDriveOfThePath) {
  struct Row {
    int line;
    const char* path;
    BOOL ok;
    DWORD sectors, bytes, freeClusters;
    const char* root;
    double megabytes;
  };
  const Row rows[] = {
      {__LINE__, "d:\\work", TRUE, 8, 512, 1280, "D:\\", 5.0},
      {__LINE__, "C:\\Program Files", TRUE, 1, 512, 10219, "C:\\", 4.98974609375},
      {__LINE__, "C", TRUE, 1, 512, 2048, "C\\", 1.0},
      {__LINE__, "\\\\server\\share", TRUE, 1, 512, 2048, "\\\\\\", 1.0},
      {__LINE__, "E:\\", FALSE, 8, 512, 1280, "E:\\", -1.0},
      // More than 2^31 free clusters: a large volume, not a negative one.
      {__LINE__, "F:\\", TRUE, 8, 512, 0x80000000u, "F:\\", 8388608.0},
      {__LINE__, "G:\\", TRUE, 128, 4096, 0xFFFFFFFFu, "G:\\", 2147483647.5},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    Disk = {row.ok, row.sectors, row.bytes, row.freeClusters, ""};
    EXPECT_DOUBLE_EQ(DriveFreeMegabytes(row.path), row.megabytes);
    EXPECT_EQ(Disk.root, row.root);
  }
}

TEST_F(SetupTest, DefaultDestinationComesFromTheProgramFilesValue) {
  ScratchKey scratch;
  const std::string tooLong(300, 'x');
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
      {__LINE__, true, REG_SZ, tooLong + '\0', "C:\\VelmSoft\\Pavlane"},
      {__LINE__, false, REG_NONE, "", "C:\\VelmSoft\\Pavlane"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    DeleteTree(scratch.get(), "machine");
    handles::UniqueHkey machine = scratch.Make("machine");
    if (row.key) {
      handles::UniqueHkey version;
      ASSERT_EQ(RegCreateKeyExA(machine.get(), "Software\\Microsoft\\Windows\\CurrentVersion", 0,
                                nullptr, 0, KEY_ALL_ACCESS, nullptr, version.put(), nullptr),
                ERROR_SUCCESS);
      if (row.type != REG_NONE)
        RegSetValueExA(version.get(), "ProgramFilesDir", 0, row.type,
                       reinterpret_cast<const BYTE*>(row.value.data()), DWORD(row.value.size()));
    }
    MachineRedirect redirect(machine.get());
    ASSERT_TRUE(redirect.ok());
    DefaultDestDir = "\\VelmSoft\\Pavlane";
    SetDefaultDestDir();
    EXPECT_EQ(DefaultDestDir, row.expected);
  }
}

// ---- The welcome dialog.

TEST_F(SetupTest, WelcomeDialogShowsTitleTextAndDestination) {
  INT_PTR result = -2;
  Script script{{Look([&](HWND dialog) {
                   char title[128];
                   GetWindowTextA(dialog, title, sizeof title);
                   EXPECT_STREQ(title, "Pavlane Orbit Suite 3.03 Setup");
                   EXPECT_EQ(CurrentDialog, dialog);
                   EXPECT_EQ(Text(dialog, IDC_WELCOMETEXT), WelcomeText);
                   EXPECT_EQ(Text(dialog, IDC_DESTDIR), Path("dest"));
                   EXPECT_EQ(DestDir, Path("dest"));
                   // The destination alone shows in the 11-pixel message font.
                   ASSERT_TRUE(DestFont);
                   EXPECT_EQ(HFONT(SendDlgItemMessageA(dialog, IDC_DESTDIR, WM_GETFONT, 0, 0)),
                             DestFont.get());
                   EXPECT_NE(HFONT(SendDlgItemMessageA(dialog, IDC_WELCOMETEXT, WM_GETFONT, 0, 0)),
                             DestFont.get());
                   LOGFONTA font;
                   GetObjectA(DestFont.get(), sizeof font, &font);
                   EXPECT_EQ(font.lfHeight, -11);
                   EXPECT_EQ(GetFocus(), GetDlgItem(dialog, IDC_INSTALL));
                 }),
                 CloseIt()}};
  result = RunWelcome(script);
  EXPECT_EQ(script.problem, "");
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(Boxes.empty());
}

TEST_F(SetupTest, InstallChecksSpaceAndMakesTheDestination) {
  testutil::WriteFile(temp_ / "file.txt", std::string("x"));
  fs::create_directory(temp_ / "exists");
  const std::string cannot = "Cannot create destination directory:\r\r";
  struct Row {
    int line;
    const char* dest;
    BOOL measured;
    DWORD freeClusters;  // of 512 bytes
    std::vector<int> answers;
    std::vector<std::pair<std::string, UINT>> boxes;  // text, flags
    INT_PTR result;  // 1: ended by Install; 0: still open until closed
  };
  const Row rows[] = {
      {__LINE__, "exists", TRUE, 1u << 20, {}, {}, 1},
      {__LINE__, "new\\dir", TRUE, 10240, {}, {}, 1},  // exactly 5 MB
      {__LINE__, "new\\dir", TRUE, 10219, {IDNO}, {{WarningText, 0x24}}, 0},
      {__LINE__, "new\\dir", TRUE, 10219, {IDYES}, {{WarningText, 0x24}}, 1},
      {__LINE__, "new\\dir", FALSE, 0, {IDYES}, {{WarningText, 0x24}}, 1},
      {__LINE__, "file.txt\\sub", TRUE, 1u << 20, {}, {{cannot + Path("file.txt\\sub"), 0x10}}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    fs::remove_all(temp_ / "new");
    Boxes.clear();
    Answers = row.answers;
    Disk = {row.measured, 1, 512, row.freeClusters, ""};
    DefaultDestDir = Path(row.dest);
    HWND shown = nullptr;
    Script script{{Press(IDC_INSTALL), Look([&](HWND dialog) {
                     shown = dialog;
                     EXPECT_EQ(Text(dialog, IDC_DESTDIR), Path(row.dest));
                   }),
                   CloseIt()}};
    EXPECT_EQ(RunWelcome(script), row.result);
    EXPECT_EQ(script.problem, "");
    ASSERT_EQ(Boxes.size(), row.boxes.size());
    for (size_t i = 0; i < Boxes.size(); ++i) {
      EXPECT_EQ(Boxes[i].text, row.boxes[i].first);
      EXPECT_EQ(Boxes[i].caption, "Pavlane Setup");
      EXPECT_EQ(Boxes[i].flags, row.boxes[i].second);
      EXPECT_EQ(Boxes[i].owner, CurrentDialog);
    }
    EXPECT_EQ(IsExistingDirectory(Path(row.dest)), row.result == 1);
    EXPECT_EQ(DestDir, Path(row.dest));
  }
}

TEST_F(SetupTest, CancelAsksAndOnlyYesLeaves) {
  Answers = {IDNO, IDYES};
  Script script{{Press(IDC_CANCEL),
                 Look([&](HWND dialog) { EXPECT_EQ(Text(dialog, IDC_DESTDIR), Path("dest")); }),
                 Press(IDC_CANCEL)}};
  EXPECT_EQ(RunWelcome(script), 0);
  EXPECT_EQ(script.problem, "");
  ASSERT_EQ(Boxes.size(), 2u);
  for (const Shown& box : Boxes) {
    EXPECT_EQ(box.text, ExitQuestion);
    EXPECT_EQ(box.caption, "Exit Setup");
    EXPECT_EQ(box.flags, UINT(MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2));
  }
  EXPECT_FALSE(fs::exists(temp_ / "dest"));
}

TEST_F(SetupTest, EscapeAndEnterKeysAndTheCloseMessage) {
  // Escape is IDCANCEL, which the dialog leaves alone; WM_CLOSE ends it
  // without a question.
  Script script{{[](HWND dialog) {
                   HWND focus = GetFocus();
                   PostMessageA(focus ? focus : dialog, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
                 },
                 Look([](HWND dialog) { EXPECT_TRUE(IsWindowVisible(dialog)); }), CloseIt()}};
  EXPECT_EQ(RunWelcome(script), 0);
  EXPECT_EQ(script.problem, "");
  EXPECT_TRUE(Boxes.empty());
  // Enter presses Install, the default button.
  Script enter{{[](HWND dialog) {
    HWND focus = GetFocus();
    PostMessageA(focus ? focus : dialog, WM_KEYDOWN, VK_RETURN, 0x001C0001);
  }}};
  EXPECT_EQ(RunWelcome(enter), 1);
  EXPECT_TRUE(IsExistingDirectory(Path("dest")));
}

TEST_F(SetupTest, WelcomeTextNeverShowsSelected) {
  Script script{{[](HWND dialog) {
                   // Moving there by keyboard selects an edit's whole text.
                   SendMessageA(dialog, WM_NEXTDLGCTL,
                                WPARAM(GetDlgItem(dialog, IDC_WELCOMETEXT)), TRUE);
                 },
                 Look([](HWND dialog) {
                   EXPECT_EQ(GetFocus(), GetDlgItem(dialog, IDC_WELCOMETEXT));
                   DWORD start = 1, end = 1;
                   SendDlgItemMessageA(dialog, IDC_WELCOMETEXT, EM_GETSEL, WPARAM(&start),
                                       LPARAM(&end));
                   EXPECT_EQ(start, 0u);
                   EXPECT_EQ(end, 0u);
                 }),
                 CloseIt()}};
  EXPECT_EQ(RunWelcome(script), 0);
  EXPECT_EQ(script.problem, "");
}

TEST_F(SetupTest, BrowseShowsTheChosenDirectory) {
  fs::create_directory(temp_ / "picked");
  struct Row {
    int line;
    const char* typed;  // into the directory dialog's path box; null: Cancel
    std::string shown;
  };
  const Row rows[] = {
      {__LINE__, "C:\\", "C:\\"},  // a drive comes back bare and gets its backslash
      {__LINE__, nullptr, Path("dest")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    Script script{
        {Press(IDC_BROWSE),
         [&](HWND chooser) {
           char title[64];
           GetWindowTextA(chooser, title, sizeof title);
           EXPECT_STREQ(title, "Choose Directory");
           if (!row.typed) {
             PostMessageA(chooser, WM_COMMAND, IDCANCEL, 0);
             return;
           }
           SetDlgItemTextA(chooser, 103, row.typed);
           PostMessageA(chooser, WM_COMMAND, MAKEWPARAM(108, BN_CLICKED),
                        LPARAM(GetDlgItem(chooser, 108)));
         },
         Look([&](HWND dialog) {
           EXPECT_EQ(Text(dialog, IDC_DESTDIR), row.shown);
           EXPECT_EQ(DestDir, row.shown);
         }),
         CloseIt()}};
    EXPECT_EQ(RunWelcome(script), 0);
    EXPECT_EQ(script.problem, "");
    EXPECT_TRUE(Boxes.empty());
  }
  // A folder typed in full comes back as typed.
  Script picked{{Press(IDC_BROWSE),
                 [&](HWND chooser) {
                   SetDlgItemTextA(chooser, 103, Path("picked").c_str());
                   PostMessageA(chooser, WM_COMMAND, MAKEWPARAM(108, BN_CLICKED),
                                LPARAM(GetDlgItem(chooser, 108)));
                 },
                 Press(IDC_INSTALL)}};
  EXPECT_EQ(RunWelcome(picked), 1);
  EXPECT_EQ(DestDir, Path("picked"));
}

// ---- The driver.

// The whole sequence with HKEY_LOCAL_MACHINE redirected to machine, Install
// pressed on the default destination below the scratch folder.
void RunSetupWith(HKEY machine) {
  MachineRedirect redirect(machine);
  ASSERT_TRUE(redirect.ok());
  Script script{{Press(IDC_INSTALL)}};
  {
    HookOwner hook(script);
    RunSetup();
  }
  EXPECT_EQ(script.problem, "");
  EXPECT_FALSE(IsWindow(MainWindow));
  // The next run registers the backdrop's class afresh.
  UnregisterClassA("PavInstWnd", GetModuleHandleA(nullptr));
}

TEST_F(SetupTest, RefusedRightsStopAfterTheWelcomeDialog) {
  QueryDiskFreeSpace = GetDiskFreeSpaceA;
  ScratchKey scratch;
  // Nothing lasting can be made below a volatile key.
  handles::UniqueHkey machine = scratch.Make("machine", true);
  // The default destination gets drive C: from SetDefaultDestDir.
  ASSERT_EQ(temp_.str().substr(0, 2), "C:");
  DefaultDestDir = Path("dest").substr(2);
  RunSetupWith(machine.get());
  ASSERT_EQ(Boxes.size(), 1u);
  EXPECT_EQ(Boxes[0].text, PermissionText);
  EXPECT_EQ(Boxes[0].caption, "Pavlane Setup");
  EXPECT_EQ(Boxes[0].flags, UINT(MB_OK | MB_ICONHAND));
  EXPECT_EQ(Boxes[0].owner, MainWindow);
  EXPECT_FALSE(DestFont);
  // The directory Install made stays, empty.
  EXPECT_TRUE(IsExistingDirectory(Path("dest")));
  EXPECT_TRUE(fs::is_empty(temp_ / "dest"));
}

TEST_F(SetupTest, AProgramWithoutPayloadReportsACorruptedSetup) {
  QueryDiskFreeSpace = GetDiskFreeSpaceA;
  ScratchKey scratch;
  handles::UniqueHkey machine = scratch.Make("machine");
  ASSERT_EQ(temp_.str().substr(0, 2), "C:");
  DefaultDestDir = Path("dest\\").substr(2);
  RunSetupWith(machine.get());
  ASSERT_EQ(Boxes.size(), 1u);
  EXPECT_EQ(Boxes[0].text, CorruptedSetupText);
  EXPECT_EQ(Boxes[0].caption, "Pavlane Setup");
  EXPECT_EQ(Boxes[0].flags, UINT(MB_OK | MB_ICONHAND));
  EXPECT_EQ(DestDir, Path("dest"));  // one trailing backslash removed
  EXPECT_TRUE(fs::is_empty(temp_ / "dest"));
  // The rights test made the product's key.
  handles::UniqueHkey product;
  EXPECT_EQ(RegOpenKeyExA(machine.get(), "SOFTWARE\\VelmoraSoft\\Pavlane 1.0", 0, KEY_READ,
                          product.put()),
            ERROR_SUCCESS);
  EXPECT_FALSE(IsWindow(CurrentDialog));
  EXPECT_FALSE(ShellModule);
}

int Dispatched = 0;
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP) ++Dispatched;
  return DefWindowProcA(window, message, wParam, lParam);
}

TEST_F(SetupTest, MessagePumpDispatchesWithoutWaitingAndClosesOnRequest) {
  WNDCLASSA c = {};
  c.lpfnWndProc = CountingProc;
  c.hInstance = GetModuleHandleA(nullptr);
  c.lpszClassName = "PavSetupTestCounter";
  RegisterClassA(&c);
  handles::UniqueWindow target(CreateWindowExA(0, c.lpszClassName, "", WS_POPUP, 0, 0, 0, 0,
                                               nullptr, nullptr, c.hInstance, nullptr));
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
  target.reset();
  UnregisterClassA(c.lpszClassName, c.hInstance);
}

// ---- The compiled resources.

TEST(SetupResources, IconVersionAndManifest) {
  // The main icon as drawn, in both sizes the system asks for.
  HRSRC group = FindResourceA(nullptr, "MAINICON", MAKEINTRESOURCEA(14) /* RT_GROUP_ICON */);
  ASSERT_NE(group, nullptr);
  auto* directory = static_cast<BYTE*>(LockResource(LoadResource(nullptr, group)));
  for (int size : {16, 32}) {
    int id = LookupIconIdFromDirectoryEx(directory, TRUE, size, size, LR_DEFAULTCOLOR);
    HRSRC icon = FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(3) /* RT_ICON */);
    ASSERT_NE(icon, nullptr) << size;
    HICON made = CreateIconFromResourceEx(
        static_cast<BYTE*>(LockResource(LoadResource(nullptr, icon))),
        SizeofResource(nullptr, icon), TRUE, 0x00030000, size, size, LR_DEFAULTCOLOR);
    ASSERT_NE(made, nullptr) << size;
    ICONINFO info;
    ASSERT_TRUE(GetIconInfo(made, &info));
    BITMAP bitmap;
    GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, size);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(made);
  }

  char self[MAX_PATH];
  ASSERT_NE(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
  DWORD ignored = 0;
  std::vector<BYTE> block(GetFileVersionInfoSizeA(self, &ignored));
  ASSERT_FALSE(block.empty());
  ASSERT_TRUE(GetFileVersionInfoA(self, 0, DWORD(block.size()), block.data()));
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", &value, &length));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);  // 1.0
  EXPECT_EQ(fixed->dwFileVersionLS, 0x0002000Au);  // 2.10
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length));
  EXPECT_EQ(*static_cast<const DWORD*>(value), 0x04E40409u);
  const std::pair<const char*, const char*> strings[] = {
      {"ProductVersion", "3.02"},
      {"FileVersion", "1.0.2.10"},
      {"FileDescription", "Installation program for Pavlane"},
  };
  for (const auto& [name, expected] : strings) {
    std::string query = std::string("\\StringFileInfo\\040904E4\\") + name;
    ASSERT_TRUE(VerQueryValueA(block.data(), query.c_str(), &value, &length)) << name;
    EXPECT_STREQ(static_cast<const char*>(value), expected);
  }

  HRSRC manifest = FindResourceA(nullptr, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  ASSERT_NE(manifest, nullptr);
  std::string text(static_cast<const char*>(LockResource(LoadResource(nullptr, manifest))),
                   SizeofResource(nullptr, manifest));
  EXPECT_NE(text.find("level=\"highestAvailable\""), std::string::npos);
}

}  // namespace
