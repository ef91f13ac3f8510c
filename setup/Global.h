// The setup program's program-wide state and the destination checks: the
// default destination, the free space of its drive and the creation of the
// destination directory.
#pragma once

#include <windows.h>

#include <string>

#include "archive/FileIo.h"
#include "winbase/Handles.h"

// The full-screen backdrop. Owner of the welcome dialog, the progress
// window and the driver's messages; null when it could not be made.
extern HWND MainWindow;
// The dialog the message pump serves keyboard navigation for: the welcome
// dialog, then the progress window. Kept after the window is gone, so every
// user tests it with IsWindow.
extern HWND CurrentDialog;
// The animation control inside the progress window; goes with it.
extern HWND AnimationWindow;
// The destination directory; may end with a backslash while the welcome
// dialog is up.
extern std::string DestDir;
// The destination directory, held from the moment Install has made or
// accepted it until post-install ends, so that it cannot be renamed or
// swapped for a link meanwhile. Nothing above it is held: mount points and
// profile junctions there are the machine's own.
extern fileio::File HeldDestination;
// The proposed destination: "\VelmSoft\Pavlane" at start, then prefixed
// with the program-files directory by SetDefaultDestDir.
extern std::string DefaultDestDir;
// The font of the destination display; none when it could not be made.
// Deleted as soon as the welcome dialog has ended.
extern handles::UniqueFont DestFont;
// shell32.dll, loaded for the progress animation and freed after the
// installation.
extern handles::UniqueLibrary ShellModule;

// Free space below which Install warns.
inline constexpr int MinFreeMegabytes = 5;

// How DriveFreeMegabytes asks the system: GetDiskFreeSpaceA. Tests put
// volumes of any size here.
using DiskFreeSpaceProc = BOOL(WINAPI*)(LPCSTR root, LPDWORD sectorsPerCluster,
                                        LPDWORD bytesPerSector, LPDWORD freeClusters,
                                        LPDWORD totalClusters);
extern DiskFreeSpaceProc QueryDiskFreeSpace;

// How the setup makes a folder of the destination: CreateDirectoryA. Tests
// put a function here to see the security each folder is made with (Wine
// keeps no access lists to read back).
using CreateFolderProc = BOOL(WINAPI*)(LPCSTR path, LPSECURITY_ATTRIBUTES security);
extern CreateFolderProc CreateFolder;

// Prefixes DefaultDestDir with the program-files directory from the
// registry, or with "C:" when the registry does not tell. Never fails.
void SetDefaultDestDir();

// Free megabytes (2^20 bytes, not rounded) on the drive whose letter and
// colon path starts with; -1 when they cannot be measured.
double DriveFreeMegabytes(const std::string& path);

// True when path names an existing directory.
bool IsExistingDirectory(const std::string& path);

// Creates path and its missing parents (one trailing backslash allowed),
// each with security (null: the default). Reports nothing: levels that
// cannot be made are left out, levels made before a failure stay.
void CreateDirectoryPath(const std::string& path, SECURITY_ATTRIBUTES* security = nullptr);

// True when path is the system's program-files folder or lies below it
// (either of the two on 64-bit Windows), as the registry names them.
bool IsBelowProgramFiles(const std::string& path);

// Creates path as CreateDirectoryPath does; path unchanged when the
// directory exists afterwards, else an empty string. Outside the
// program-files folder, on NT, each level it makes gets an access list like
// that folder's, so that other users cannot change what the setup puts
// there: Administrators and the system in full control, Users reading and
// running, nothing inherited from above, everything below inheriting it. A
// level that exists keeps its own.
std::string MakeDestinationDirectory(const std::string& path);
