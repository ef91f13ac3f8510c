// The setup driver: the backdrop, the message pump, the welcome and
// progress windows and the order of the installation.
#pragma once

#include <windows.h>

#include <string>

#include "archive/ProductFiles.h"

// Title of the backdrop and the welcome dialog.
inline constexpr const char* SetupTitle = product::SetupTitle.text;

// Registers the backdrop's class and creates the backdrop: a disabled,
// borderless dark-blue window over the whole primary screen carrying
// title. Null when the class or the window cannot be made.
HWND CreateMainWindow(const std::string& title);

// Dispatches every window message waiting for this thread, serving the
// keyboard navigation of CurrentDialog; never waits. With close true it
// then destroys CurrentDialog (the progress window).
void MessagePump(bool close);

// The whole installation, from the backdrop to its closing: the welcome
// dialog, the rights test, unpacking and the post-install sequence, with
// every message on the way. Leaves the backdrop destroyed. When the setup's
// own file cannot be held, only says so and reads nothing.
void RunSetup();

// The welcome dialog (template 200): ends with 1 once Install has found or
// made the destination directory and holds it (HeldDestination), which is
// then in DestDir; a directory that cannot be held is refused with a
// message, as one that cannot be made. Ends with 0
// after a confirmed Cancel or a WM_CLOSE.
INT_PTR CALLBACK WelcomeDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Asks whether to leave setup; ends dialog with 0 on Yes.
void ConfirmExit(HWND dialog);

// The progress window (template 300): passive, handles nothing.
INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The text of the welcome dialog, its four closing lines included.
extern const char* const WelcomeText;
// The message of a failed extraction.
extern const char CorruptedSetupText[];
