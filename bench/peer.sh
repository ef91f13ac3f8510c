#!/usr/bin/env bash
# The setup program against NSIS on two products of about 100 MB, each
# with the staged sample product at the top so that the post-install steps
# find their files, and files that every machine with the project's
# dependencies holds, picked by name so that each run packs the same tree:
#   libraries  Wine's own Windows libraries (about 70 MB) and the MinGW
#              Windows headers (about 30 MB): many files, most of them small
#   docs       the documentation of the installed Debian packages
#              (/usr/share/doc), its files of 16 KiB and more, one of each
#              content, up to 104 MB: fewer files, most of them large, text
#              and some already compressed
#   sample     the sample product alone (10 files), asked for by name: what
#              a setup costs besides its files (start, windows, shortcuts)
#
#   bench/peer.sh [--runs N] [--requests] [PRODUCT...]   after ./run build
#       (it needs out/bin/pvpack, out/win32/setup-stub.exe and pvauto.exe,
#       build/win32/product); libraries and docs by default, 3 installs each;
#       --requests: then one more install of ours, untimed, with the Wine
#       server's requests counted per process (WINEDEBUG=+server)
#
# Both setups are 32-bit programs (NSIS's x86-unicode stubs), installing
# into the program folder for 32-bit programs of one 64-bit Wine prefix.
#
# For each product: packs the tree with pvpack and with makensis (zlib, and
# solid lzma), then installs each setup three times in one Wine prefix,
# each started by pvauto: ours driven by it (Install, then OK), NSIS's
# silent (/S). Prints pack times, setup sizes, install times (best of
# three; wall clock, and the CPU time of the setup and of Wine on its
# behalf) and the ratios. The wall clock runs from the setup's creation to
# its end, as pvauto reads them from the system (pvauto's own start is the
# user's, not the setup's), less the time ours stood waiting on pvauto
# once it had seen a window. It fails only when a setup cannot be built
# or an install is incomplete, never on speed.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
# Wine starts each program as an orphan. With this shell as their reaper,
# the CPU time of the setup programs (and of the Wine server, its child)
# can be counted; the machine's load then tells less in the figures.
if [ -z "${PV_PEER_REAPER:-}" ]; then
  export PV_PEER_REAPER=1
  exec python3 -c 'import ctypes, os, sys
PR_SET_CHILD_SUBREAPER = 36
ctypes.CDLL(None).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
os.execvp(sys.argv[1], sys.argv[1:])' bash "$0" "$@"
fi

pvpack=$top/out/bin/pvpack
stub=$top/out/win32/setup-stub.exe
pvauto_exe=$top/out/win32/pvauto.exe
sample=$top/build/win32/product
# The product's names, paths and keys (PV_PRODUCT_*), from the same build.
# shellcheck disable=SC1091
. "$top/build/win32/product.env"
for need in "$pvpack" "$stub" "$pvauto_exe" "$sample/uninst.exe"; do
  [ -e "$need" ] || { echo "peer.sh: $need is missing; run ./run build first" >&2; exit 1; }
done
command -v makensis >/dev/null ||
  { echo "peer.sh: makensis is missing; run scripts/deps.sh" >&2; exit 1; }

pe_dir=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
header_dir=/usr/share/mingw-w64/include
doc_dir=/usr/share/doc
work=$top/build/bench-peer
runs=3
requests=
products=()
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --requests) requests=1; shift ;;
    libraries | docs | sample) products+=("$1"); shift ;;
    *) echo "usage: bench/peer.sh [--runs N] [--requests] [libraries] [docs] [sample]" >&2
       exit 2 ;;
  esac
