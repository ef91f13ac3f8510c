#include "seldir/SelDir.h"

#include "seldir/DriveLists.h"
#include "seldir/SelDirRes.h"
#include "winbase/Messages.h"

namespace {

std::string ChosenDirectory;   // the answer; starts as the caller's directory
HFONT DialogFont = nullptr;    // the caller's font, or null for the template's

void RemoveTrailingBackslash(std::string& path) {
  if (!path.empty() && path.back() == '\\') path.pop_back();
}

// The directory to open the dialog in: the deepest existing directory on
// the way up from path, or the current directory when none of it exists.
std::string StartDirectory(const std::string& path) {
  std::string dir = ExpandDirectoryPath(path);
  while (dir.size() >= 3) {
    RemoveTrailingBackslash(dir);
    const DWORD error = ProbeDirectory(dir + "\\*.*");
    // An empty directory (a bare drive root) finds nothing, yet exists.
    if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) break;
    if (error != ERROR_PATH_NOT_FOUND) {
      dir.clear();
      break;
    }
    // Up one level, keeping the parent's trailing backslash.
    const size_t slash = dir.rfind('\\');
    dir.erase(slash == std::string::npos ? 0 : slash + 1);
  }
  if (dir.size() == 2) {
    dir += '\\';
  } else if (dir.size() < 2) {
    char current[MAX_PATH];
    const DWORD len = GetCurrentDirectoryA(MAX_PATH, current);
    dir.assign(current, len < MAX_PATH ? len : 0);
  }
  return dir;
}

void OnInitDialog(HWND dialog, const char* initialDir) {
  SelDir.Dialog = dialog;
  if (DialogFont) {
    SendDlgItemMessageA(dialog, IDC_SELDIR_PATH, WM_SETFONT, reinterpret_cast<WPARAM>(DialogFont), FALSE);
    SendDlgItemMessageA(dialog, IDC_SELDIR_FOLDERS, WM_SETFONT, reinterpret_cast<WPARAM>(DialogFont), FALSE);
  }
  const std::string dir = StartDirectory(initialDir);
  SelDir.ShadedOpenFolder = LoadSharedIcon(IDI_FOLDER_OPEN_SHADED);
  SelDir.OpenFolder = LoadSharedIcon(IDI_FOLDER_OPEN);
  SelDir.ClosedFolder = LoadSharedIcon(IDI_FOLDER_CLOSED);
  SetDlgItemTextA(dialog, IDC_SELDIR_PATH, dir.c_str());
  FillDriveList(dir);
  FillFolderList(dir);
}

// OK, or Enter anywhere but in a folder list that has another folder than
// the current one selected.
void OnOk(HWND dialog) {
  HWND folders = GetDlgItem(dialog, IDC_SELDIR_FOLDERS);
  if (GetFocus() == folders &&
      SendMessageA(folders, LB_GETCURSEL, 0, 0) != LRESULT(SelDir.CurrentFolderIndex)) {
    // Enter in the folder list opens the selected folder, as a double-click would.
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_SELDIR_FOLDERS, LBN_DBLCLK),
                 reinterpret_cast<LPARAM>(folders));
    return;
  }

  char typed[MAX_PATH] = "";
  GetDlgItemTextA(dialog, IDC_SELDIR_PATH, typed, MAX_PATH);
  std::string path = typed;
  // A drive and colon, or a backslash for the root of the current drive.
  if (path.size() < 3 || (path[1] != ':' && path[0] != '\\')) {
    const std::string text = "The specified directory:\r\r" + path +
                             "\r\ris invalid. Please, type a full path with drive letter.";
    ShowMessageBox(dialog, text.c_str(), SelDirCaption, MB_OK | MB_ICONEXCLAMATION);
    return;
  }

  path = ExpandDirectoryPath(path);
  RemoveTrailingBackslash(path);
  if (ProbeDirectory(path + "\\*.*") == ERROR_PATH_NOT_FOUND) {
    const std::string text = "The directory:\r\r" + path +
                             "\r\rdoes not exist. Do you want the directory to be created?";
    if (ShowMessageBox(dialog, text.c_str(), SelDirCaption, MB_YESNO | MB_ICONQUESTION) != IDYES) return;
  }
  // Any other failure to search it (no access, a drive not ready) is left
  // to the setup's own checks of the destination.
  ChosenDirectory = path;
  EndDialog(dialog, 1);
}

