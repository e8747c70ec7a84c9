#!/usr/bin/env bash
# What a block costs the installer: a payload of 100 000 one-byte blocks against bzip2 -dc of it.
#
# usage: bench/tiny_blocks.sh [--reps N] [--blocks N]
#
# The payload is a standard bzip2 stream whose every block holds one byte of an archive (the
# sample application's, with a file of letters that makes it one byte a block), each block's and
# the stream's CRC right: what one-pass decoding takes in its
# stride, and the worst case of a decoder that pays per block. bzip2 -dc decodes it in a tenth of
# a second. Least wall time of N runs (default 3) of each, taken in turn, every installation into
# a folder never used: the Linux installer (-s -r -d) less its 1 s wait, against bzip2 -dc; the
# goal is at most 5 times bzip2 -dc's wall time and half a second more. The load average is
# printed beside the figures: above about 1.5 they are disturbed.
set -euo pipefail
export LC_ALL=C

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/host
work=$root/build/bench/tiny_blocks
reps=3 blocks=100000
while (($#)); do
    case $1 in
    --reps) reps=${2:?--reps needs a number}; shift ;;
    --blocks) blocks=${2:?--blocks needs a number}; shift ;;
    *) echo "usage: $0 [--reps N] [--blocks N]" >&2; exit 2 ;;
    esac
    shift
done
command -v bzip2 >/dev/null || { echo "bzip2 is missing: run scripts/setup.sh" >&2; exit 1; }
(cd "$root" && { [ -f build/host/CMakeCache.txt ] || cmake --preset host >/dev/null; } &&
    cmake --build --preset host -j2 --target star zorv-resimage zorv_linux_kit >/dev/null)

rm -rf "$work" && mkdir -p "$work/app"
cp -r "$root/sample/files/." "$work/app/"
cp "$build/sample/zorv.exe" "$work/app/zorv.exe"
# A file of letters pads the archive to exactly one byte a block.
: >"$work/app/padding.txt"
"$build/star" pack "$work/app.star" --stamp 1215625293 -C "$work/app" . >/dev/null
pad=$((blocks - $(stat -c %s "$work/app.star")))
((pad >= 0)) || { echo "the sample's archive is larger than $blocks bytes" >&2; exit 1; }
python3 -c "import sys; sys.stdout.write(''.join(chr(97 + i * 7 % 23) for i in range($pad)))" >"$work/app/padding.txt"
"$build/star" pack "$work/app.star" --stamp 1215625293 -C "$work/app" . >/dev/null
# One block per byte: each byte compressed alone, its block's bits cut out of that stream and
# spliced after the others', the stream CRC combined from the blocks' CRCs.
python3 - "$work/app.star" "$work/payload.bz2" <<'PY'
import bz2, sys
data = open(sys.argv[1], "rb").read()
END = 0x177245385090
def bits_of(b):
    return "".join(format(x, "08b") for x in b)
blocks = {}
for v in set(data):
    s = bz2.compress(bytes([v]), 9)
    bits = bits_of(s)
    for pad in range(8):
        at = len(bits) - pad - 80
        if int(bits[at:at + 48], 2) == END:
            break
    blocks[v] = (bits[32:at], int(bits[80:112], 2))
crc, parts = 0, [bits_of(b"BZh9")]
for v in data:
    block, block_crc = blocks[v]
    parts.append(block)
    crc = ((crc << 1 | crc >> 31) & 0xFFFFFFFF) ^ block_crc
parts.append(format(END, "048b") + format(crc, "032b"))
bits = "".join(parts)
bits += "0" * (-len(bits) % 8)
open(sys.argv[2], "wb").write(int(bits, 2).to_bytes(len(bits) // 8, "big"))
PY
cmp "$work/app.star" <(bzip2 -dc "$work/payload.bz2") ||
    { echo "the payload does not decode to the archive" >&2; exit 1; }
stub=$build/share/zorvana/linux/zorv-installer-stub
"$build/zorv-resimage" "$work/installer" "$stub" "RCDATA_RAW/101=$work/payload.bz2" >/dev/null
chmod +x "$work/installer"

TIMEFORMAT=%R
declare -A least
count=0
best() {  # best NAME COMMAND...: runs COMMAND in a fresh folder, keeps the least wall time
    local name=$1 t dir
    shift
    dir=$work/runs/$((++count))
    mkdir -p "$dir" && sync
    t=$({ time (cd "$dir" && "$@" >/dev/null 2>&1); } 2>&1)
    if [ -z "${least[$name]:-}" ] || awk -v a="$t" -v b="${least[$name]}" 'BEGIN { exit !(a < b) }'; then
        least[$name]=$t
    fi
}
installer_env=(env XDG_CONFIG_HOME="$work/config" ZORV_WINDOWS_DIR="$work/windows" XDG_RUNTIME_DIR="$work/run")
mkdir -p "$work/run"
echo "payload: $blocks blocks of one byte, $(($(stat -c %s "$work/payload.bz2") >> 10)) KiB"
echo "load before: $(uptime)"
for ((i = 0; i < reps; i++)); do
    best install "${installer_env[@]}" "$work/installer" -s -r -d target
    best bzip2_d sh -c "bzip2 -dc '$work/payload.bz2' >/dev/null"
done
echo "load after:  $(uptime)"
diff -r "$work/app" "$work/runs/1/target" >/dev/null || { echo "the installation differs from the folder" >&2; exit 1; }
rm -rf "$work/runs"

install=$(awk -v a="${least[install]}" 'BEGIN { printf "%.2f", a - 1 }')
goal=$(awk -v b="${least[bzip2_d]}" 'BEGIN { printf "%.2f", 5 * b + 0.5 }')
printf 'least of %d runs, wall seconds: installation less its 1 s wait %s, bzip2 -dc %s\n' \
    "$reps" "$install" "${least[bzip2_d]}"
echo "installation / bzip2 -dc: $(awk -v a="$install" -v b="${least[bzip2_d]}" 'BEGIN { printf "%.1f", a / b }')x;" \
    "goal at most 5x + 0.5 s = $goal s   $(awk -v x="$install" -v g="$goal" 'BEGIN { print (x <= g) ? "PASS" : "FAIL" }')"
