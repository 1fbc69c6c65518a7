#!/usr/bin/env bash
# Starts the most the project can do so far.
set -euo pipefail
BUILD=${1:-build}
if [ -x "$BUILD/app/torvane-recovery" ] && [ -n "${DISPLAY:-}" ]; then
  exec "$BUILD/app/torvane-recovery"
fi
if [ -x "$BUILD/tools/cli/torvane" ]; then
  exec "$BUILD/tools/cli/torvane" disks
fi
echo "Torvane Recovery: built in $BUILD (no front end yet)."
