// The dialog's two owner-drawn lists: the drive list (a combo box of every
// drive with an icon for its kind) and the folder list (the current path as
// an indented chain of folders, then the current folder's subfolders). Used
// by the dialog procedure only; they work on the open dialog.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// What the dialog procedure and the lists share while a dialog is open.
struct SelDirState {
  HWND Dialog = nullptr;             // the open dialog, set at WM_INITDIALOG
  HICON ClosedFolder = nullptr;      // icon group 1001: a subfolder
  HICON ShadedOpenFolder = nullptr;  // icon group 1002: the current folder
  HICON OpenFolder = nullptr;        // icon group 1003: a folder above it
  int32_t CurrentFolderIndex = 0;    // folder-list index of the folder whose subfolders are listed
  int32_t CurrentDriveIndex = 0;     // drive-list index of the drive last accepted
};
extern SelDirState SelDir;

// Pixels between one level of the folder chain and the next.
inline constexpr int FolderIndent = 6;

// Lists every drive the system knows a kind of, A: to Z:, and selects the one
// path starts with (none if path does not start with a drive letter).
void FillDriveList(const std::string& path);

// Lists path's components, each indented one step more than the last, and
// selects the last; then path's subfolders one step deeper, in the order the
// file system returns them. A path with no backslash lists nothing.
void FillFolderList(const std::string& path);

// The path of the folder selected in list (the folder list): the chain down
// to a selected folder on it, or the current path plus a selected subfolder.
// Picking a folder on the chain moves CurrentFolderIndex up to its parent;
// the caller refills the list at once.
std::string FolderListPath(HWND list);

// WM_MEASUREITEM and WM_DRAWITEM of both lists.
void MeasureListItem(MEASUREITEMSTRUCT* item);
void DrawListItem(const DRAWITEMSTRUCT* item);

// s with every run of backslashes reduced to one.
std::string CollapseBackslashes(std::string s);

// Loads an icon group of the executable, shared: the system frees it.
HICON LoadSharedIcon(int group);

// Searches pattern (a folder followed by "*.*") and closes the search at
// once. ERROR_SUCCESS if it found an entry, otherwise the search's error.
DWORD ProbeDirectory(const std::string& pattern);
