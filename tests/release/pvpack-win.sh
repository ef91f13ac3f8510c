#!/usr/bin/env bash
# The release engineer's tool on Windows: the shipped pvpack.exe under Wine
# packs a real tree of a few MB to the native tool's bytes, on one worker
# and on two (its own threads), and its verify and extract give the tree
# back: contents, read-only flags and times.
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
win verify "$(winpath "$work/win-j2.pvz")" >/dev/null || fail "pvpack.exe verify refused its own archive"
win extract "$(winpath "$work/win-j2.pvz")" "$(winpath "$work/extracted")" ||
  fail "pvpack.exe extract failed"
python3 "$here/../../scripts/compare-trees.py" "$tree" "$work/extracted" >/dev/null ||
  fail "the extracted tree differs: $(python3 "$here/../../scripts/compare-trees.py" "$tree" "$work/extracted")"
echo "pvpack.exe: $(find "$tree" -type f | wc -l) files packed as the native tool packs them (-j1, -j2), verified and extracted intact"
