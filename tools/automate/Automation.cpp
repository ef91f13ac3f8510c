#include "tools/automate/Automation.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace automate {

namespace {

// How often the program's windows are looked at while waiting.
constexpr DWORD PollMilliseconds = 20;
// How long a sent message may take before the program counts as hung.
constexpr UINT SendTimeout = 5000;

// The system's message-box button IDs and names, in the order MessageBox
// places them within each set.
struct ButtonSet {
  UINT type;
  std::vector<int> ids;
};
const ButtonSet ButtonSets[] = {
    {MB_OK, {IDOK}},
    {MB_OKCANCEL, {IDOK, IDCANCEL}},
    {MB_ABORTRETRYIGNORE, {IDABORT, IDRETRY, IDIGNORE}},
    {MB_YESNOCANCEL, {IDYES, IDNO, IDCANCEL}},
    {MB_YESNO, {IDYES, IDNO}},
    {MB_RETRYCANCEL, {IDRETRY, IDCANCEL}},
    {6 /* MB_CANCELTRYCONTINUE */, {IDCANCEL, 10 /* IDTRYAGAIN */, 11 /* IDCONTINUE */}},
};
const struct {
  int id;
  const char* name;
} ButtonNames[] = {
    {IDOK, "OK"},        {IDCANCEL, "Cancel"}, {IDABORT, "Abort"},       {IDRETRY, "Retry"},
    {IDIGNORE, "Ignore"}, {IDYES, "Yes"},       {IDNO, "No"},             {IDHELP, "Help"},
    {10, "TryAgain"},    {11, "Continue"},
};
const struct {
  UINT flag;
  LPCSTR icon;
  const char* name;
} Icons[] = {
    {MB_ICONHAND, IDI_HAND, "MB_ICONHAND"},
    {MB_ICONQUESTION, IDI_QUESTION, "MB_ICONQUESTION"},
    {MB_ICONEXCLAMATION, IDI_EXCLAMATION, "MB_ICONEXCLAMATION"},
    {MB_ICONASTERISK, IDI_ASTERISK, "MB_ICONASTERISK"},
};
const char* const TypeNames[] = {"MB_OK",    "MB_OKCANCEL",     "MB_ABORTRETRYIGNORE",
                                 "MB_YESNOCANCEL", "MB_YESNO", "MB_RETRYCANCEL",
                                 "MB_CANCELTRYCONTINUE"};

std::string ClassName(HWND window) {
  char name[64];
  int n = GetClassNameA(window, name, sizeof name);
  return std::string(name, n > 0 ? n : 0);
}

// The class of dialogs and message boxes.
const char DialogClass[] = "#32770";

bool IsDialogClass(HWND window) { return ClassName(window) == DialogClass; }

// The caption of a top-level window, which the system keeps itself.
std::string Caption(HWND window) {
  char text[512];
  int n = GetWindowTextA(window, text, sizeof text);
  return std::string(text, n > 0 ? n : 0);
}

// The text of a control of another process, asked of the control itself.
std::string ControlText(HWND control) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, SendTimeout,
                           &length))
    return {};
  std::string text(length + 1, '\0');
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutA(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, SendTimeout, &got))
    return {};
  text.resize(std::min<size_t>(got, length));
  return text;
}

// Enumeration callbacks are stdcall on the 32-bit platform, which a lambda
// cannot be: named functions.
BOOL CALLBACK CollectChild(HWND child, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
  return TRUE;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> children;
  EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&children));
  return children;
}

