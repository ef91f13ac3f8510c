// The post-install sequence and the install-rights test. The sequence
// puts the product's shortcuts, uninstall entry and settings in place,
// copies the user's HTTP proxy, brings two system libraries up to date
// (replacing one in use at the next restart) and ends with the closing
// message or a restart.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "archive/MessagePump.h"
#include "archive/ProductFiles.h"

// The product's settings key below HKEY_LOCAL_MACHINE.
inline constexpr auto& ProductKeyPath = product::ProductKey.text;

// True when the product's settings key could be created or opened for
// writing (it is closed again): the user may install.
bool CheckInstallRights();

// A file version as its version resource stores it: major and minor in the
// most significant half, build and revision in the least significant one.
struct MinimumVersion {
  uint32_t mostSignificant;
  uint32_t leastSignificant;
};
constexpr MinimumVersion MakeVersion(uint16_t major, uint16_t minor, uint16_t build,
                                     uint16_t revision) {
  return {uint32_t(major) << 16 | minor, uint32_t(build) << 16 | revision};
}

// Set once a system library has been scheduled for replacement at the next
// restart; never reset. The closing message then offers a restart.
extern bool RestartNeeded;

// Configures the machine for the product unpacked in destDir (no trailing
// backslash). owner owns every message and is brought to the front at the
// end; pump(false) runs between steps, pump(true) closes the progress
// window before a message. Shows its own messages (or restarts the
// computer) and returns true: shortcut and registry failures are skipped
// silently, and after the two error messages (no system directory, a
// library in use) the rest of the sequence is left out.
//
// shipped tells what the archive declared for a file it wrote below destDir
// (name relative to it): its size and check value (CRC-32 register, no
// final complement); false when it wrote no such file. A system library's
// copy from the destination must match its record there before it takes
// the library's place, or it is deleted and the library stays as it was:
// whoever could write in the destination may have changed the file since
// it was written. The sequence then ends at once, showing nothing, and
// returns false, for the caller's damaged-setup message. Null: no such
// check.
using ShippedFileProc = bool (*)(const std::string& name, uint32_t* size, uint32_t* check);
bool PostInstall(const std::string& destDir, HWND owner, MessagePumpProc pump,
                 ShippedFileProc shipped = nullptr);

// True when the file at path must be replaced: its version is below
// minimum, or it has no version that can be read (no file, no version
// resource). Each half compares as a signed 32-bit number.
bool IsOlderThan(const std::string& path, MinimumVersion minimum);

// For a library of the system directory of the running sequence whose plain
// copy failed: copies sourcePath next to it as the name with "$$$" in place
// of its three-letter extension (an earlier such copy is overwritten),
// checks it as PostInstall checks a copy, and has the system move it over
// libraryName (a bare file name) at the next restart. True, and
// RestartNeeded set, when the move is scheduled. A checked staged copy
// stays behind when the scheduling fails.
bool ReplaceAtRestart(const std::string& libraryName, const std::string& sourcePath);

// Closes the progress window of the running sequence and tells its owner
// that path is in use and the setup must be run again.
void ReportFileInUse(const std::string& path);

// The calls through which the sequence reaches the system where a test
// must watch or steer it (its messages go through ShowMessageBox): the
// restart and the privilege it needs, the platform, the system directory,
// the value writes and the version test. Each holds the system's own (or
// the module's own) function; tests put theirs in its place and restore
// the whole record with PostSetCalls{}.
struct PostSetCalls {
  BOOL(WINAPI* exitWindows)(UINT flags, DWORD reason) = ExitWindowsEx;
  BOOL(WINAPI* adjustPrivileges)(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state,
                                 DWORD size, PTOKEN_PRIVILEGES previous,
                                 PDWORD previousSize) = AdjustTokenPrivileges;
  BOOL(WINAPI* getVersion)(LPOSVERSIONINFOA version) = GetVersionExA;
  UINT(WINAPI* systemDirectory)(LPSTR buffer, UINT size) = GetSystemDirectoryA;
  LSTATUS(WINAPI* setValue)(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                            DWORD size) = RegSetValueExA;
  bool (*isOlderThan)(const std::string& path, MinimumVersion minimum) = IsOlderThan;
  // Where renames are scheduled off the NT platform; a bare name, so that
  // the profile functions look for it in the Windows directory.
  const char* winInitFile = "WinInit.ini";
};
extern PostSetCalls PostSetSystem;
