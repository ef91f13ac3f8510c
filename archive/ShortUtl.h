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

// Creates directory dir and its missing parents, parents first. Stops at a
// drive root (fewer than 3 characters once trailing backslashes are gone)
// and at anything that exists already. Failures are not reported.
void MakeDirPath(std::string dir);