bool IsIconStatic(HWND control) {
  return (GetWindowLongA(control, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
}

// Waits until window's thread has handled everything sent before and has
// painted window.
void Settle(HWND window) {
  DWORD_PTR ignored;
  SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, SendTimeout, &ignored);
  RedrawWindow(window, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, SendTimeout, &ignored);
}

// Pixels of a screen rectangle, 32 bits each, top row first; empty on failure.
std::vector<uint32_t> GrabScreen(const RECT& r) {
  const int width = r.right - r.left, height = r.bottom - r.top;
  if (width <= 0 || height <= 0) return {};
  handles::UniqueScreenDc screen(GetDC(nullptr));
  handles::UniqueMemoryDc memory(CreateCompatibleDC(screen.get()));
  handles::UniqueBitmap bitmap(CreateCompatibleBitmap(screen.get(), width, height));
  if (!screen || !memory || !bitmap) return {};
  HGDIOBJ old = SelectObject(memory.get(), bitmap.get());
  BOOL copied = BitBlt(memory.get(), 0, 0, width, height, screen.get(), r.left, r.top,
                       SRCCOPY | CAPTUREBLT);
  SelectObject(memory.get(), old);
  if (!copied) return {};
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  std::vector<uint32_t> pixels(size_t(width) * height);
  if (GetDIBits(memory.get(), bitmap.get(), 0, height, pixels.data(), &info, DIB_RGB_COLORS) !=
      height)
    return {};
  return pixels;
}

// icon drawn over a plain background of colour, the same size as the shot.
std::vector<uint32_t> DrawCandidate(HICON icon, int width, int height, uint32_t colour) {
  handles::UniqueScreenDc screen(GetDC(nullptr));
  handles::UniqueMemoryDc memory(CreateCompatibleDC(screen.get()));
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  handles::UniqueBitmap bitmap(
      CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!memory || !bitmap || !bits) return {};
  uint32_t* pixels = static_cast<uint32_t*>(bits);
  std::fill(pixels, pixels + size_t(width) * height, colour);
  HGDIOBJ old = SelectObject(memory.get(), bitmap.get());
  DrawIconEx(memory.get(), 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
  GdiFlush();
  std::vector<uint32_t> result(pixels, pixels + size_t(width) * height);
  SelectObject(memory.get(), old);
  return result;
}

double MeanDifference(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  if (a.size() != b.size() || a.empty()) return 1e9;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i)
    for (int shift = 0; shift < 24; shift += 8)
      sum += std::abs(int((a[i] >> shift) & 0xFF) - int((b[i] >> shift) & 0xFF));
  return sum / double(a.size() * 3);
}

// Which of the system's icons the static control shows, by comparing its
// pixels on the screen with each icon drawn the way the control draws it:
// another program's icon handle means nothing here. 0 when none matches.
UINT IdentifyIcon(HWND control) {
  RECT r;
  if (!GetClientRect(control, &r)) return 0;
  MapWindowPoints(control, nullptr, reinterpret_cast<POINT*>(&r), 2);
  const int width = r.right - r.left, height = r.bottom - r.top;
  for (int attempt = 0; attempt < 25; ++attempt) {
    if (attempt) Sleep(40);
    Settle(GetAncestor(control, GA_ROOT));
    std::vector<uint32_t> shot = GrabScreen(r);
    if (shot.empty()) continue;
    // The icons' corners are clear, so the corner shows the background.
    double best = 1e9;
    UINT found = 0;
    for (const auto& candidate : Icons) {
      HICON icon = LoadIconA(nullptr, candidate.icon);
      double d = MeanDifference(shot, DrawCandidate(icon, width, height, shot[0] & 0xFFFFFF));
      if (d < best) {
        best = d;
        found = candidate.flag;
      }
    }
    if (best < 4.0) return found;
  }
  return 0;
}

BoxRecord ReadBox(HWND box) {
  BoxRecord record;
  record.caption = Caption(box);
  std::vector<std::pair<LONG, int>> buttons;  // left edge, ID
  HWND iconControl = nullptr;
  for (HWND child : Children(box)) {
    if (!IsWindowVisible(child)) continue;
    const std::string kind = ClassName(child);
    if (_stricmp(kind.c_str(), "Button") == 0) {
      RECT r;
      GetWindowRect(child, &r);
      const int id = GetDlgCtrlID(child);
      buttons.push_back({r.left, id});
      if ((GetWindowLongA(child, GWL_STYLE) & 0x0F) == BS_DEFPUSHBUTTON) record.defaultButton = id;
    } else if (_stricmp(kind.c_str(), "Static") == 0) {
      if (IsIconStatic(child))
        iconControl = child;
      else if (record.text.empty())
        record.text = ControlText(child);
    }
  }
  std::sort(buttons.begin(), buttons.end());
  for (const auto& b : buttons) record.buttons.push_back(b.second);
  if (iconControl) record.icon = IdentifyIcon(iconControl);
  return record;
}

}  // namespace

UINT BoxRecord::Flags() const {
  UINT flags = icon;
  for (const ButtonSet& set : ButtonSets) {
    std::vector<int> sorted = buttons, expected = set.ids;
    std::sort(sorted.begin(), sorted.end());
    std::sort(expected.begin(), expected.end());
    if (sorted != expected) continue;
    flags |= set.type;
    auto at = std::find(set.ids.begin(), set.ids.end(), defaultButton);
    if (at != set.ids.end()) flags |= UINT(at - set.ids.begin()) << 8;  // MB_DEFBUTTONn
    break;
  }
  return flags;
}

