#include "tests/win/DialogScript.h"

#include <gtest/gtest.h>

#include "seldir/SelDir.h"
#include "winbase/Handles.h"

namespace dialogscript {
namespace {

struct Script {
  std::vector<Step> steps;
  size_t next = 0;
  std::string problem;
};
Script* Current = nullptr;  // the script being run

// Sees the messages sent to every window of the thread, so it hears a
// dialog go idle whoever owns it (the owner made here, or a dialog the code
// under test opened).
LRESULT CALLBACK IdleHook(int code, WPARAM wParam, LPARAM lParam) {
  const auto* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
  if (code == HC_ACTION && Current && call->message == WM_ENTERIDLE &&
      call->wParam == MSGF_DIALOGBOX) {
    HWND dialog = reinterpret_cast<HWND>(call->lParam);
    if (Current->next < Current->steps.size()) {
      Current->steps[Current->next++](dialog);
      // Something to handle, so that the loop goes idle once more even when
      // the step only looked.
      PostMessageA(dialog, WM_NULL, 0, 0);
    } else {
      if (Current->problem.empty()) Current->problem = "a dialog is still open after the last step";
      PostMessageA(dialog, WM_CLOSE, 0, 0);
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

void Drive(std::vector<Step> steps, const std::function<void(HWND owner)>& run) {
  Script script;
  script.steps = std::move(steps);
  const handles::UniqueWindow owner(
      CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr));
  Current = &script;
  HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROC, IdleHook, nullptr, GetCurrentThreadId());
  run(owner.get());
  UnhookWindowsHookEx(hook);
  Current = nullptr;
  EXPECT_EQ(script.problem, "");
  EXPECT_EQ(script.next, script.steps.size()) << "the dialog ended before its last step";
}

std::string RunDialog(const std::string& initialDir, std::vector<Step> steps, HFONT font) {
  std::string result;
  Drive(std::move(steps), [&](HWND owner) { result = ChooseDirectory(owner, initialDir, font); });
  return result;
}

void PressKey(HWND control, UINT key) {
  PostMessageA(control, WM_KEYDOWN, key, 1);
  PostMessageA(control, WM_KEYUP, key, 0xC0000001);
}

void TypeChar(HWND control, char c) { PostMessageA(control, WM_CHAR, WPARAM(UCHAR(c)), 1); }

void Type(HWND edit, const std::string& text) {
  SetFocus(edit);
  PostMessageA(edit, EM_SETSEL, 0, -1);
  PostMessageA(edit, WM_CHAR, VK_BACK, 1);
  for (char c : text) TypeChar(edit, c);
}

void ClickButton(HWND button) { PostMessageA(button, BM_CLICK, 0, 0); }

void ClickItem(HWND list, int index, bool doubleClick) {
  RECT r{};
  SendMessageA(list, LB_GETITEMRECT, WPARAM(index), reinterpret_cast<LPARAM>(&r));
  const LPARAM at = MAKELPARAM(r.left + 30, (r.top + r.bottom) / 2);
  PostMessageA(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageA(list, WM_LBUTTONUP, 0, at);
  if (doubleClick) {
    PostMessageA(list, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    PostMessageA(list, WM_LBUTTONUP, 0, at);
  }
}

void CloseBox(HWND dialog) { PostMessageA(dialog, WM_CLOSE, 0, 0); }

Step Press(int id) {
  return [id](HWND dialog) { ClickButton(GetDlgItem(dialog, id)); };
}

std::string WindowText(HWND window) {
  std::string text(size_t(GetWindowTextLengthA(window)) + 1, '\0');
  text.resize(size_t(GetWindowTextA(window, text.data(), int(text.size()))));
  return text;
}

}  // namespace dialogscript
