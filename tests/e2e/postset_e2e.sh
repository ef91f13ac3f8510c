#!/usr/bin/env bash
# End-to-end cases of the post-install sequence, for tests/e2e: the real
# setup program packed with the staged sample product, driven by pvauto in
# a Wine prefix of its own. Run inside xvfb-run.
#   postset_e2e.sh BUILD-DIR (a 64-bit Windows build with setup-stub, pvpack,
#   pvauto and the product target built; PV_PVPACK, PV_SETUP_STUB and
#   PV_PVAUTO name the programs where they are not in the build's own folders)
set -euo pipefail
build=$(cd "$1" && pwd)
work=$build/e2e-postset
rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot --init >/dev/null 2>&1
wineserver -w
winpath() { echo "Z:${1//\//\\}"; }

# Packed as ./run packs it: file times held back to the last commit's.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$(dirname "$0")" log -1 --format=%ct 2>/dev/null || true)}
pvpack=${PV_PVPACK:-$build/tools/pvpack/pvpack.exe}
stub=${PV_SETUP_STUB:-$build/setup/setup-stub.exe}
pvauto_exe=${PV_PVAUTO:-$build/tools/automate/pvauto.exe}
wine "$pvpack" pack "$(winpath "$build/product")" "$(winpath "$work/product.pvz")"
wine "$pvpack" setup "$(winpath "$stub")" \
  "$(winpath "$work/product.pvz")" "$(winpath "$work/PavSetup.exe")"
setup=$(winpath "$work/PavSetup.exe")
pvauto() { wine "$pvauto_exe" "$@"; }
drive=$WINEPREFIX/drive_c
menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Pavlane Orbit Suite"
dest="$drive/Program Files/VelmSoft/Pavlane"
fail() { echo "FAIL: $*" >&2; exit 1; }
expect_in() { grep -qF -- "$2" <<<"$1" || fail "expected: $2"; }

echo "== 1: a fresh install ends with the success message"
out=$(pvauto run "$setup" --timeout 60 --wait "Pavlane Orbit Suite 3.03 Setup" --press 201 \
  --wait "Pavlane Setup" --press OK --exit)
echo "$out"
expect_in "$out" 'box "Pavlane Setup" 0x40 (MB_OK | MB_ICONASTERISK) "Pavlane has been successfully installed.\r\rTo run the application, click the START button, then point to PROGRAMS, and select PAVLANE ORBIT SUITE."'
wineserver -w
[ "$(ls "$menu" | sort)" = "$(printf '%s\n' 'Pavlane  .lnk' 'Pavlane Help.lnk' 'Pavlane Report Library.lnk' 'Pavlane Site Maps.lnk')" ] \
  || fail "the four shortcuts: $(ls "$menu")"
ls "$dest"/*.dl_ >/dev/null 2>&1 && fail "a .dl_ file was left"
reg=$(wine reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Pavlane Orbit Suite')
expect_in "$reg" 'DisplayName    REG_SZ    Pavlane Orbit Suite'
expect_in "$reg" 'UninstallString    REG_SZ    "C:\Program Files\VelmSoft\Pavlane\uninst.exe"'
reg=$(wine reg query 'HKLM\SOFTWARE\VelmoraSoft\Pavlane 1.0' /s)
expect_in "$reg" 'File 1    REG_SZ    C:\Program Files\VelmSoft\Pavlane\Queries\Sample.pvf'
expect_in "$reg" 'Application    REG_SZ    Pavlane'
expect_in "$reg" 'Password    REG_SZ    2957'

echo "== 2: a second run replaces the shortcuts"
before=$(stat -c %Y.%N "$menu"/*.lnk)
echo keep > "$menu/notes.txt"
sleep 1
pvauto run "$setup" --timeout 60 --wait "Pavlane Orbit Suite 3.03 Setup" --press 201 \
  --answer "Pavlane Setup=OK" --exit
wineserver -w
[ "$(stat -c %Y.%N "$menu"/*.lnk)" != "$before" ] || fail "the shortcuts were not made again"
[ -f "$menu/notes.txt" ] || fail "a file other than a shortcut went"

echo "== 3: the uninstall entry's program removes what the setup made"
rm "$menu/notes.txt"
pvauto run 'C:\Program Files\VelmSoft\Pavlane\uninst.exe' --timeout 60 \
  --wait "Pavlane Uninstall" --press Yes --answer "Pavlane Uninstall=OK" --exit
wineserver -w
[ ! -e "$dest" ] || fail "left in the product folder: $(ls -R "$dest")"
[ ! -e "$menu" ] || fail "left in the menu: $(ls "$menu")"
wine reg query 'HKLM\SOFTWARE\VelmoraSoft' >/dev/null 2>&1 && fail "the product key stayed"
wine reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Pavlane Orbit Suite' \
  >/dev/null 2>&1 && fail "the uninstall entry stayed"

echo "== 4: links planted in the destination are never followed"
# Whoever can write the destination before the setup runs may plant links
# there; the setup runs with raised rights. Wine shows a link to a folder as
# a reparse point (a link to a file looks like the file itself there), but
# can neither open nor remove the link itself: the setup stops instead.
outside=$work/outside
mkdir -p "$outside/help" "$outside/maps" "$dest"
echo precious >"$outside/help/contents.htm"
ln -s "$outside/help" "$dest/Help"
ln -s "$outside/maps" "$dest/SiteMaps"
state() { (cd "$outside" && find . -printf '%p %s %T@\n' | sort && cat help/contents.htm); }
before=$(state)
out=$(pvauto run "$setup" --timeout 60 --wait "Pavlane Orbit Suite 3.03 Setup" --press 201 \
  --answer "Pavlane Setup=OK" --exit)
echo "$out"
expect_in "$out" 'Unable to extract data as the Setup file has been corrupted.'
wineserver -w
[ "$(state)" = "$before" ] || fail "outside the destination: $(state)"
rm "$dest/Help" "$dest/SiteMaps"

echo "== 5: an older Wininet.dll in use ends with the restart question"
# Wine reports its own library's version for any file named wininet.dll
# unless the native one is asked for. The stand-in older library is the
# sample's main program (version 3.3); running it keeps the file in use.
system32=$drive/windows/system32
cp "$system32/wininet.dll" "$work/wininet.orig"
cp "$build/product/Pavlane.exe" "$system32/wininet.dll"
export WINEDLLOVERRIDES="wininet=n;mscoree,mshtml="
wine 'C:\windows\system32\wininet.dll' &
holder=$!
sleep 3
out=$(pvauto run "$setup" --timeout 60 --wait "Pavlane Orbit Suite 3.03 Setup" --press 201 \
  --wait "Pavlane Setup" --press No --wait "Pavlane Setup" --press OK --exit)
echo "$out"
expect_in "$out" 'box "Pavlane Setup" 0x24 (MB_YESNO | MB_ICONQUESTION) "The Pavlane icon has been placed in the PROGRAMS menu.\r\rYou should restart your computer to complete the Pavlane setup. Would you like to do it now?" -> No'
expect_in "$out" 'box "Pavlane Setup" 0x40 (MB_OK | MB_ICONASTERISK) "The installation process has been completed. When you restart the computer, you may launch Pavlane by clicking onto the corresponding icon in the Programs menu." -> OK'
cmp -s "$system32/Wininet.\$\$\$" "$build/product/Wininet.dl_" || fail "Wininet.\$\$\$ is not the shipped copy"
kill "$holder" 2>/dev/null || true
wineserver -k || true
echo "== all post-install cases passed"
