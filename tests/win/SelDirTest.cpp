// The "Choose Directory" dialog, created from its real template and driven
// with the input a person produces. The drive tests need the drives that
// tests/win/wine-setup.sh adds to the Wine prefix; without them they skip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "seldir/DriveLists.h"
#include "seldir/SelDir.h"
#include "seldir/SelDirRes.h"
#include "tests/common/TestUtil.h"
#include "tests/win/Boxes.h"
#include "tests/win/DialogScript.h"
#include "winbase/Handles.h"

using namespace dialogscript;

namespace {

using boxes::Shown;

using Item = std::pair<std::string, LRESULT>;  // text, indent

// Folder-list items from index from on; sorted if asked, since subfolders
// come in the file system's order.
std::vector<Item> FolderItems(HWND dialog, int from = 0, bool sorted = false) {
  HWND list = GetDlgItem(dialog, IDC_SELDIR_FOLDERS);
  std::vector<Item> items;
  for (int i = from; i < int(SendMessageA(list, LB_GETCOUNT, 0, 0)); ++i) {
    char text[MAX_PATH] = "";
    SendMessageA(list, LB_GETTEXT, i, LPARAM(text));
    items.emplace_back(text, SendMessageA(list, LB_GETITEMDATA, i, 0));
  }
  if (sorted) std::sort(items.begin(), items.end());
  return items;
}

int CurrentFolder(HWND dialog) { return int(SendDlgItemMessageA(dialog, IDC_SELDIR_FOLDERS, LB_GETCURSEL, 0, 0)); }
std::string CurrentFolderText(HWND dialog) { return FolderItems(dialog)[size_t(CurrentFolder(dialog))].first; }
std::string PathBox(HWND dialog) { return WindowText(GetDlgItem(dialog, IDC_SELDIR_PATH)); }
HWND Control(HWND dialog, int id) { return GetDlgItem(dialog, id); }

std::string DriveText(HWND dialog, LRESULT index = -1) {
  HWND drives = GetDlgItem(dialog, IDC_SELDIR_DRIVES);
  char text[MAX_PATH] = "";
  SendMessageA(drives, CB_GETLBTEXT, index < 0 ? SendMessageA(drives, CB_GETCURSEL, 0, 0) : index, LPARAM(text));
  return text;
}

HICON Icon(int group) {
  return HICON(LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(group), IMAGE_ICON, 0, 0, LR_SHARED));
}

// The drives wine-setup.sh adds, found by their kind; 0 where one is missing.
struct TestDrives {
  char floppy = 0, cdrom = 0, fixed = 0, ram = 0, network = 0;
  TestDrives() {
    for (char c = 'Z'; c >= 'A'; --c) {
      const std::string root = c + std::string(":\\");
      char label[MAX_PATH] = "";
      const DWORD error = ProbeDirectory(root + "*.*");
      const bool unreadable = error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND;
      const UINT type = GetDriveTypeA(root.c_str());
      if (type == DRIVE_REMOVABLE && unreadable) floppy = c;
      if (type == DRIVE_CDROM && unreadable) cdrom = c;
      if (type == DRIVE_RAMDISK && error == ERROR_FILE_NOT_FOUND) ram = c;
      if (type == DRIVE_REMOTE) network = c;
      if (type == DRIVE_FIXED && GetVolumeInformationA(root.c_str(), label, MAX_PATH, nullptr, nullptr, nullptr, nullptr, 0) &&
          std::string(label) == "PVTEST")
        fixed = c;
    }
  }
  bool complete() const { return floppy && cdrom && fixed && ram && network; }
};

class SelDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetCurrentDirectoryA(T.c_str());  // where relative paths and "C:" lead
    for (const char* dir : {"", "\\Common Files", "\\Other", "\\Common Files\\Sub", "\\Common Files\\.s"})
      ASSERT_TRUE(CreateDirectoryA((T + "\\Program Files" + dir).c_str(), nullptr)) << dir;
    SetFileAttributesA((Common + "\\.s").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    testutil::WriteFile(temp / "Program Files" / "Common Files" / "notes.txt", "not a folder");
  }
  void TearDown() override { SetCurrentDirectoryA(savedCwd.c_str()); }  // before temp goes

  const std::string savedCwd = std::filesystem::current_path().string();
  testutil::TempDir temp;
  const std::string T = temp.str();  // on C:, the prefix's drive
  const std::string Common = T + "\\Program Files\\Common Files";
  boxes::Recorder boxes;
};

