#include "setup/PavInst.h"

#include <commctrl.h>

#include "archive/Archive.h"
#include "archive/PvUnZip.h"
#include "postset/PostSet.h"
#include "setup/Global.h"
#include "setup/PavInstRes.h"
#include "winbase/Messages.h"
#include "winbase/SysLib.h"

// The record sizes the 32-bit program hands the system.
static_assert(sizeof(void*) != 4 || sizeof(WNDCLASSEXA) == 48);
static_assert(sizeof(void*) != 4 || sizeof(WNDCLASSA) == 40);

const char CorruptedSetupText[] =
    "Unable to extract data as the Setup file has been corrupted.\r\r"
    "You should obtain a correct copy by visiting the VelmoraSoft home page at "
    "http://www.velmsoft.com.";

namespace {

// When another program has the setup's file open for writing or deleting,
// it could change or replace what would be installed.
const char SetupHeldText[] =
    "Unable to run Setup as the Setup file is being used by another program.\r\r"
    "Please, close all applications that are working at the moment and run this program, again.";

const char PermissionText[] =
    "You do not have enough permissions to install Pavlane.\r\r"
    "Please, log on as administrator.";

// The copy of the system's animation class under the program's own name.
// Registered classes keep pointing into the record, so it lives as long as
// the program.
WNDCLASSA AnimationClass;

HINSTANCE Instance() { return GetModuleHandleA(nullptr); }

// Opens the progress window with its animation. Each failure silently
// leaves the rest out; the installation then runs with less or no display.
void OpenProgressWindow() {
  ShellModule.reset(LoadSystemLibrary("shell32.dll"));
  if (!ShellModule) return;
  // comctl32 stays loaded once it is: the animation class's window
  // procedure lives in it.
  if (auto init = SystemFunction<void(WINAPI*)()>("comctl32.dll", "InitCommonControls")) init();
  if (!GetClassInfoA(nullptr, "SysAnimate32", &AnimationClass)) return;
  // The copy's instance is shell32, so that the control finds the clip in
  // shell32's resources when it is opened with no module of its own.
  AnimationClass.hInstance = ShellModule.get();
  AnimationClass.lpszClassName = "PavInstA32";
  if (!RegisterClassA(&AnimationClass)) return;
  CurrentDialog = CreateDialogParamA(Instance(), MAKEINTRESOURCEA(IDD_PROGRESS), MainWindow,
                                     ProgressDialogProc, 0);
  if (!CurrentDialog) return;
  RECT client;
  GetClientRect(CurrentDialog, &client);
  AnimationWindow = CreateWindowExA(
      0, "PavInstA32", "", WS_CHILD | WS_VISIBLE | ACS_CENTER | ACS_TRANSPARENT | ACS_AUTOPLAY,
      0, 0, client.right, client.bottom, CurrentDialog, nullptr, ShellModule.get(), nullptr);
  if (AnimationWindow)
    SendMessageA(AnimationWindow, ACM_OPENA, 0, LPARAM(IDR_SHELL_PROGRESS_AVI));
}

}  // namespace

HWND CreateMainWindow(const std::string& title) {
  // The brush belongs to the class for the life of the program once it is
  // registered.
  handles::UniqueBrush background(CreateSolidBrush(RGB(0, 0, 128)));
  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = DefWindowProcA;
  windowClass.hInstance = Instance();
  windowClass.hbrBackground = background.get();
  windowClass.lpszClassName = "PavInstWnd";
  if (!RegisterClassExA(&windowClass)) return nullptr;
  background.release();
  return CreateWindowExA(0, "PavInstWnd", title.c_str(),
                         WS_POPUP | WS_VISIBLE | WS_DISABLED | WS_CLIPCHILDREN, 0, 0,
                         GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), nullptr,
                         nullptr, nullptr, nullptr);
}

void MessagePump(bool close) {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (IsWindow(CurrentDialog) && IsDialogMessageA(CurrentDialog, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  if (close) DestroyWindow(CurrentDialog);
}

void RunSetup() {
  // Before the user can act: the payload installed is the one of the file
  // started, whatever happens to its name while the dialogs wait. Without
  // the hold nothing else would be sure of that, so nothing is read.
  if (!HoldSetupFile()) {
    ShowMessageBox(nullptr, SetupHeldText, SetupCaption, MB_OK | MB_ICONHAND);
    return;
  }
  MainWindow = CreateMainWindow(SetupTitle);
  SetDefaultDestDir();
  bool proceed = DialogBoxParamA(Instance(), MAKEINTRESOURCEA(IDD_WELCOME), MainWindow,
                                 WelcomeDialogProc, 0) == 1;
  DestFont.reset();

  // The rights test comes only now, so that a user without rights still
  // sees what would be installed where; the directory Install made stays.
  if (proceed && !CheckInstallRights()) {
    ShowMessageBox(MainWindow, PermissionText, SetupCaption, MB_OK | MB_ICONHAND);
    proceed = false;
  }
  if (!proceed) HeldDestination.Close();

  if (proceed) {
    CurrentDialog = nullptr;
    OpenProgressWindow();
    if (!DestDir.empty() && DestDir.back() == '\\') DestDir.pop_back();
    bool ok = UnpackPayload(HeldDestination, DestDir, MessagePump);
    if (ok) ok = PostInstall(DestDir, MainWindow, MessagePump, WrittenRecord);
    HeldDestination.Close();
    // The post-install steps may have closed the window through the pump.
    if (IsWindow(CurrentDialog)) DestroyWindow(CurrentDialog);
    ShellModule.reset();
    if (!ok) ShowMessageBox(MainWindow, CorruptedSetupText, SetupCaption, MB_OK | MB_ICONHAND);
  }

  SendMessageA(MainWindow, WM_CLOSE, 0, 0);
}
