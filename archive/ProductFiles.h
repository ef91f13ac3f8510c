// The product's identity, in one home below every module, so that the
// setup, the post-install sequence, pvpack, the sample product and the
// tests read the same constants: its names, version, default destination,
// registry keys, and
// the files and folders the post-install sequence refers to below the
// destination directory (each path begins with a backslash).
#pragma once

#include <cstddef>

// CMake reads this file (see the top CMakeLists.txt): every plain string
// here becomes PV_PRODUCT_<NAME> in product.env, and the menu shortcuts two
// arrays there. Keep each such string on one line.

namespace product {

// The strings a and b as one, at compile time.
template <size_t A, size_t B>
struct Joined {
  char text[A + B - 1] = {};
  constexpr Joined(const char (&a)[A], const char (&b)[B]) {
    for (size_t i = 0; i + 1 < A; ++i) text[i] = a[i];
    for (size_t i = 0; i < B; ++i) text[A - 1 + i] = b[i];
  }
};

inline constexpr char Name[] = "Pavlane Orbit Suite";
inline constexpr char ShortName[] = "Pavlane";
inline constexpr char Vendor[] = "VelmSoft";
inline constexpr char Version[] = "3.03";
// Title of the setup's backdrop and welcome dialog.
inline constexpr Joined SetupTitle{Joined{Joined{Name, " "}.text, Version}.text, " Setup"};
// The destination the setup proposes, below the program-files folder.
inline constexpr Joined DefaultDestination{Joined{Joined{"\\", Vendor}.text, "\\"}.text, ShortName};
// The uninstall entry's key below HKEY_LOCAL_MACHINE: the product's name
// below this one.
inline constexpr char UninstallKeys[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
inline constexpr Joined UninstallKey{Joined{UninstallKeys, "\\"}.text, Name};
// The maker's key below HKEY_LOCAL_MACHINE, and the product's settings key
// below it; the uninstaller takes both away.
inline constexpr char MakerKey[] = "SOFTWARE\\VelmoraSoft";
inline constexpr Joined ProductKey{MakerKey, "\\Pavlane 1.0"};

struct MenuShortcut {
  const char* name;    // also its description
  const char* target;  // below the destination directory
};
// The first name ends in two spaces: the description shows them, and the
// file is named with them.
inline constexpr MenuShortcut MenuShortcuts[] = {
    {"Pavlane  ", "\\Pavlane.exe"},
    {"Pavlane Help", "\\Help\\contents.htm"},
    {"Pavlane Report Library", "\\Library"},
    {"Pavlane Site Maps", "\\SiteMaps"},
};

// What the uninstall entry starts, and the caption of its windows.
inline constexpr char Uninstaller[] = "\\uninst.exe";
inline constexpr char UninstallerCaption[] = "Pavlane Uninstall";
// The query the product's settings open first.
inline constexpr char SampleQuery[] = "\\Queries\\Sample.pvf";
// The product's copies of the two system libraries it brings up to date.
inline constexpr char WininetCopy[] = "\\Wininet.dl_";
inline constexpr char ShlwapiCopy[] = "\\Shlwapi.dl_";

}  // namespace product