TEST_F(SelDirTest, StartsInTheDeepestFolderThatExists) {
  char noDrive = 'Z';
  while (GetLogicalDrives() & (1u << (noDrive - 'A'))) --noDrive;
  struct Row { int line; std::string initial, start; };
  std::vector<Row> rows = {
      {__LINE__, Common, Common},
      {__LINE__, Common + "\\", Common},
      {__LINE__, T + "\\Program Files\\Missing\\Deeper", T + "\\Program Files"},
      {__LINE__, T + "\\\\Program Files", T + "\\Program Files"},
      {__LINE__, "C:\\", "C:\\"},
      {__LINE__, "c:\\", "c:\\"},
      {__LINE__, "C:", T},  // the current directory of drive C
      {__LINE__, "Missing\\Deeper", T},
      {__LINE__, std::string(1, noDrive) + ":\\Setup", T},
      {__LINE__, "", T},
  };
  if (const char ram = TestDrives().ram)  // an empty drive root: nothing in it, yet there
    rows.push_back({__LINE__, ram + std::string(":\\Missing"), ram + std::string(":\\")});
  for (const auto& r : rows) {
    const auto look = [&](HWND dialog) {
      EXPECT_EQ(PathBox(dialog), r.start);
      const std::string last = r.start.substr(r.start.find_last_of('\\') + 1);
      EXPECT_EQ(CurrentFolderText(dialog), last.empty() ? r.start : last);
      EXPECT_EQ(DriveText(dialog).substr(0, 2), char(toupper(r.start[0])) + std::string(":"));
      PressKey(GetFocus(), VK_ESCAPE);
    };
    SCOPED_TRACE(r.line);
    EXPECT_EQ(RunDialog(r.initial, {look}), r.initial);
  }
}

// The folder list is the indented chain then the subfolders; the caller's
// font goes to the path box and folder list only.
TEST_F(SelDirTest, OpensWithTheFolderChainAndTheCallersFont) {
  const HFONT font = static_cast<HFONT>(GetStockObject(ANSI_FIXED_FONT));  // a stock font: not ours to free
  for (HFONT given : {font, HFONT(nullptr)}) {
    const auto look = [&](HWND dialog) {
      const std::vector<Item> items = FolderItems(dialog);
      const int current = CurrentFolder(dialog);
      ASSERT_EQ(items.size(), size_t(current) + 3);
      EXPECT_EQ(items[0], Item("C:\\", 0));
      EXPECT_EQ(items[size_t(current) - 1], Item("Program Files", 6 * (current - 1)));
      EXPECT_EQ(items[size_t(current)], Item("Common Files", 6 * current));
      // Hidden and system folders too, and a dot name other than "." and ".."; files not.
      EXPECT_EQ(FolderItems(dialog, current + 1, true),
                (std::vector<Item>{{".s", 6 * (current + 1)}, {"Sub", 6 * (current + 1)}}));
      EXPECT_EQ(SendMessageA(Control(dialog, IDC_SELDIR_FOLDERS), LB_GETITEMHEIGHT, 0, 0), 16);
      EXPECT_EQ(SendMessageA(Control(dialog, IDC_SELDIR_DRIVES), CB_GETITEMHEIGHT, 0, 0), 16);
      EXPECT_EQ(GetFocus(), Control(dialog, IDC_SELDIR_PATH));
      const LRESULT own = SendMessageA(Control(dialog, IDC_SELDIR_PROMPT), WM_GETFONT, 0, 0);
      EXPECT_NE(own, LRESULT(font));
      for (int id : {IDC_SELDIR_PATH, IDC_SELDIR_FOLDERS})
        EXPECT_EQ(SendMessageA(Control(dialog, id), WM_GETFONT, 0, 0), given ? LRESULT(font) : own) << id;
      CloseBox(dialog);
    };
    RunDialog(Common, {look}, given);
  }
}

