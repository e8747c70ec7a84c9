#!/usr/bin/env bash
# The main job: installs the sample application with the Linux installer and shows the result.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh host
build=$PWD/build/host
installer=$build/zorv-installer
demo=$PWD/build/demo
rm -rf "$demo" && mkdir -p "$demo/cwd" "$demo/run"
# Folders of its own, so that the demonstration leaves the user's registry and folders alone.
export XDG_CONFIG_HOME=$demo/config ZORV_WINDOWS_DIR=$demo/windows XDG_RUNTIME_DIR=$demo/run
record=$XDG_CONFIG_HOME/zorvana/registry/HKEY_CURRENT_USER/Software/zorvdal/Path
target="$demo/Zorvana app"
cd "$demo/cwd"  # the installer's temporary files go to the current folder

echo "== $installer carries:"
"$build/star" list "$build/payload/app.star"

echo "== zorv-installer -s -d \"$target\"  (silent, then launches the application with -i)"
"$installer" -s -d "$target"
echo "== installed files:"
(cd "$target" && find . -type f | sort)
echo "== registry record ($record):"
tr '\0' '\n' <"$record"
echo "== arguments the application received (zorv-args.txt):"
cat "$target/zorv-args.txt"

echo "== the installed application runs; installing again into the default folder (-s -r)"
"$target/zorv.exe" &
app=$!
for _ in $(seq 100); do  # until it listens for the close request
  ls "$XDG_RUNTIME_DIR/zorvana/windows" 2>/dev/null | grep -q "^$app\." && break || sleep 0.05
done
"$installer" -s -r
kill -0 "$app" 2>/dev/null && echo "== the application is still running after the installer's wait" && kill "$app"
status=0; wait "$app" || status=$?
echo "== the running application has ended (status $status)"
echo "== installed files in the default folder ($ZORV_WINDOWS_DIR/zorvdal):"
(cd "$ZORV_WINDOWS_DIR/zorvdal" && find . -type f | sort)
echo "== registry record now:"
tr '\0' '\n' <"$record"
