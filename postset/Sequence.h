// What the running post-install sequence lends the replacement of files in
// use: filled by PostInstall before its first library, read by
// ReplaceAtRestart and ReportFileInUse; and the proxy step, which the tests
// also run alone. Private to the module.
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

// Copies the user's HTTP proxy into the product's "Options" when the user
// has one enabled; writes nothing otherwise.
void CopyProxySettings();
