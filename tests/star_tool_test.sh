#!/usr/bin/env bash
# The star command: each case runs it and checks the exit status, output and files left behind.
set -u
STAR=$1
DATA=$2
T=$(mktemp -d)
trap 'chmod -R u+w "$T"; rm -rf "$T"' EXIT
passed=0 failed=0

check() {  # check NAME CONDITION...
    local name=$1; shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $name"; fi
}
status() {  # status EXPECTED COMMAND... : runs the command, compares its exit status
    local want=$1; shift
    "$@" >"$T/out" 2>"$T/err"; [ $? -eq "$want" ]
}
one_error_line() { [ "$(wc -l <"$T/err")" -eq 1 ] && grep -q "$1" "$T/err"; }
absent() { for f in "$@"; do [ ! -e "$f" ] || return 1; done; }

# An application folder with nested levels, bytes the framing cares about, and an empty file.
mkdir -p "$T/app/lib/sub" "$T/app/empty"
printf 'MZ\0\r\n\r' >"$T/app/zorv.exe"
printf 'b\n' >"$T/app/lib/b.dll"
printf 'a\r\n' >"$T/app/lib/a.dll"
: >"$T/app/lib/sub/z.dat"

check "pack exits 0"            status 0 env SOURCE_DATE_EPOCH=1215625293 "$STAR" pack "$T/a.star" -C "$T/app" .
check "list in sorted order"    status 0 "$STAR" list "$T/a.star"
check "names sorted, / between" [ "$(tr '\n' ' ' <"$T/out")" = "lib/a.dll lib/b.dll lib/sub/z.dat zorv.exe " ]
check "stamp from SOURCE_DATE_EPOCH" grep -q -- '-1215625293-2201---------' "$T/a.star"
check "extract -C"              status 0 "$STAR" extract "$T/a.star" -C "$T/x"
check "extracted tree equals"   diff -r "$T/app/lib" "$T/x/lib"
check "exe byte for byte"       cmp "$T/app/zorv.exe" "$T/x/zorv.exe"
check "extract one -o"          status 0 "$STAR" extract "$T/a.star" lib/a.dll -o "$T/one"
check "one byte for byte"       cmp "$T/app/lib/a.dll" "$T/one"
check "extract missing name"    status 1 "$STAR" extract "$T/a.star" nothing -o "$T/none"
check "missing name message"    one_error_line "a.star"
check "no output for missing"   [ ! -e "$T/none" ]

# Reproducible: the same stamp gives the same bytes; --stamp wins over the environment.
check "pack again"              status 0 env SOURCE_DATE_EPOCH=1215625293 "$STAR" pack "$T/b.star" -C "$T/app" .
check "reproducible"            cmp "$T/a.star" "$T/b.star"
check "--stamp"                 status 0 env SOURCE_DATE_EPOCH=5 "$STAR" pack "$T/c.star" --stamp 1215625293 -C "$T/app" .
check "--stamp wins"            cmp "$T/a.star" "$T/c.star"
check "crlf pack"               status 0 "$STAR" pack "$T/crlf.star" --crlf -C "$T/app" zorv.exe lib
check "crlf framing"            grep -q $'^nombre=zorv.exe\r$' "$T/crlf.star"
check "crlf extract"            status 0 "$STAR" extract "$T/crlf.star" -C "$T/y"
check "crlf bodies exact"       diff -r "$T/app/lib" "$T/y/lib"

# An absolute path is stored without its leading '/', as a relative name.
check "absolute path"           status 0 "$STAR" pack "$T/abs.star" "$T/app/lib/a.dll"
check "stored relative"         status 0 "$STAR" list "$T/abs.star"
check "name without /"          [ "$(cat "$T/out")" = "${T#/}/app/lib/a.dll" ]

# Standard input and output.
check "pack to stdout"          status 0 env SOURCE_DATE_EPOCH=1215625293 "$STAR" pack - -C "$T/app" .
check "stdout equals file"      cmp "$T/out" "$T/a.star"
check "list from stdin"         status 0 "$STAR" list - <"$T/a.star"
check "extract from stdin"      status 0 "$STAR" extract - -C "$T/z" <"$T/a.star"
check "stdin tree equals"       diff -r "$T/x" "$T/z"

