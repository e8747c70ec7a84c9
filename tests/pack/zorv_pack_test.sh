#!/usr/bin/env bash
# zorv-pack as its users meet it: refusals that leave nothing behind, reproducible and signed installers.
# Arguments: the packer, an application folder, and the platforms to build for (i686 x86_64 linux).
# With ZORV_PACK_OUT set, signed i686 and x86_64 installers are left there for the Wine tests.
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
# Names that differ only in case: one file on Windows (a file beside a folder too).
mkdir -p "$T/case_files" "$T/case_levels/LIB"
printf 'MZ\n' >"$T/case_files/zorv.exe"
printf 'a\n' >"$T/case_files/Leeme.txt"
printf 'b\n' >"$T/case_files/leeme.txt"
printf 'MZ\n' >"$T/case_levels/zorv.exe"
printf 'a\n' >"$T/case_levels/LIB/x.dll"
printf 'b\n' >"$T/case_levels/lib"
# Names beyond ASCII: in code page 1252, in another one only, split by '\' on Windows, no UTF-8.
mkdir -p "$T/spanish/datos" "$T/polish" "$T/backslash" "$T/not_utf8"
for d in spanish polish backslash not_utf8; do printf 'MZ\n' >"$T/$d/zorv.exe"; done
printf 'a\n' >"$T/spanish/datos/año.txt"
printf 'b\n' >"$T/spanish/Ünïcode €.txt"
printf 'c\n' >"$T/polish/łódź.txt"
printf 'd\n' >"$T/backslash/x\\y.txt"
printf 'e\n' >"$T/not_utf8/$(printf 'a\377')"
# Two images in one icon file: the installer carries exactly one.
printf '\0\0\1\0\2\0' >"$T/two.ico"
head -c 32 /dev/zero >>"$T/two.ico"
# Kits: none where the packer looks beside itself or where it is told to look, one without its
# installer program, and (below) ones whose program the packer cannot add resources to.
mkdir -p "$T/bin" "$T/kits"
cp "$PACK" "$T/bin/zorv-pack"
KIT=$(dirname "$PACK")/../share/zorvana/x86_64
cp -rL "$KIT" "$T/kits/"
rm "$T/kits/x86_64/zorv-installer.exe"
# Throw-away certificates: one with its key under a password (also as a PKCS#12 file), one more.
printf 'secreto\n' >"$T/key.pass"
printf 'otra\n' >"$T/wrong.pass"
openssl req -x509 -newkey rsa:2048 -keyout "$T/key.pem" -out "$T/cert.pem" -days 2 -subj "/CN=Zorvana Prueba" \
    -passout file:"$T/key.pass" 2>/dev/null
openssl pkcs12 -export -in "$T/cert.pem" -inkey "$T/key.pem" -passin file:"$T/key.pass" -passout pass:clave \
    -out "$T/cert.p12"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$T/other.pem" -out "$T/other-cert.pem" -days 2 -subj "/CN=Otra" 2>/dev/null
# And one issued by an authority that nothing trusts, given without it: its signature cannot verify.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$T/ca.key" -out "$T/ca.pem" -days 2 -subj "/CN=Autoridad" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout "$T/leaf.key" -subj "/CN=Hoja" 2>/dev/null |
    openssl x509 -req -CA "$T/ca.pem" -CAkey "$T/ca.key" -CAcreateserial -days 2 -out "$T/leaf.pem" 2>/dev/null

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
refused "a code page of two bytes" "--codepage 932 is not offered" "$APP" "${O[@]}" --codepage 932
refused "names one but for case" '"Leeme.txt" and "leeme.txt" are one name on Windows' "$T/case_files" "${O[@]}"
refused "a file and a folder one but for case" '"LIB" and "lib" are one name' "$T/case_levels" "${O[@]}" --arch x86_64
refused "icon of two images"    "holds 2 images"                      "$APP" "${O[@]}" --icon "$T/two.ico"
refused "missing settings"      "not a readable file"                 "$APP" "${O[@]}" --settings "$T/none.txt"
refused "unknown platform"      "unknown --arch arm"                  "$APP" "${O[@]}" --arch arm
refused "icon for linux"        "--icon is for the Windows"           "$APP" "${O[@]}" --arch linux --icon "$T/two.ico"
refused "no output named"       "no installer named"                  "$APP"
SOURCE_DATE_EPOCH=soon refused "bad SOURCE_DATE_EPOCH" "SOURCE_DATE_EPOCH is not a number" "$APP" "${O[@]}"
refused "signing for linux"     "signing is for the Windows"          "$APP" "${O[@]}" --arch linux --sign-pkcs12 "$T/cert.p12"

