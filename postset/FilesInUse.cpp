#include <windows.h>

#include <algorithm>

#include "postset/PostSet.h"
#include "postset/Sequence.h"
#include "winbase/Messages.h"

bool RestartNeeded = false;

std::string StagedLibraryPath(const std::string& libraryName) {
  // "Wininet.dll" is staged as Wininet.$$$.
  const std::string stem =
      libraryName.substr(0, libraryName.size() - std::min<size_t>(3, libraryName.size()));
  return Sequence.systemDir + "\\" + stem + "$$$";
}

bool ScheduleReplacement(const std::string& staged, const std::string& libraryName) {
  const std::string target = Sequence.systemDir + "\\" + libraryName;
  // NT from version 4 on keeps a list of renames for the next start;
  // everything older reads them from WinInit.ini while it boots.
  if (Sequence.version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
      Sequence.version.dwMajorVersion >= 4) {
    if (!MoveFileExA(staged.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT))
      return false;  // the system's list of renames refused an administrator
  } else if (!WritePrivateProfileStringA("rename", target.c_str(), staged.c_str(),
                                         PostSetSystem.winInitFile)) {
    return false;
  }
  RestartNeeded = true;
  return true;
}

bool ReplaceAtRestart(const std::string& libraryName, const std::string& sourcePath) {
  const std::string staged = StagedLibraryPath(libraryName);
  return CopyFileA(sourcePath.c_str(), staged.c_str(), FALSE) &&
         CopyIsShipped(staged, sourcePath) && ScheduleReplacement(staged, libraryName);
}

void ReportFileInUse(const std::string& path) {
  Sequence.pump(true);
  // The product's own wording, the missing space after the quote and the
  // spelling included.
  const std::string text = "Unable to complete the setup process as file \"" + path + "\"" +
                           "is currently in use by another process.\r\r" +
                           "Please, close all applicaions that are working at the moment and run " +
                           "this program, again.";
  ShowMessageBox(Sequence.owner, text.c_str(), SetupCaption, MB_OK | MB_ICONHAND);
}
