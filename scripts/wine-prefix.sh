#!/usr/bin/env bash
# The one way the project makes and uses a Wine prefix: ./run, the demo, the
# tests and the benchmarks all come through here.
#
#   wine-prefix.sh create PREFIX [64|32]
#       a fresh prefix: 64 (the default) is a 64-bit Windows, on which the
#       shipped 32-bit programs run as on any 64-bit PC (WoW64: their own
#       "Program Files (x86)" and registry view); 32 is a 32-bit Windows
#   wine-prefix.sh remove PREFIX
#       ends its Wine processes and removes it
#   wine-prefix.sh run PREFIX [--native-first DLLS] PROGRAM [ARGS...]
#       runs a Windows program there (a path, or a program of Wine's own
#       such as reg); --native-first makes Wine prefer DLL files to its own
#       for the comma-separated DLLS, as Windows always does
#   wine-prefix.sh wait PREFIX
#       waits until its Wine processes have ended: after console programs
#       such as reg, before a program that needs the virtual display
#   wine-prefix.sh env PREFIX
#       prints the variables that make plain wine commands use it, for a
#       script that runs many: eval "$(wine-prefix.sh env PREFIX)"
#
# Every prefix gets the same settings: no Mono or Gecko installer prompts,
# no menu entries on the host for the shortcuts that setups make, and
# windows that Wine draws itself. Without a window manager on the virtual
# display Wine would otherwise wait two seconds for one whenever a managed
# window is hidden.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}
overrides="mscoree,mshtml=;winemenubuilder.exe=d"

usage() { sed -n '5,21p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }

use() {  # use PREFIX: this prefix for the commands that follow
  export WINEPREFIX WINEDLLOVERRIDES=$overrides
  WINEPREFIX=$(realpath -m "$1")
}

remove() {
  use "$1"
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
  fi
  rm -rf "$WINEPREFIX"
}

create() {
  local arch=${2:-64}
  case "$arch" in
    64) arch=win64 ;;
    32) arch=win32 ;;
    *) usage ;;
  esac
  remove "$1"
  mkdir -p "$(dirname "$WINEPREFIX")"
  WINEARCH=$arch wineboot --init >/dev/null 2>&1
  # One key for 32- and 64-bit programs: HKCU\Software is not split by view.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f /reg:64 >/dev/null
  # Wine writes its registry when its server ends.
  wineserver -w
}

run() {
  use "$1"
  shift
  if [ "${1:-}" = --native-first ]; then
    WINEDLLOVERRIDES="$WINEDLLOVERRIDES;$2=n,b"
    shift 2
  fi
  [ $# -ge 1 ] || usage
  exec wine "$@"
}

case "${1:-}" in
  create) [ $# -ge 2 ] && [ $# -le 3 ] || usage; shift; create "$@" ;;
  remove) [ $# -eq 2 ] || usage; remove "$2" ;;
  run) [ $# -ge 3 ] || usage; shift; run "$@" ;;
  wait) [ $# -eq 2 ] || usage; use "$2"; wineserver -w ;;
  env)
    [ $# -eq 2 ] || usage
    use "$2"
    printf 'export WINEPREFIX=%q WINEDLLOVERRIDES=%q WINEDEBUG=%q\n' \
      "$WINEPREFIX" "$WINEDLLOVERRIDES" "$WINEDEBUG"
    ;;
  *) usage ;;
esac