TEST_F(SelDirTest, TypedPaths) {
  const std::string specified = "The specified directory:\r\r", invalid = "\r\ris invalid. Please, type a full path with drive letter.";
  const std::string directory = "The directory:\r\r", missing = "\r\rdoes not exist. Do you want the directory to be created?";
  const std::string noDrive = T.substr(2) + "\\Program Files", created = T + "\\New\\Sub", unc = "\\server\\share\\dir";
  const UINT exclamation = MB_OK | MB_ICONEXCLAMATION, question = MB_YESNO | MB_ICONQUESTION;
  // enter: the Enter key rather than a click on OK; message: the one expected,
  // if any; result: empty while the dialog stays open.
  const struct { int line; std::string typed; bool enter; int answer; std::string message; UINT flags; std::string result; } rows[] = {
      {__LINE__, "C:", true, 0, specified + "C:" + invalid, exclamation, ""},
      {__LINE__, "", false, 0, specified + invalid, exclamation, ""},
      {__LINE__, "Program Files", true, 0, specified + "Program Files" + invalid, exclamation, ""},
      {__LINE__, "C:\\", true, 0, "", 0, "C:"},
      {__LINE__, T + "\\\\Program Files\\", false, 0, "", 0, T + "\\Program Files"},
      {__LINE__, noDrive, true, 0, "", 0, "C:" + noDrive},
      {__LINE__, created, true, IDYES, directory + created + missing, question, created},
      {__LINE__, created, false, IDNO, directory + created + missing, question, ""},
      {__LINE__, "\\" + unc, true, IDYES, directory + unc + missing, question, unc},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.line);
    boxes.shown.clear();
    boxes.answers = {r.answer};
    HWND shownBy = nullptr;
    std::vector<Step> steps = {[&](HWND dialog) {
      shownBy = dialog;
      Type(Control(dialog, IDC_SELDIR_PATH), r.typed);
      if (r.enter) PressKey(Control(dialog, IDC_SELDIR_PATH), VK_RETURN);
      else ClickButton(Control(dialog, IDC_SELDIR_OK));
    }};
    if (r.result.empty()) steps.push_back([&](HWND dialog) {
      EXPECT_EQ(PathBox(dialog), r.typed);
      PressKey(GetFocus(), VK_ESCAPE);
    });
    EXPECT_EQ(RunDialog(T, steps), r.result.empty() ? T : r.result);
    const std::vector<Shown> want = {{shownBy, r.message, "Setup", r.flags}};
    EXPECT_EQ(boxes.shown, r.message.empty() ? std::vector<Shown>{} : want);
  }
  EXPECT_EQ(GetFileAttributesA((T + "\\New").c_str()), INVALID_FILE_ATTRIBUTES) << "the dialog creates nothing";
}

TEST_F(SelDirTest, DoubleClicksOpenFoldersOnThePathAndBelowIt) {
  const struct { int line; std::string item, opens; } rows[] = {
      {__LINE__, "Common Files", Common},  // the current folder itself
      {__LINE__, "Program Files", T + "\\Program Files"},
      {__LINE__, "Common Files", Common},  // now a subfolder
      {__LINE__, "Sub", Common + "\\Sub"},
      {__LINE__, "Common Files", Common},  // now on the path
      {__LINE__, "C:\\", "C:\\"},
  };
  std::vector<Step> steps;
  for (const auto& r : rows) {
    steps.push_back([&](HWND dialog) {
      HWND list = Control(dialog, IDC_SELDIR_FOLDERS);
      ClickItem(list, int(SendMessageA(list, LB_FINDSTRINGEXACT, WPARAM(-1), LPARAM(r.item.c_str()))), true);
    });
    steps.push_back([&](HWND dialog) {
      EXPECT_EQ(PathBox(dialog), r.opens) << "row at line " << r.line;
      EXPECT_EQ(CurrentFolderText(dialog), r.item) << "row at line " << r.line;
    });
  }
  steps.push_back(Press(IDCANCEL));
  EXPECT_EQ(RunDialog(Common, steps), Common);
}

// Enter in the folder list opens the selected folder, OK confirms the path
// box; leaving without confirming returns the initial path as given.
TEST_F(SelDirTest, EnterOpensOkConfirmsAndLeavingReturnsTheInitialPath) {
  const std::string initial = T + "\\\\Program Files\\Missing\\", parent = T + "\\Program Files";
  const auto selectParentThen = [](Step then) -> Step {
    return [then](HWND dialog) {
      ClickItem(Control(dialog, IDC_SELDIR_FOLDERS), CurrentFolder(dialog) - 1, false);
      then(dialog);
    };
  };
  const Step enter = [](HWND) { PressKey(GetFocus(), VK_RETURN); };
  const Step wander = [](HWND dialog) {
    Type(Control(dialog, IDC_SELDIR_PATH), "C:\\");
    ClickItem(Control(dialog, IDC_SELDIR_FOLDERS), 0, true);
  };
  const struct { int line; std::string initial; std::vector<Step> steps; std::string result; } rows[] = {
      {__LINE__, Common, {selectParentThen(enter), [&](HWND dialog) {
                            EXPECT_EQ(PathBox(dialog), parent);
                            enter(dialog);  // now the current folder
                          }}, parent},
      {__LINE__, Common, {selectParentThen(Press(IDC_SELDIR_OK))}, Common},
      {__LINE__, initial, {wander, Press(IDCANCEL)}, initial},
      {__LINE__, initial, {wander, [](HWND dialog) { PressKey(Control(dialog, IDC_SELDIR_PATH), VK_ESCAPE); }}, initial},
      {__LINE__, initial, {wander, CloseBox}, initial},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.line);
    EXPECT_EQ(RunDialog(r.initial, r.steps), r.result);
  }
}