std::string ButtonName(int id) {
  for (const auto& b : ButtonNames)
    if (b.id == id) return b.name;
  return std::to_string(id);
}

int ButtonId(const std::string& name) {
  for (const auto& b : ButtonNames)
    if (_stricmp(b.name, name.c_str()) == 0) return b.id;
  char* end = nullptr;
  long id = std::strtol(name.c_str(), &end, 0);
  return !name.empty() && *end == '\0' && id > 0 && id < 0x10000 ? int(id) : 0;
}

std::string DescribeFlags(UINT flags) {
  std::string text = (flags & MB_TYPEMASK) < std::size(TypeNames)
                         ? TypeNames[flags & MB_TYPEMASK]
                         : std::to_string(flags & MB_TYPEMASK);
  for (const auto& i : Icons)
    if ((flags & MB_ICONMASK) == i.flag) text += std::string(" | ") + i.name;
  if (flags & MB_DEFMASK) text += " | MB_DEFBUTTON" + std::to_string(((flags & MB_DEFMASK) >> 8) + 1);
  return text;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      default:
        if (c < 0x20) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out += char(c);
        }
    }
  }
  return out;
}

std::string FormatBox(const BoxRecord& box) {
  char flags[16];
  std::snprintf(flags, sizeof flags, "0x%02X", box.Flags());
  return "box \"" + Escape(box.caption) + "\" " + flags + " (" + DescribeFlags(box.Flags()) +
         ") \"" + Escape(box.text) + "\"" +
         (box.answer.empty() ? std::string() : " -> " + box.answer);
}

namespace {

// What window's controls make it: a message box (1), a window that no
// message box can become (0: a control of another kind, or a button the
// system's boxes lack), or neither yet (-1: no button so far).
int BoxKind(HWND window) {
  if (!IsDialogClass(window)) return 0;
  bool anyButton = false;
  for (HWND child : Children(window)) {
    const std::string kind = ClassName(child);
    if (_stricmp(kind.c_str(), "Static") == 0) continue;
    if (_stricmp(kind.c_str(), "Button") != 0) return 0;
    const int id = GetDlgCtrlID(child);
    if (id < IDOK || id > 11) return 0;
    anyButton = true;
  }
  return anyButton ? 1 : -1;
}

}  // namespace

bool IsMessageBox(HWND window) { return BoxKind(window) == 1; }

bool CaptureWindow(HWND window, const std::string& path, bool wholeScreen) {
  RECT r = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  if (window) {
    Settle(window);
    // The program paints once its queue runs dry, after the messages the
    // settling waited for: a moment more, for a picture, not for a test.
    Sleep(300);
    if (!wholeScreen && !GetWindowRect(window, &r)) return false;
  }
  std::vector<uint32_t> pixels = GrabScreen(r);
  if (pixels.empty()) return false;
  const int width = r.right - r.left, height = r.bottom - r.top;
  const uint32_t stride = (uint32_t(width) * 3 + 3) & ~3u;
  BITMAPFILEHEADER file = {};
  BITMAPINFOHEADER info = {};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof(file) + sizeof(info);
  file.bfSize = file.bfOffBits + stride * uint32_t(height);
  info.biSize = sizeof(info);
  info.biWidth = width;
  info.biHeight = height;  // bottom row first
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  info.biSizeImage = stride * uint32_t(height);
  std::vector<uint8_t> rows(info.biSizeImage);
  for (int y = 0; y < height; ++y) {
    uint8_t* out = &rows[size_t(height - 1 - y) * stride];
    for (int x = 0; x < width; ++x) {
      uint32_t p = pixels[size_t(y) * width + x];
      out[3 * x] = uint8_t(p);
      out[3 * x + 1] = uint8_t(p >> 8);
      out[3 * x + 2] = uint8_t(p >> 16);
    }
  }
  handles::UniqueFile f(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) return false;
  DWORD written = 0;
  auto put = [&](const void* data, DWORD size) {
    return WriteFile(f.get(), data, size, &written, nullptr) && written == size;
  };
  return put(&file, sizeof file) && put(&info, sizeof info) && put(rows.data(), DWORD(rows.size()));
}

