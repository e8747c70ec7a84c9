#!/usr/bin/env bash
# Extraction benchmark: star against GNU tar on the same files, and star's peak memory.
#
# usage: bench/archive_extract.sh [--quick] [--reps N]
#
# Speed: a 30 MiB installer-shaped set of 8 executable-like files, packed by star and by tar,
# extracted alternately N times (default 7) into a fresh empty folder with the page cache warm;
# the figure is the ratio of the median wall times, goal at most 1.5. Memory: the peak resident
# set of star extracting a single 1 GiB entry, goal under 8 MiB; --quick skips it. A missed goal
# prints FAIL but is not an error: the exit status is non-zero only when something breaks.
set -euo pipefail
export LC_ALL=C  # '.' as the decimal point in every timing

root=$(cd "$(dirname "$0")/.." && pwd)
star=$root/build/host/star
gen=$root/bench/gen_bodies.py
work=$root/build/bench/archive_extract
reps=7
quick=0
while (($#)); do
    case $1 in
    --quick) quick=1 ;;
    --reps) reps=${2:?--reps needs a number}; shift ;;
    *) echo "usage: $0 [--quick] [--reps N]" >&2; exit 2 ;;
    esac
    shift
done

if [[ ! -x $star ]]; then
    (cd "$root" && cmake --preset host && cmake --build --preset host -j2)
fi

# The generated files are kept between runs (the generator makes them again when the size or the
# generator changes). The archives are always packed again, since star itself may have changed.
total=$((30 << 20))
mkdir -p "$work"
python3 "$gen" set "$root/build/bench/set" "$total"
src=$root/build/bench/set
SOURCE_DATE_EPOCH=0 "$star" pack "$work/set.star" -C "$src" .
tar cf "$work/set.tar" -C "$src" .

out=$work/out
TIMEFORMAT='%3R %3U %3S'

# One extraction into a fresh empty folder; appends "wall user sys" in seconds to $work/$1.times.
# The tool's own messages still reach standard error through fd 3.
measure() {
    local tool=$1
    shift
    rm -rf "$out" && mkdir "$out"
    { time "$@" 2>&3; } 3>&2 2>>"$work/$tool.times"
}

# Median of column $2 of the file $1.
median() { cut -d' ' -f"$2" "$1" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

verdict() { awk -v x="$1" -v goal="$2" "BEGIN { print (x $3 goal) ? \"PASS\" : \"FAIL\" }"; }

# Warm-up, untimed: both archives and the source files come into the page cache, and star's
# output is checked against the originals once.
rm -f "$work"/{star,tar,warm}.times
measure warm "$star" extract "$work/set.star" -C "$out"
diff <(cd "$src" && find . -type f | sort) <(cd "$out" && find . -type f | sort)
(cd "$src" && find . -type f) | while read -r f; do cmp "$src/$f" "$out/$f"; done
measure warm tar xf "$work/set.tar" -C "$out"

for ((i = 0; i < reps; i++)); do
    measure star "$star" extract "$work/set.star" -C "$out"
    measure tar tar xf "$work/set.tar" -C "$out"
done
rm -rf "$out"

star_s=$(median "$work/star.times" 1)
tar_s=$(median "$work/tar.times" 1)
ratio=$(awk -v a="$star_s" -v b="$tar_s" 'BEGIN { printf "%.2f", a / b }')
echo "extraction of $((total >> 20)) MiB in 8 files, median of $reps runs (user / sys are medians too):"
printf '  star extract  %6.3f s   user %6.3f s   sys %6.3f s\n' "$star_s" "$(median "$work/star.times" 2)" "$(median "$work/star.times" 3)"
printf '  tar xf        %6.3f s   user %6.3f s   sys %6.3f s\n' "$tar_s" "$(median "$work/tar.times" 2)" "$(median "$work/tar.times" 3)"
echo "  ratio star/tar $ratio   goal: at most 1.5   $(verdict "$ratio" 1.5 '<=')"

((quick)) && exit 0

# A single 1 GiB entry, streamed through files: the body is deleted once packed, so that at
# most two copies are on disk at a time, and everything goes when the script ends.
big=$work/big
rm -rf "$big" && mkdir -p "$big/out"
trap 'rm -rf "$big"' EXIT
python3 "$gen" big "$big/body.bin" $((1 << 30))
SOURCE_DATE_EPOCH=0 "$star" pack "$big/big.star" -C "$big" body.bin
rm "$big/body.bin"
t0=$EPOCHREALTIME
/usr/bin/time -v -o "$big/time.txt" "$star" extract "$big/big.star" -C "$big/out"
t1=$EPOCHREALTIME
size=$(stat -c %s "$big/out/body.bin")
if ((size != 1 << 30)); then
    echo "star extract wrote $size bytes of a 1 GiB entry" >&2
    exit 1
fi
kib=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$big/time.txt")
mib=$(awk -v k="$kib" 'BEGIN { printf "%.1f", k / 1024 }')
secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }')
echo "peak memory of star extract on a 1 GiB entry (extracted in $secs s):"
echo "  max RSS $mib MiB   goal: under 8 MiB   $(verdict "$mib" 8 '<')"
