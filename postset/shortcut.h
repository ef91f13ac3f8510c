// The product's entries in the Start menu: the choice of the Programs
// folder (made once when the program starts) and the shortcut files in a
// folder of it, made through the shell's link object. Nothing here shows a
// message; every failure is a false result.
#pragma once

#include <string>

// The Programs folder, without a trailing backslash: the all-users one when
// the program runs on the NT platform and may administer the services,
// otherwise the user's own. Resolved before main runs; empty when the shell
// cannot name it, and then the three folder operations do nothing.
extern std::string ProgramsFolder;

// Saves linkDir + "\" + name + ".lnk", a shortcut to target whose
// description is name and whose working directory is target's folder
// (a drive root keeps its backslash). An existing file of that name is
// replaced. With notify the shell is told that linkDir changed, whether or
// not the save worked. True when the file was saved. Initialises COM for
// the call only.
bool CreateLink(const std::string& target, const std::string& linkDir, const std::string& name,
                bool notify);

// Creates folder (a bare name) in ProgramsFolder. True only when it was
// created now: false when it exists already or cannot be made.
bool CreateMenuFolder(const std::string& folder);

// Deletes every ".lnk" file in folder of ProgramsFolder; other files,
// subfolders and the folder itself stay. Failures are ignored.
void DeleteMenuLinks(const std::string& folder);

// CreateLink(target, ProgramsFolder + "\" + folder, name, notify = true);
// an empty folder means ProgramsFolder itself. False when ProgramsFolder is
// empty.
bool AddMenuLink(const std::string& folder, const std::string& name, const std::string& target);