TEST_F(SelDirTest, DrivesAreListedWithTheirIconAndPickedDrivesOpenOrSpringBack) {
  const TestDrives d;
  if (!d.complete()) GTEST_SKIP() << "the drives of tests/win/wine-setup.sh are not there";
  const struct { int line; char letter; std::string label; int icon; } listed[] = {
      {__LINE__, d.floppy, "", IDI_DRIVE_FLOPPY},     {__LINE__, d.cdrom, "", IDI_DRIVE_CDROM},
      {__LINE__, d.fixed, "PVTEST", IDI_DRIVE_FIXED}, {__LINE__, d.ram, "", IDI_DRIVE_RAMDISK},
      {__LINE__, d.network, "", IDI_DRIVE_REMOTE},  // no network to name it
  };
  const std::string fixed = d.fixed + std::string(":"), ram = d.ram + std::string(":");
  // A drive picked by typing its letter (0: the list dropped, moved in and
  // cancelled), then the drive shown and the folders listed (unless empty).
  const struct { int line; char pick; std::string drive; std::vector<Item> folders; } picks[] = {
      {__LINE__, d.fixed, fixed + " PVTEST", {{fixed + "\\", 0}, {"Program Files", 6}, {"Temp", 6}}},
      {__LINE__, d.floppy, fixed + " PVTEST", {}},  // no medium: back to the drive that worked
      {__LINE__, d.cdrom, fixed + " PVTEST", {}},
      {__LINE__, d.ram, ram + " ", {{ram + "\\", 0}}},  // an empty root is fine
      {__LINE__, 0, ram + " ", {}},
  };
  std::vector<Step> steps;
  // Moving through the dropped list picks nothing until it closes.
  const Step browse = [&](HWND dialog) {
    EXPECT_NE(DriveText(dialog), ram + " ");
    EXPECT_EQ(PathBox(dialog), ram + "\\");
    PressKey(Control(dialog, IDC_SELDIR_DRIVES), VK_ESCAPE);
  };
  for (size_t i = 0; i <= std::size(picks); ++i) {
    steps.push_back([&, i](HWND dialog) {
      HWND drives = Control(dialog, IDC_SELDIR_DRIVES);
      if (i == 0) {
        std::string letters;
        for (int k = 0; k < int(SendMessageA(drives, CB_GETCOUNT, 0, 0)); ++k) letters += DriveText(dialog, k)[0];
        EXPECT_TRUE(std::is_sorted(letters.begin(), letters.end())) << letters;
        EXPECT_EQ(letters.back(), 'Z') << letters;  // Wine's Unix root, the last letter
        for (const auto& r : listed) {
          const std::string text = r.letter + std::string(": ") + r.label;
          const LRESULT k = SendMessageA(drives, CB_FINDSTRINGEXACT, WPARAM(-1), LPARAM(text.c_str()));
          EXPECT_GE(k, 0) << "row at line " << r.line;
          EXPECT_EQ(HICON(SendMessageA(drives, CB_GETITEMDATA, k, 0)), Icon(r.icon)) << "row at line " << r.line;
        }
      }
      if (i > 0) {
        const auto& p = picks[i - 1];
        EXPECT_EQ(DriveText(dialog), p.drive) << "row at line " << p.line;
        EXPECT_EQ(PathBox(dialog), p.drive.substr(0, 2) + "\\") << "row at line " << p.line;
        if (!p.folders.empty()) {
          EXPECT_EQ(FolderItems(dialog, 0, true), p.folders) << "row at line " << p.line;
        }
      }
      if (i == std::size(picks)) return PressKey(drives, VK_ESCAPE);
      SetFocus(drives);
      if (picks[i].pick) return TypeChar(drives, picks[i].pick);
      for (UINT key : {VK_F4, VK_UP}) PressKey(drives, key);
    });
    if (i < std::size(picks) && !picks[i].pick) steps.push_back(browse);
  }
  EXPECT_EQ(RunDialog(T, steps), T);
  EXPECT_TRUE(boxes.shown.empty());
}