# The same, and the message is the only line.
refused_in_one_line() {
    refused "$@"
    check "$1: one line" [ "$(wc -l <"$T/err")" -eq 1 ]
}
refused_in_one_line "a name outside code page 1252" 'polish/łódź.txt: code page 1252 has no "ł" (U+0142)' "$T/polish" "${O[@]}"
for arch in i686 linux; do
    refused_in_one_line "a name with '\\' for $arch" "x\\\\y.txt: its name holds '\\\\', which separates folders" "$T/backslash" "${O[@]}" --arch $arch
done
refused_in_one_line "a name that is no UTF-8" "its name is not UTF-8 text, so it has no spelling in code page 1252" "$T/not_utf8" "${O[@]}"
PACK=$T/bin/zorv-pack refused_in_one_line "no kit beside the program" "$T/share/zorvana/i686/zorv-installer.kit cannot be read (../share/zorvana beside" \
    "$APP" "${O[@]}"
refused_in_one_line "no kit where --kit says" "no i686 installer kit: $T/kits/i686/zorv-installer.kit cannot be read (given by --kit)" \
    "$APP" "${O[@]}" --kit "$T/kits"
ZORV_KIT_DIR=$T/kits refused_in_one_line "no kit where ZORV_KIT_DIR says" "$T/kits/i686/zorv-installer.kit cannot be read (given by ZORV_KIT_DIR)" \
    "$APP" "${O[@]}"
refused_in_one_line "kit without its program" "zorv-installer.kit: the kit is incomplete: $T/kits/x86_64/zorv-installer.exe" \
    "$APP" "${O[@]}" --arch x86_64 --kit "$T/kits"
# The kit's program with resources already (an installer), signed, with its headers' gap in use.
for k in resources signed full; do cp -rL "$KIT" "$T/kit-$k"; done
"$PACK" "$APP" -o "$T/kit-resources/zorv-installer.exe" --arch x86_64
rm "$T/kit-signed/zorv-installer.exe"
osslsigncode sign -certs "$T/other-cert.pem" -key "$T/other.pem" -in "$KIT/zorv-installer.exe" \
    -out "$T/kit-signed/zorv-installer.exe" >/dev/null
python3 - "$T/kit-full/zorv-installer.exe" <<'EOF'
import struct, sys
image = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", image, 0x3C)[0]
sections, optional = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
end = pe + 24 + optional + 40 * sections
image[end:end + 40] = b"bound imports, say" + bytes(22)
open(sys.argv[1], "wb").write(image)
EOF
for k in resources:"has resources already" signed:"is signed" full:"has no room in its headers for one more section header"; do
    mkdir -p "$T/kits-${k%%:*}" && mv "$T/kit-${k%%:*}" "$T/kits-${k%%:*}/x86_64"
    refused_in_one_line "kit program ${k%%:*}" "zorv-installer.exe: ${k#*:}" "$APP" "${O[@]}" --arch x86_64 --kit "$T/kits-${k%%:*}"
done
S=(--arch x86_64 --sign-cert "$T/cert.pem" --sign-key "$T/key.pem")
refused_in_one_line "wrong password"        "key.pem: cannot be opened with the password given" "$APP" "${O[@]}" "${S[@]}" --sign-password-file "$T/wrong.pass"
refused_in_one_line "no password"           "key.pem: needs its password"         "$APP" "${O[@]}" "${S[@]}"
# On a terminal too: the signer runs with none, so that it cannot ask for the password there and wait.
timeout 60 script -qec "$(printf '%q ' "$PACK" "$APP" "${O[@]}" "${S[@]}")" /dev/null </dev/null >"$T/tty.txt" 2>&1
check "no password, on a terminal: refused, not asked" grep -q "key.pem: needs its password" "$T/tty.txt"
ZORV_SIGN_PASSWORD=otra refused_in_one_line "wrong PKCS#12 password" "cert.p12: cannot be opened with the password given" \
    "$APP" "${O[@]}" --arch x86_64 --sign-pkcs12 "$T/cert.p12"
