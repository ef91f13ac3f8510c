// Drives modal dialogs from inside their own loops, with the messages a
// person's keys and clicks produce. Each time a modal dialog of this thread
// has handled everything and waits for input (WM_ENTERIDLE to its owner),
// the next step of a script runs; a step inspects the controls and posts
// input.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace dialogscript {

using Step = std::function<void(HWND dialog)>;

// Calls run with a hidden window of its own to own the dialogs it opens,
// and runs one step each time one of them waits. The test fails when they
// end before the last step, or one is still open after it (it is then
// closed).
void Drive(std::vector<Step> steps, const std::function<void(HWND owner)>& run);

// ChooseDirectory(owner, initialDir, font), driven by steps; its result.
std::string RunDialog(const std::string& initialDir, std::vector<Step> steps, HFONT font = nullptr);

// Input, posted so that it takes the dialog loop's ordinary way.
void PressKey(HWND control, UINT key);
void TypeChar(HWND control, char c);
// Replaces the whole text of an edit box by typing.
void Type(HWND edit, const std::string& text);
void ClickButton(HWND button);
void ClickItem(HWND list, int index, bool doubleClick);
// As the close box does: WM_CLOSE.
void CloseBox(HWND dialog);
// A step that clicks the dialog's button id.
Step Press(int id);

std::string WindowText(HWND window);

}  // namespace dialogscript
