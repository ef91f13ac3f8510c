// Drives a GUI program from outside, as a user would: finds its dialogs,
// presses their buttons, types into their fields, and reads, records and
// answers its message boxes. Used by the pvauto tool and the end-to-end
// tests. Works on the program's windows by their titles and control IDs.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "winbase/Handles.h"

namespace automate {

// A message box as it stood on the screen.
struct BoxRecord {
  std::string caption;
  std::string text;
  std::vector<int> buttons;  // control IDs (IDOK, IDYES ...), in the system's order
  int defaultButton = 0;     // ID of the default button, 0 if none
  // MB_ICONHAND, MB_ICONQUESTION, MB_ICONEXCLAMATION, MB_ICONASTERISK, or 0
  // when the box shows none or one that is not the system's.
  UINT icon = 0;
  std::string answer;  // the button pressed ("Yes"), empty while unanswered

  // The MessageBox flags the box was made with, as far as they show:
  // buttons, icon and default button.
  UINT Flags() const;
};

// The name of a message-box button ID ("OK", "Yes" ...), or its number.
std::string ButtonName(int id);
// The ID of a button given by name ("Yes", case-insensitive) or number; 0
// when it is neither.
int ButtonId(const std::string& name);
// flags as the MB_ names they are made of: "MB_YESNO | MB_ICONQUESTION".
std::string DescribeFlags(UINT flags);
// text with control characters written as \r, \n, \t, \xNN.
std::string Escape(const std::string& text);
// One line describing box: caption, flags, text and answer.
std::string FormatBox(const BoxRecord& box);

// True when window is a message box: a dialog with only static controls
// and the system's message-box buttons.
bool IsMessageBox(HWND window);

// Writes the part of the screen under window (the whole screen when window
// is null or wholeScreen is set) to path as a 24-bit BMP file, once window
// has painted itself. False on failure.
bool CaptureWindow(HWND window, const std::string& path, bool wholeScreen = false);

// One program under automation.
class Session {
 public:
  Session() = default;
  // A program that this session started and that still runs is ended.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Starts commandLine in directory (the current one when empty) with
  // environment (a block as CreateProcessA takes it; null: this process's).
  bool Start(const std::string& commandLine, const std::string& directory = "",
             const char* environment = nullptr);
  // Takes over the running process pid.
  bool Attach(DWORD pid);
  DWORD ProcessId() const { return processId_; }

  // Time limit of each wait, in milliseconds (30 s at first).
  void SetTimeout(DWORD milliseconds) { timeout_ = milliseconds; }
  // Standing answer: every later message box with caption gets button
  // (an ID such as IDNO), unless a wait asks for that box itself.
  void AddAnswer(const std::string& caption, int button);
  // Called with each message box when it is first seen, and again when it
  // is answered.
  std::function<void(const BoxRecord& box)> OnBox;
  // Called with each dialog or message box of the program when a wait
  // first sees it, before anything answers it.
  std::function<void(HWND window, const std::string& title)> OnWindow;

  // Waits for a dialog or message box of the program titled title and
  // returns it. Message boxes seen meanwhile are answered by the standing
  // answers. Null on a time-out, when the program ends, or when a message
  // box comes up that nothing answers (see Error()).
  HWND WaitWindow(const std::string& title);
  // The program's visible dialog or message box titled title, or null.
  HWND FindWindowNow(const std::string& title);

  // Presses button id of window (a dialog or message box). For a message
  // box it records the answer and waits until the box is gone.
  bool Press(HWND window, int id);
  // Sets or reads the text of control id of window.
  bool SetText(HWND window, int id, const std::string& text);
  std::string GetText(HWND window, int id);
  // Sends WM_CLOSE to window.
  bool Close(HWND window);
  // Sends a key press (virtual-key code) to the focused control of window.
  bool Key(HWND window, UINT virtualKey);

  // Waits for the program to end, answering message boxes as WaitWindow
  // does, and fills *exitCode. False on a time-out or an unanswered box.
  bool WaitExit(DWORD* exitCode);
  bool HasEnded() const;
  // Milliseconds from the program's creation to its end, as the system
  // recorded them; -1 while it runs or when they cannot be read.
  int64_t Lifetime() const;
  // Milliseconds the program stood waiting on this session as its user: for
  // each window pressed, from the scan that first saw it shown to its first
  // press (reading a box, its icon included, is the user's time). A window
  // shown before a scan saw it counts as the program's.
  int64_t UserTime() const { return userMs_; }

  // Every message box seen, in order.
  const std::vector<BoxRecord>& Boxes() const { return boxes_; }
  // What went wrong in the last failed call.
  const std::string& Error() const { return error_; }

 private:
  struct Answer {
    std::string caption;
    int button;
  };
  struct SeenBox {
    HWND window;
    size_t record;  // index in boxes_
  };

  // Looks at the program's windows once: records new message boxes and
  // answers those a standing answer covers, except one titled awaited.
  // Returns that window of title awaited (dialog or box) when it is up;
  // sets error_ and *failed for a box nothing answers.
  HWND Scan(const std::string* awaited, bool* failed);
  // The program's visible dialogs and message boxes; forgets the windows
  // that are gone.
  std::vector<HWND> TopWindows();
  SeenBox* Seen(HWND window);
  // Whether window, a dialog of the program, is a message box; told once
  // for good where its controls settle it.
  bool IsBox(HWND window);

  // What a top-level window is, learnt when it is first listed.
  struct WindowFacts {
    HWND window;
    bool ours;  // a dialog (or message box) of the program
    int box;    // 1 a message box, 0 never one, -1 not told yet
    bool shown = false;    // listed as shown, at shownAt (tick count)
    DWORD shownAt = 0;
    bool pressed = false;  // the user has acted on it
  };
  WindowFacts* Facts(HWND window);

  handles::UniqueKernelHandle process_;
  DWORD processId_ = 0;
  bool started_ = false;
  DWORD timeout_ = 30000;
  std::vector<Answer> answers_;
  std::vector<BoxRecord> boxes_;
  std::vector<SeenBox> seen_;
  std::vector<HWND> known_;  // windows OnWindow has been told of
  std::vector<WindowFacts> windows_;  // every top-level window listed last
  int64_t userMs_ = 0;
  std::string error_;
};

}  // namespace automate
