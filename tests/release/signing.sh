#!/usr/bin/env bash
# A setup of the sample product signed after it was built: the signature
# verifies, pvpack verify accepts the file, and it installs under Wine, where
# the uninstall entry's program removes it again, links planted in the
# destination are not followed, and an older Wininet.dll in use is replaced
# at the next restart; damaged after signing, it is refused with the
# corrupted-file message. Run inside xvfb-run.
#
#   signing.sh WORK-DIR SETUP-STUB PRODUCT-DIR PVPACK PVAUTO
set -euo pipefail
work=$1 stub=$2 product=$3 pvpack=$4 pvauto=$5
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
fail() { echo "signing.sh: $*" >&2; exit 1; }
# The product's names, paths and keys (PV_PRODUCT_*), from a build folder.
# shellcheck disable=SC1090
. "${PV_PRODUCT_ENV:-$here/../../build/win32-tests/product.env}"
programs="Program Files (x86)${PV_PRODUCT_DEFAULT_DESTINATION//\\//}"

# A throwaway code-signing certificate, its own trusted root.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Pavlane Test Signing" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null

# The sample product with a name beyond ASCII, which pvpack stores in the
# setup's code page (1252 unless told) and the setup must create as it was.
cp -a "$product" "$work/product"
product=$work/product
echo "Orbits of S\xc3\xa8vres" >"$product/Library/café.txt"

# Packed as ./run packs it: file times held back to the last commit's.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct 2>/dev/null || true)}
"$pvpack" pack "$product" "$work/product.pvz"
"$pvpack" setup "$stub" "$work/product.pvz" "$work/PavlaneSetup.exe"
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "$PV_PRODUCT_SETUP_TITLE" \
  -in "$work/PavlaneSetup.exe" -out "$work/Signed.exe" >/dev/null
unsigned_size=$(stat -c %s "$work/PavlaneSetup.exe")
[ "$(stat -c %s "$work/Signed.exe")" -gt "$unsigned_size" ] || fail "signing added nothing"
# Signing rewrites the headers' check sum and security directory, and must
# add nothing between the archive and the table (no padding).
cmp -s -i 4096 -n $((unsigned_size - 4096)) "$work/PavlaneSetup.exe" "$work/Signed.exe" ||
  fail "signing changed the file after its headers"
