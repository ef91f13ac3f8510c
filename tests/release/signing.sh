#!/usr/bin/env bash
# A setup signed after it was built: the signature verifies, pvpack verify
# accepts the file, and it installs under Wine; damaged after signing, it is
# refused with the corrupted-file message. Run inside xvfb-run.
#
#   signing.sh WORK-DIR SETUP-STUB PRODUCT-DIR PVPACK PVAUTO
set -euo pipefail
work=$1 stub=$2 product=$3 pvpack=$4 pvauto=$5
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
fail() { echo "signing.sh: $*" >&2; exit 1; }

# A throwaway code-signing certificate, its own trusted root.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Pavlane Test Signing" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null

# Packed as ./run packs it: file times held back to the last commit's.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$here" log -1 --format=%ct 2>/dev/null || true)}
"$pvpack" pack "$product" "$work/product.pvz"
"$pvpack" setup "$stub" "$work/product.pvz" "$work/PavlaneSetup.exe"
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Pavlane Orbit Suite 3.03 Setup" \
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

# Both under Wine, in a prefix of their own.
bash "$here/../e2e/prefix.sh" create "$work/wine"
trap 'bash "$here/../e2e/prefix.sh" remove "$work/wine"' EXIT
winpath() { echo "Z:${1//\//\\}"; }
run() { bash "$here/../e2e/prefix.sh" run "$work/wine" "$pvauto" run "$(winpath "$1")" --timeout 60 \
  --wait "Pavlane Orbit Suite 3.03 Setup" --press 201 --wait "Pavlane Setup" --press OK --exit; }

cp "$work/Signed.exe" "$work/wine/PavlaneSetup.exe"
out=$(run "$work/wine/PavlaneSetup.exe")
grep -qF 'Pavlane has been successfully installed.' <<<"$out" || fail "the signed setup did not install: $out"
dest="$work/wine/prefix/drive_c/Program Files/VelmSoft/Pavlane"
for f in Readme.txt Help/contents.htm Queries/Sample.pvf Pavlane.exe; do
  cmp -s "$product/$f" "$dest/$f" || fail "$f was not installed as packed"
done

rm -rf "$dest"
cp "$work/Damaged.exe" "$work/wine/PavlaneSetup.exe"
out=$(run "$work/wine/PavlaneSetup.exe")
grep -qF 'box "Pavlane Setup" 0x10 (MB_OK | MB_ICONHAND) "Unable to extract data as the Setup file has been corrupted.' <<<"$out" ||
  fail "the damaged setup did not report itself corrupted: $out"
[ ! -e "$dest/Readme.txt" ] || fail "the damaged setup extracted files"
echo "signed setup: verified, installed; damaged after signing: refused"
