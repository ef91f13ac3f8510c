// pvauto: drives a GUI program through a script of steps and prints every
// message box it sees.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "archive/ProductFiles.h"
#include "tools/automate/Automation.h"
#include "winbase/Messages.h"

namespace {

const char Usage[] =
    "usage: pvauto run PROGRAM [--args ARGUMENTS] STEP...\n"
    "       pvauto attach PID STEP...\n"
    "Steps, done in order:\n"
    "  --script FILE         the steps in FILE, one a line without the dashes\n"
    "                        (\"wait Exit Setup\"); blank lines and # comments skipped;\n"
    "                        {SetupTitle}, {SetupCaption} and {UninstallerCaption}\n"
    "                        stand for the product's own captions\n"
    "  --timeout SECONDS     time limit of each later wait (30 at first)\n"
    "  --answer CAPTION=BUTTON  answer every later message box titled CAPTION\n"
    "  --wait TITLE          wait for a dialog or message box titled TITLE; it\n"
    "                        becomes the current window\n"
    "  --press BUTTON        press a button of the current window: a control ID or\n"
    "                        OK, Cancel, Yes, No, Abort, Retry, Ignore\n"
    "  --set ID=TEXT         set the text of control ID of the current window\n"
    "  --text ID             print the text of control ID of the current window\n"
    "  --key ESCAPE|ENTER|TAB  press a key in the current window\n"
    "  --close               send the current window WM_CLOSE\n"
    "  --shot FILE.bmp       capture the current window\n"
    "  --shot-screen FILE.bmp  capture the whole screen\n"
    "  --watch TITLE=FILE.bmp  capture the window titled TITLE as soon as a later\n"
    "                        step sees it (for windows that do not stay)\n"
    "  --exit                wait for the program to end; print its exit code\n"
    "  --ran                 after --exit: print how long the program ran, from its\n"
    "                        creation to its end (\"ran N ms, the user's M ms of them\"):\n"
    "                        M runs from when pvauto first saw each window it pressed\n"
    "                        to its press\n"
    "Every message box seen is printed as it comes and as it is answered. A box\n"
    "that no step or answer covers stops the run. Exit status: 0 when every step\n"
    "was done, 1 when one failed (the program is then ended if pvauto started\n"
    "it), 2 for a usage error.\n";

using Step = std::pair<std::string, std::string>;  // name, argument

bool TakesArgument(const std::string& name) {
  return name != "close" && name != "exit" && name != "ran";
}

bool KnownStep(const std::string& name) {
  static const char* const names[] = {"script", "timeout",     "answer", "wait",
                                      "press",  "set",         "text",   "key",
                                      "close",  "shot",        "shot-screen", "watch",
                                      "exit",   "ran"};
  for (const char* n : names)
    if (name == n) return true;
  return false;
}

// A script's line with the product's captions in place of their names in
// braces, so that scripts follow the product's one identity.
std::string WithProductNames(std::string text) {
  static const std::pair<const char*, const char*> names[] = {
      {"{SetupTitle}", product::SetupTitle.text},
      {"{SetupCaption}", SetupCaption},
      {"{UninstallerCaption}", product::UninstallerCaption}};
  for (const auto& [name, value] : names)
    for (size_t at = text.find(name); at != std::string::npos;
         at = text.find(name, at + std::strlen(value)))
      text.replace(at, std::strlen(name), value);
  return text;
}

bool ReadScript(const std::string& path, std::vector<Step>& steps, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    size_t space = line.find(' ', start);
    std::string name = line.substr(start, space == std::string::npos ? space : space - start);
    std::string argument =
        space == std::string::npos ? "" : WithProductNames(line.substr(space + 1));
    if (!KnownStep(name) || name == "script" || (TakesArgument(name) && argument.empty())) {
      error = path + ": bad step: " + line;
      return false;
    }
    steps.push_back({name, argument});
  }
  return true;
}

bool ParseSteps(int argc, char** argv, int first, std::vector<Step>& steps, std::string& error) {
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0 || !KnownStep(arg.substr(2))) {
      error = "unknown step " + arg;
      return false;
    }
    std::string name = arg.substr(2);
    std::string argument;
    if (TakesArgument(name)) {
      if (++i == argc) {
        error = arg + " needs an argument";
        return false;
      }
      argument = argv[i];
    }
    if (name == "script") {
      if (!ReadScript(argument, steps, error)) return false;
    } else {
      steps.push_back({name, argument});
    }
  }
  return true;
}

