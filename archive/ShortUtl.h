// Small path and file helpers of the archive reader.
#pragma once

#include <cstdint>
#include <string>

// True for the characters that end a directory part: "\" and ":" on
// Windows; "\" and "/" elsewhere, where ":" is an ordinary character.
bool IsPathDelimiter(char c);

// True for the directory separator: "\" on Windows; "\" and "/" elsewhere.
bool IsSeparator(char c);

// name without its trailing separators.
std::string StripTrailingBackslashes(std::string name);

// Completes an archive name: the directory part (up to and including the
// last delimiter, or else the current directory and "\"), the file name,
// and defaultExt when the name has no extension (a "." met before any
// delimiter, scanning back from the end; a name ending in "." has one).
std::string DefaultArchiveName(const std::string& name, const std::string& defaultExt);

// Creates directory dir and its missing parents, parents first. Stops at a
// drive root (fewer than 3 characters once trailing backslashes are gone)
// and at anything that exists already. Failures are not reported.
void MakeDirPath(std::string dir);