refused_in_one_line "signature that does not verify" "the signed installer does not verify (osslsigncode verify): unable to get local issuer" \
    "$APP" "${O[@]}" --arch x86_64 --sign-cert "$T/leaf.pem" --sign-key "$T/leaf.key"
refused_in_one_line "key of another certificate" "the key $T/other.pem does not belong to the certificate $T/cert.pem" \
    "$APP" "${O[@]}" --arch x86_64 --sign-cert "$T/cert.pem" --sign-key "$T/other.pem"

# The i686 installer's payload limit, lowered as only the tests lower it; the settings block counts.
head -c 1000000 /dev/zero >"$T/settings.txt"
ZORV_PACK_I686_LIMIT=1000 refused_in_one_line "payload over the i686 limit" \
    "compresses to more than 1000 bytes, the largest payload the 32-bit installer carries.*--arch x86_64" "$APP" "${O[@]}"
ZORV_PACK_I686_LIMIT=1000000 refused "settings count against it" "compresses to more than 0 bytes" \
    "$APP" "${O[@]}" --settings "$T/settings.txt"
ZORV_PACK_I686_LIMIT=lots refused "bad ZORV_PACK_I686_LIMIT" "ZORV_PACK_I686_LIMIT is not a number" "$APP" "${O[@]}"
ZORV_PACK_I686_LIMIT=1000 "$PACK" "$APP" -o "$T/out/x86_64-over-i686-limit" --arch x86_64 2>"$T/err"
check "the i686 limit leaves x86_64 alone" [ $? -eq 0 ]
rm -f "$T/out/x86_64-over-i686-limit"

# On Linux a Windows device name, a name spelled twice in two cases and one that is no UTF-8 are
# ordinary names.
for d in device case_files not_utf8; do
    "$PACK" "$T/$d" -o "$T/out/$d-linux" --arch linux 2>"$T/err"
    check "$d packs for linux" [ $? -eq 0 ]
done

# Names in the code page the installer reads them in: 1252, or the one --codepage names. Each code
# page offered, every character it holds above ASCII as Python's codecs write it (the "ł" refused
# above among those of 1250).
STAR=$(dirname "$PACK")/../star
names_in() { python3 "$(dirname "$0")/../pe/pe_image.py" --extract RCDATA_RAW/101 "$1" | bunzip2 | "$STAR" list -; }
"$PACK" "$T/spanish" -o "$T/out/names.exe" --arch x86_64 2>"$T/err"
check "names in code page 1252" [ "$(names_in "$T/out/names.exe")" = "$(printf 'datos/a\361o.txt\nzorv.exe\n\334n\357code \200.txt')" ]
python3 - "$T/pages" <<'EOF'
import os, sys
for page in (874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257):
    codec = "cp%d" % page
    held = [bytes([b]).decode(codec, "ignore") for b in range(0x80, 0x100)]
    held = [c for c in held if c and not 0x80 <= ord(c) < 0xA0]
    folder = os.path.join(sys.argv[1], str(page))
    os.makedirs(folder)
    for i in range(0, len(held), 32):
        open(os.path.join(folder, "%d %s" % (i, "".join(held[i:i + 32]))), "w").close()
    open(os.path.join(folder, "zorv.exe"), "w").write("MZ")
    names = sorted(os.listdir(folder), key=lambda n: n.encode())
    open(folder + ".names", "wb").write(b"\n".join(n.encode(codec) for n in names) + b"\n")
EOF
for page in 874 1250 1251 1252 1253 1254 1255 1256 1257; do
    "$PACK" "$T/pages/$page" -o "$T/out/names.exe" --arch x86_64 --codepage $page 2>"$T/err"
    check "code page $page: every character" cmp -s "$T/pages/$page.names" <(names_in "$T/out/names.exe")
done

