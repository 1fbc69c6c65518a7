#!/usr/bin/env bash
# Builds the test images into OUTDIR; does nothing when OUTDIR already holds images
# made by this very version of the builder.
set -euo pipefail
out=${1:?usage: build-all.sh OUTDIR}
here=$(cd "$(dirname "$0")" && pwd)
stamp=$(cd "$here" && cat $(ls *.sh *.py | sort) | sha256sum | cut -d' ' -f1)
up_to_date() { [ -f "$out/.stamp" ] && [ "$(cat "$out/.stamp")" = "$stamp" ]; }
if up_to_date; then
  echo "test images are up to date in $out"
  exit 0
fi
# Tests that find no images build them too; one builder at a time, the others wait.
mkdir -p "$(dirname "$out")"
exec 9>"$out.lock"
flock 9
if up_to_date; then
  echo "test images are up to date in $out"
  exit 0
fi
# Debian's python3 has the modules the builder needs; a user-installed one may not.
py=/usr/bin/python3
[ -x "$py" ] || py=python3
export PATH="/usr/sbin:/sbin:$PATH"
parent=$(dirname "$out")
mkdir -p "$parent"
work="$out.new.$$"
rm -rf "$work"
mkdir -p "$work"
cleanup() {
  # NTFS and exFAT volumes are filled through FUSE mounts under $work: never leave one behind.
  awk -v w="$work/" 'index($2, w) == 1 {print $2}' /proc/mounts | while read -r m; do umount "$m" || true; done
  # exFAT volumes are mounted from loop devices: detach those backed by our files.
  losetup -a 2>/dev/null | awk -v w="($work/" 'index($0, w) {sub(/:.*/, ""); print}' | while read -r d; do
    losetup -d "$d" || true
  done
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
"$py" "$here/build.py" "$work"
echo "$stamp" > "$work/.stamp"
rm -rf "$out"
mv "$work" "$out"
trap - EXIT
