#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (as root), then libbzip2 for Windows.
#
# Idempotent: packages already present are not asked for again, and the Windows libraries are
# built once into third_party/ (never committed) from Debian's own bzip2 source package.
# Where the machine runs 32-bit programs (scripts/probe_32bit.sh runs one), Wine's 32-bit side
# (wine32:i386) is installed too, so that the delivered i686 installer runs under Wine; where it
# does not, one line says so and the 64-bit side alone is installed.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake g++ make libgtest-dev libbz2-dev bzip2 lbzip2 python3 time e2fsprogs
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64 xvfb xdotool x11-apps imagemagick
  clang libclang-rt-14-dev dpkg-dev
  osslsigncode openssl strace
)
# A mirror caught in the middle of a sync serves an index or two that do not match their release
# file: apt then says so and goes on with the others, which usually hold what is needed.
update_index() {
  apt-get update -qq || echo "setup: apt-get update reported errors; going on with the indexes it has"
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  update_index
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine's 32-bit loader, from the i386 architecture of the same archive.
if probe=$(./scripts/probe_32bit.sh); then
  if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
    echo "setup: this machine $probe; installing wine32:i386"
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    update_index
    # Wine's 32-bit side needs the i386 twins of the exact library versions installed: a mirror
    # whose i386 index lags behind cannot give them. The i686 Wine tests are then skipped, saying
    # why, and a later run of this script tries again.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null 2>&1 ||
      echo "setup: wine32:i386 cannot be installed from the package archive now; the i686 installer will not run under Wine"
  fi
else
  echo "setup: this machine $probe; wine32:i386 is not asked for, and only the x86_64 installer runs under Wine"
fi

# libbzip2 for the Windows builds, compiled from Debian's source package with each cross compiler:
# whole for the tools (third_party/bzip2), and for the installer (third_party/bzip2-small) without
# its stdio part, each function in a section of its own and no unwind tables, so that the link
# drops what the installer does not call (the compressor); the program then supplies
# bz_internal_error (platform/win/bzip2_internal_error.cpp). Decoding stays at -O2: -Os decodes
# slower.
build_bzip2() {  # build_bzip2 TRIPLET DIR FLAGS...
  local t=$1 out=third_party/$2/$1
  shift 2
  [ -f "$out/libbz2.a" ] && return 0
  mkdir -p "$out"
  for f in blocksort huffman crctable randtable compress decompress bzlib; do
    "$t-gcc-posix" -O2 -Wall "$@" -c "$src/$f.c" -o "$out/$f.o"
  done
  "$t-ar" rcs "$out/libbz2.a" "$out"/*.o
  rm -f "$out"/*.o
  cp "$src/bzlib.h" "$out/"
}
small_flags=(-DBZ_NO_STDIO -ffunction-sections -fno-asynchronous-unwind-tables -fno-unwind-tables)
missing=0
for t in i686-w64-mingw32 x86_64-w64-mingw32; do
  for d in bzip2 bzip2-small; do [ -f "third_party/$d/$t/libbz2.a" ] || missing=1; done
done
if [ $missing = 1 ]; then
  mkdir -p third_party/src
  src=$(ls -d third_party/src/bzip2-*/ 2>/dev/null | head -n1 || true)
  if [ -z "$src" ]; then
    if ! apt-get source --print-uris bzip2 >/dev/null 2>&1 || ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >/etc/apt/sources.list.d/zorv-deb-src.sources
      else
        grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' >/etc/apt/sources.list.d/zorv-deb-src.list
      fi
      update_index
    fi
    (cd third_party/src && apt-get source -qq bzip2 >/dev/null 2>&1)
    src=$(ls -d third_party/src/bzip2-*/ | head -n1)
  fi
  src=${src%/}
  for t in i686-w64-mingw32 x86_64-w64-mingw32; do
    build_bzip2 $t bzip2
    build_bzip2 $t bzip2-small "${small_flags[@]}"
  done
fi