done
[ ${#products[@]} -gt 0 ] || products=(libraries docs)

eval "$(scripts/wine-prefix.sh env "$work/prefix")"
unset SOURCE_DATE_EPOCH  # file times go in as they are, so the install can be compared
cleanup() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
rm -rf "$work"
mkdir -p "$work/aside"

# pick DIR LIMIT SMALLER-THAN [one]: the files below DIR in byte order of
# their names, each smaller than SMALLER-THAN bytes, until they add up to
# LIMIT bytes. With "one", a single file of each family of names that differ
# only in digits and underscores (Wine builds twenty versions of some
# libraries, which no product ships side by side).
pick() {
  (cd "$1" && find . -type f -size -"$3"c -printf '%s %P\n') | LC_ALL=C sort -k2 |
    awk -v limit="$2" -v one="${4:-}" '
      full { next }
      { name = substr($0, index($0, " ") + 1); family = name; gsub(/[0-9_]/, "", family) }
      one && seen[family]++ { next }
      { total += $1; print name; if (total >= limit) full = 1 }'
}

# pick_docs LIMIT AT-LEAST: the files of doc_dir in byte order of their
# names, each of AT-LEAST bytes or more, until they add up to LIMIT bytes:
# only names that Windows can store (printable ASCII, no reserved
# characters or device names, one of each when case is ignored), and one
# file of each content (several packages ship the same changelog or
# licence, which a product would not carry twice, and which NSIS would
# store once).
pick_docs() {
  (cd "$doc_dir" && find . -type f -size +"$(($2 - 1))"c -printf '%s %P\n') | LC_ALL=C sort -k2 |
    awk '{ name = substr($0, index($0, " ") + 1); low = tolower(name); base = low
           sub(/.*\//, "", base); sub(/\..*/, "", base) }
         low in seen || name ~ /[<>:"\\|?*]/ || name ~ /[^ -~]/ ||
           base ~ /^(con|prn|aux|nul|com[1-9]|lpt[1-9])$/ { next }
         { seen[low] = 1; print }' |
    while read -r bytes name; do
      printf '%s %s %s\n' "$bytes" "$(md5sum <"$doc_dir/$name" | cut -c1-32)" "$name"
    done |
    awk -v limit="$1" '
      full || seen[$2]++ { next }
      { total += $1; print substr($0, length($1) + length($2) + 3); if (total >= limit) full = 1 }'
}

echo "== the machine"
printf '%s; %s cores, %s; %s GB RAM; %s; load %s\n' "$(date -u '+%Y-%m-%d %H:%M UTC')" "$(nproc)" \
  "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)" \
  "$(awk '/^MemTotal/ { printf "%.0f", $2 / 1048576 }' /proc/meminfo)" "$(wine --version)" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"

fail() { echo "peer.sh: $*" >&2; exit 1; }
now_ms() { date +%s%3N; }
seconds() { awk -v ms="$1" 'BEGIN { printf "%.2f", ms / 1000 }'; }
winpath() { echo "Z:${1//\//\\}"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# make_product NAME: the product's tree in $product, described on one line.
make_product() {
  set_aside "$product"
  cp -a "$sample" "$product"
  case $1 in
    libraries)
      mkdir -p "$product/System" "$product/Include"
      # The very largest libraries (4 MB and more) are left out: a handful
      # would make most of the bytes.
      pick "$pe_dir" 70000000 4194304 one | (cd "$pe_dir" && xargs -d '\n' cp -p -t "$product/System")
      pick "$header_dir" 30000000 4194304 |
        (cd "$header_dir" && xargs -d '\n' cp -p --parents -t "$product/Include")
      ;;
    sample) ;;
    docs)
      mkdir -p "$product/Docs"
      pick_docs 104000000 16384 | (cd "$doc_dir" && xargs -d '\n' cp -p --parents -t "$product/Docs")
      ;;
  esac
  product_files=$(find "$product" -type f | wc -l)
  product_bytes=$(du -sb --apparent-size "$product" | cut -f1)
  printf '%s: %d files, %.1f MB: the sample product (%s files)' "$1" "$product_files" \
    "$(awk -v b="$product_bytes" 'BEGIN { print b / 1e6 }')" "$(find "$sample" -type f | wc -l)"
  case $1 in
    libraries)
      printf ', %s files of %s, %s files of %s\n' "$(find "$product/System" -type f | wc -l)" \
        "$pe_dir" "$(find "$product/Include" -type f | wc -l)" "$header_dir" ;;
    docs) printf ', %s files of %s\n' "$(find "$product/Docs" -type f | wc -l)" "$doc_dir" ;;
    sample) echo ;;
  esac
}

declare -A pack_ms pack_cpu size
time_pack() {  # time_pack NAME COMMAND...: its wall-clock and CPU times into pack_ms, pack_cpu
  local name=$1 t0 TIMEFORMAT='%U %S'
  shift
  t0=$(now_ms)
  if ! { time "$@" >"$work/$name.log" 2>&1; } 2>"$work/$name.time"; then
    cat "$work/$name.log" >&2
    fail "$name: packing failed"
  fi
  pack_ms[$name]=$(($(now_ms) - t0))
  pack_cpu[$name]=$(awk '{ printf "%.2f", $1 + $2 }' "$work/$name.time")
}

