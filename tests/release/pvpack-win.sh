#!/usr/bin/env bash
# The release engineer's tool on Windows: the shipped pvpack.exe under Wine
# packs a real tree of a few MB to the native tool's bytes, on one worker
# and on two (its own threads), and its verify and extract give the tree
# back: contents, read-only flags and times. Then what it must refuse and
# survive: an output over an input, a stub that is not the setup program, a
# 3 GiB file, Ctrl-C while it writes.
#
#   pvpack-win.sh WORK-DIR PVPACK-EXE NATIVE-PVPACK PRODUCT-DIR
set -euo pipefail
work=$1 exe=$2 native=$3 product=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "pvpack-win.sh: $*" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
prefix() { bash "$here/../../scripts/wine-prefix.sh" "$@"; }
prefix create "$work/wine"
trap 'prefix remove "$work/wine"' EXIT
winpath() { echo "Z:${1//\//\\}"; }
win() { prefix run "$work/wine" "$exe" "$@"; }

# The sample product and Windows headers: files of every size, binary and
# text, in nested folders, one of them read-only. Same time zone and time
# limit for both tools: DOS times are local times.
tree=$work/tree
mkdir -p "$tree/headers"
cp -a "$product" "$tree/product"
cp -a /usr/share/mingw-w64/include/ddk "$tree/headers/ddk"
cp -a /usr/share/mingw-w64/include/d3d*.h "$tree/headers/"
chmod a-w "$tree/product/License.txt"
export TZ=PVT-3 SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(date +%s)}

"$native" pack -j1 "$tree" "$work/native.pvz"
for jobs in 1 2; do
  win pack -j"$jobs" "$(winpath "$tree")" "$(winpath "$work/win-j$jobs.pvz")" ||
    fail "pvpack.exe pack -j$jobs failed"
  cmp -s "$work/native.pvz" "$work/win-j$jobs.pvz" ||
    fail "pvpack.exe pack -j$jobs wrote other bytes than the native tool"
done
# All six encodings to the end: the same bytes too, and sound.
"$native" pack --smallest "$tree" "$work/native-smallest.pvz"
win pack --smallest "$(winpath "$tree")" "$(winpath "$work/win-smallest.pvz")" ||
  fail "pvpack.exe pack --smallest failed"
cmp -s "$work/native-smallest.pvz" "$work/win-smallest.pvz" ||
  fail "pvpack.exe pack --smallest wrote other bytes than the native tool"
win verify "$(winpath "$work/win-smallest.pvz")" >/dev/null ||
  fail "pvpack.exe verify refused its own archive packed with --smallest"
win verify "$(winpath "$work/win-j2.pvz")" >/dev/null || fail "pvpack.exe verify refused its own archive"
win extract "$(winpath "$work/win-j2.pvz")" "$(winpath "$work/extracted")" ||
  fail "pvpack.exe extract failed"
python3 "$here/../../scripts/compare-trees.py" "$tree" "$work/extracted" >/dev/null ||
  fail "the extracted tree differs: $(python3 "$here/../../scripts/compare-trees.py" "$tree" "$work/extracted")"
# What it writes replaces the target whole, never one of its inputs, also
# when Ctrl-C comes; what a 32-bit program cannot hold is refused by name;
# only the bare setup program makes a setup.
stub=$(dirname "$exe")/setup-stub.exe
attempt() { set +e; win "$@" >"$work/out" 2>"$work/err"; status=$?; set -e; }
expect() {  # expect STATUS TEXT WHAT: the last attempt's status and message
  [ "$status" -eq "$1" ] && grep -qF -- "$2" "$work/err" ||
    fail "$3: status $status, $(cat "$work/err")"
}
cp "$work/win-j2.pvz" "$work/keep.pvz"
attempt setup "$(winpath "$stub")" "$(winpath "$work/keep.pvz")" "$(winpath "$work/keep.pvz")"
expect 74 "the same file as" "setup over its own ARCHIVE"
cmp -s "$work/keep.pvz" "$work/win-j2.pvz" || fail "setup over its own ARCHIVE changed it"
attempt setup "$(winpath "$exe")" "$(winpath "$work/keep.pvz")" "$(winpath "$work/setup.exe")"
expect 64 "not the bare setup program (setup-stub.exe): it lacks the version block" "pvpack.exe as STUB"
truncate -s 3G "$work/big.bin"   # sparse: no disk taken
attempt implode "$(winpath "$work/big.bin")" "$(winpath "$work/big.imp")"
expect 74 "3221225472 bytes, more than this 32-bit build can hold in memory" "implode of 3 GiB"
attempt setup "$(winpath "$work/big.bin")" "$(winpath "$work/keep.pvz")" "$(winpath "$work/setup.exe")"
expect 74 "3221225472 bytes, more than this 32-bit build can hold in memory" "a STUB of 3 GiB"
rm "$work/big.bin"
# Ctrl-C (Wine turns SIGINT into it) while the stream is being written.
head -c 40000000 /dev/urandom >"$work/noise.bin"
echo old >"$work/noise.imp"
(exec bash "$here/../../scripts/wine-prefix.sh" run "$work/wine" "$exe" implode \
  "$(winpath "$work/noise.bin")" "$(winpath "$work/noise.imp")") 2>/dev/null &
pid=$!
for _ in $(seq 600); do ls "$work" | grep -q '^pvpack-' && break; sleep 0.05; done
kill -INT "$pid" || fail "implode ended before Ctrl-C"
set +e; wait "$pid"; status=$?; set -e
[ "$status" -ne 0 ] && [ "$(cat "$work/noise.imp")" = old ] && ! ls "$work" | grep -q '^pvpack-' ||
  fail "Ctrl-C during implode: status $status, $(ls "$work")"
echo "pvpack.exe: $(find "$tree" -type f | wc -l) files packed as the native tool packs them (-j1, -j2), verified and extracted intact; its refusals and Ctrl-C as they should be"
