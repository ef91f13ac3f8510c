#!/usr/bin/env bash
# Prepares the Wine prefix of a test run for the in-process dialog tests (and
# the demo's picture of the directory dialog), and puts it back as it was:
#
#   wine-setup.sh add STATE-DIR     adds what follows; STATE-DIR receives the drives' folders
#   wine-setup.sh remove STATE-DIR  undoes add, also a half-done one
#
# - Drives on free letters: a floppy and a CD-ROM drive without a medium
#   (links to missing folders, typed in the registry), a fixed drive labelled
#   PVTEST holding a small folder tree, an empty RAM disk and a network drive.
# - Unmanaged windows for those programs: with no window manager on the
#   virtual display, Wine draws no caption, and waits two seconds for one each
#   time a managed window is hidden.
# - Wine's own Marlett font (package fonts-wine), which this Wine does not
#   find by itself: captions draw their buttons with it.
set -euo pipefail
action=${1:-} state=${2:-}
if [ -z "$state" ] || { [ "$action" != add ] && [ "$action" != remove ]; }; then
  sed -n '5,6p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
: "${WINEPREFIX:?WINEPREFIX is not set}"
eval "$("$(dirname "$0")/../../scripts/wine-prefix.sh" env "$WINEPREFIX")"
# The product's default destination (PV_PRODUCT_*), from a build folder.
# shellcheck disable=SC1090
. "${PV_PRODUCT_ENV:-$(dirname "$0")/../../build/win32-tests/product.env}"
dev=$WINEPREFIX/dosdevices
drives_key='HKEY_LOCAL_MACHINE\Software\Wine\Drives'
fonts_key='HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\Fonts'
appdefaults_key='HKEY_CURRENT_USER\Software\Wine\AppDefaults'
programs=(seldir_tests.exe setup_tests.exe seldir_shot.exe)

reg_import() {  # the registry lines on stdin
  local file=$state/registry.reg
  { printf 'REGEDIT4\n\n'; cat; } >"$file"
  local out
  # The 64-bit view, which Wine's own services read.
  if ! out=$(wine reg import "$file" /reg:64 2>&1); then
    printf 'wine-setup: reg import failed:\n%s\n' "$out" >&2
    exit 1
  fi
  rm -f "$file"
}

remove() {
  [ -d "$state" ] || return 0
  if [ -f "$state/letters" ]; then
    local l p
    while read -r l; do rm -f "$dev/$l:"; done <"$state/letters"
    {
      echo "[$drives_key]"
      while read -r l; do echo "\"$l:\"=-"; done <"$state/letters"
      for p in "${programs[@]}"; do printf '[-%s\\%s]\n' "$appdefaults_key" "$p"; done
      if [ -s "$state/fonts" ]; then
        echo "[$fonts_key]"
        sed 's/=.*/=-/' "$state/fonts"
      fi
      # Keys that only exist because add made them.
      sed 's/.*/[-&]/' "$state/new-keys" 2>/dev/null || true
    } | reg_import
    wineserver -w
  fi
  rm -rf "$state"
}

add() {
  remove  # what an interrupted run left behind
  # Wine reads its drives when it starts, and writes its registry when it ends.
  wineserver -w
  mkdir -p "$state"
  : >"$state/letters"
  : >"$state/new-keys"
  grep -qF '[Software\\Wine\\Drives]' "$WINEPREFIX/system.reg" || echo "$drives_key" >>"$state/new-keys"
  grep -qF '[Software\\Wine\\AppDefaults' "$WINEPREFIX/user.reg" || echo "$appdefaults_key" >>"$state/new-keys"

  local letter
  free_letter() {  # the first free letter of the candidates, into $letter
    local l
    for l in "$@"; do
      if [ ! -e "$dev/$l:" ] && [ ! -L "$dev/$l:" ] && ! grep -qx "$l" "$state/letters" &&
        ! grep -qiF "\"$l:\"=" "$WINEPREFIX/system.reg"; then
        letter=$l
        echo "$l" >>"$state/letters"
        return
      fi
    done
    echo "wine-setup: no free drive letter" >&2
    exit 1
  }
  local any=(d e f g h i j k l m n o p q r s t u v w x y)
  free_letter a b "${any[@]}"
  ln -s "$state/no-floppy" "$dev/$letter:"
  local types="\"$letter:\"=\"floppy\""$'\n'
  free_letter "${any[@]}"
  ln -s "$state/no-cdrom" "$dev/$letter:"
  types+="\"$letter:\"=\"cdrom\""$'\n'
  free_letter m "${any[@]}"
  mkdir -p "$state/ramdisk"
  ln -s "$state/ramdisk" "$dev/$letter:"
  types+="\"$letter:\"=\"ramdisk\""$'\n'
  free_letter n "${any[@]}"
  mkdir -p "$state/network/Shared"
  ln -s "$state/network" "$dev/$letter:"
  types+="\"$letter:\"=\"network\""$'\n'
  free_letter p "${any[@]}"
  mkdir -p "$state/fixed/Program Files${PV_PRODUCT_DEFAULT_DESTINATION//\\//}/"{Bin,Help,Samples} \
    "$state/fixed/Program Files/Common Files" "$state/fixed/Temp"
  echo PVTEST >"$state/fixed/.windows-label"
  ln -s "$state/fixed" "$dev/$letter:"

  # A registry font entry takes a Windows path; Z: is the Unix root.
  : >"$state/fonts"
  local marlett=/usr/share/wine/fonts/marlett.ttf
  if [ "$(readlink "$dev/z:" || true)" = / ] && [ -f "$marlett" ] &&
    ! grep -qF '"Marlett (TrueType)"' "$WINEPREFIX/system.reg"; then
    echo "\"Marlett (TrueType)\"=\"Z:${marlett//\//\\\\}\"" >"$state/fonts"
  fi

  {
    echo "[$drives_key]"
    printf '%s' "$types"
    if [ -s "$state/fonts" ]; then
      echo "[$fonts_key]"
      cat "$state/fonts"
    fi
    for p in "${programs[@]}"; do
      printf '[%s\\%s\\X11 Driver]\n' "$appdefaults_key" "$p"
      echo '"Managed"="N"'
    done
  } | reg_import
  # The tests' own Wine then starts afresh and sees the drives.
  wineserver -w
}

"$action"
