#!/usr/bin/env bash
# `make run`: the desktop program with the demo disk listed when a display
# is there; otherwise the command-line scan of the same demo disk, so the
# main job always runs.
set -euo pipefail
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
IMAGES="$BUILD/testimages"
if [ ! -f "$IMAGES/demo.img" ]; then
  echo "Making the demo disk (deleted photos and documents on a FAT volume)..."
  bash "$ROOT/tools/mkimages/build-all.sh" "$IMAGES" >/dev/null
fi
DEMO=$(cd "$IMAGES" && pwd)/demo.img

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$BUILD/app/torvane-recovery" ]; then
  exec "$BUILD/app/torvane-recovery" --image "$DEMO"
fi
if [ -x "$BUILD/app/torvane-recovery" ]; then
  echo "No display found: running the command-line scan of the demo disk instead."
fi
OUT=$(mktemp -d /tmp/torvane-demo-recovered-XXXXXX)
"$BUILD/cli/torvane" scan "$DEMO" --recover "$OUT"
echo "Recovered files are in $OUT"
