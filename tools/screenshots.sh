#!/usr/bin/env bash
# Takes pictures of the desktop program under a virtual X server (Xvfb) with
# a window manager (openbox), after a scan of the demo image, into
# docs/screenshots/.
#   tools/screenshots.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
out="$root/docs/screenshots"
images="$build/testimages"
driver="$build/tests/app/app_screenshots"

cmake --build "$build" --target app_screenshots torvane-recovery
[ -x "$driver" ] || { echo "no $driver: configure the build with the desktop program" >&2; exit 1; }
command -v openbox >/dev/null || { echo "openbox is missing (tools/install-deps.sh installs it)" >&2; exit 1; }
if [ ! -f "$images/demo.img" ]; then
  bash "$root/tools/mkimages/build-all.sh" "$images"
fi

work=$(mktemp -d)
dest="$work/recovered"
# Recovered files go to another file system than the image when there is one.
if [ -d /dev/shm ] && [ "$(stat -c %d /dev/shm)" != "$(stat -c %d "$images")" ]; then
  dest=$(mktemp -d /dev/shm/torvane-shots.XXXXXX)
fi
trap 'rm -rf "$work" "$dest"' EXIT
mkdir -p "$out" "$work/support" "$work/shots" "$dest"
# The demo image and a partitioned disk image are the only disks.
export TORVANE_DISKS="$images/demo.img:$images/mbr.img" TORVANE_SUPPORT_DIR="$work/support" QT_QPA_PLATFORM=xcb
xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
  openbox >/dev/null 2>&1 &
  wm=$!
  sleep 1
  "$0" "$1" "$2" "$3"
  status=$?
  kill $wm
  exit $status' "$driver" "$work/shots" "$images/demo.img" "$dest"
rm -f "$out"/*.png
cp "$work/shots"/*.png "$out/"
ls -l "$out"
