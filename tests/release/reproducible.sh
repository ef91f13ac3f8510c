#!/usr/bin/env bash
# Builds the shipped setup twice, from two clones of the source repository
# made at different times in different folders, packs each clone's own
# sample product with that build's pvpack, and compares: setup-stub.exe and
# PavlaneSetup.exe must be the same bytes, so a release can be rebuilt and
# checked against the published one. The clones' files carry the times of
# their checkout; SOURCE_DATE_EPOCH (the last commit's time unless it is
# set) holds them back to one date.
#
#   reproducible.sh SOURCE-DIR WORK-DIR
set -euo pipefail
src=$(cd "$1" && pwd)
work=$2
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)

if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
  export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct)}
  [ -z "$(git -C "$src" status --porcelain --untracked-files=no)" ] ||
    echo "reproducible.sh: checking the last commit; uncommitted changes are not in the clones" >&2
  get_sources() { git clone -q "$src" "$1"; }
else
  # Sources without their history (an unpacked release): copies, their
  # times held back to the start of this check.
  export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(date +%s)}
  get_sources() { mkdir -p "$1" && tar -C "$src" --exclude=./build --exclude=./out -cf - . | tar -C "$1" -m -xf -; }
fi

for side in a b/somewhere/else; do
  dir=$work/$side
  [ "$side" = a ] || sleep 2  # a later checkout: other file times, even in DOS's 2-second steps
  get_sources "$dir/src"
  cmake -S "$dir/src" -B "$dir/win32" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPV_TESTS=OFF \
    -DPV_MINGW_THREADS=win32 -DCMAKE_TOOLCHAIN_FILE="$dir/src/cmake/toolchain-i686-w64-mingw32.cmake" >/dev/null
  cmake --build "$dir/win32" --target setup-stub >/dev/null
  cmake -S "$dir/src" -B "$dir/native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPV_TESTS=OFF >/dev/null
  cmake --build "$dir/native" --target pvpack >/dev/null
  "$dir/native/tools/pvpack/pvpack" pack "$dir/src/sample/product" "$dir/product.pvz"
  "$dir/native/tools/pvpack/pvpack" setup "$dir/win32/setup/setup-stub.exe" "$dir/product.pvz" \
    "$dir/PavlaneSetup.exe"
done

# Not a check at all if both product trees had the same times anyway.
readme=src/sample/product/Readme.txt
if [ "$(stat -c %Y "$work/a/$readme")" = "$(stat -c %Y "$work/b/somewhere/else/$readme")" ]; then
  echo "reproducible.sh: both clones' files have the same times" >&2
  exit 1
fi

status=0
for f in win32/setup/setup-stub.exe PavlaneSetup.exe; do
  if cmp "$work/a/$f" "$work/b/somewhere/else/$f"; then
    echo "same bytes: $(basename "$f") ($(stat -c %s "$work/a/$f") bytes)"
  else
    status=1
  fi
done
[ $status -eq 0 ] && rm -rf "$work"
exit $status
