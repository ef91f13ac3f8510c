#!/usr/bin/env bash
# pvpack's read side: the peak memory and the time of list, verify, extract,
# setup and explode, with the tools they are measured against beside them:
# extract against cp -r of the same tree, explode against gzip -d
# (libdeflate-gunzip as well when installed) on the same bytes as gzip.
#
#   bench/readside.sh [PVPACK [STUB]]        an archive of over 40 MB (about
#                                            a minute)
#   bench/readside.sh --big [PVPACK [STUB]]  one of 3 GB (about 5 minutes,
#                                            11 GB of free space)
#   default PVPACK and STUB: out/bin/pvpack and out/win32/setup-stub.exe
#   (./run build)
#
# The tree of over 40 MB is the first 40 MB of /usr/include and
# /usr/share/doc, taken in name order (leaving out names Windows cannot
# store), so each run on one machine reads the same, and 32 MB that does not
# pack; explode also decodes a product's 100 MB (see below). The 3 GB tree
# is 42 files of 64 MB that do not pack; explode is left out there, as
# implode holds its whole input. Figures are the best of five
# runs (one for --big): wall seconds, CPU seconds (user + system, over all
# threads) and peak memory (maximum resident set). Every output goes where
# the command puts it (extract's and cp's trees into the same folder) but
# explode's and the gunzips', which go to /dev/null alike. It fails only
# when a command fails, never on a figure.
set -euo pipefail
cd "$(dirname "$0")/.."
big=0
if [ "${1:-}" = --big ]; then big=1; shift; fi
runs=$((big ? 1 : 5))
pvpack=$(realpath "${1:-out/bin/pvpack}")
stub=$(realpath "${2:-out/win32/setup-stub.exe}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/tree"
if [ $big = 0 ]; then
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
fi
# Data that does not pack (a fixed pseudo-random sequence): beside the
# files, 32 MB, so that the archive too passes 40 MB; alone, 3 GB of it.
python3 - "$work/tree/random" $((big ? 42 : 8)) $((big ? 64 : 4)) <<'PY'
import os, random, sys
folder, count, mb = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
os.makedirs(folder, exist_ok=True)
generator = random.Random(16)
for i in range(count):
    with open(os.path.join(folder, "r%d.bin" % i), "wb") as f:
        f.write(generator.randbytes(mb << 20))
PY
cd "$work"
"$pvpack" pack -q -j "$(nproc)" tree a.pvz 2> pack.log || { cat pack.log; exit 1; }
"$pvpack" setup -q "$stub" a.pvz setup.exe
echo "tree $(du -sb tree | cut -f1) bytes in $(find tree -type f | wc -l) files;" \
  "archive $(stat -c %s a.pvz) bytes"
if [ $big = 0 ]; then
  find tree -type f | LC_ALL=C sort | xargs cat > all.bin
  "$pvpack" implode all.bin all.imp
  gzip -9 -c all.bin > all.gz
  echo "one stream of $(stat -c %s all.bin) bytes"
  # A product's files as one stream too: the first 100 MB of Wine's Windows
  # libraries and the MinGW headers (the files of bench/peer.sh), which
  # nearly all pack.
  product=(/usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/share/mingw-w64/include)
  if [ -d "${product[0]}" ] && [ -d "${product[1]}" ]; then
    { find "${product[@]}" -type f | LC_ALL=C sort | xargs cat 2> /dev/null || true; } |
      head -c 100000000 > product.bin
    "$pvpack" implode product.bin product.imp
    gzip -9 -c product.bin > product.gz
    echo "a product's stream of $(stat -c %s product.bin) bytes"
  fi
fi

# Each command is registered with add NAME COMMAND (a string for eval) and
# run once a round, so that a slow spell of the machine or of its file
# system falls on every command alike; each keeps its best wall time, with
# the CPU time and peak memory of that run.
names=() commands=()
add() { names+=("$1"); commands+=("$2"); }
add "pvpack list a.pvz" '"$pvpack" list a.pvz'
add "pvpack verify a.pvz" '"$pvpack" verify -q a.pvz'
add "pvpack verify setup.exe" '"$pvpack" verify -q setup.exe'
add "pvpack setup STUB a.pvz" '"$pvpack" setup -q "$stub" a.pvz s2.exe'
add "pvpack extract a.pvz" '"$pvpack" extract -q a.pvz out'
add "cp -r" 'cp -r tree copy'
if [ $big = 0 ]; then
  add "pvpack explode (one stream)" '"$pvpack" explode all.imp -'
  add "gzip -d (the same bytes)" 'gzip -d -c all.gz'
  if command -v libdeflate-gunzip > /dev/null; then
    add "libdeflate-gunzip" 'libdeflate-gunzip -c all.gz'
  fi
  if [ -e product.gz ]; then
    add "pvpack explode (product)" '"$pvpack" explode product.imp -'
    add "gzip -d (product)" 'gzip -d -c product.gz'
    if command -v libdeflate-gunzip > /dev/null; then
      add "libdeflate-gunzip (product)" 'libdeflate-gunzip -c product.gz'
    fi
  fi
fi
declare -A wall cpu mem
for _ in $(seq $runs); do
  for i in "${!names[@]}"; do
    rm -rf out copy s2.exe
    # Wall time to the millisecond from the clock (time's own has 10 ms).
    start=$(date +%s%N)
    eval "/usr/bin/time -f '%U %S %M' -o t.txt ${commands[$i]}" > /dev/null
    e=$(awk -v a="$start" -v b="$(date +%s%N)" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
    read -r u s m < t.txt
    if [ -z "${wall[$i]:-}" ] || awk "BEGIN { exit !($e < ${wall[$i]}) }"; then
      wall[$i]=$e cpu[$i]=$(awk "BEGIN { print $u + $s }") mem[$i]=$m
    fi
  done
done
printf "  %-44s %8s %8s %9s\n" "" "wall s" "CPU s" "peak MB"
declare -A walls
for i in "${!names[@]}"; do
  walls[${names[$i]}]=${wall[$i]}
  printf "  %-44s %8.3f %8.2f %9.1f\n" "${names[$i]}" "${wall[$i]}" "${cpu[$i]}" \
    "$(awk "BEGIN { print ${mem[$i]} / 1024 }")"
done
# ratio A B: A's wall time over B's.
ratio() {
  awk -v a="${walls[$1]}" -v b="${walls[$2]}" -v what="$1 against $2" \
    'BEGIN { printf "  %-58s %6.2fx\n", what, (b > 0 ? a / b : 0) }'
}
echo "Wall time, as ratios:"
ratio "pvpack extract a.pvz" "cp -r"
if [ $big = 0 ]; then
  ratio "pvpack explode (one stream)" "gzip -d (the same bytes)"
  if [ -n "${walls[libdeflate-gunzip]:-}" ]; then ratio "pvpack explode (one stream)" libdeflate-gunzip; fi
  if [ -n "${walls[gzip -d (product)]:-}" ]; then
    ratio "pvpack explode (product)" "gzip -d (product)"
  fi
  if [ -n "${walls[libdeflate-gunzip (product)]:-}" ]; then
    ratio "pvpack explode (product)" "libdeflate-gunzip (product)"
  fi
fi
