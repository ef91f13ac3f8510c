// Loading system libraries without ever taking one from the program's own
// folder. A setup program is typically started from a downloads folder,
// where anyone may have left a DLL named like a system one; Windows looks
// in the executable's folder first, so each library the program needs
// beyond the core ones is loaded by its full path in the system directory,
// and every function the program looks up at run time is found through
// SystemProc.
#pragma once

#include <windows.h>

#include <string>

// Narrows the DLL search of the whole process to the system directory and
// takes the current directory out of it, where the system offers the
// calls for that (older systems lack them, and there this does nothing).
// Run it before anything else loads.
void RestrictDllSearch();

// name (for example "mpr.dll") in the system directory, or an empty
// string when the system directory cannot be had.
std::string SystemLibraryPath(const char* name);

// Loads name from the system directory, its own dependencies resolved
// from there too, for a caller that frees it again. Null when it cannot be
// loaded.
HMODULE LoadSystemLibrary(const char* name);

// The address of function in the system library named library (a string
// literal), which is loaded from the system directory on first use, once,
// and kept until the process ends. Null when either is missing. Usable
// before main: the table of libraries needs no start-up code.
FARPROC SystemProc(const char* library, const char* function);

// A looked-up address as the function type it has.
template <typename Function>
Function ProcAs(FARPROC address) {
  // Through the generic function pointer type, which the compiler accepts
  // as a cast between unrelated function types.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

// SystemProc(library, function) as Function.
template <typename Function>
Function SystemFunction(const char* library, const char* function) {
  return ProcAs<Function>(SystemProc(library, function));
}