# A body holding the magic is refused, named, and leaves nothing behind.
printf 'x\n-----SIMPLE-TAR--MEZTIL--BOUNDARY--\n' >"$T/app/lib/evil.dll"
cp "$T/a.star" "$T/keep.star"
check "magic refused"           status 1 "$STAR" pack "$T/keep.star" -C "$T/app" .
check "magic names the file"    one_error_line "evil.dll"
check "old archive untouched"   cmp "$T/a.star" "$T/keep.star"
check "no temporary left"       [ -z "$(ls "$T" | grep tmp)" ]
check "magic refused on stdout" status 1 "$STAR" pack - -C "$T/app" .
check "nothing on stdout"       [ ! -s "$T/out" ]
rm "$T/app/lib/evil.dll"

# Damaged and hostile archives.
check "missing archive"         status 1 "$STAR" list "$T/nope.star"
check "missing archive message" one_error_line "nope.star"
check "cut archive"             status 1 "$STAR" extract "$DATA/star/cut_in_body.star" -C "$T/cut"
check "cut archive message"     one_error_line "cut_in_body.star: the archive is cut short"
check "damaged archive"         status 1 "$STAR" extract "$DATA/star/magic_after_byte.star" -C "$T/dmg"
check "damaged archive message" one_error_line "magic_after_byte.star: the archive is damaged"
check "dot-dot refused"         status 1 "$STAR" extract "$DATA/star/dot_dot_name.star" -C "$T/dd/in"
check "dot-dot message"         one_error_line "dot_dot_name.star: an entry's name would leave the destination"
check "nothing outside"         absent "$T/dd/escaped" "$T/escaped"
# Links planted in the destination are never written through: at a level, or at an entry's name.
mkdir -p "$T/lk/at-level" "$T/lk/at-name/lib" "$T/lk/elsewhere"
printf 'mine\n' >"$T/lk/elsewhere/a.dll"
ln -s ../../elsewhere "$T/lk/at-level/lib"
ln -s ../../elsewhere/a.dll "$T/lk/at-name/lib/a.dll"
check "link at a level refused" status 1 "$STAR" extract "$T/a.star" -C "$T/lk/at-level"
check "link at a level message" one_error_line "a.star: an entry's name would leave the destination"
check "link at a name refused"  status 1 "$STAR" extract "$T/a.star" -C "$T/lk/at-name"
check "nothing through a link"  [ "$(cat "$T/lk/elsewhere/a.dll")" = mine ] && [ "$(ls "$T/lk/elsewhere")" = a.dll ]
: >"$T/a-file"
check "unwritable destination"  status 1 "$STAR" extract "$T/a.star" -C "$T/a-file/under"
check "unwritable message"      one_error_line "a.star: a file cannot be written"

# Names that begin with a dash, and names Windows keeps for devices, which Linux does not.
mkdir -p "$T/dash"
printf 'd\n' >"$T/dash/-dash"
printf 'c\n' >"$T/dash/aux.c"
check "dash and device names pack" status 0 "$STAR" pack "$T/dash.star" -C "$T/dash" .
check "extract a dash name"     status 0 "$STAR" extract "$T/dash.star" -dash -o "$T/dash1"
check "extract after --"        status 0 "$STAR" extract "$T/dash.star" -o "$T/dash2" -- -dash
check "dash bodies exact"       cmp "$T/dash1" "$T/dash/-dash" && cmp "$T/dash2" "$T/dash/-dash"
check "device name extracts"    status 0 "$STAR" extract "$T/dash.star" -C "$T/dashx"
check "device name body exact"  cmp "$T/dashx/aux.c" "$T/dash/aux.c"
check "missing path to pack"    status 1 "$STAR" pack "$T/m.star" "$T/does-not-exist"
check "no archive after failure" [ ! -e "$T/m.star" ]

# Usage.
check "--help"                  status 0 "$STAR" --help
check "--help text"             grep -q "star pack ARCHIVE" "$T/out"
check "--version"               status 0 "$STAR" --version
check "no command"              status 1 "$STAR"
check "unknown command"         status 1 "$STAR" frobnicate
check "bad stamp"               status 1 "$STAR" pack "$T/s.star" --stamp soon "$T/app"
check "-C without a folder"     status 1 "$STAR" extract "$T/a.star" -C
check "says what is missing"    grep -q -- "-C needs a value" "$T/err"

echo "star tool: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
