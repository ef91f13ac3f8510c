// Registry keys that every user of the machine may change.
#pragma once

#include <windows.h>

#include <string>

#include "winbase/Handles.h"

// Creates (or opens, when it exists) root\subkey for querying, setting,
// creating and enumerating subkeys and notification (0x1F). A key this
// call creates gets the access list of HKEY_LOCAL_MACHINE\SOFTWARE plus read
// and write access for Everyone, inherited by its subkeys; where that list
// cannot be made the key gets default security. An existing key keeps the
// security it has. Empty when the key can neither be created nor opened.
handles::UniqueHkey CreateKeyWithAccess(HKEY root, const std::string& subkey);

// How CreateKeyWithAccess finds the access-control functions in
// advapi32.dll: SystemProc. Older systems lack them; tests put a function
// here that finds only some.
using AccessProcLookupProc = FARPROC (*)(const char* library, const char* function);
extern AccessProcLookupProc AccessProcLookup;

// How CreateKeyWithAccess creates the key: RegCreateKeyExA. Tests put a
// function here to see the security the key is created with (some systems
// keep their own and ignore it).
using CreateKeyProc = LONG(WINAPI*)(HKEY root, LPCSTR subkey, DWORD reserved, LPSTR keyClass,
                                    DWORD options, REGSAM access,
                                    LPSECURITY_ATTRIBUTES security, PHKEY key,
                                    LPDWORD disposition);
extern CreateKeyProc RegistryCreateKey;
