#!/usr/bin/env bash
# Packing and installing on every core: zorv-pack and the Linux installer against bzip2 and lbzip2.
#
# usage: bench/parallel_bzip2.sh [--reps N]
#
# The application is some 260 MB of libraries and documents: Wine's Windows libraries (those whose
# names sort first, up to 130 MB) and the regular files of /usr/share/doc (one of any names that
# differ only in case), which bzip2 -9 packs 2.5 to 1. Each figure is the least wall time of N runs (default 3), every run into a fresh
# folder, the commands taking turns in one run of the script:
#   - packing: zorv-pack --arch linux against bzip2 -9 (goal at most 0.55) and lbzip2 -9 -n 2 of
#     the same archive; its payload must be bzip2 -9 -c's, byte for byte;
#   - installing: the Linux installer (-s -r -d), its 1 s wait and the extraction included, against
#     bzip2 -dc of its payload: wall time (goal at most 0.65) and processor time on every core
#     (user and system, goal at most 1.25); lbzip2 -d -n 2 and star extract of the same archive
#     beside them, reported;
#   - the peak memory (largest resident set) of packing and of installing.
# The load average is printed beside the figures: above about 1.5 they are disturbed.
set -euo pipefail
export LC_ALL=C

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/host
work=$root/build/bench/parallel_bzip2
reps=3
while (($#)); do
    case $1 in
    --reps) reps=${2:?--reps needs a number}; shift ;;
    *) echo "usage: $0 [--reps N]" >&2; exit 2 ;;
    esac
    shift
done
for tool in bzip2 lbzip2; do
    command -v $tool >/dev/null || { echo "$tool is missing: run scripts/setup.sh" >&2; exit 1; }
done
(cd "$root" && { [ -f build/host/CMakeCache.txt ] || cmake --preset host >/dev/null; } &&
    cmake --build --preset host -j2 --target zorv-pack star zorv_linux_kit >/dev/null)

app=$work/app
if [ ! -f "$app/zorv.exe" ]; then
    rm -rf "$work" && mkdir -p "$app"
    python3 - "$app" <<'PY'
import os, shutil, sys
app = sys.argv[1]
taken = set()  # names as Windows compares them: a second "index.html" beside "Index.html" is left out
def copy(src, dst):
    if dst.lower() in taken:
        return
    taken.add(dst.lower())
    os.makedirs(os.path.dirname(dst), exist_ok=True)
    shutil.copyfile(src, dst)
total = 0
libs = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
for name in sorted(os.listdir(libs)):
    path = os.path.join(libs, name)
    if os.path.isfile(path) and not os.path.islink(path) and total < 130 << 20:
        copy(path, os.path.join(app, "lib", name))
        total += os.path.getsize(path)
for top, dirs, files in os.walk("/usr/share/doc"):
    dirs.sort()
    for name in sorted(files):
        path = os.path.join(top, name)
        if os.path.isfile(path) and not os.path.islink(path):
            copy(path, os.path.join(app, "doc", os.path.relpath(path, "/usr/share/doc")))
PY
    cp "$build/sample/zorv.exe" "$app/zorv.exe"
fi
export SOURCE_DATE_EPOCH=1215625293
"$build/star" pack "$work/app.star" -C "$app" . >/dev/null
bzip2 -9 -c "$work/app.star" >"$work/payload.bz2"
stub=$build/share/zorvana/linux/zorv-installer-stub

TIMEFORMAT='%R %U %S'
runs=$work/runs
# Every run gets a folder never used before, and nothing is deleted until the end: ext4 creates
# files several times slower right after a tree of thousands has been deleted. What earlier runs
# wrote is put on the disk first, so that its write-back does not fall into the next run.
count=0
best() {  # best NAME COMMAND...: runs COMMAND in a fresh folder, keeps the least wall and processor times
    local name=$1 t dir wall cpu
    shift
    dir=$runs/$((++count))
    mkdir -p "$dir/cwd" && sync
    t=$({ time (cd "$dir/cwd" && "$@" >/dev/null 2>&1); } 2>&1)
    wall=${t%% *} cpu=$(awk -v t="$t" 'BEGIN { split(t, f, " "); print f[2] + f[3] }')
    if [ -z "${least[$name]:-}" ] || awk -v a="$wall" -v b="${least[$name]}" 'BEGIN { exit !(a < b) }'; then
        least[$name]=$wall
    fi
    if [ -z "${cpu_least[$name]:-}" ] || awk -v a="$cpu" -v b="${cpu_least[$name]}" 'BEGIN { exit !(a < b) }'; then
        cpu_least[$name]=$cpu
    fi
}
declare -A least cpu_least
installer_env=(env XDG_CONFIG_HOME="$work/config" ZORV_WINDOWS_DIR="$work/windows" XDG_RUNTIME_DIR="$work/run")
mkdir -p "$work/run"

