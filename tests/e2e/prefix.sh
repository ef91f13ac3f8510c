#!/usr/bin/env bash
# The Wine prefix of the setup program's end-to-end tests, apart from the
# test run's own one: the setup installs for real (files, shortcuts,
# registry), and all of it goes with the prefix.
#
#   prefix.sh create DIR      a fresh prefix in DIR/prefix
#   prefix.sh remove DIR      ends its Wine processes and removes DIR
#   prefix.sh run DIR [--native-first DLLS] PROGRAM [ARGS...]
#                             runs a Windows program in it; --native-first
#                             makes Wine prefer DLL files to its own for the
#                             comma-separated DLLS, as Windows always does
#   prefix.sh unmanaged add PROGRAM...
#                             in the prefix $WINEPREFIX: Wine draws those
#                             programs' windows itself
#
# Without a window manager on the virtual display Wine waits two seconds for
# one whenever a managed window is hidden, so the test programs' windows are
# unmanaged.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}
base_overrides="mscoree,mshtml="
programs=(PavlaneSetup.exe ImportsVersion.exe setup_e2e.exe)

usage() { sed -n '5,14p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }

unmanaged() {  # unmanaged PROGRAM... in $WINEPREFIX
  local p
  for p in "$@"; do
    wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$p\\X11 Driver" /v Managed /d N /f >/dev/null 2>&1
  done
}

remove() {
  local dir=$1
  if [ -d "$dir/prefix" ]; then
    WINEPREFIX=$dir/prefix wineserver -k 2>/dev/null || true
    WINEPREFIX=$dir/prefix wineserver -w 2>/dev/null || true
  fi
  rm -rf "$dir"
}

create() {
  local dir=$1
  remove "$dir"
  mkdir -p "$dir"
  export WINEPREFIX=$dir/prefix WINEDLLOVERRIDES=$base_overrides
  wineboot --init >/dev/null 2>&1
  wineserver -w
  unmanaged "${programs[@]}"
  wineserver -w
}

run() {
  local dir=$1; shift
  local overrides=$base_overrides
  if [ "${1:-}" = --native-first ]; then
    overrides="$overrides;$2=n,b"
    shift 2
  fi
  export WINEPREFIX=$dir/prefix WINEDLLOVERRIDES=$overrides
  exec wine "$@"
}

case "${1:-}" in
  create) [ $# -eq 2 ] || usage; create "$2" ;;
  remove) [ $# -eq 2 ] || usage; remove "$2" ;;
  run) [ $# -ge 3 ] || usage; shift; run "$@" ;;
  unmanaged)
    [ $# -ge 3 ] && [ "$2" = add ] || usage
    : "${WINEPREFIX:?WINEPREFIX is not set}"
    export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-$base_overrides}
    shift 2; unmanaged "$@"
    ;;
  *) usage ;;
esac