Session::~Session() {
  if (started_ && process_ && !HasEnded()) {
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), 5000);
  }
}

bool Session::Start(const std::string& commandLine, const std::string& directory,
                    const char* environment) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  std::string line = commandLine;  // CreateProcessA may write into it
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0,
                      const_cast<char*>(environment),
                      directory.empty() ? nullptr : directory.c_str(), &startup, &info)) {
    error_ = "cannot start " + commandLine + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  CloseHandle(info.hThread);
  process_.reset(info.hProcess);
  processId_ = info.dwProcessId;
  started_ = true;
  return true;
}

bool Session::Attach(DWORD pid) {
  process_.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid));
  if (!process_) {
    error_ = "cannot open process " + std::to_string(pid);
    return false;
  }
  processId_ = pid;
  started_ = false;
  return true;
}

void Session::AddAnswer(const std::string& caption, int button) {
  answers_.push_back({caption, button});
}

bool Session::HasEnded() const {
  return !process_ || WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0;
}

std::vector<HWND> Session::TopWindows() {
  // The top-level dialogs, as the system lists them by class: one request
  // for each and one more, where listing every window would also ask after
  // each window of the desktop. Whose a dialog is never changes while it
  // lives, so that is asked once. A scan while the program works then
  // costs the window system (under Wine, its server, which the program
  // shares) about four requests instead of thirty-five. Nor does it ask
  // for the desktop window: under Wine that starts the desktop's process
  // when none runs yet, a second one beside the program's own start of it.
  std::vector<HWND> listed;
  for (HWND window = FindWindowExA(nullptr, nullptr, DialogClass, nullptr); window;
       window = FindWindowExA(nullptr, window, DialogClass, nullptr))
    listed.push_back(window);
  const auto gone = [&](HWND window) {
    return std::find(listed.begin(), listed.end(), window) == listed.end();
  };
  std::erase_if(windows_, [&](const WindowFacts& f) { return gone(f.window); });
  std::erase_if(seen_, [&](const SeenBox& s) { return gone(s.window); });
  std::erase_if(known_, gone);
  std::vector<HWND> found;
  for (HWND window : listed) {
    WindowFacts* facts = Facts(window);
    if (!facts) {
      DWORD pid = 0;
      GetWindowThreadProcessId(window, &pid);
      windows_.push_back({window, pid == processId_, -1});
      facts = &windows_.back();
    }
    // A top-level window shows as its own style says.
    if (facts->ours && (GetWindowLongA(window, GWL_STYLE) & WS_VISIBLE)) {
      if (!facts->shown) {
        facts->shown = true;
        facts->shownAt = GetTickCount();
      }
      found.push_back(window);
    }
  }
  return found;
}

Session::SeenBox* Session::Seen(HWND window) {
  for (SeenBox& s : seen_)
    if (s.window == window) return &s;
  return nullptr;
}

Session::WindowFacts* Session::Facts(HWND window) {
  for (WindowFacts& f : windows_)
    if (f.window == window) return &f;
  return nullptr;
}

bool Session::IsBox(HWND window) {
  WindowFacts* facts = Facts(window);
  if (facts && facts->box >= 0) return facts->box == 1;
  // A dialog is shown with its controls made: what it is then, it stays.
  // One without a button yet is asked again.
  const int kind = BoxKind(window);
  if (facts) facts->box = kind;
  return kind == 1;
}

HWND Session::Scan(const std::string* awaited, bool* failed) {
  for (HWND window : TopWindows()) {
    const bool known = std::find(known_.begin(), known_.end(), window) != known_.end();
    const bool box = IsBox(window);
    // A dialog already seen matters again only as the one awaited.
    if (known && !box && !awaited) continue;
    const std::string title = Caption(window);
    if (!known) {
      known_.push_back(window);
      if (OnWindow) OnWindow(window, title);
    }
    const bool wanted = awaited && title == *awaited;
    if (!box) {
      if (wanted) return window;
      continue;
    }
    SeenBox* seen = Seen(window);
    if (!seen) {
      boxes_.push_back(ReadBox(window));
      seen_.push_back({window, boxes_.size() - 1});
      seen = &seen_.back();
      if (OnBox) OnBox(boxes_.back());
    }
    if (wanted) return window;
    if (!boxes_[seen->record].answer.empty()) continue;  // answered, on its way out
    auto rule = std::find_if(answers_.begin(), answers_.end(),
                             [&](const Answer& a) { return a.caption == title; });
    if (rule == answers_.end()) {
      error_ = "unanswered " + FormatBox(boxes_[seen->record]);
      *failed = true;
      return nullptr;
    }
    if (!Press(window, rule->button)) {
      *failed = true;
      return nullptr;
    }
  }
  return nullptr;
}

