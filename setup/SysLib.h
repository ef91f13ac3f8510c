// Loading system libraries without ever taking one from the program's own
// folder. A setup program is typically started from a downloads folder,
// where anyone may have left a DLL named like a system one; Windows looks
// in the executable's folder first, so each library the program needs
// beyond the core ones is loaded by its full path in the system directory.
#pragma once

#include <windows.h>

#include <string>

// Narrows the DLL search of the whole process to the system directory and
// takes the current directory out of it, where the system offers the
// calls for that (they are looked up at run time: older systems lack
// them, and there this does nothing). Run it before anything else loads.
void RestrictDllSearch();

// name (for example "mpr.dll") in the system directory, or an empty
// string when the system directory cannot be had.
std::string SystemLibraryPath(const char* name);

// Loads name from the system directory, its own dependencies resolved
// from there too. Null when it cannot be loaded. The caller frees it.
HMODULE LoadSystemLibrary(const char* name);

// The address of function in the system library name, which is loaded
// from the system directory on first use and kept until the process ends.
// Null when either is missing. Holds up to a handful of libraries.
FARPROC SystemProc(const char* library, const char* function);

// A looked-up address as the function type it has.
template <typename Function>
Function ProcAs(FARPROC address) {
  // Through the generic function pointer type, which the compiler accepts
  // as a cast between unrelated function types.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}