nsis_script() {  # nsis_script COMPRESSOR OUT: an installer of the same files and shortcuts
  local i
  cat <<NSI
Unicode true
Target x86-unicode
SetCompressor $1
Name "$PV_PRODUCT_NAME"
OutFile "$2"
InstallDir "\$PROGRAMFILES$PV_PRODUCT_DEFAULT_DESTINATION"
RequestExecutionLevel admin
Section
  SetOutPath "\$INSTDIR"
  File /r "$product/*"
  SetShellVarContext all
  CreateDirectory "\$SMPROGRAMS\\$PV_PRODUCT_NAME"
NSI
  for i in "${!PV_PRODUCT_MENU_SHORTCUTS[@]}"; do
    printf '  CreateShortcut "$SMPROGRAMS\\%s\\%s.lnk" "$INSTDIR%s"\n' \
      "$PV_PRODUCT_NAME" "${PV_PRODUCT_MENU_SHORTCUTS[i]}" "${PV_PRODUCT_MENU_TARGETS[i]}"
  done
  cat <<NSI
  WriteRegStr HKLM "$PV_PRODUCT_UNINSTALL_KEY" "DisplayName" "$PV_PRODUCT_NAME"
  WriteRegStr HKLM "$PV_PRODUCT_UNINSTALL_KEY" "UninstallString" '"\$INSTDIR$PV_PRODUCT_UNINSTALLER"'
SectionEnd
NSI
}

label() {
  case $1 in
    ours) echo "ours" ;;
    ours-1core) echo "ours, one core (-j1)" ;;
    nsis-zlib) echo "NSIS zlib" ;;
    nsis-lzma) echo "NSIS solid lzma" ;;
  esac
}

# pack_product: the product packed by each, with the table of times and sizes.
pack_product() {
  local kind compressor name setup_bytes
  pack_ms=() pack_cpu=() size=()
  echo "== packing (wall clock, and CPU time of all its threads)"
  # One core against all of them where the packer can be told.
  if "$pvpack" pack --help 2>&1 | grep -qE '(^|[[ ])-j'; then
    time_pack ours-1core "$pvpack" pack -j1 "$product" "$work/product.pvz"
  fi
  time_pack ours "$pvpack" pack "$product" "$work/product.pvz"
  "$pvpack" setup -q "$stub" "$work/product.pvz" "$ours"
  size[ours]=$(stat -c %s "$ours")
  for kind in zlib lzma; do
    compressor=zlib
    [ $kind = lzma ] && compressor="/SOLID lzma"
    nsis_script "$compressor" "$work/nsis-$kind.exe" >"$work/nsis-$kind.nsi"
    time_pack nsis-$kind makensis -V2 "$work/nsis-$kind.nsi"
    size[nsis-$kind]=$(stat -c %s "$work/nsis-$kind.exe")
  done
  printf '%-26s %9s %9s %13s %9s\n' "" "pack s" "CPU s" "setup bytes" "% of tree"
  for name in ours-1core ours nsis-zlib nsis-lzma; do
    [ -n "${pack_ms[$name]:-}" ] || continue
    setup_bytes=${size[$name]:-${size[ours]}}
    printf '%-26s %9s %9s %13d %9.1f\n' "$(label $name)" "$(seconds "${pack_ms[$name]}")" \
      "${pack_cpu[$name]}" "$setup_bytes" \
      "$(awk -v s="$setup_bytes" -v t="$product_bytes" 'BEGIN { print 100 * s / t }')"
  done
}

# The CPU time (ms) of this shell's descendants, living and ended: what the
# living ones have used, and what the ended ones left to this shell.
cpu_ms() {
  { cat /proc/[0-9]*/stat 2>/dev/null || true; } | awk -v root=$$ -v hz="$(getconf CLK_TCK)" '
    { pid = $1; sub(/.*\) /, ""); parent[pid] = $2; used[pid] = $12 + $13
      if (pid == root) ended = $14 + $15 }
    END {
      for (pid in parent) {
        for (p = parent[pid]; p in parent && p != root; p = parent[p]) {}
        if (p == root) total += used[pid]
      }
      printf "%d\n", (total + ended) * 1000 / hz
    }'
}

