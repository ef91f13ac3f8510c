// The "Choose Directory" dialog: the modal dialog in which the user types or
// picks the directory the product is installed into. Its template and icons
// live in seldir/SelDir.rc, which every executable that shows the dialog must
// link (the seldir_resources object library, or its own script including it).
#pragma once

#include <windows.h>

#include <string>

// Runs dialog resource 100 modally, owned by owner, starting from initialDir
// (which need not exist). font, if not null, is used for the path box and
// the folder list; it stays the caller's. Returns the path the user
// confirmed, expanded and without a trailing backslash (a drive root comes
// back as "C:"), or initialDir exactly as given when the user cancels or
// closes the dialog. Creates nothing: a missing directory the user agreed to
// create is only returned.
std::string ChooseDirectory(HWND owner, const std::string& initialDir, HFONT font);

// The full path of path (GetFullPathNameA) with every doubled backslash
// reduced to one, wherever it stands. Empty when the platform cannot expand
// path, in particular when path is empty.
std::string ExpandDirectoryPath(const std::string& path);

// The dialog procedure of dialog resource 100.
INT_PTR CALLBACK SelDirDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
