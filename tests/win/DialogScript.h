// Drives the modal "Choose Directory" dialog from inside its own loop, with
// the messages a person's keys and clicks produce. Each time the dialog has
// handled everything and waits for input (WM_ENTERIDLE to its owner), the
// next step of a script runs; a step inspects the controls and posts input.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "winbase/Handles.h"

namespace dialogscript {

using Step = std::function<void(HWND dialog)>;

struct Outcome {
  std::string result;   // what ChooseDirectory returned
  std::string problem;  // empty, or how the dialog strayed from the script
};

// Runs ChooseDirectory(owner, initialDir, font) with a hidden owner window of
// its own. The dialog should end with the last step's input; if it ends
// earlier, or is still open after the last step, problem says so (and the
// dialog is cancelled).
Outcome RunDialog(const std::string& initialDir, std::vector<Step> steps, HFONT font = nullptr);

// Input, posted so that it takes the dialog loop's ordinary way.
void PressKey(HWND control, UINT key);
void TypeChar(HWND control, char c);
// Replaces the whole text of an edit box by typing.
void Type(HWND edit, const std::string& text);
void ClickButton(HWND button);
void ClickItem(HWND list, int index, bool doubleClick);
void CloseBox(HWND dialog);

std::string WindowText(HWND window);

// A 32-bit top-down bitmap selected into a memory DC.
struct Canvas {
  Canvas(int width, int height);
  ~Canvas() { SelectObject(dc.get(), old); }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;
  // The pixel at x, y as 0x00RRGGBB.
  uint32_t At(int x, int y) const { return pixels[size_t(y) * size_t(width) + size_t(x)]; }

  int width, height;
  uint32_t* pixels = nullptr;
  handles::UniqueMemoryDc dc;
  handles::UniqueBitmap bitmap;
  HGDIOBJ old;
};

}  // namespace dialogscript
