#!/usr/bin/env bash
# The main job: builds the installers with the sample application, runs them, shows the result.
#
# Packs the sample into both Windows installers, runs the delivered 32-bit one under Wine where
# the machine runs 32-bit programs (else its 64-bit twin) and shows what it did; then does the same
# with the Linux installer.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh host win32 win64
root=$PWD
build=$root/build/host
rm -rf "$root/build/demo"

# ---- The Windows installers ----
windows=$root/build/demo/windows
mkdir -p "$windows"
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-1215625293}  # the same folder gives the same installer
echo "== zorv-pack: the sample application into the 32-bit installer (delivered) and its 64-bit twin"
"$build/bin/zorv-pack" build/win32/sample/app -o "$windows/zorv-setup-i686.exe"
"$build/bin/zorv-pack" build/win64/sample/app -o "$windows/zorv-setup-x86_64.exe" --arch x86_64
python3 tests/pe/pe_image.py "$windows/zorv-setup-i686.exe" "$windows/zorv-setup-x86_64.exe"
echo "== the delivered installer's payload (RCDATA_RAW/101, bzip2): the sample folder, names sorted"
python3 tests/pe/pe_image.py --extract RCDATA_RAW/101 "$windows/zorv-setup-i686.exe" | bzip2 -dc | "$build/star" list -
# The delivered installer runs under Wine only where the kernel runs 32-bit programs and Wine's
# 32-bit side is installed (setup.sh installs it where it can); elsewhere its twin stands in.
if probe=$(./scripts/probe_32bit.sh) && [ -x /usr/lib/wine/wine ]; then
  echo "== this machine $probe and Wine's 32-bit side is installed: zorv-setup-i686.exe, the delivered"
  echo "   installer, runs under Wine"
  python3 scripts/wine_demo.py i686 "$windows/zorv-setup-i686.exe" build/win32/zorv-close-request.exe "$windows/wine"
else
  [ -x /usr/lib/wine/wine ] || probe="$probe (and Wine's 32-bit side is not installed)"
  echo "== zorv-setup-i686.exe, the delivered installer, is not run: this machine $probe."
  echo "   Its x86_64 twin, built from the same sources, runs under Wine instead (see the README for Windows):"
  python3 scripts/wine_demo.py x86_64 "$windows/zorv-setup-x86_64.exe" build/win64/zorv-close-request.exe "$windows/wine"
fi

# ---- The Linux installer ----
echo
(
installer=$build/zorv-installer
demo=$root/build/demo/linux
mkdir -p "$demo/cwd" "$demo/run"
# Folders of its own, so that the demonstration leaves the user's registry and folders alone.
export XDG_CONFIG_HOME=$demo/config ZORV_WINDOWS_DIR=$demo/windows XDG_RUNTIME_DIR=$demo/run
record=$XDG_CONFIG_HOME/zorvana/registry/HKEY_CURRENT_USER/Software/zorvdal/Path
target="$demo/Zorvana app"
cd "$demo/cwd"  # the installer's temporary files go to the current folder

echo "== the Linux installer, $installer, carries:"
"$build/star" list "$build/payload/app.star"

echo "== zorv-installer -s -d \"$target\"  (silent, then launches the application with -i)"
"$installer" -s -d "$target"
echo "== installed files:"
(cd "$target" && find . -type f | sort)
echo "== registry record ($record):"
tr '\0' '\n' <"$record"
echo "== arguments the application received (zorv-args.txt):"
cat "$target/zorv-args.txt"

echo "== the installed application runs; installing again into the default folder (-s -r)"
"$target/zorv.exe" &
app=$!
for _ in $(seq 100); do  # until it listens for the close request
  ls "$XDG_RUNTIME_DIR/zorvana/windows" 2>/dev/null | grep -q "^$app\." && break || sleep 0.05
done
"$installer" -s -r
kill -0 "$app" 2>/dev/null && echo "== the application is still running after the installer's wait" && kill "$app"
status=0; wait "$app" || status=$?
echo "== the running application has ended (status $status)"
echo "== installed files in the default folder ($ZORV_WINDOWS_DIR/zorvdal):"
(cd "$ZORV_WINDOWS_DIR/zorvdal" && find . -type f | sort)
echo "== registry record now:"
tr '\0' '\n' <"$record"
)
