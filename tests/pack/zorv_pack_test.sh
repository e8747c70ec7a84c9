#!/usr/bin/env bash
# zorv-pack as its users meet it: refusals that leave nothing behind, and reproducible installers.
# Arguments: the packer, an application folder, and the platforms to build for (i686 x86_64 linux).
set -u
PACK=$1
APP=$2
shift 2
ARCHES=("$@")
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
export TMPDIR=$T/tmp SOURCE_DATE_EPOCH=1215625293
mkdir -p "$TMPDIR" "$T/out"
passed=0 failed=0

check() {  # check NAME CONDITION...
    local name=$1; shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $name"; cat "$T/err" 2>/dev/null; fi
}

# Folders the packer must refuse, each beside a good one.
mkdir -p "$T/no_exe/lib" "$T/exe_below/lib" "$T/exe_folder/zorv.exe" "$T/magic"
printf 'lib\n' >"$T/no_exe/lib/zorvcore.dll"
printf 'MZ\n' >"$T/exe_below/lib/zorv.exe"
printf 'MZ\n' >"$T/magic/zorv.exe"
printf 'antes\n-----SIMPLE-TAR--MEZTIL--BOUNDARY---1215625293-2201---------\ndespues\n' >"$T/magic/notas.txt"
# Names Windows cannot hold (fine for the Linux installer), and a Windows device name.
mkdir -p "$T/bad_names" "$T/device"
printf 'MZ\n' >"$T/bad_names/zorv.exe"
printf 'x\n' >"$T/bad_names/que?.txt"
printf 'MZ\n' >"$T/device/zorv.exe"
printf 'x\n' >"$T/device/NUL.txt"
# Two images in one icon file: the installer carries exactly one.
printf '\0\0\1\0\2\0' >"$T/two.ico"
head -c 32 /dev/zero >>"$T/two.ico"

differ() { ! cmp -s "$1" "$2"; }
left_alone() { [ -z "$(ls "$T/tmp")" ] && [ "$(ls "$T/out")" = "setup.exe" ]; }

# refused NAME MESSAGE ARGS...: exit 1, the message on standard error, the earlier output
# untouched, no temporary file beside it nor in TMPDIR.
refused() {
    local name=$1 message=$2; shift 2
    printf 'an earlier installer\n' >"$T/out/setup.exe"
    "$PACK" "$@" >"$T/out.txt" 2>"$T/err"
    local status=$?
    check "$name: exit 1" [ "$status" -eq 1 ]
    check "$name: says why" grep -q -- "$message" "$T/err"
    check "$name: earlier output kept" [ "$(cat "$T/out/setup.exe")" = "an earlier installer" ]
    check "$name: nothing left behind" left_alone
}
O=(-o "$T/out/setup.exe")
refused "no zorv.exe"           'no "zorv.exe" at its top level'      "$T/no_exe" "${O[@]}"
refused "zorv.exe only below"   'no "zorv.exe" at its top level'      "$T/exe_below" "${O[@]}"
refused "zorv.exe a folder"     'no "zorv.exe" at its top level'      "$T/exe_folder" "${O[@]}"
refused "magic in a file"       "magic/notas.txt: holds the archive's boundary magic" "$T/magic" "${O[@]}"
refused "missing folder"        "No such file or directory"           "$T/none" "${O[@]}"
refused "name Windows refuses"  "Windows cannot hold a file"          "$T/bad_names" "${O[@]}"
refused "device name"           "Windows cannot hold a file"          "$T/device" "${O[@]}"
refused "icon of two images"    "holds 2 images"                      "$APP" "${O[@]}" --icon "$T/two.ico"
refused "missing settings"      "not a readable file"                 "$APP" "${O[@]}" --settings "$T/none.txt"
refused "unknown platform"      "unknown --arch arm"                  "$APP" "${O[@]}" --arch arm
refused "icon for linux"        "--icon is for the Windows"           "$APP" "${O[@]}" --arch linux --icon "$T/two.ico"
refused "no output named"       "no installer named"                  "$APP"
SOURCE_DATE_EPOCH=soon refused "bad SOURCE_DATE_EPOCH" "SOURCE_DATE_EPOCH is not a number" "$APP" "${O[@]}"

# On Linux a Windows device name is an ordinary file name.
"$PACK" "$T/device" -o "$T/out/device-linux" --arch linux 2>"$T/err"
check "device name packs for linux" [ $? -eq 0 ]

# Reproducible: the same folder and SOURCE_DATE_EPOCH give the same bytes at another time and from
# another work folder; another SOURCE_DATE_EPOCH changes the boundary lines and so the installer.
for arch in "${ARCHES[@]}"; do
    "$PACK" "$APP" -o "$T/out/a-$arch" --arch "$arch" 2>"$T/err"
    check "$arch: packs" [ $? -eq 0 ]
    check "$arch: executable" [ -x "$T/out/a-$arch" ]
    sleep 1
    TMPDIR=$T "$PACK" "$APP" -o "$T/out/b-$arch" --arch "$arch" 2>"$T/err"
    check "$arch: byte for byte again" cmp -s "$T/out/a-$arch" "$T/out/b-$arch"
    SOURCE_DATE_EPOCH=1215625294 "$PACK" "$APP" -o "$T/out/c-$arch" --arch "$arch" 2>"$T/err"
    check "$arch: the stamp counts" differ "$T/out/a-$arch" "$T/out/c-$arch"
    check "$arch: work folder removed" [ -z "$(ls "$T/tmp")" ]
done

# The Linux installer that the packer makes installs the folder (silently, without a launch), with
# its registry, Windows folder and message sockets kept inside the test's folder.
for arch in "${ARCHES[@]}"; do
    [ "$arch" = linux ] || continue
    (cd "$T/out" && env XDG_CONFIG_HOME="$T/config" ZORV_WINDOWS_DIR="$T/windows" XDG_RUNTIME_DIR="$T/run" \
        ./a-linux -s -r -d "$T/installed" </dev/null >"$T/err" 2>&1)
    check "linux installer: exit 0" [ $? -eq 0 ]
    check "linux installer: installs the folder" diff -r "$APP" "$T/installed"
done

echo "zorv-pack: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