// A 32-bit top-down bitmap selected into a memory DC.
struct Canvas {
  Canvas(int w, int h) : width(w), dc(CreateCompatibleDC(nullptr)) {
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h /* top row first */, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    bitmap.reset(CreateDIBSection(dc.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    pixels = static_cast<uint32_t*>(bits);
    old = SelectObject(dc.get(), bitmap.get());
  }
  ~Canvas() { SelectObject(dc.get(), old); }
  // The pixel at x, y as 0x00RRGGBB.
  uint32_t At(int x, int y) const { return pixels[size_t(y) * size_t(width) + size_t(x)]; }

  int width;
  uint32_t* pixels = nullptr;
  handles::UniqueMemoryDc dc;
  handles::UniqueBitmap bitmap;
  HGDIOBJ old;
};

TEST_F(SelDirTest, ItemsAreDrawnIndentedWithTheirIconAndHighlightedOnlyWithFocus) {
  const COLORREF back = RGB(0x12, 0x34, 0x56), fore = RGB(0x65, 0x43, 0x21), lit = GetSysColor(COLOR_HIGHLIGHT);
  const UINT focused = ODS_SELECTED | ODS_FOCUS;
  const auto rgb = [](COLORREF c) { return uint32_t(GetRValue(c)) << 16 | GetGValue(c) << 8 | GetBValue(c); };
  const auto look = [&](HWND dialog) {
    const int current = CurrentFolder(dialog);
    const int drive = int(SendMessageA(Control(dialog, IDC_SELDIR_DRIVES), CB_GETCURSEL, 0, 0));
    // icon, x: the icon group expected, and its left edge
    const struct { int line, id, item; UINT state; int icon, x; bool highlight; } rows[] = {
        {__LINE__, IDC_SELDIR_FOLDERS, 0, focused, IDI_FOLDER_OPEN, 2, true},
        {__LINE__, IDC_SELDIR_FOLDERS, current, 0, IDI_FOLDER_OPEN_SHADED, 2 + 6 * current, false},
        {__LINE__, IDC_SELDIR_FOLDERS, current, ODS_SELECTED, IDI_FOLDER_OPEN_SHADED, 2 + 6 * current, false},
        {__LINE__, IDC_SELDIR_FOLDERS, current + 1, ODS_FOCUS, IDI_FOLDER_CLOSED, 8 + 6 * current, false},
        {__LINE__, IDC_SELDIR_DRIVES, drive, focused | ODS_COMBOBOXEDIT, IDI_DRIVE_FIXED, 2, true},
        {__LINE__, IDC_SELDIR_DRIVES, -1, focused, 0, 0, false},  // an empty list
    };
    for (const auto& r : rows) {
      HWND control = Control(dialog, r.id);
      const bool folders = r.id == IDC_SELDIR_FOLDERS;
      Canvas canvas(160, 16), expected(16, 16);
      SetBkColor(canvas.dc.get(), back);
      SetTextColor(canvas.dc.get(), fore);
      const LRESULT data = SendMessageA(control, folders ? LB_GETITEMDATA : CB_GETITEMDATA, WPARAM(r.item), 0);
      DRAWITEMSTRUCT item{folders ? UINT(ODT_LISTBOX) : UINT(ODT_COMBOBOX), UINT(r.id), UINT(r.item),
                          ODA_DRAWENTIRE, r.state, control, canvas.dc.get(), {0, 0, 160, 16}, ULONG_PTR(data)};
      SendMessageA(dialog, WM_DRAWITEM, WPARAM(r.id), LPARAM(&item));
      EXPECT_EQ(GetBkColor(canvas.dc.get()), back) << "row at line " << r.line;
      EXPECT_EQ(GetTextColor(canvas.dc.get()), fore) << "row at line " << r.line;
      if (r.item < 0) {  // a focus rectangle only, on the untouched bitmap
        EXPECT_TRUE(std::any_of(canvas.pixels, canvas.pixels + 160, [](uint32_t p) { return p != 0; }));
        EXPECT_EQ(canvas.At(80, 8), 0u);
        continue;
      }
      const COLORREF fill = r.highlight ? lit : back;
      EXPECT_EQ(canvas.At(0, 8), rgb(fill)) << "row at line " << r.line;
      EXPECT_EQ(canvas.At(r.x + 17, 8), rgb(fill)) << "row at line " << r.line;
      SetBkColor(expected.dc.get(), fill);
      const RECT all{0, 0, 16, 16};
      ExtTextOutA(expected.dc.get(), 0, 0, ETO_OPAQUE, &all, nullptr, 0, nullptr);
      DrawIconEx(expected.dc.get(), 0, 0, Icon(r.icon), 0, 0, 0, nullptr, DI_NORMAL);
      int wrong = 0;
      for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) wrong += canvas.At(r.x + x, y) != expected.At(x, y);
      EXPECT_EQ(wrong, 0) << "pixels unlike the icon, row at line " << r.line;
    }
    CloseBox(dialog);
  };
  RunDialog(Common, {look});
}

}  // namespace
