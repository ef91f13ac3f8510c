#include "seldir/DriveLists.h"

#include <winnetwk.h>

#include "seldir/SelDirRes.h"
#include "winbase/Handles.h"
#include "winbase/SysLib.h"

SelDirState SelDir;

namespace {

// Every item of both lists is this many pixels high: a 16-pixel icon.
constexpr UINT ItemHeight = 16;
// Pixels left of an icon, and from an icon's left edge to its text.
constexpr int IconMargin = 2;
constexpr int IconAdvance = 20;

// Text of an item of a list box (LB_*) or of a combo box's list (CB_*);
// empty for an index that names no item.
std::string ItemText(HWND control, UINT lenMessage, UINT textMessage, WPARAM index) {
  LRESULT len = SendMessageA(control, lenMessage, index, 0);
  if (len < 0) return {};
  std::string text(size_t(len) + 1, '\0');
  len = SendMessageA(control, textMessage, index, reinterpret_cast<LPARAM>(text.data()));
  text.resize(len < 0 ? 0 : size_t(len));
  return text;
}

std::string FolderText(HWND list, WPARAM index) {
  return ItemText(list, LB_GETTEXTLEN, LB_GETTEXT, index);
}

// Appends one folder-list item indented by indent pixels; returns its index.
// indent < 0 stands for the item's own level: FolderIndent times its index.
int32_t AppendFolder(HWND list, const std::string& text, int32_t indent) {
  // Insert at the end rather than add: the list box sorts what it is given
  // with LB_ADDSTRING, and the chain must stay in path order.
  LRESULT index = SendMessageA(list, LB_INSERTSTRING, WPARAM(-1), reinterpret_cast<LPARAM>(text.c_str()));
  if (indent < 0) indent = FolderIndent * int32_t(index);
  SendMessageA(list, LB_SETITEMDATA, WPARAM(index), LPARAM(indent));
  return int32_t(index);
}

bool IsDotEntry(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

std::string CollapseBackslashes(std::string s) {
  for (size_t at = s.find("\\\\"); at != std::string::npos; at = s.find("\\\\", at)) s.erase(at, 1);
  return s;
}

HICON LoadSharedIcon(int group) {
  return static_cast<HICON>(
      LoadImageA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(group), IMAGE_ICON, 0, 0, LR_SHARED));
}

DWORD ProbeDirectory(const std::string& pattern) {
  WIN32_FIND_DATAA data;
  const handles::UniqueFind search(FindFirstFileA(pattern.c_str(), &data));
  return search ? ERROR_SUCCESS : GetLastError();
}

void FillDriveList(const std::string& path) {
  HWND combo = GetDlgItem(SelDir.Dialog, IDC_SELDIR_DRIVES);
  const char pathDrive = path.empty() ? '\0' : char(path[0] & 0xDF);
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    const char root[] = {letter, ':', '\\', '\0'};
    const char drive[] = {letter, ':', '\0'};
    char label[MAX_PATH] = "";
    int group;
    switch (GetDriveTypeA(root)) {
      case DRIVE_REMOVABLE:
        group = IDI_DRIVE_FLOPPY;
        break;
      case DRIVE_FIXED:
        group = IDI_DRIVE_FIXED;
        if (!GetVolumeInformationA(root, label, MAX_PATH, nullptr, nullptr, nullptr, nullptr, 0))
          label[0] = '\0';
        break;
      case DRIVE_REMOTE: {
        group = IDI_DRIVE_REMOTE;
        DWORD size = MAX_PATH;
        // mpr.dll is not among the libraries the system always takes from
        // its own folder, so it is loaded from there by its full path, never
        // linked: a copy beside the setup would win.
        using GetConnectionProc = DWORD(WINAPI*)(LPCSTR local, LPSTR remote, LPDWORD size);
        auto getConnection = SystemFunction<GetConnectionProc>("mpr.dll", "WNetGetConnectionA");
        if (!getConnection || getConnection(drive, label, &size) != NO_ERROR) label[0] = '\0';
        break;
      }
      case DRIVE_CDROM:
        group = IDI_DRIVE_CDROM;
        break;
      case DRIVE_RAMDISK:
        group = IDI_DRIVE_RAMDISK;
        break;
      default:  // unknown, no root directory: not a drive to offer
        continue;
    }
    const std::string text = std::string(drive) + " " + label;
    LRESULT index = SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    SendMessageA(combo, CB_SETITEMDATA, WPARAM(index), reinterpret_cast<LPARAM>(LoadSharedIcon(group)));
    if (letter == pathDrive) {
      SelDir.CurrentDriveIndex = int32_t(index);
      SendMessageA(combo, CB_SETCURSEL, WPARAM(index), 0);
    }
  }
}

