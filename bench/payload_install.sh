#!/usr/bin/env bash
# Payload benchmark: install_payload of a realistic payload against bzip2 decoding it alone.
#
# usage: bench/payload_install.sh [--reps N] [--small] [--against BENCH_INSTALL_PAYLOAD]
#
# The payload is the archive benchmark's 30 MiB set of 8 executable-like files, packed by star and
# compressed with bzip2 -9; with --small, 50 000 files of 100 to 2000 bytes in 500 folders, where
# what each file costs the change (its steps, its journal lines, its flush) counts most. Decoding it is the floor of the pipeline, so the figures are the ratios
# of the median times of a whole install_payload (resource to "tmp_inst.bz2", decoded into
# "tmp_inst.sta", extracted) and of `bzip2 -dc payload > /dev/null`, measured alternately in one
# run: into a fresh folder (goal at most 1.10), and as an upgrade over an earlier installation of
# the same files (each one moved aside, replaced, and deleted once all are in place; goal at most
# 1.15: every step of the change is put on the disk before the next, and every new file before
# the change counts as made). Both wall time and processor time (user + system) are reported; the
# goal is judged on processor time, which other work on this small shared machine disturbs far
# less than wall time. A missed goal prints FAIL but is not an error. Every command runs on one
# processor (taskset -c 0): the goal judges the processor time the pipeline adds to decoding,
# which the decoding on every processor would blur (two libbzip2 decoders side by side each run
# slower on this machine); bench/parallel_bzip2.sh measures that decoding. With --against, the same
# upgrade by another build of bench_install_payload (an earlier one, say) is measured too, in
# turn with this one, and the wall times compared (with --small, goal at most 1.20: what a change
# of the way each file reaches the disk costs against the build before it).
set -euo pipefail
export LC_ALL=C

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/host
gen=$root/bench/gen_bodies.py
work=$root/build/bench/payload_install
reps=5
against=
small=
while (($#)); do
    case $1 in
    --reps) reps=${2:?--reps needs a number}; shift ;;
    --against) against=${2:?--against needs a program}; shift ;;
    --small) small=1 ;;
    *) echo "usage: $0 [--reps N] [--small] [--against BENCH_INSTALL_PAYLOAD]" >&2; exit 2 ;;
    esac
    shift
done

(cd "$root" && { [ -f build/host/CMakeCache.txt ] || cmake --preset host >/dev/null; } &&
    cmake --build --preset host -j2 --target star zorv-resimage bench_install_payload >/dev/null)

total=$((30 << 20))
mkdir -p "$work"
if [ -n "$small" ]; then
    src=$root/build/bench/small
    python3 "$gen" small "$src" 50000
else
    src=$root/build/bench/set
    python3 "$gen" set "$src" "$total"
fi
SOURCE_DATE_EPOCH=0 "$build/star" pack "$work/payload.star" -C "$src" .
bzip2 -9 -c "$work/payload.star" >"$work/payload.bz2"
: >"$work/empty"
"$build/zorv-resimage" "$work/image" "$work/empty" "RCDATA_RAW/101=$work/payload.bz2"
export ZORV_RESOURCE_IMAGE=$work/image

cwd=$work/cwd
TIMEFORMAT='%3R %3U %3S'
measure() {  # measure NAME COMMAND...: appends "wall user sys" to $work/NAME.times
    local name=$1
    shift
    rm -rf "$cwd" && mkdir "$cwd"
    # An upgrade finds an earlier installation in place, put there (and on the disk) before the
    # clock starts.
    case $name in upgrade | earlier) cp -r "$src" "$cwd/target" && sync -f "$cwd" ;; esac
    { time env -C "$cwd" taskset -c 0 "$@" 2>&3; } 3>&2 2>>"$work/$name.times"
}
# Median of the wall times (column 1) or of the processor times (user + sys) in file $1.
median() {
    awk -v col="$2" '{ print col == "cpu" ? $2 + $3 : $1 }' "$1" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# Warm-up, untimed, with a check that both installs are complete and exact.
rm -f "$work"/*.times
for kind in warm upgrade; do
    measure $kind "$build/bench_install_payload" target/
    diff -r "$src" "$cwd/target"
    [ -z "$(ls -A "$cwd" | grep -v '^target$')" ] || { echo "temporary files left behind" >&2; exit 1; }
done
rm -f "$work"/upgrade.times "$work"/earlier.times
measure warm sh -c "bzip2 -dc '$work/payload.bz2' >/dev/null"

for ((i = 0; i < reps; i++)); do
    measure install "$build/bench_install_payload" target/
    measure floor sh -c "bzip2 -dc '$work/payload.bz2' >/dev/null"
    measure upgrade "$build/bench_install_payload" target/
    [ -z "$against" ] || measure earlier "$against" target/
done
rm -rf "$cwd"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
echo "payload of $(($(stat -c %s "$work/payload.star") >> 20)) MiB in $(find "$src" -type f | wc -l) files ($(($(stat -c %s "$work/payload.bz2") >> 10)) KiB compressed), median of $reps runs:"
printf '                    wall       processor\n'
printf '  install_payload   %6.3f s   %6.3f s\n' "$(median "$work/install.times" wall)" "$(median "$work/install.times" cpu)"
printf '  ... as upgrade    %6.3f s   %6.3f s\n' "$(median "$work/upgrade.times" wall)" "$(median "$work/upgrade.times" cpu)"
printf '  bzip2 -dc         %6.3f s   %6.3f s\n' "$(median "$work/floor.times" wall)" "$(median "$work/floor.times" cpu)"
for kind in install:1.10 upgrade:1.15; do
    goal=${kind#*:} kind=${kind%:*}
    wall=$(ratio "$(median "$work/$kind.times" wall)" "$(median "$work/floor.times" wall)")
    cpu=$(ratio "$(median "$work/$kind.times" cpu)" "$(median "$work/floor.times" cpu)")
    verdict=$(awk -v x="$cpu" -v g="$goal" 'BEGIN { print (x <= g) ? "PASS" : "FAIL" }')
    echo "  ratio $kind/decode: wall $wall, processor $cpu   goal: at most $goal   $verdict"
done
if [ -n "$against" ]; then
    printf '  ... the other build  %6.3f s   %6.3f s\n' "$(median "$work/earlier.times" wall)" "$(median "$work/earlier.times" cpu)"
    other=$(ratio "$(median "$work/upgrade.times" wall)" "$(median "$work/earlier.times" wall)")
    # Many small files: what the change adds per file against the build it is compared with.
    if [ -n "$small" ]; then
        echo "  ratio upgrade/other build: wall $other   goal: at most 1.20   $(awk -v x="$other" 'BEGIN { print (x <= 1.20) ? "PASS" : "FAIL" }')"
    else
        echo "  ratio upgrade/other build: wall $other (reported)"
    fi
fi