void Print(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// NAME=VALUE split at the last '=' (captions may hold one, button names
// and IDs do not).
bool SplitLast(const std::string& text, std::string& name, std::string& value) {
  size_t eq = text.rfind('=');
  if (eq == std::string::npos) return false;
  name = text.substr(0, eq);
  value = text.substr(eq + 1);
  return true;
}

// Windows to capture when they first show, by title; the file name, or
// empty once captured.
std::vector<std::pair<std::string, std::string>> Watches;

void CaptureWatched(HWND window, const std::string& title) {
  for (auto& [wanted, file] : Watches) {
    if (wanted != title || file.empty()) continue;
    if (automate::CaptureWindow(window, file))
      Print("shot " + file);
    else
      Print("no shot " + file);
    file.clear();
  }
}

// Runs one step. False, with the reason in error, when it failed.
// The windows the steps work on: the current one, and the dialog behind a
// current message box, which becomes current again once the box is answered.
struct Windows {
  HWND current = nullptr;
  HWND dialog = nullptr;
};

bool RunStep(automate::Session& session, const Step& step, Windows& windows, std::string& error) {
  HWND& current = windows.current;
  const std::string& name = step.first;
  const std::string& arg = step.second;
  auto needWindow = [&]() {
    if (!current || !IsWindow(current)) {
      error = name + ": no current window (use --wait first)";
      return false;
    }
    return true;
  };
  if (name == "timeout") {
    int seconds = std::atoi(arg.c_str());
    if (seconds <= 0) {
      error = "bad timeout " + arg;
      return false;
    }
    session.SetTimeout(DWORD(seconds) * 1000);
  } else if (name == "answer") {
    std::string caption, button;
    if (!SplitLast(arg, caption, button) || !automate::ButtonId(button)) {
      error = "bad answer " + arg + " (CAPTION=BUTTON)";
      return false;
    }
    session.AddAnswer(caption, automate::ButtonId(button));
  } else if (name == "wait") {
    current = session.WaitWindow(arg);
    if (!current) {
      error = session.Error();
      return false;
    }
    if (!automate::IsMessageBox(current)) windows.dialog = current;
    Print("window \"" + automate::Escape(arg) + "\"");
  } else if (name == "press") {
    int id = automate::ButtonId(arg);
    if (!id) {
      error = "bad button " + arg;
      return false;
    }
    if (!needWindow()) return false;
    const bool box = automate::IsMessageBox(current);
    if (!session.Press(current, id)) {
      error = session.Error();
      return false;
    }
    if (box) current = windows.dialog;
  } else if (name == "set") {
    size_t eq = arg.find('=');  // IDs hold no '=', texts may
    if (eq == std::string::npos || !automate::ButtonId(arg.substr(0, eq))) {
      error = "bad set " + arg + " (ID=TEXT)";
      return false;
    }
    if (!needWindow() ||
        !session.SetText(current, automate::ButtonId(arg.substr(0, eq)), arg.substr(eq + 1))) {
      if (error.empty()) error = session.Error();
      return false;
    }
  } else if (name == "text") {
    int id = automate::ButtonId(arg);
    if (!id || !needWindow()) {
      if (error.empty()) error = "bad control " + arg;
      return false;
    }
    Print("text " + arg + " \"" + automate::Escape(session.GetText(current, id)) + "\"");
  } else if (name == "key") {
    UINT key = arg == "ESCAPE" ? VK_ESCAPE : arg == "ENTER" ? VK_RETURN : arg == "TAB" ? VK_TAB : 0;
    if (!key) {
      error = "bad key " + arg;
      return false;
    }
    if (!needWindow()) return false;
    session.Key(current, key);
  } else if (name == "close") {
    if (!needWindow()) return false;
    session.Close(current);
  } else if (name == "shot" || name == "shot-screen") {
    if (name == "shot" && !needWindow()) return false;
    if (!automate::CaptureWindow(IsWindow(current) ? current : nullptr, arg,
                                 name == "shot-screen")) {
      error = "cannot capture into " + arg;
      return false;
    }
    Print("shot " + arg);
  } else if (name == "watch") {
    std::string title, file;
    if (!SplitLast(arg, title, file) || file.empty()) {
      error = "bad watch " + arg + " (TITLE=FILE)";
      return false;
    }
    Watches.push_back({title, file});
  } else if (name == "exit") {
    DWORD code = 0;
    if (!session.WaitExit(&code)) {
      error = session.Error();
      return false;
    }
    Print("exit " + std::to_string(code));
  } else if (name == "ran") {
    const int64_t ms = session.Lifetime();
    if (ms < 0) {
      error = "the program has not ended (--ran comes after --exit)";
      return false;
    }
    Print("ran " + std::to_string(ms) + " ms, the user's " + std::to_string(session.UserTime()) +
          " ms of them");
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);  // lines end in \n alone
  if (argc < 3 || (std::string(argv[1]) != "run" && std::string(argv[1]) != "attach")) {
    std::fputs(Usage, stderr);
    return 2;
  }
  // The program's arguments, as one command-line text after its path.
  int first = 3;
  std::string arguments;
  if (std::string(argv[1]) == "run" && argc > 4 && std::string(argv[3]) == "--args") {
    arguments = std::string(" ") + argv[4];
    first = 5;
  }
  std::vector<Step> steps;
  std::string error;
  if (!ParseSteps(argc, argv, first, steps, error)) {
    std::fprintf(stderr, "pvauto: %s\n%s", error.c_str(), Usage);
    return 2;
  }

  automate::Session session;
  session.OnBox = [](const automate::BoxRecord& box) { Print(automate::FormatBox(box)); };
  session.OnWindow = CaptureWatched;
  // The program's path in the system's own form: a program started by a
  // path with forward slashes may not find its own file.
  std::string program = argv[2];
  for (char& c : program)
    if (c == '/') c = '\\';
  const bool ok = std::string(argv[1]) == "run"
                      ? session.Start("\"" + program + "\"" + arguments)
                      : session.Attach(DWORD(std::strtoul(argv[2], nullptr, 10)));
  if (!ok) {
    std::fprintf(stderr, "pvauto: %s\n", session.Error().c_str());
    return 1;
  }
  Windows windows;
  for (const Step& step : steps) {
    if (!RunStep(session, step, windows, error)) {
      std::fprintf(stderr, "pvauto: %s: %s\n", step.first.c_str(), error.c_str());
      return 1;  // the session ends a program it started
    }
  }
  for (const auto& [title, file] : Watches)
    if (!file.empty()) Print("not seen \"" + automate::Escape(title) + "\", no shot " + file);
  return 0;
}
