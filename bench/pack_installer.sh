#!/usr/bin/env bash
# Packer benchmark: zorv-pack against the packer that linked every installer, and against bzip2 -9.
#
# usage: bench/pack_installer.sh [--reps N] [--big-reps N] [--size MIB]
#
# 1. The sample application into the i686 installer, wall time: this tree's zorv-pack, which
#    writes the resource section itself, against the packer of commit $LINKING_REV, the last one
#    that compiled the resources and linked each installer with the mingw-w64 tools (built from
#    that commit into build/bench/linking, once). Medians of N runs of each, taken in turn.
# 2. A folder of SIZE MiB (300 unless told) of executable-like files (bench/gen_bodies.py), packed
#    for x86_64, against `bzip2 -9` of its archive (packed by star with the same stamp), which is
#    the floor of packing, reported (the compression runs on every core: its goal, in wall time, is
#    bench/parallel_bzip2.sh's).
#    Also zorv-pack's peak memory, which stays far below the payload's size: payloads are copied
#    through a buffer, never held whole.
# Each figure is printed with the load average (uptime) of its moment: above about 1.5 the
# machine was busy with other work, and the figure is to be repeated.
set -euo pipefail
export LC_ALL=C

LINKING_REV=0c74e11
root=$(cd "$(dirname "$0")/.." && pwd)
work=$root/build/bench/pack_installer
reps=21 big_reps=3 size=300
while (($#)); do
    case $1 in
    --reps) reps=${2:?--reps needs a number}; shift ;;
    --big-reps) big_reps=${2:?--big-reps needs a number}; shift ;;
    --size) size=${2:?--size needs MiB}; shift ;;
    *) echo "usage: $0 [--reps N] [--big-reps N] [--size MIB]" >&2; exit 2 ;;
    esac
    shift
done

(cd "$root" && for p in host win32; do
    [ -f "build/$p/CMakeCache.txt" ] || cmake --preset $p >/dev/null
done && cmake --build --preset host -j2 --target zorv-pack star >/dev/null &&
    cmake --build --preset win32 -j2 >/dev/null)
new=$root/build/host/bin/zorv-pack
old_src=$root/build/bench/linking/src
old=$old_src/build/host/bin/zorv-pack
if [ ! -x "$old" ]; then
    echo "building the linking packer of $LINKING_REV in $old_src"
    rm -rf "$old_src" && mkdir -p "$old_src"
    git -C "$root" archive "$LINKING_REV" | tar -x -C "$old_src"
    ln -s "$(readlink -f "$root/third_party")" "$old_src/third_party"
    (cd "$old_src" && cmake --preset host -DBUILD_TESTING=OFF >/dev/null &&
        cmake --build --preset host -j2 --target zorv-pack >/dev/null &&
        cmake --preset win32 >/dev/null && cmake --build --preset win32 -j2 --target zorv_installer_kit >/dev/null)
fi

rm -rf "$work" && mkdir -p "$work/tmp"
export SOURCE_DATE_EPOCH=1215625293 TMPDIR=$work/tmp
# measure NAME COMMAND...: appends "wall user sys peak-KiB" to $work/NAME.times (the times in
# milliseconds' precision, which the sample's packing needs)
TIMEFORMAT='%3R %3U %3S'
measure() {
    local name=$1 times
    shift
    times=$({ time /usr/bin/time -f %M -o "$work/peak" "$@" >/dev/null 2>"$work/err"; } 2>&1) ||
        { cat "$work/err" >&2; exit 1; }
    echo "$times $(cat "$work/peak")" >>"$work/$name.times"
}
median() {  # median FILE COLUMN (1 wall, 2 user, 3 sys, 4 peak), "cpu" for user + sys
    awk -v col="$2" '{ print col == "cpu" ? $2 + $3 : $col }' "$1" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
load() { uptime | sed 's/.*load average: //'; }

# ---- 1: the sample application ----
app=$root/build/win32/sample/app
"$old" "$app" -o "$work/linked.exe"  # warm-up, untimed
"$new" "$app" -o "$work/written.exe"
for ((i = 0; i < reps; i++)); do
    measure linking "$old" "$app" -o "$work/linked.exe"
    measure writing "$new" "$app" -o "$work/written.exe"
done
echo "the sample application ($(du -sk "$app" | cut -f1) KiB) into the i686 installer, median of $reps runs (load $(load)):"
printf '  linking packer (%s)  %6.3f s wall\n' "$LINKING_REV" "$(median "$work/linking.times" 1)"
printf '  zorv-pack              %6.3f s wall\n' "$(median "$work/writing.times" 1)"
echo "  ratio zorv-pack/linking: $(ratio "$(median "$work/writing.times" 1)" "$(median "$work/linking.times" 1)")"

# ---- 2: a large folder against bzip2 -9 of its archive ----
big=$root/build/bench/pack_set_$size
[ -d "$big" ] || python3 "$root/bench/gen_bodies.py" set "$big" $((size << 20))
"$root/build/host/star" pack "$work/big.star" -C "$big" .
for ((i = 0; i < big_reps; i++)); do
    measure floor sh -c "bzip2 -9 -c '$work/big.star' >'$work/big.star.bz2'"
    measure pack "$new" "$big" -o "$work/big.exe" --arch x86_64
done
echo "a folder of $(($(du -sk "$big" | cut -f1) >> 10)) MiB ($(($(stat -c %s "$work/big.star.bz2") >> 20)) MiB compressed), median of $big_reps runs (load $(load)):"
printf '                  wall       processor   peak memory\n'
printf '  zorv-pack       %6.2f s   %6.2f s   %6d KiB\n' "$(median "$work/pack.times" 1)" "$(median "$work/pack.times" cpu)" \
    "$(median "$work/pack.times" 4)"
printf '  bzip2 -9        %6.2f s   %6.2f s   %6d KiB\n' "$(median "$work/floor.times" 1)" "$(median "$work/floor.times" cpu)" \
    "$(median "$work/floor.times" 4)"
cpu=$(ratio "$(median "$work/pack.times" cpu)" "$(median "$work/floor.times" cpu)")
echo "  ratio zorv-pack/bzip2 -9: wall $(ratio "$(median "$work/pack.times" 1)" "$(median "$work/floor.times" 1)"), processor $cpu   (reported)"
rm -rf "$work"