HWND Session::FindWindowNow(const std::string& title) {
  for (HWND window : TopWindows())
    if (Caption(window) == title) return window;
  return nullptr;
}

HWND Session::WaitWindow(const std::string& title) {
  const DWORD start = GetTickCount();
  for (;;) {
    bool failed = false;
    if (HWND window = Scan(&title, &failed)) return window;
    if (failed) return nullptr;
    if (HasEnded()) {
      DWORD code = 0;
      GetExitCodeProcess(process_.get(), &code);
      error_ = "the program ended (exit code " + std::to_string(code) + ") while waiting for \"" +
               title + "\"";
      return nullptr;
    }
    if (GetTickCount() - start > timeout_) {
      error_ = "time-out waiting for \"" + title + "\"";
      return nullptr;
    }
    Sleep(PollMilliseconds);
  }
}

bool Session::Press(HWND window, int id) {
  HWND control = GetDlgItem(window, id);
  const DWORD now = GetTickCount();
  if (!PostMessageA(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                    reinterpret_cast<LPARAM>(control))) {
    error_ = "cannot press " + ButtonName(id);
    return false;
  }
  if (WindowFacts* facts = Facts(window); facts && facts->shown && !facts->pressed) {
    userMs_ += DWORD(now - facts->shownAt);
    facts->pressed = true;
  }
  SeenBox* seen = Seen(window);
  if (!seen) return true;
  BoxRecord& box = boxes_[seen->record];
  box.answer = ButtonName(id);
  if (OnBox) OnBox(box);
  const DWORD start = GetTickCount();
  while (IsWindow(window) && IsWindowVisible(window)) {
    if (GetTickCount() - start > timeout_) {
      error_ = "the box \"" + box.caption + "\" stays after " + box.answer;
      return false;
    }
    Sleep(PollMilliseconds);
  }
  return true;
}

bool Session::SetText(HWND window, int id, const std::string& text) {
  HWND control = GetDlgItem(window, id);
  DWORD_PTR result = 0;
  if (!control || !SendMessageTimeoutA(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                                       SMTO_ABORTIFHUNG, SendTimeout, &result)) {
    error_ = "cannot set the text of control " + std::to_string(id);
    return false;
  }
  return true;
}

std::string Session::GetText(HWND window, int id) {
  HWND control = GetDlgItem(window, id);
  return control ? ControlText(control) : std::string();
}

bool Session::Close(HWND window) { return PostMessageA(window, WM_CLOSE, 0, 0); }

bool Session::Key(HWND window, UINT virtualKey) {
  GUITHREADINFO thread = {};
  thread.cbSize = sizeof(thread);
  HWND target = window;
  if (GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread) && thread.hwndFocus)
    target = thread.hwndFocus;
  const UINT scan = MapVirtualKeyA(virtualKey, 0);
  return PostMessageA(target, WM_KEYDOWN, virtualKey, LPARAM(1 | (scan << 16))) &&
         PostMessageA(target, WM_KEYUP, virtualKey, LPARAM(1 | (scan << 16) | 0xC0000000u));
}

int64_t Session::Lifetime() const {
  FILETIME created, ended, kernel, user;
  if (!process_ || !HasEnded() || !GetProcessTimes(process_.get(), &created, &ended, &kernel, &user))
    return -1;
  const auto ticks = [](const FILETIME& t) { return int64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime; };
  return (ticks(ended) - ticks(created)) / 10000;
}

bool Session::WaitExit(DWORD* exitCode) {
  const DWORD start = GetTickCount();
  while (WaitForSingleObject(process_.get(), PollMilliseconds) != WAIT_OBJECT_0) {
    bool failed = false;
    Scan(nullptr, &failed);
    if (failed) return false;
    if (GetTickCount() - start > timeout_) {
      error_ = "time-out waiting for the program to end";
      return false;
    }
  }
  DWORD code = 0;
  GetExitCodeProcess(process_.get(), &code);
  if (exitCode) *exitCode = code;
  return true;
}

}  // namespace automate
