#include "tests/win/DialogScript.h"

#include "seldir/SelDir.h"

namespace dialogscript {
namespace {

const char OwnerClass[] = "PvDialogScriptOwner";

struct Script {
  std::vector<Step> steps;
  size_t next = 0;
  std::string problem;
};
Script* Current = nullptr;  // the script of the dialog that is open

LRESULT CALLBACK OwnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_ENTERIDLE || wParam != MSGF_DIALOGBOX || !Current)
    return DefWindowProcA(window, message, wParam, lParam);
  HWND dialog = reinterpret_cast<HWND>(lParam);
  if (Current->next < Current->steps.size()) {
    Current->steps[Current->next++](dialog);
    // Something to handle, so that the loop goes idle once more.
    PostMessageA(dialog, WM_NULL, 0, 0);
  } else {
    Current->problem = "the dialog is still open after the last step";
    EndDialog(dialog, 0);
  }
  return 0;
}

// A hidden window of its own to own the dialog and hear it go idle.
handles::UniqueWindow MakeOwner() {
  static const ATOM atom = [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = OwnerProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = OwnerClass;
    return RegisterClassA(&wc);
  }();
  (void)atom;
  return handles::UniqueWindow(CreateWindowExA(0, OwnerClass, "", WS_POPUP, 0, 0, 1, 1, nullptr,
                                               nullptr, GetModuleHandleA(nullptr), nullptr));
}

}  // namespace

Outcome RunDialog(const std::string& initialDir, std::vector<Step> steps, HFONT font) {
  Script script;
  script.steps = std::move(steps);
  const handles::UniqueWindow owner = MakeOwner();
  Current = &script;
  Outcome outcome{ChooseDirectory(owner.get(), initialDir, font), {}};
  Current = nullptr;
  outcome.problem = script.problem;
  if (script.next < script.steps.size())
    outcome.problem = "the dialog ended after step " + std::to_string(script.next) + " of " +
                      std::to_string(script.steps.size());
  return outcome;
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

void CloseBox(HWND dialog) { PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); }

std::string WindowText(HWND window) {
  std::string text(size_t(GetWindowTextLengthA(window)) + 1, '\0');
  text.resize(size_t(GetWindowTextA(window, text.data(), int(text.size()))));
  return text;
}

Canvas::Canvas(int w, int h)
    : width(w), height(h), dc(CreateCompatibleDC(nullptr)) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  bitmap.reset(CreateDIBSection(dc.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  pixels = static_cast<uint32_t*>(bits);
  old = SelectObject(dc.get(), bitmap.get());
}

}  // namespace dialogscript
