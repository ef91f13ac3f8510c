#!/usr/bin/env bash
# Inspects a shipped 32-bit program: a PE32 image for the oldest systems the
# setup supports, nothing in it that ties it to the machine that built it,
# and no import that an older Windows lacks or that a planted DLL beside the
# setup could satisfy.
#
#   shipped.sh OBJDUMP WINDRES EXE [gui]
set -euo pipefail
objdump=$1 windres=$2 exe=$3 kind=${4:-}
fail() { echo "shipped.sh: $exe: $*" >&2; status=1; }
status=0
headers=$("$objdump" -p "$exe")
grep -q '^Magic[[:space:]]*010b' <<<"$headers" || fail "not a PE32 image"
grep -q '^MajorSubsystemVersion[[:space:]]*4$' <<<"$headers" || fail "subsystem version is not 4.0"
grep -q '^MinorSubsystemVersion[[:space:]]*0$' <<<"$headers" || fail "subsystem version is not 4.0"
grep -q '^Time/Date[[:space:]]*Thu Jan  1 00:00:00 1970' <<<"$headers" || fail "carries a link time stamp"
if [ "$kind" = gui ]; then
  grep -q '(Windows GUI)' <<<"$headers" || fail "not a GUI program"
fi
# Libraries imported the plain way: only those the system always takes from
# its own folder. Anything else must be loaded by its full path at run time,
# or a copy beside the setup would win.
for dll in $(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr '[:upper:]' '[:lower:]'); do
  [[ " advapi32.dll gdi32.dll kernel32.dll user32.dll msvcrt.dll " == *" $dll "* ]] || fail "imports $dll"
done

# Functions that arrived after the first 32-bit systems: looked up at run
# time where the program wants them, never imported.
newer="GetTickCount64 AddVectoredExceptionHandler RemoveVectoredExceptionHandler
  SetDefaultDllDirectories SetDllDirectoryA SetDllDirectoryW AddDllDirectory
  InitializeCriticalSectionEx InitializeCriticalSectionAndSpinCount GetFileSizeEx
  SetFilePointerEx InitOnceExecuteOnce FlsAlloc FlsGetValue FlsSetValue
  GetModuleHandleExA GetModuleHandleExW SetThreadErrorMode GetErrorMode"
imported=$(sed -n 's/^[[:space:]]*[0-9a-f]\{4,\}[[:space:]]\+[0-9]\+[[:space:]]\+\([A-Za-z_][A-Za-z0-9_]*\)$/\1/p' <<<"$headers")
for f in $newer; do
  grep -qx "$f" <<<"$imported" && fail "imports $f, which older Windows lacks"
done

# No path of the build machine in the image.
if grep -aqE '/work/|/home/|/tmp/|/usr/(lib|share|include)' "$exe"; then
  fail "carries a path of the build machine"
fi

if [ "$kind" = gui ]; then
  # The resources a user sees: dialogs, icon groups and the version block.
  rc=$("$windres" -i "$exe" -O rc 2>/dev/null) || fail "resources cannot be read"
  for want in '^100 DIALOG' '^200 DIALOG' '^300 DIALOG' '^"MAINICON" 14' \
      '^1001 14' '^1105 14' 'FILEVERSION 1, *0, *2, *10' 'BLOCK "040904[eE]4"' \
      'VALUE "FileVersion", "1.0.2.10"' 'VALUE "ProductVersion", "3.02"' 'VALUE "Translation", 0x409, 1252' \
      'VALUE "FileDescription", "Installation program for Pavlane"'; do
    grep -qE "$want" <<<"$rc" || fail "resources lack $want"
  done
  # The manifest asks for the rights the user has: elevation for an
  # administrator, the program's own permissions message for anyone else.
  grep -aq 'requestedExecutionLevel level="highestAvailable"' "$exe" ||
    fail "no manifest asking for highestAvailable"
fi
exit $status
