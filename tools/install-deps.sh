#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the test-image builder
# need, only when some are missing (so a warm machine starts at once).
set -euo pipefail
PKGS=(
  build-essential cmake ninja-build pkg-config ccache
  libgtest-dev googletest
  zlib1g-dev libjpeg62-turbo-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  clang libclang-rt-14-dev
  dosfstools mtools ntfs-3g e2fsprogs fdisk gdisk parted exfatprogs exfat-fuse sleuthkit
  imagemagick libjpeg-turbo-progs ghostscript python3 python3-pil ffmpeg lame sox
  libimage-exiftool-perl flac vorbis-tools opus-tools libheif-examples webp
  zip p7zip-full sqlite3 gcab fonts-dejavu-core xxd sleuthkit gddrescue
  xvfb xauth openbox fonts-wqy-microhei
  qt6-image-formats-plugins libpoppler-qt6-dev
)
missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
