// The message boxes the code under test shows, caught at the message seam,
// recorded and answered.
#pragma once

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
struct Recorder {
  Recorder() { Current = this, ShowMessageBox = Record; }
  ~Recorder() { ShowMessageBox = MessageBoxA; }
  Recorder(const Recorder&) = delete;

  std::vector<Shown> shown;
  std::vector<int> answers;
  std::function<void()> onShow;

  static int WINAPI Record(HWND owner, LPCSTR text, LPCSTR caption, UINT flags) {
    Current->shown.push_back({owner, text, caption, flags});
    if (Current->onShow) Current->onShow();
    std::vector<int>& answers = Current->answers;
    if (answers.empty()) return (flags & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK;
    const int answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  }
  static inline Recorder* Current = nullptr;
};

}  // namespace boxes
