#!/usr/bin/env bash
# Writes the Debian package of zorv-pack: the tools, their manual pages and the installer kits.
#
#   scripts/package.sh [--no-build] [OUT_DIR]        (OUT_DIR defaults to build/package)
#
# Builds the host, win32 and win64 presets (unless --no-build), installs the host tree under /usr
# in a staging folder (cmake --install takes the Windows kits from the other two trees), and
# builds OUT_DIR/zorv-pack_VERSION_ARCH.deb with dpkg-deb; prints its path. The package depends on
# the libraries the tools link (as dpkg-shlibdeps finds them) and on osslsigncode and openssl,
# which signing runs; nothing else: the kits hold prebuilt installer programs, so packing needs
# no compiler, linker or resource compiler.
set -euo pipefail
cd "$(dirname "$0")/.."
build=yes
if [ "${1:-}" = --no-build ]; then build=no; shift; fi
out=$(realpath -m "${1:-build/package}")
[ $build = no ] || ./scripts/build.sh host win32 win64

# Laid out as dpkg-shlibdeps expects a package being built: debian/control, debian/PACKAGE/.
work=$out/work
stage=$work/debian/zorv-pack
rm -rf "$work"
mkdir -p "$stage/DEBIAN" "$stage/usr/share/doc/zorv-pack"
touch "$work/debian/control"
DESTDIR=$stage cmake --install build/host --prefix /usr --strip >/dev/null
gzip -9n "$stage"/usr/share/man/man1/*.1

# libbzip2 for Windows is in the kits' installer programs and so in every installer: its licence
# goes with it.
license=$(ls third_party/src/bzip2-*/LICENSE 2>/dev/null | head -n1 || true)
[ -n "$license" ] || { echo "package: the libbzip2 licence is missing: run scripts/setup.sh" >&2; exit 1; }
{
  echo "zorv-pack: the Zorvana installer packer, the star archive tool and the installer kits."
  echo
  echo "The Windows kits (/usr/share/zorvana/i686, /usr/share/zorvana/x86_64) hold installer programs"
  echo "linked with libbz2, built from Debian's bzip2 source package; every Windows installer that"
  echo "zorv-pack writes contains it."
  echo "Its licence:"
  echo
  cat "$license"
} >"$stage/usr/share/doc/zorv-pack/copyright"

version=$(build/host/bin/zorv-pack --version | cut -d' ' -f2)
arch=$(dpkg --print-architecture)
libraries=$(cd "$work" && dpkg-shlibdeps -O debian/zorv-pack/usr/bin/zorv-pack debian/zorv-pack/usr/bin/star |
  sed -n 's/^shlibs:Depends=//p')
cat >"$stage/DEBIAN/control" <<EOF
Package: zorv-pack
Version: $version
Architecture: $arch
Maintainer: Zorvana developers <zorvana@invalid>
Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)
Depends: $libraries, osslsigncode, openssl
Section: devel
Priority: optional
Description: packs applications into self-extracting Zorvana installers
 zorv-pack turns an application folder into one executable that installs it:
 a 32-bit or 64-bit Windows installer, written from the prebuilt installer
 programs in /usr/share/zorvana with the application added as a resource, or
 a Linux one. Packing runs no other program. It can sign the Windows
 installers (Authenticode) with osslsigncode. star packs, lists and extracts
 the SIMPLE-TAR archives that the installers carry.
EOF

mkdir -p "$out"
deb=$out/zorv-pack_${version}_${arch}.deb
dpkg-deb --root-owner-group --build "$stage" "$deb" >/dev/null
rm -rf "$work"
echo "$deb"
