#!/usr/bin/env bash
# Builds the test images into OUTDIR; does nothing when OUTDIR already holds images
# made by this very version of the builder.
set -euo pipefail
out=${1:?usage: build-all.sh OUTDIR}
here=$(cd "$(dirname "$0")" && pwd)
stamp=$(cd "$here" && cat $(ls *.sh *.py | sort) | sha256sum | cut -d' ' -f1)
if [ -f "$out/.stamp" ] && [ "$(cat "$out/.stamp")" = "$stamp" ]; then
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
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
"$py" "$here/build.py" "$work"
echo "$stamp" > "$work/.stamp"
rm -rf "$out"
mv "$work" "$out"
trap - EXIT