void OnFolderDoubleClick(HWND dialog, HWND list) {
  const std::string path = FolderListPath(list);
  SetDlgItemTextA(dialog, IDC_SELDIR_PATH, path.c_str());
  FillFolderList(path);
}

void OnDrivePicked(HWND dialog, HWND combo) {
  const LRESULT index = SendMessageA(combo, CB_GETCURSEL, 0, 0);
  std::string root;
  const LRESULT len = SendMessageA(combo, CB_GETLBTEXTLEN, WPARAM(index), 0);
  if (len >= 0) {
    root.assign(size_t(len) + 1, '\0');
    SendMessageA(combo, CB_GETLBTEXT, WPARAM(index), reinterpret_cast<LPARAM>(root.data()));
  }
  root = root.substr(0, 2) + "\\";
  const DWORD error = ProbeDirectory(root + "*.*");
  if (error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND) {
    SetDlgItemTextA(dialog, IDC_SELDIR_PATH, root.c_str());
    SelDir.CurrentDriveIndex = int32_t(index);
    FillFolderList(root);
  } else {
    // No medium, a lost connection: quietly keep the drive that worked.
    SendMessageA(combo, CB_SETCURSEL, WPARAM(SelDir.CurrentDriveIndex), 0);
  }
}

void OnCommand(HWND dialog, WORD id, WORD code, HWND control) {
  switch (id) {
    case IDCANCEL:
      EndDialog(dialog, 0);
      break;
    case IDC_SELDIR_OK:
      OnOk(dialog);
      break;
    case IDC_SELDIR_FOLDERS:
      if (code == LBN_DBLCLK) OnFolderDoubleClick(dialog, control);
      break;
    case IDC_SELDIR_DRIVES:
      if (code == CBN_SELENDOK) {
        OnDrivePicked(dialog, control);
      } else if (code == CBN_SELENDCANCEL) {
        SendMessageA(control, CB_SETCURSEL, WPARAM(SelDir.CurrentDriveIndex), 0);
      }
      break;
  }
}

}  // namespace

std::string ExpandDirectoryPath(const std::string& path) {
  std::string full(path.size() + MAX_PATH, '\0');
  const DWORD len = GetFullPathNameA(path.c_str(), DWORD(full.size()), full.data(), nullptr);
  // 0 is a failure; a length beyond the buffer (which cannot happen with this
  // much room) would be the size needed, not a path.
  full.resize(len < full.size() ? len : 0);
  return CollapseBackslashes(full);
}

INT_PTR CALLBACK SelDirDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog(dialog, reinterpret_cast<const char*>(lParam));
      return TRUE;  // the system puts the focus on the path box
    case WM_COMMAND:
      OnCommand(dialog, LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return TRUE;
    case WM_CLOSE:
      EndDialog(dialog, 0);
      return TRUE;
    case WM_MEASUREITEM:
      MeasureListItem(reinterpret_cast<MEASUREITEMSTRUCT*>(lParam));
      return TRUE;
    case WM_DRAWITEM:
      DrawListItem(reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
      return TRUE;
  }
  return FALSE;
}

std::string ChooseDirectory(HWND owner, const std::string& initialDir, HFONT font) {
  ChosenDirectory = initialDir;
  DialogFont = font;
  DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_CHOOSEDIR), owner, SelDirDialogProc,
                  reinterpret_cast<LPARAM>(initialDir.c_str()));
  return ChosenDirectory;
}
