// What the running post-install sequence lends the replacement of files in
// use: filled by PostInstall before its first library, read by
// ReplaceAtRestart and ReportFileInUse. Private to the module.
#pragma once

#include <windows.h>

#include <string>

#include "archive/MessagePump.h"

struct SequenceContext {
  OSVERSIONINFOA version{};  // platform ID and major version decide how to schedule
  std::string systemDir;     // no trailing backslash
  HWND owner = nullptr;      // owner of the in-use message
  MessagePumpProc pump = nullptr;
};
extern SequenceContext Sequence;
