#!/usr/bin/env bash
# Builds the shipped setup twice, from the same sources copied into two
# different folders, packs the same product tree with each build's own
# pvpack, and compares: setup-stub.exe and PavlaneSetup.exe must be the same
# bytes, so a release can be rebuilt and checked against the published one.
#
#   reproducible.sh SOURCE-DIR WORK-DIR
set -euo pipefail
src=$(cd "$1" && pwd)
work=$2
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)

copy_sources() {  # copy_sources DEST: the tracked files, as a clone has them
  mkdir -p "$1"
  if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$src" && git ls-files -z | xargs -0 cp --parents -t "$1")
  else
    tar -C "$src" --exclude=./build --exclude=./out -cf - . | tar -C "$1" -xf -
  fi
}

# The product tree both builds pack: the sample's files with fixed times.
cp -r "$src/sample/product" "$work/tree"
find "$work/tree" -exec touch -h -d '2026-03-01 09:30:00' {} +

for side in a b/somewhere/else; do
  dir=$work/$side
  copy_sources "$dir/src"
  cmake -S "$dir/src" -B "$dir/win32" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPV_TESTS=OFF \
    -DPV_MINGW_THREADS=win32 -DCMAKE_TOOLCHAIN_FILE="$dir/src/cmake/toolchain-i686-w64-mingw32.cmake" >/dev/null
  cmake --build "$dir/win32" --target setup-stub >/dev/null
  cmake -S "$dir/src" -B "$dir/native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPV_TESTS=OFF >/dev/null
  cmake --build "$dir/native" --target pvpack >/dev/null
  "$dir/native/tools/pvpack/pvpack" pack "$work/tree" "$dir/product.pvz"
  "$dir/native/tools/pvpack/pvpack" setup "$dir/win32/setup/setup-stub.exe" "$dir/product.pvz" \
    "$dir/PavlaneSetup.exe"
done

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