table=$(x86_64-w64-mingw32-objdump -p "$work/Signed.exe" | sed -n 's/^Entry 4 \([0-9a-f]*\) .*/\1/p')
[ $((16#$table)) -eq "$unsigned_size" ] || fail "the certificate table does not start where the setup ended"
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/Signed.exe" | grep -q 'Signature verification: ok' ||
  fail "the signature does not verify"
"$pvpack" verify "$work/Signed.exe" || fail "pvpack verify refuses the signed setup"

# Damaged after signing: one byte of the archive body, well before the table.
cp "$work/Signed.exe" "$work/Damaged.exe"
printf '\x5a' | dd of="$work/Damaged.exe" bs=1 seek=$((unsigned_size - 100)) conv=notrunc status=none
set +e
"$pvpack" verify "$work/Damaged.exe" 2>/dev/null
status=$?
set -e
[ $status -eq 5 ] || fail "pvpack verify of the damaged setup gave $status, not 5"

# Under Wine, in a 64-bit prefix of their own, where the 32-bit setup gets
# the 32-bit program folder, system folder and registry view.
prefix() { bash "$here/../../scripts/wine-prefix.sh" "$@"; }
prefix create "$work/wine"
trap 'prefix remove "$work/wine"' EXIT
winpath() { echo "Z:${1//\//\\}"; }
install_button=$(sed -n 's/^#define IDC_INSTALL *\([0-9]*\).*/\1/p' "$here/../../setup/PavInstRes.h")
# install EXE [--native-first DLLS] PVAUTO-STEPS...: Install pressed, then the steps.
install() {
  local exe=$1 native=(); shift
  [ "${1:-}" != --native-first ] || { native=("$1" "$2"); shift 2; }
  cp "$exe" "$work/wine/PavlaneSetup.exe"
  prefix run "$work/wine" "${native[@]}" "$pvauto" run "$(winpath "$work/wine/PavlaneSetup.exe")" \
    --timeout 60 --wait "$PV_PRODUCT_SETUP_TITLE" --press "$install_button" "$@" --exit
}
drive=$work/wine/drive_c
dest="$drive/$programs"

out=$(install "$work/Signed.exe" --wait "Pavlane Setup" --press OK)
grep -qF 'Pavlane has been successfully installed.' <<<"$out" || fail "the signed setup did not install: $out"
for f in Readme.txt Help/contents.htm Queries/Sample.pvf Pavlane.exe Library/café.txt; do
  cmp -s "$product/$f" "$dest/$f" || fail "$f was not installed as packed"
done
# The uninstaller removes the files it knows, which this one is not.
rm "$dest/Library/café.txt"

# The uninstall entry's program takes away all the setup made.
prefix run "$work/wine" "$pvauto" run "C:\\${programs//\//\\}$PV_PRODUCT_UNINSTALLER" --timeout 60 \
  --wait "$PV_PRODUCT_UNINSTALLER_CAPTION" --press Yes --answer "$PV_PRODUCT_UNINSTALLER_CAPTION=OK" \
  --exit >/dev/null
prefix wait "$work/wine"  # its last part runs on after it
[ ! -e "$dest" ] || fail "left in the product folder: $(ls -R "$dest")"
menu="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/$PV_PRODUCT_NAME"
[ ! -e "$menu" ] || fail "left in the menu: $(ls "$menu")"
for key in "HKLM\\$PV_PRODUCT_MAKER_KEY" "HKLM\\$PV_PRODUCT_UNINSTALL_KEY"; do
  ! prefix run "$work/wine" reg query "$key" /reg:32 >/dev/null 2>&1 || fail "$key stayed"
done

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
out=$(install "$work/Signed.exe" --wait "Pavlane Setup" --press OK)
grep -qF 'Unable to extract data as the Setup file has been corrupted.' <<<"$out" ||
  fail "planted links did not stop the setup: $out"
[ "$(state)" = "$before" ] || fail "outside the destination: $(state)"
rm -rf "$dest"

# Wine reports its own library's version for any file named wininet.dll
# unless the native one is asked for. The stand-in older library is the
# sample's main program (version 3.3); running it keeps the file in use.
system32=$drive/windows/syswow64  # what a 32-bit program sees as its system folder
cp "$product/Pavlane.exe" "$system32/wininet.dll"
prefix run "$work/wine" --native-first wininet 'C:\windows\syswow64\wininet.dll' &
holder=$!
sleep 3
out=$(install "$work/Signed.exe" --native-first wininet --wait "Pavlane Setup" --press No \
  --wait "Pavlane Setup" --press OK)
kill "$holder" 2>/dev/null || true
grep -qF 'box "Pavlane Setup" 0x24 (MB_YESNO | MB_ICONQUESTION) "The Pavlane icon has been placed in the PROGRAMS menu.\r\rYou should restart your computer to complete the Pavlane setup. Would you like to do it now?" -> No' <<<"$out" &&
  grep -qF 'box "Pavlane Setup" 0x40 (MB_OK | MB_ICONASTERISK) "The installation process has been completed. When you restart the computer, you may launch Pavlane by clicking onto the corresponding icon in the Programs menu." -> OK' <<<"$out" ||
  fail "an older Wininet.dll in use did not end with the restart question: $out"
cmp -s "$system32/Wininet.\$\$\$" "$product/Wininet.dl_" || fail "Wininet.\$\$\$ is not the shipped copy"
rm -rf "$dest"

out=$(install "$work/Damaged.exe" --wait "Pavlane Setup" --press OK)
grep -qF 'box "Pavlane Setup" 0x10 (MB_OK | MB_ICONHAND) "Unable to extract data as the Setup file has been corrupted.' <<<"$out" ||
  fail "the damaged setup did not report itself corrupted: $out"
[ ! -e "$dest/Readme.txt" ] || fail "the damaged setup extracted files"
echo "signed setup: verified, installed, uninstalled, kept to its destination, scheduled a library in use; damaged after signing: refused"
