#!/usr/bin/env bash
# Fails when the executable imports, the plain way, a library outside the
# set the system always takes from its own folder: anything else must be
# loaded by its full path at run time, or a copy beside the setup would win.
#
#   imports.sh OBJDUMP EXECUTABLE
set -euo pipefail
objdump=$1 exe=$2
allowed=" advapi32.dll gdi32.dll kernel32.dll user32.dll msvcrt.dll "
status=0
while read -r dll; do
  lower=$(tr '[:upper:]' '[:lower:]' <<<"$dll")
  if [[ "$allowed" != *" $lower "* ]]; then
    echo "imports.sh: $exe imports $dll" >&2
    status=1
  fi
done < <("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
exit $status
