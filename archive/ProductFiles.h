// The files and folders of the product that the post-install sequence
// refers to, below the destination directory (each path begins with a
// backslash). Here, below every module, so that the sequence that uses them
// and pvpack, which warns when a product tree lacks one, read the same
// constants.
#pragma once

namespace product {

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

// What the uninstall entry starts.
inline constexpr char Uninstaller[] = "\\uninst.exe";
// The query the product's settings open first.
inline constexpr char SampleQuery[] = "\\Queries\\Sample.pvf";
// The product's copies of the two system libraries it brings up to date.
inline constexpr char WininetCopy[] = "\\Wininet.dl_";
inline constexpr char ShlwapiCopy[] = "\\Shlwapi.dl_";

}  // namespace product
