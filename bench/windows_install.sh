#!/usr/bin/env bash
# The Windows installer under Wine against NSIS's solid LZMA installer of the same folder.
#
# usage: bench/windows_install.sh [--reps N]
#
# The application is some 89 MB in about 2 300 files of libraries and documents, no two files
# alike: Wine's Windows libraries (those whose names sort first, up to 66 MiB) and the regular
# files of /usr/share/doc, one of any names that differ only in case and none that Windows cannot
# hold, up to 89 MB in all. It is packed by zorv-pack for x86_64, and for i686 where Wine's 32-bit
# side is installed, and by makensis (Debian's nsis package, installed here when missing, used only
# as a peer to time) as a solid LZMA installer with the matching stub: amd64-unicode, x86-unicode.
# Each silent installation (ours: -s -r -d C:\...; NSIS: /S /D=C:\...) runs under Wine into a
# folder never used, from a current folder never used, the installers taking turns in each round;
# nothing is deleted until the end (ext4 creates files several times slower right after a tree of
# thousands is deleted), and one wineserver serves every run (`wineserver -p`), as a desktop's
# would. Each figure is the least wall time of N rounds (default 3); the ratio ours / NSIS has the
# goal at most 0.8. Beside them, reported: the same payload installed natively by the Linux
# installer and decoded by `bzip2 -dc`, and the sizes of the installer programs of the kits. The
# load average is printed beside the figures: above about 1.5 they are disturbed.
set -euo pipefail
export LC_ALL=C

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/host
work=$root/build/bench/windows_install
reps=3
while (($#)); do
    case $1 in
    --reps) reps=${2:?--reps needs a number}; shift ;;
    *) echo "usage: $0 [--reps N]" >&2; exit 2 ;;
    esac
    shift
done
WINE64=/usr/lib/wine/wine64 WINE32=/usr/lib/wine/wine WINESERVER=/usr/lib/wine/wineserver
[ -x "$WINE64" ] || { echo "Wine is missing: run scripts/setup.sh" >&2; exit 1; }
if ! command -v makensis >/dev/null; then
    echo "installing Debian's nsis package, the peer this benchmark times"
    apt-get install -y -qq --no-install-recommends nsis >/dev/null
fi
archs=(x86_64)
if ! probe=$("$root/scripts/probe_32bit.sh"); then
    echo "the i686 rows are skipped: this machine $probe"
elif [ ! -x "$WINE32" ]; then
    echo "the i686 rows are skipped: this machine $probe, but Wine's 32-bit side ($WINE32) is not installed (see scripts/setup.sh)"
else
    archs+=(i686)
fi
(cd "$root" && ./scripts/build.sh host win32 win64)

app=$work/app
if [ ! -f "$app/zorv.exe" ]; then
    rm -rf "$work" && mkdir -p "$app"
    python3 - "$app" <<'PY'
import hashlib, os, re, shutil, sys
app = sys.argv[1]
taken, seen = set(), set()  # names as Windows compares them; the files' bytes
total = 0
bad = re.compile(r'[<>:"|?*\\\x00-\x1f]|[. ]$|^(con|prn|aux|nul|com[1-9]|lpt[1-9]|conin\$|conout\$)(\..*)?$', re.I)
def copy(src, rel, limit):
    global total
    size = os.path.getsize(src)
    if total + size > limit or rel.lower() in taken or any(bad.search(level) for level in rel.split("/")):
        return
    digest = hashlib.sha1(open(src, "rb").read()).digest()
    if digest in seen:
        return
    taken.add(rel.lower())
    seen.add(digest)
    os.makedirs(os.path.dirname(os.path.join(app, rel)), exist_ok=True)
    shutil.copyfile(src, os.path.join(app, rel))
    total += size
libs = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
for name in sorted(os.listdir(libs)):
    path = os.path.join(libs, name)
    if os.path.isfile(path) and not os.path.islink(path):
        copy(path, "lib/" + name, 66 << 20)
for top, dirs, files in os.walk("/usr/share/doc"):
    dirs.sort()
    for name in sorted(files):
        path = os.path.join(top, name)
        if os.path.isfile(path) and not os.path.islink(path):
            copy(path, "doc/" + os.path.relpath(path, "/usr/share/doc"), 89 * 10**6)
PY
    cp "$root/build/win64/sample/app/zorv.exe" "$app/zorv.exe"
fi
echo "application: $(find "$app" -type f -printf '%s\n' | awk '{ t += $1 } END { print t }') bytes in $(find "$app" -type f | wc -l) files"

