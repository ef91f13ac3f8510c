// What the running post-install sequence lends the replacement of files in
// use: filled by PostInstall before its first library, read by
// ReplaceAtRestart and ReportFileInUse; and the proxy step, which the tests
// also run alone. Private to the module.
#pragma once

#include <windows.h>

#include <string>

#include "archive/MessagePump.h"
#include "postset/PostSet.h"

struct SequenceContext {
  OSVERSIONINFOA version{};  // platform ID and major version decide how to schedule
  std::string systemDir;     // no trailing backslash
  HWND owner = nullptr;      // owner of the in-use message
  MessagePumpProc pump = nullptr;
  ShippedFileProc shipped = nullptr;  // the archive's records, or null: no check
};

// True when the file copy (in the system directory, where only
// administrators write, so the check cannot be raced) holds what the
// archive's record of source's file name declares, or when there are no
// records to check against. Deletes copy and returns false otherwise.
bool CopyIsShipped(const std::string& copy, const std::string& source);
extern SequenceContext Sequence;

// Copies the user's HTTP proxy into the product's "Options" when the user
// has one enabled; writes nothing otherwise.
void CopyProxySettings();