# Packed once to check it, then timed.
"$build/bin/zorv-pack" "$app" -o "$work/installer" --arch linux
size=$(stat -c %s "$work/payload.bz2")
cmp <(tail -c +$(($(stat -c %s "$stub") + 1)) "$work/installer" | head -c "$size") "$work/payload.bz2" ||
    { echo "the installer's payload is not bzip2 -9 -c's" >&2; exit 1; }
echo "payload: $(($(stat -c %s "$work/app.star") >> 20)) MiB archive, $((size >> 20)) MiB as bzip2 -9" \
     "(ratio $(awk -v a="$(stat -c %s "$work/app.star")" -v b="$size" 'BEGIN { printf "%.2f", a / b }')), the same bytes as zorv-pack's"
rm -rf "$runs"
echo "load before: $(uptime)"
for ((i = 0; i < reps; i++)); do
    best pack "$build/bin/zorv-pack" "$app" -o ../installer --arch linux
    best bzip2_9 sh -c "bzip2 -9 -c '$work/app.star' >../out"
    best lbzip2_9 sh -c "lbzip2 -9 -n 2 -c '$work/app.star' >../out"
    best install "${installer_env[@]}" "$work/installer" -s -r -d target
    best bzip2_d sh -c "bzip2 -dc '$work/payload.bz2' >/dev/null"
    best lbzip2_d sh -c "lbzip2 -d -n 2 -c '$work/payload.bz2' >/dev/null"
    best extract "$build/star" extract "$work/app.star" -C target
done
echo "load after:  $(uptime)"
mkdir -p "$runs/cwd"
pack_kb=$(cd "$runs/cwd" && /usr/bin/time -f %M "$build/bin/zorv-pack" "$app" -o ../peak --arch linux 2>&1 >/dev/null | tail -1)
rm -rf "$runs" && mkdir -p "$runs/cwd"
install_kb=$(cd "$runs/cwd" && "${installer_env[@]}" /usr/bin/time -f %M "$work/installer" -s -r -d target 2>&1 >/dev/null | tail -1)
diff -r "$app" "$runs/cwd/target" >/dev/null || { echo "the installation differs from the folder" >&2; exit 1; }
rm -rf "$runs"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { awk -v x="$1" -v g="$2" 'BEGIN { print (x <= g) ? "PASS" : "FAIL" }'; }
printf 'least of %d runs, seconds:     wall  processor\n' "$reps"
for n in pack bzip2_9 lbzip2_9 install bzip2_d lbzip2_d extract; do
    printf '  %-9s %17.2f %10.2f\n' "$n" "${least[$n]}" "${cpu_least[$n]}"
done
r=$(ratio "${least[pack]}" "${least[bzip2_9]}")
echo "packing / bzip2 -9, wall:               $r   goal at most 0.55   $(verdict "$r" 0.55)"
echo "packing / lbzip2 -9 -n 2, wall:         $(ratio "${least[pack]}" "${least[lbzip2_9]}")   reported"
r=$(ratio "${least[install]}" "${least[bzip2_d]}")
echo "installing / bzip2 -dc, wall:           $r   goal at most 0.65   $(verdict "$r" 0.65)"
r=$(ratio "${cpu_least[install]}" "${cpu_least[bzip2_d]}")
echo "installing / bzip2 -dc, processor:      $r   goal at most 1.25   $(verdict "$r" 1.25)"
echo "installing / lbzip2 -d -n 2, wall:      $(ratio "${least[install]}" "${least[lbzip2_d]}")   reported"
echo "peak memory: packing $((pack_kb >> 10)) MiB, installing $((install_kb >> 10)) MiB"
