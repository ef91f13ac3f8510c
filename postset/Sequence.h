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

// True when the file copy (on NT staged in the system directory, where
// only administrators write, so the check cannot be raced; on Windows 9x
// the product's copy itself) holds what the
// archive's record of source's file name declares, or when there are no
// records to check against. Deletes copy and returns false otherwise.
bool CopyIsShipped(const std::string& copy, const std::string& source);
extern SequenceContext Sequence;

// Copies the user's HTTP proxy into the product's "Options" when the user
// has one enabled; writes nothing otherwise.
void CopyProxySettings();

// The staged name of libraryName (a bare file name) in the system
// directory: "$$$" in place of its three-letter extension.
std::string StagedLibraryPath(const std::string& libraryName);

// Has the system move the checked copy staged over libraryName (a bare
// file name in the system directory) at the next restart. True, and
// RestartNeeded set, when the move is scheduled.
bool ScheduleReplacement(const std::string& staged, const std::string& libraryName);
