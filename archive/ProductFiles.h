// The product's identity, in one home below every module, so that the
// setup, the post-install sequence, pvpack, the sample product and the
// tests read the same constants: its names, version, default destination,
// registry keys, and
// the files and folders the post-install sequence refers to below the
// destination directory (each path begins with a backslash).
#pragma once

#include <cstddef>

// CMake reads this file (cmake/ProductIdentity.cmake): every plain string
// and every Joined of strings and earlier names here becomes
// PV_PRODUCT_<NAME> in product.env, and the menu shortcuts two arrays
// there. Keep each such definition on one line.

namespace product {

// The strings given as one, at compile time.
template <size_t... N>
struct Joined {
  char text[(N + ...) - sizeof...(N) + 1] = {};
  constexpr Joined(const char (&... parts)[N]) {
    size_t at = 0;
    const auto append = [&](const char* part, size_t size) {
      for (size_t i = 0; i + 1 < size; ++i) text[at++] = part[i];
    };
    (append(parts, N), ...);
  }
};

inline constexpr char Name[] = "Pavlane Orbit Suite";
inline constexpr char ShortName[] = "Pavlane";
inline constexpr char Vendor[] = "VelmSoft";
inline constexpr char Version[] = "3.03";
// Title of the setup's backdrop and welcome dialog.
inline constexpr Joined SetupTitle{Name, " ", Version, " Setup"};
// The destination the setup proposes, below the program-files folder.
inline constexpr Joined DefaultDestination{"\\", Vendor, "\\", ShortName};
// The uninstall entry's key below HKEY_LOCAL_MACHINE: the product's name
// below this one.
inline constexpr char UninstallKeys[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
inline constexpr Joined UninstallKey{UninstallKeys, "\\", Name};
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
