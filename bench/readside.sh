#!/usr/bin/env bash
# pvpack's read side on an archive of over 40 MB: the peak memory and the
# time of list, verify, extract, setup and explode, with the tools they are
# measured against beside them: extract against cp -r of the same tree,
# explode against gzip -d (libdeflate-gunzip as well when installed) on the
# same bytes as gzip.
#
#   bench/readside.sh [PVPACK [STUB]]   default out/bin/pvpack and
#                                       out/win32/setup-stub.exe (./run build)
#
# The tree is the first 40 MB of /usr/include and /usr/share/doc, taken in
# name order (leaving out names Windows cannot store), so each run on one
# machine reads the same. Figures are the best of three
# runs: wall seconds, CPU seconds (user + system) and peak memory (maximum
# resident set). It fails only when a command fails, never on a figure.
set -euo pipefail
cd "$(dirname "$0")/.."
pvpack=$(realpath "${1:-out/bin/pvpack}")
stub=$(realpath "${2:-out/win32/setup-stub.exe}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/tree"
find /usr/include /usr/share/doc -type f -size +0 -printf '%s %p\n' 2>/dev/null |
  LC_ALL=C sort -k2 | awk '
    # Only names Windows can store, one of each when case is ignored.
    { low = tolower($2); base = low; sub(/.*\//, "", base); sub(/\..*/, "", base) }
    low in seen || $2 ~ /[<>:"\\|?*]/ || base ~ /^(con|prn|aux|nul|com[1-9]|lpt[1-9])$/ { next }
    { seen[low] = 1; total += $1; print $2; if (total >= 40000000) exit }' > "$work/list" || true
while IFS= read -r f; do
  rel=${f#/usr/}
  mkdir -p "$work/tree/${rel%/*}"
  cp "$f" "$work/tree/$rel"
done < "$work/list"
# Beside them 32 MB that does not pack (a fixed pseudo-random sequence), so
# that the archive, too, passes 40 MB.
python3 - "$work/tree/random" <<'PY'
import os, random, sys
os.makedirs(sys.argv[1], exist_ok=True)
generator = random.Random(16)
for i in range(8):
    with open(os.path.join(sys.argv[1], "r%d.bin" % i), "wb") as f:
        f.write(generator.randbytes(4 << 20))
PY
cd "$work"
"$pvpack" pack -q tree a.pvz 2> pack.log || { cat pack.log; exit 1; }
"$pvpack" setup -q "$stub" a.pvz setup.exe
find tree -type f | LC_ALL=C sort | xargs cat > all.bin
"$pvpack" implode all.bin all.imp
gzip -9 -c all.bin > all.gz
echo "tree $(du -sb tree | cut -f1) bytes in $(find tree -type f | wc -l) files;" \
  "archive $(stat -c %s a.pvz) bytes; one stream of $(stat -c %s all.bin) bytes"

# best NAME COMMAND...: runs COMMAND three times (clean between runs) and
# prints its best wall time, CPU time and peak memory.
best() {
  local name=$1 wall=999999 cpu=0 mem=0; shift
  for _ in 1 2 3; do
    rm -rf out copy s2.exe x.out
    /usr/bin/time -f "%e %U %S %M" -o t.txt "$@" > /dev/null
    read -r e u s m < t.txt
    if awk "BEGIN { exit !($e < $wall) }"; then
      wall=$e cpu=$(awk "BEGIN { print $u + $s }") mem=$m
    fi
  done
  printf "  %-44s %8.2f %8.2f %9.1f\n" "$name" "$wall" "$cpu" "$(awk "BEGIN { print $mem / 1024 }")"
}
printf "  %-44s %8s %8s %9s\n" "" "wall s" "CPU s" "peak MB"
best "pvpack list a.pvz" "$pvpack" list a.pvz
best "pvpack verify a.pvz" "$pvpack" verify -q a.pvz
best "pvpack verify setup.exe" "$pvpack" verify -q setup.exe
best "pvpack setup STUB a.pvz" "$pvpack" setup -q "$stub" a.pvz s2.exe
best "pvpack extract a.pvz" "$pvpack" extract -q a.pvz out
best "cp -r of the tree" cp -r tree copy
best "pvpack explode (one stream)" "$pvpack" explode all.imp x.out
best "gzip -d (the same bytes)" gzip -d -c all.gz
if command -v libdeflate-gunzip > /dev/null; then
  best "libdeflate-gunzip (the same bytes)" libdeflate-gunzip -c all.gz
fi
