// The message boxes the code under test shows, caught at the message seam
// instead of the screen, recorded and answered.
#pragma once

#include <windows.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "winbase/Messages.h"

namespace boxes {

struct Shown {
  HWND owner;
  std::string text, caption;
  UINT flags;
  bool operator==(const Shown&) const = default;
  friend void PrintTo(const Shown& b, std::ostream* os) {
    *os << b.owner << " \"" << b.text << "\" \"" << b.caption << "\" 0x" << std::hex << b.flags;
  }
};

// While it lives, every box goes into shown and gets the next of answers;
// once they run out, a question gets IDNO and anything else IDOK. onShow,
// when set, runs as each box comes.
class Recorder {
 public:
  Recorder() {
    Current = this;
    ShowMessageBox = Record;
  }
  ~Recorder() {
    ShowMessageBox = MessageBoxA;
    Current = nullptr;
  }
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  std::vector<Shown> shown;
  std::vector<int> answers;
  std::function<void()> onShow;

 private:
  static int WINAPI Record(HWND owner, LPCSTR text, LPCSTR caption, UINT flags) {
    Recorder& self = *Current;
    self.shown.push_back({owner, text, caption, flags});
    if (self.onShow) self.onShow();
    if (self.answers.empty()) return (flags & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK;
    const int answer = self.answers.front();
    self.answers.erase(self.answers.begin());
    return answer;
  }
  static inline Recorder* Current = nullptr;
};

}  // namespace boxes