export SOURCE_DATE_EPOCH=1215625293
packs=$work/packs
rm -rf "$packs" && mkdir -p "$packs"
for arch in "${archs[@]}"; do
    "$build/bin/zorv-pack" "$app" -o "$packs/ours-$arch.exe" --arch "$arch"
    target=amd64-unicode && [ "$arch" = i686 ] && target=x86-unicode
    cat >"$packs/nsis-$arch.nsi" <<EOF
Unicode true
Target $target
SetCompressor /SOLID lzma
Name "bench"
OutFile "$packs/nsis-$arch.exe"
InstallDir "C:\\bench"
RequestExecutionLevel user
SilentInstall silent
Section
  SetOutPath \$INSTDIR
  File /r "$app/*"
SectionEnd
EOF
    makensis -V1 "$packs/nsis-$arch.nsi"
done
"$build/bin/zorv-pack" "$app" -o "$packs/ours-linux" --arch linux
"$build/star" pack "$packs/app.star" -C "$app" . >/dev/null
bzip2 -9 -c "$packs/app.star" >"$packs/payload.bz2"
for f in "$packs"/*.exe; do printf '  %-18s %6d KB\n' "$(basename "$f")" $(($(stat -c %s "$f") / 1000)); done

# One prefix, made once; a wineserver kept running for every run of the script.
prefix=$work/prefix
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
[ -d "$prefix/drive_c" ] || "$WINE64" wineboot -i >/dev/null 2>&1
"$WINESERVER" -w
"$WINESERVER" -p
trap '"$WINESERVER" -k 2>/dev/null || true' EXIT
runs=$prefix/drive_c/runs
rm -rf "$runs" "$work/native"
mkdir -p "$runs" "$work/native/run"

TIMEFORMAT=%R
declare -A least
count=0
best() {  # best NAME DIR COMMAND...: runs COMMAND in the fresh folder DIR, keeps the least wall time
    local name=$1 dir=$2 t
    shift 2
    mkdir -p "$dir" && sync
    t=$({ time (cd "$dir" && "$@" >/dev/null 2>&1); } 2>&1)
    if [ -z "${least[$name]:-}" ] || awk -v a="$t" -v b="${least[$name]}" 'BEGIN { exit !(a < b) }'; then
        least[$name]=$t
    fi
}
loader() { [ "$1" = i686 ] && echo "$WINE32" || echo "$WINE64"; }
native_env=(env XDG_CONFIG_HOME="$work/native/config" ZORV_WINDOWS_DIR="$work/native/windows" XDG_RUNTIME_DIR="$work/native/run")
echo "load before: $(uptime)"
for ((i = 1; i <= reps; i++)); do
    for arch in "${archs[@]}"; do
        best "ours-$arch" "$runs/ours-$arch-$i" "$(loader "$arch")" "$packs/ours-$arch.exe" -s -r -d "C:\\runs\\ours-$arch-$i\\target"
        best "nsis-$arch" "$runs/nsis-$arch-$i" "$(loader "$arch")" "$packs/nsis-$arch.exe" /S "/D=C:\\runs\\nsis-$arch-$i\\target"
    done
    best linux "$work/native/$i" "${native_env[@]}" "$packs/ours-linux" -s -r -d target
    best bzip2_d "$work/native/$i" sh -c "bzip2 -dc '$packs/payload.bz2' >/dev/null"
done
echo "load after:  $(uptime)"
for arch in "${archs[@]}"; do
    for who in ours nsis; do
        diff -r "$app" "$runs/$who-$arch-1/target" >/dev/null ||
            { echo "$who's $arch installation differs from the folder" >&2; exit 1; }
    done
done
diff -r "$app" "$work/native/1/target" >/dev/null || { echo "the Linux installation differs from the folder" >&2; exit 1; }
"$WINESERVER" -k || true
rm -rf "$runs" "$work/native"

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
printf 'least of %d rounds, wall seconds:\n' "$reps"
for n in "${!least[@]}"; do printf '  %-12s %7.2f\n' "$n" "${least[$n]}"; done | sort
for arch in "${archs[@]}"; do
    r=$(ratio "${least[ours-$arch]}" "${least[nsis-$arch]}")
    echo "$arch installer / NSIS solid LZMA under Wine: $r   goal at most 0.8   $(awk -v x="$r" 'BEGIN { print (x <= 0.8) ? "PASS" : "FAIL" }')"
done
echo "reported: Linux installer / bzip2 -dc, same payload: $(ratio "${least[linux]}" "${least[bzip2_d]}");" \
     "x86_64 under Wine / Linux installer: $(ratio "${least[ours-x86_64]}" "${least[linux]}")"
for arch in i686 x86_64; do
    kit=$root/build/win$([ $arch = i686 ] && echo 32 || echo 64)/installer/zorv-installer.exe
    echo "zorv-installer.exe $arch: $(($(stat -c %s "$kit") / 1024)) KiB"
done
