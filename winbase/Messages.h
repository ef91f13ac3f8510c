// What the user reads: the captions of the setup's message boxes, and the
// one way every box is shown.
#pragma once

#include <windows.h>

// The driver, the welcome dialog and the post-install sequence.
inline constexpr char SetupCaption[] = "Pavlane Setup";
// The post-install sequence when it cannot find the system directory.
inline constexpr char ErrorCaption[] = "Pavlane - Error";
// The welcome dialog's question before leaving.
inline constexpr char ExitCaption[] = "Exit Setup";
// The directory dialog's two messages.
inline constexpr char SelDirCaption[] = "Setup";

// Shows a message box: MessageBoxA. Tests put their own function here to
// read and answer every box instead.
using MessageBoxProc = int(WINAPI*)(HWND owner, LPCSTR text, LPCSTR caption, UINT flags);
inline MessageBoxProc ShowMessageBox = MessageBoxA;
