#!/usr/bin/env bash
# zorv-pack installed away from the checkout: by `cmake --install` into a prefix, or from its Debian package.
#
#   installed_tool_test.sh prefix|package SOURCE_DIR HOST_BUILD_DIR OUT_DIR APP_I686 APP_X86_64 [BUILD_DIR...]
#
# prefix: cmake --install into a fresh prefix, which is then moved. package: scripts/package.sh,
# the package's file list and dependencies (dpkg-deb -c, -f), dpkg-deb -x into a scratch folder,
# and the manual pages against --help and --version. Then, in a mount namespace of its own where
# the checkout and every build tree lie under empty mounts, the tool packs from an unrelated
# folder for i686, x86_64 and linux, and the Linux installer must install the folder byte for
# byte. The Windows installers are left in OUT_DIR as zorv-setup-MODE_ARCH.exe for the Wine tests.
set -u
MODE=$1 SRC=$2 HOST=$3 OUT=$4 APP_I686=$5 APP_X86_64=$6
shift 6
HIDE=("$SRC" "$HOST" "$@")
ARCHES=(i686 x86_64 linux)
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
passed=0 failed=0

check() {  # check NAME CONDITION...
    local name=$1; shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $name"; fi
}
same() { [ "$1" = "$2" ] || { echo "  got:      $1"; echo "  expected: $2"; false; }; }

if [ "$MODE" = prefix ]; then
    cmake --install "$HOST" --prefix "$T/prefix" >"$T/install.log" 2>&1
    check "cmake --install" [ $? -eq 0 ]
    mv "$T/prefix" "$T/moved"
    TOOL=$T/moved/bin/zorv-pack
else
    deb=$("$SRC/scripts/package.sh" --no-build "$T/package" | tail -n1)
    check "package.sh writes the package" [ -f "$deb" ]
    files=$(dpkg-deb -c "$deb" | awk '{print $6}')
    for f in bin/zorv-pack bin/star share/man/man1/zorv-pack.1.gz share/man/man1/star.1.gz \
             share/doc/zorv-pack/copyright share/zorvana/{i686,x86_64,linux}/zorv-installer.kit; do
        check "package holds /usr/$f" grep -qx "./usr/$f" <<<"$files"
    done
    check "package: nothing outside /usr" same "$(grep -v '^\./usr/\|^\./$' <<<"$files")" ""
    depends=$(dpkg-deb -f "$deb" Depends | tr -d ' ' | tr ',' '\n' | sed 's/(.*//')
    for p in libbz2-1.0 libc6 osslsigncode openssl; do
        check "package depends on $p" grep -qx "$p" <<<"$depends"
    done
    check "package: no compiler, linker or binutils" same "$(grep -E 'mingw|binutils|^(gcc|g\+\+)(-|$)' <<<"$depends")" ""
    dpkg-deb -x "$deb" "$T/root"
    TOOL=$T/root/usr/bin/zorv-pack
    # Every option that --help shows is in the manual page and no other; the versions agree.
    options() { grep -oE '(^|[][ |(])--?[a-zA-Z][-a-zA-Z0-9]*' | sed 's/^[][ |(]//' | sort -u; }
    version=$(dpkg-deb -f "$deb" Version)
    for tool in zorv-pack star; do
        page=$(zcat "$T/root/usr/share/man/man1/$tool.1.gz" | sed 's/\\-/-/g; s/\\f[BIRP]//g')
        check "$tool: --help and the manual page name the same options" \
            same "$("$T/root/usr/bin/$tool" --help | options | paste -sd' ')" "$(options <<<"$page" | paste -sd' ')"
        check "$tool: --version" same "$("$T/root/usr/bin/$tool" --version)" "$tool $version"
        check "$tool: the manual page's version" grep -q "^\.TH .* \"zorvana $version\"" <<<"$page"
    done
fi

# The applications, copied out before their build trees disappear.
cp -r "$APP_I686" "$T/app-i686"
cp -r "$APP_X86_64" "$T/app-x86_64"
cp -r "$APP_X86_64" "$T/app-linux"
mkdir -p "$T/elsewhere" "$T/tmp"
cat >"$T/hidden.sh" <<'EOF'
# Runs in a mount namespace of its own: what is mounted here is seen by nothing else.
T=$1 TOOL=$2; shift 2
for dir in "$@"; do
    [ -d "$dir" ] && mount -t tmpfs -o size=64k zorv-hidden "$dir"
done
hidden=yes
for dir in "$@"; do
    [ -z "$(ls -A "$dir" 2>/dev/null)" ] || hidden=no
done
[ $hidden = no ] || touch "$T/hidden"
cd "$T/elsewhere"
export TMPDIR=$T/tmp SOURCE_DATE_EPOCH=1215625293
for arch in i686 x86_64 linux; do
    "$TOOL" "$T/app-$arch" -o "zorv-setup-$arch.exe" --arch "$arch" 2>"err-$arch"
    echo $? >"status-$arch"
done
env XDG_CONFIG_HOME="$T/config" ZORV_WINDOWS_DIR="$T/windows" XDG_RUNTIME_DIR="$T/run" \
    ./zorv-setup-linux.exe -s -r -d "$T/installed" </dev/null >err-install 2>&1
echo $? >status-install
EOF
unshare --mount --propagation private bash "$T/hidden.sh" "$T" "$TOOL" "${HIDE[@]}"
check "the checkout and the build trees hidden" [ -f "$T/hidden" ]
for arch in "${ARCHES[@]}"; do
    check "$arch: packs from elsewhere" same "$(cat "$T/elsewhere/status-$arch") $(cat "$T/elsewhere/err-$arch")" "0 "
done
check "linux installer: exit 0" same "$(cat "$T/elsewhere/status-install")" 0
check "linux installer: installs the folder" diff -r "$T/app-linux" "$T/installed"
for arch in i686 x86_64; do
    cp "$T/elsewhere/zorv-setup-$arch.exe" "$OUT/zorv-setup-${MODE}_$arch.exe"
done

echo "installed by $MODE: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
