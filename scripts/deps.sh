#!/usr/bin/env bash
# Installs every Debian package the build and the tests need. Idempotent:
# when everything is present it only asks dpkg and returns.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev libfuzzer-14-dev
  googletest libgtest-dev zlib1g-dev liblzma-dev
  # The portable core built natively as 32-bit x86 code, as the shipped
  # program runs it: compilers, runtimes and the libraries the tests and
  # the bench compare against.
  g++-multilib zlib1g-dev:i386 liblzma-dev:i386
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-win32 binutils-mingw-w64
  # Wine for both kinds of Windows program: the shipped 32-bit one runs in
  # a 64-bit prefix as on 64-bit Windows.
  wine wine64 wine32:i386 fonts-wine xvfb xauth python3 osslsigncode openssl git
  nsis  # bench/peer.sh: the setup program against NSIS
  libdeflate-tools  # bench/readside.sh: pvpack explode against libdeflate-gunzip
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "deps: installing ${missing[*]}" >&2
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