# Trees that the runs are done with are moved aside, not deleted, until the
# end. On this machine's ext4, creating a file scans past every inode freed
# in its group in the last minutes: with an install's 600 to 1000 files
# deleted before each next one, the Wine server's share of an install grew
# run after run (ours on docs from 0.96 s to 3.5 s in 18 runs), whichever
# setup ran, and the table measured the order of the runs.
set_aside() {  # set_aside PATH...
  local path
  for path in "$@"; do
    [ -e "$path" ] || continue
    aside=$((${aside:-0} + 1))
    mv "$path" "$work/aside/$aside"
  done
}
forget_install() {  # so that each run is a fresh install
  set_aside "$dest" "$menu"
  wine reg delete "HKLM\\$PV_PRODUCT_MAKER_KEY" /reg:32 /f >/dev/null 2>&1 || true
  wine reg delete "$uninstall_key" /reg:32 /f >/dev/null 2>&1 || true
}
install() {  # install NAME: runs that setup to its end, started by pvauto
  local program=$ours arguments=() steps=()
  case $1 in
    ours) steps=(--wait "$PV_PRODUCT_SETUP_TITLE" --press "$install_button"
                 --answer "Pavlane Setup=OK") ;;
    nsis-*) program=$work/$1.exe arguments=(--args /S) ;;
  esac
  # pvauto's CPU time, counted by a shell of its own, since the setup
  # program it starts is not its child but an orphan of Wine's.
  bash -c 'TIMEFORMAT="%U %S"; { time "$@" 2>&3; } 3>&2 2>"$0"' "$work/driver.time" \
    wine "$pvauto_exe" run "$(winpath "$program")" "${arguments[@]}" --timeout 600 \
    "${steps[@]}" --exit --ran
}
check_install() {  # check_install NAME: every file, the shortcuts and the uninstall entry
  python3 scripts/compare-trees.py "$product" "$dest" '*.dl_' >"$work/compare.log" ||
    { tail -5 "$work/compare.log" >&2; fail "$1: the installed tree differs"; }
  [ "$(ls "$menu" 2>/dev/null | grep -c '\.lnk$')" -eq "${#PV_PRODUCT_MENU_SHORTCUTS[@]}" ] ||
    fail "$1: not every shortcut"
  wine reg query "$uninstall_key" /v UninstallString /reg:32 >/dev/null 2>&1 ||
    fail "$1: no uninstall entry"
}

declare -A best_ms all_ms best_cpu all_cpu
keep() {  # keep TABLE NAME VALUE: the value into all_TABLE, the least into best_TABLE
  local -n every=all_$1 least=best_$1
  every[$2]="${every[$2]:-} $(seconds "$3")"
  if [ -z "${least[$2]:-}" ] || [ "$3" -lt "${least[$2]}" ]; then least[$2]=$3; fi
}

