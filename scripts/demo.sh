#!/usr/bin/env bash
# The main job (called by ./run demo after the build): packs the sample
# product into an archive, lists and verifies it, and unpacks it with the
# setup program's own reader, then compares the result with the source.
set -euo pipefail
cd "$(dirname "$0")/.."
pvpack=${PVPACK:-out/bin/pvpack}
demo=out/demo
rm -rf "$demo"
mkdir -p "$demo"

# A copy of the sample with one read-only file, as a product tree may have.
cp -a sample/product "$demo/product"
chmod a-w "$demo/product/License.txt"

echo "== pvpack pack sample/product"
"$pvpack" pack "$demo/product" "$demo/product.pvz"
echo "== pvpack list"
"$pvpack" list "$demo/product.pvz"
echo "== pvpack verify"
"$pvpack" verify "$demo/product.pvz" && echo "sound"
echo "== pvpack extract (the setup program's reader)"
"$pvpack" extract "$demo/product.pvz" "$demo/installed"
python3 scripts/compare-trees.py "$demo/product" "$demo/installed"
