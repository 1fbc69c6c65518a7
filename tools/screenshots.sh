#!/usr/bin/env bash
# Takes pictures of the desktop program's pages under a virtual X server
# (Xvfb) after a scan of the demo image, into docs/screenshots/.
#   tools/screenshots.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
out="$root/docs/screenshots"
images="$build/testimages"
driver="$build/tests/app/app_screenshots"

cmake --build "$build" --target app_screenshots torvane-recovery
[ -x "$driver" ] || { echo "no $driver: configure the build with the desktop program" >&2; exit 1; }
if [ ! -f "$images/demo.img" ]; then
  bash "$root/tools/mkimages/build-all.sh" "$images"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out" "$work/support"
# Recovered files go to a folder on another file system than the image when there is one.
dest="$work/recovered"
if [ -d /dev/shm ] && [ "$(stat -c %d /dev/shm)" != "$(stat -c %d "$images")" ]; then
  dest=$(mktemp -d /dev/shm/torvane-shots.XXXXXX)
  trap 'rm -rf "$work" "$dest"' EXIT
fi
mkdir -p "$dest"
# Only the demo image is listed, as on a machine with no other disk to show.
TORVANE_DISKS=/nonexistent TORVANE_SUPPORT_DIR="$work/support" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1100x760x24" "$driver" "$work" "$images/demo.img" "$dest"
for f in "$work"/*.png; do
  # The screen is larger than the window: keep the window and a margin.
  convert "$f" -crop 1040x700+30+30 +repage "$out/$(basename "$f")"
done
ls -l "$out"
