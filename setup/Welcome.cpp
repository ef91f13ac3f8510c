// The welcome dialog and the progress window.
#include <cstdio>

#include "seldir/SelDir.h"
#include "setup/Global.h"
#include "setup/PavInst.h"
#include "setup/PavInstRes.h"
#include "winbase/Messages.h"

// The record size SystemParametersInfoA is told, on both platforms.
static_assert(sizeof(NONCLIENTMETRICSA) == 340);

// The version is the product's (archive/ProductFiles.h).
constexpr product::Joined WelcomeTextJoined{
    product::Joined{"Welcome to Pavlane (TM) v", product::Version}.text,
    " Setup Program.\r\n"
    "This program will install Pavlane on your computer.\r\n"
    "\r\n"
    "Before  proceeding, we recommend that you close all applications you may be running.\r\n"
    "\r\n"
    "   Copyright (C) 1996-2003 VelmoraSoft Ltd.\r\n"
    "                 http://www.velmsoft.com\r\n"
    "\r\n"
    "Pavlane is a trademark of VelmoraSoft Ltd.\r\n"};
const char* const WelcomeText = WelcomeTextJoined.text;

namespace {

void InitWelcomeDialog(HWND dialog) {
  CurrentDialog = dialog;
  SetWindowTextA(dialog, SetupTitle);

  // The destination shows in the system's message font at a fixed height;
  // every other control keeps the template's font.
  DestFont.reset();
  NONCLIENTMETRICSA metrics = {};
  metrics.cbSize = sizeof(metrics);
  if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
    metrics.lfMessageFont.lfHeight = -11;
    DestFont.reset(CreateFontIndirectA(&metrics.lfMessageFont));
    if (DestFont)
      SendDlgItemMessageA(dialog, IDC_DESTDIR, WM_SETFONT, WPARAM(DestFont.get()), FALSE);
  }

  SetDlgItemTextA(dialog, IDC_WELCOMETEXT, WelcomeText);
  DestDir = DefaultDestDir;
  SetDlgItemTextA(dialog, IDC_DESTDIR, DestDir.c_str());
}

std::string LowSpaceWarning() {
  char threshold[16];
  std::snprintf(threshold, sizeof threshold, "%d", MinFreeMegabytes);
  return std::string("There is not enough disk space on the destination drive (at least ") +
         threshold + "MB recommended). This may cause errors while installing or running " +
         "Pavlane" + ".\r\rWould you, nevertheless, wish to proceed now?";
}

void Install(HWND dialog) {
  // An unknown free space counts as -1 and so warns too.
  if (DriveFreeMegabytes(DestDir) < double(MinFreeMegabytes) &&
      ShowMessageBox(dialog, LowSpaceWarning().c_str(), SetupCaption,
                     MB_YESNO | MB_ICONQUESTION) != IDYES)
    return;
  std::string text = "Cannot create destination directory:\r\r" + DestDir;
  if (!MakeDestinationDirectory(DestDir).empty()) {
    // Unheld, the folder could be renamed or swapped for a link while the
    // files go in; the user may choose another one.
    if (HeldDestination.HoldDirectory(DestDir)) {
      EndDialog(dialog, 1);
      return;
    }
    text = "Unable to install into the destination directory as it is being used by another "
           "program:\r\r" + DestDir;
  }
  ShowMessageBox(dialog, text.c_str(), SetupCaption, MB_OK | MB_ICONHAND);
}

void Browse(HWND dialog) {
  DestDir = ChooseDirectory(CurrentDialog, DestDir, DestFont.get());
  if (DestDir.size() == 2) DestDir += '\\';  // a bare drive comes back as "D:"
  SetDlgItemTextA(dialog, IDC_DESTDIR, DestDir.c_str());
}

}  // namespace

void ConfirmExit(HWND dialog) {
  if (ShowMessageBox(dialog, "Setup is not complete yet. Are you sure you want to exit setup now?",
                     ExitCaption, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES)
    EndDialog(dialog, 0);
}

INT_PTR CALLBACK WelcomeDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      InitWelcomeDialog(dialog);
      return TRUE;  // the system focuses the first tab stop, Install
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_INSTALL:
          Install(dialog);
          break;
        case IDC_CANCEL:
          ConfirmExit(dialog);
          break;
        case IDC_BROWSE:
          Browse(dialog);
          break;
        case IDC_WELCOMETEXT:
          // The text must never show selected when it takes the focus; the
          // edit selects it after this notification, hence posted.
          if (HIWORD(wParam) == EN_SETFOCUS)
            PostMessageA(reinterpret_cast<HWND>(lParam), EM_SETSEL, 0, 0);
          break;
        default:  // IDOK and IDCANCEL (Enter, Escape) included: nothing
          break;
      }
      return TRUE;
    case WM_CLOSE:
      EndDialog(dialog, 0);
      return TRUE;
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK ProgressDialogProc(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG;
}