median() {  # median VALUE...: the middle one, or the mean of the two in the middle
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
    END { printf "%.2f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# install_product: each setup installed $runs times, in rounds, with the
# table of times and the ratios.
install_product() {
  local round name c0 ms cpu kind
  best_ms=() all_ms=() best_cpu=() all_cpu=() all_user=
  # The machine may be shared: its load beside the times, before and after.
  echo "== installing under Wine (wall clock until the setup ends; best of $runs; load $(cut -d' ' -f1-3 /proc/loadavg))"
  for round in $(seq "$runs"); do
    for name in ours nsis-zlib nsis-lzma; do
      forget_install
      c0=$(cpu_ms)
      if ! install $name >"$work/install.log" 2>&1; then
        cat "$work/install.log" >&2
        fail "$name: the install failed (run $round)"
      fi
      cpu=$(($(cpu_ms) - c0 - counting))
      # Each from the setup's creation to its end, as the system recorded
      # them: the start of pvauto, which stands for the user and starts it,
      # is not the setup's (nor that of wine, which starts pvauto); nor is
      # the time our welcome and closing message stood seen on the screen
      # but not yet pressed (pvauto reading the message and its icon).
      # NSIS's silent install shows neither.
      ms=$(sed -n "s/^ran \([0-9]*\) ms, the user's \([0-9]*\) ms.*/\1 - \2/p" "$work/install.log")
      [ -n "$ms" ] || fail "$name: pvauto did not say how long the setup ran"
      [ $name = ours ] && all_user="${all_user:-}${all_user:+ }${ms#* - }"
      ms=$((ms))
      # What pvauto spends stands for the user, not for the setup.
      cpu=$((cpu - $(awk '{ printf "%d", ($1 + $2) * 1000 }' "$work/driver.time")))
      check_install $name
      keep ms $name $ms
      keep cpu $name $cpu
    done
  done
  echo "   load after: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "   ours, taken off as the user's (ms, in run order): $all_user"
  # The median beside the best: on a shared machine one lucky run says less.
  printf '%-26s %9s %9s %9s %9s   %s\n' "" "best s" "CPU s" "median s" "med. CPU" \
    "runs (wall clock; CPU)"
  for name in ours nsis-zlib nsis-lzma; do
    printf '%-26s %9s %9s %9s %9s  %s;%s\n' "$(label $name)" "$(seconds "${best_ms[$name]}")" \
      "$(seconds "${best_cpu[$name]}")" "$(median ${all_ms[$name]})" \
      "$(median ${all_cpu[$name]})" "${all_ms[$name]}" "${all_cpu[$name]}"
  done

  echo "== ours / NSIS"
  printf '%-26s %9s %9s %9s %9s %9s\n' "" "size" "pack" "pack CPU" "install" "inst. CPU"
  for kind in zlib lzma; do
    printf '%-26s %9s %9s %9s %9s %9s\n' "against $(label nsis-$kind)" \
      "$(ratio "${size[ours]}" "${size[nsis-$kind]}")" \
      "$(ratio "${pack_ms[ours]}" "${pack_ms[nsis-$kind]}")" \
      "$(ratio "${pack_cpu[ours]}" "${pack_cpu[nsis-$kind]}")" \
      "$(ratio "${best_ms[ours]}" "${best_ms[nsis-$kind]}")" \
      "$(ratio "${best_cpu[ours]}" "${best_cpu[nsis-$kind]}")"
  done
}

product=$work/product
ours=$work/PavlaneSetup.exe
install_button=$(sed -n 's/^#define IDC_INSTALL *\([0-9]*\).*/\1/p' setup/PavInstRes.h)
dest="$WINEPREFIX/drive_c/Program Files (x86)${PV_PRODUCT_DEFAULT_DESTINATION//\\//}"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/$PV_PRODUCT_NAME"
uninstall_key="HKLM\\$PV_PRODUCT_UNINSTALL_KEY"
prefix_made=
for name in "${products[@]}"; do
  make_product "$name" >"$work/product.txt"
  echo
  echo "==== the product, $(cat "$work/product.txt")"
  pack_product
  if [ -z "$prefix_made" ]; then
    scripts/wine-prefix.sh create "$WINEPREFIX"
    # One Wine server and its system processes for all the runs, started
    # before the clock, so that no run pays for their start or their end.
    # Its trace, once a program asks for it (--requests), goes to a file.
    wineserver -p 2>"$work/server.log"
    wine reg query 'HKCU\Software\Wine\X11 Driver' /reg:64 >/dev/null 2>&1
    # What counting costs by itself, taken off every count.
    a=$(cpu_ms)
    b=$(cpu_ms)
    counting=$((b - a))
    prefix_made=1
  fi
  install_product
done

# count_requests: the server's requests from the creation of ours on, per
# process, and how often the desktop's process was started.
count_requests() {
  python3 - "$work/server.log" "$1" <<'PY'
import collections, re, sys
lines = open(sys.argv[1], errors="replace").read().split("\n")[: int(sys.argv[2])]
start = max(i for i, l in enumerate(lines) if "new_process(" in l and "PavlaneSetup" in l)
pid_of, name_of, pending = {}, {}, {}
per_thread = collections.Counter()
starts = collections.Counter()
for i, l in enumerate(lines):
    m = re.match(r"^([0-9a-f]{4}): (\w+)\((.*)$", l)
    if not m:
        continue
    tid, call, rest = m.groups()
    reply = rest.startswith(") =")
    if call == "init_first_thread" and reply:
        ids = re.search(r"pid=([0-9a-f]+), tid=([0-9a-f]+)", rest)
        pid_of[ids.group(2)] = ids.group(1)
    elif call == "new_thread" and reply and tid in pid_of:
        new = re.search(r"tid=([0-9a-f]+)", rest)
        if new:
            pid_of[new.group(1)] = pid_of[tid]
    elif call == "new_process" and not reply:
        image = re.search(r'imagepath=L"([^"]*)"', rest)
        pending[tid] = image.group(1).split("\\")[-1] if image else "?"
    elif call == "new_process":
        pid = re.search(r"pid=([0-9a-f]+)", rest)
        if pid:
            name_of[pid.group(1)] = pending.get(tid, "?")
            if i >= start:
                starts[pending.get(tid, "?")] += 1
    if i >= start and not reply:
        per_thread[tid] += 1
# The setup's starter is pvauto, started by wine from outside.
name_of.setdefault(pid_of.get(lines[start][:4], "?"), "pvauto.exe")
per_process = collections.Counter()
for tid, n in per_thread.items():
    per_process[name_of.get(pid_of.get(tid), "others")] += n
for name, n in per_process.most_common():
    print(f"  {name:<24} {n:>7}")
print(f"  {'in all':<24} {sum(per_process.values()):>7}")
print("  processes started: " + ", ".join(f"{n} {name}" for name, n in sorted(starts.items())))
PY
}
if [ -n "$requests" ]; then
  echo
  echo "== the Wine server's requests in one more install of ours (untimed), by process"
  forget_install
  WINEDEBUG=+server install ours >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "ours: the traced install failed"; }
  traced=$(wc -l <"$work/server.log")  # up to the end of pvauto, not the checks' own
  check_install ours
  count_requests "$traced"
fi
