#!/usr/bin/env bash
# The main job: packs a small sample folder into an archive, lists it and extracts it again.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh host
star=build/host/star
demo=build/demo
rm -rf "$demo" && mkdir -p "$demo/app/lib"
printf 'MZ sample program\r\n' >"$demo/app/zorv.exe"
printf 'first library\n' >"$demo/app/lib/zorvcore.dll"
printf 'second library, ends in CR\r' >"$demo/app/lib/zorvnet.dll"
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-1215625293} "$star" pack "$demo/app.star" -C "$demo/app" .
echo "== $demo/app.star holds:"
"$star" list "$demo/app.star"
"$star" extract "$demo/app.star" -C "$demo/extracted"
echo "== extracted into $demo/extracted:"
(cd "$demo/extracted" && find . -type f | sort)
diff -r "$demo/app" "$demo/extracted" && echo "== identical to the packed folder"