void FillFolderList(const std::string& path) {
  HWND list = GetDlgItem(SelDir.Dialog, IDC_SELDIR_FOLDERS);
  SendMessageA(list, LB_RESETCONTENT, 0, 0);

  // The chain: the drive part with its backslash, then one folder per item.
  // The first empty component ends it, so a trailing backslash adds nothing.
  int32_t last = -1;
  size_t end = path.find('\\');
  if (end != std::string::npos) {
    last = AppendFolder(list, path.substr(0, end + 1), -1);
    for (size_t begin = end + 1; begin < path.size(); begin = end + 1) {
      end = path.find('\\', begin);
      if (end == std::string::npos) end = path.size();
      if (end == begin) break;
      last = AppendFolder(list, path.substr(begin, end - begin), -1);
    }
  }
  SelDir.CurrentFolderIndex = last;
  SendMessageA(list, LB_SETCURSEL, WPARAM(last), 0);

  std::string dir = path;
  if (!dir.empty() && dir.back() == '\\') dir.pop_back();
  WIN32_FIND_DATAA data;
  const handles::UniqueFind search(FindFirstFileA((dir + "\\*.*").c_str(), &data));
  if (!search) return;
  const int32_t indent = FolderIndent * (SelDir.CurrentFolderIndex + 1);
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !IsDotEntry(data.cFileName))
      AppendFolder(list, data.cFileName, indent);
  } while (FindNextFileA(search.get(), &data));
}

std::string FolderListPath(HWND list) {
  const int32_t selected = int32_t(SendMessageA(list, LB_GETCURSEL, 0, 0));
  if (selected <= SelDir.CurrentFolderIndex) SelDir.CurrentFolderIndex = selected - 1;
  std::string path = FolderText(list, WPARAM(selected));
  for (int32_t i = SelDir.CurrentFolderIndex; i >= 0; --i) path = FolderText(list, WPARAM(i)) + "\\" + path;
  // The root item ends in a backslash already.
  return CollapseBackslashes(path);
}

void MeasureListItem(MEASUREITEMSTRUCT* item) { item->itemHeight = ItemHeight; }

void DrawListItem(const DRAWITEMSTRUCT* item) {
  HDC dc = item->hDC;
  RECT r = item->rcItem;
  if (item->itemID == UINT(-1)) {  // an empty list: only show where the focus is
    DrawFocusRect(dc, &r);
    return;
  }

  const bool highlight = (item->itemState & ODS_SELECTED) && (item->itemState & ODS_FOCUS);
  COLORREF oldText = 0, oldBack = 0;
  if (highlight) {
    oldText = SetTextColor(dc, GetSysColor(COLOR_HIGHLIGHTTEXT));
    oldBack = SetBkColor(dc, GetSysColor(COLOR_HIGHLIGHT));
  }
  // An opaque text call without text fills r with the background colour.
  ExtTextOutA(dc, 0, 0, ETO_OPAQUE, &r, nullptr, 0, nullptr);

  HICON icon;
  std::string text;
  if (item->CtlID == IDC_SELDIR_FOLDERS) {
    r.left += IconMargin + int(item->itemData);
    const int32_t index = int32_t(item->itemID);
    icon = index > SelDir.CurrentFolderIndex    ? SelDir.ClosedFolder
           : index == SelDir.CurrentFolderIndex ? SelDir.ShadedOpenFolder
                                                : SelDir.OpenFolder;
    text = FolderText(item->hwndItem, item->itemID);
  } else {
    r.left += IconMargin;
    icon = reinterpret_cast<HICON>(item->itemData);
    text = ItemText(item->hwndItem, CB_GETLBTEXTLEN, CB_GETLBTEXT, item->itemID);
  }
  DrawIconEx(dc, r.left, r.top, icon, 0, 0, 0, nullptr, DI_NORMAL);
  r.left += IconAdvance;
  ExtTextOutA(dc, r.left, r.top, ETO_OPAQUE, &r, text.c_str(), UINT(text.size()), nullptr);

  if (highlight) {
    SetTextColor(dc, oldText);
    SetBkColor(dc, oldBack);
  }
}