# The programs a command starts, into $T/execve. A sanitizer's leak check cannot run in a traced
# process: it stops the process with ptrace.
traced() { ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -f -qq -e trace=execve -o "$T/execve" "$@"; }

# Reproducible: the same folder and SOURCE_DATE_EPOCH give the same bytes at another time and from
# another work folder; another SOURCE_DATE_EPOCH changes the boundary lines and so the installer.
for arch in "${ARCHES[@]}"; do
    traced "$PACK" "$APP" -o "$T/out/a-$arch" --arch "$arch" 2>"$T/err"
    check "$arch: packs" [ $? -eq 0 ]
    check "$arch: runs no other program" [ "$(grep -c 'execve(' "$T/execve")" -eq 1 ]
    check "$arch: nothing on standard error when it is no terminal" [ ! -s "$T/err" ]
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

# Signed: the signature verifies, the payload and the settings are the same bytes as unsigned; the
# password comes from a file or from the environment.
printf 'clave=valor \n' >"$T/settings.txt"
"$PACK" "$APP" -o "$T/out/unsigned.exe" --arch x86_64 --settings "$T/settings.txt" 2>"$T/err"
traced "$PACK" "$APP" -o "$T/out/signed.exe" --arch x86_64 --settings "$T/settings.txt" \
    "${S[@]}" --sign-password-file "$T/key.pass" 2>"$T/err"
check "signed: packs" [ $? -eq 0 ]
check "signed: osslsigncode started without a shell" [ "$(grep -o 'execve("[^"]*' "$T/execve" | sed 's|.*/||' | sort -u)" = \
    "$(printf 'osslsigncode\nzorv-pack')" ]
osslsigncode verify -in "$T/out/signed.exe" -CAfile "$T/cert.pem" >"$T/err" 2>&1
check "signed: osslsigncode verifies it" [ $? -eq 0 ]
resource() { python3 "$(dirname "$0")/../pe/pe_image.py" --extract "$1" "$2"; }
check "signed: the payload as unsigned" cmp -s <(resource RCDATA_RAW/101 "$T/out/unsigned.exe") \
    <(resource RCDATA_RAW/101 "$T/out/signed.exe")
check "signed: the settings" cmp -s "$T/settings.txt" <(resource RCDATA_RAW/103 "$T/out/signed.exe")
ZORV_SIGN_PASSWORD=clave "$PACK" "$APP" -o "$T/out/signed-p12.exe" --arch x86_64 --sign-pkcs12 "$T/cert.p12" 2>"$T/err"
check "signed with PKCS#12: verifies" osslsigncode verify -in "$T/out/signed-p12.exe" -CAfile "$T/cert.pem" >/dev/null
if [ -n "${ZORV_PACK_OUT:-}" ]; then
    cp "$T/out/signed.exe" "$ZORV_PACK_OUT/zorv-setup-signed_x86_64.exe"
    # The delivered installer signed alike, for the Wine tests of the 32-bit side.
    "$PACK" "$APP" -o "$ZORV_PACK_OUT/zorv-setup-signed_i686.exe" --arch i686 --sign-cert "$T/cert.pem" \
        --sign-key "$T/key.pem" --sign-password-file "$T/key.pass" 2>"$T/err"
    check "signed i686: packs" [ $? -eq 0 ]
fi

# On a terminal, the compression shows its progress on one line, rewritten and cleared at the end.
mkdir -p "$T/big"
cp "$APP/zorv.exe" "$T/big/"
head -c 12000000 /dev/urandom >"$T/big/datos.bin"
script -qec "'$PACK' '$T/big' -o '$T/out/big' --arch linux" /dev/null </dev/null >"$T/tty.txt" 2>&1
check "terminal: packs" [ $? -eq 0 ]
check "terminal: progress shown" grep -qa $'\rzorv-pack: compressing [0-9]* of 12 MB, [0-9.]* MB/s, [0-9]*:[0-9]* left' "$T/tty.txt"
one_line_cleared() { [ "$(wc -l <"$1")" -eq 0 ] && [ "$(tail -c 4 "$1" | od -An -c | tr -d ' ')" = '\r033[K' ]; }
check "terminal: on one line, cleared" one_line_cleared "$T/tty.txt"

echo "zorv-pack: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
