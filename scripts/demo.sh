#!/usr/bin/env bash
# The main job (called by ./run demo after the build): packs the sample
# product into an archive, lists and verifies it, and unpacks it with the
# setup program's own rules, then compares the result with the source.
set -euo pipefail
cd "$(dirname "$0")/.."
pvpack=${PVPACK:-out/bin/pvpack}
demo=out/demo
# The product's names, paths and keys (PV_PRODUCT_*), from the build.
. build/native/product.env
programs="Program Files (x86)$PV_PRODUCT_DEFAULT_DESTINATION"
rm -rf "$demo"
mkdir -p "$demo"

# A copy of the staged sample product (its files and its 32-bit programs)
# with one read-only file, as a product tree may have.
cp -a build/win32/product "$demo/product"
chmod a-w "$demo/product/License.txt"

echo "== pvpack pack (the sample product)"
"$pvpack" pack "$demo/product" "$demo/product.pvz"
echo "== pvpack list"
"$pvpack" list "$demo/product.pvz"
echo "== pvpack verify"
"$pvpack" verify "$demo/product.pvz"
echo "== pvpack extract (the setup program's rules, on several threads)"
"$pvpack" extract "$demo/product.pvz" "$demo/installed"
python3 scripts/compare-trees.py "$demo/product" "$demo/installed"

# The setup program itself: the sample's archive behind each setup stub, and
# the shipped 32-bit one run under Wine on a virtual screen in a fresh 64-bit
# prefix, as on most users' PCs, driven through every window by pvauto, each
# window captured.
echo "== pvpack setup: out/win32/PavlaneSetup.exe, out/win64/PavlaneSetup.exe"
"$pvpack" setup out/win32/setup-stub.exe "$demo/product.pvz" out/win32/PavlaneSetup.exe
# The twin carries the product built for its own architecture.
"$pvpack" pack build/win64/product "$demo/product-win64.pvz"
"$pvpack" setup out/win64/setup-stub.exe "$demo/product-win64.pvz" out/win64/PavlaneSetup.exe
echo "== out/win32/PavlaneSetup.exe under Wine, driven by pvauto"
prefix=$PWD/build/demo-prefix
wine_in() { scripts/wine-prefix.sh run "$prefix" "$@"; }
rm -rf build/demo-drives
scripts/wine-prefix.sh create "$prefix"
xvfb-run -a -s "-screen 0 1024x768x24" \
  scripts/wine-prefix.sh run "$prefix" out/win32/pvauto.exe run out/win32/PavlaneSetup.exe \
  --script tools/automate/demo-setup.txt
scripts/wine-prefix.sh wait "$prefix"
# The directory dialog on its own, among drives of every kind.
WINEPREFIX=$prefix PV_PRODUCT_ENV=build/native/product.env bash tests/win/wine-setup.sh add "$PWD/build/demo-drives"
xvfb-run -a -s "-screen 0 1024x768x24" \
  scripts/wine-prefix.sh run "$prefix" out/win32/seldir_shot.exe "$demo/choose-directory.bmp"
scripts/wine-prefix.sh wait "$prefix"
for shot in "$demo"/*.bmp; do
  python3 tools/automate/bmp2png.py "$shot" "${shot%.bmp}.png" && rm "$shot"
done
# A 32-bit program on 64-bit Windows reads "Program Files (x86)" as the
# program folder.
installed="$prefix/drive_c/${programs//\\//}"
echo "== installed into C:\\$programs ($installed)"
(cd "$installed" && find . -type f -printf '%10s  %TY-%Tm-%Td %TH:%TM  %P\n' | sort -k4)
python3 scripts/compare-trees.py "$demo/product" "$installed" '*.dl_'
menu="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/$PV_PRODUCT_NAME"
echo "== shortcuts in the Programs menu ($PV_PRODUCT_NAME)"
ls -1 "$menu"
echo "== registry (the 32-bit view, where a 32-bit program's keys live)"
for key in "HKLM\\$PV_PRODUCT_UNINSTALL_KEY" "HKLM\\$PV_PRODUCT_KEY"; do
  wine_in reg query "$key" /s /reg:32 | tr -d '\r' | sed '/^$/d'
done
# Wine, started without a display by the queries, must end before the
# virtual screen opens, or its windows have nowhere to go.
scripts/wine-prefix.sh wait "$prefix"
echo "== uninst.exe, the uninstall entry's program"
xvfb-run -a scripts/wine-prefix.sh run "$prefix" out/win32/pvauto.exe run \
  "C:\\$programs$PV_PRODUCT_UNINSTALLER" --timeout 60 --wait "$PV_PRODUCT_UNINSTALLER_CAPTION" \
  --press Yes --answer "$PV_PRODUCT_UNINSTALLER_CAPTION=OK" --exit
scripts/wine-prefix.sh wait "$prefix"
for gone in "$installed" "$menu"; do
  [ -e "$gone" ] && echo "still there: $gone" || echo "removed: ${gone#$prefix/}"
done
wine_in reg query "HKLM\\$PV_PRODUCT_MAKER_KEY" /reg:32 >/dev/null 2>&1 &&
  echo "still there: the product key" || echo "removed: the product key and the uninstall entry"
echo "== screenshots"
ls "$demo"/*.png
