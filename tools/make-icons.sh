#!/usr/bin/env bash
# Draws the program's icons from simple shapes and text with ImageMagick into
# resources/image/. The PNGs are committed; run this again only to change them.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out="$here/resources/image"
icons="$out/FileIcon"
mkdir -p "$icons"
# The real ImageMagick, not a wrapper earlier on PATH.
IM=$(command -v convert-im6.q16 || command -v convert)
FONT=DejaVu-Sans-Bold

# A sheet of paper (48x48) with a folded corner, a coloured band and a label.
# $1 output, $2 band colour, $3 label, $4 extra draw primitives (optional)
page() {
  local file=$1 color=$2 label=$3 extra=${4:-}
  local size=15
  [ ${#label} -ge 4 ] && size=11
  [ ${#label} -ge 5 ] && size=9
  "$IM" -size 48x48 xc:none \
    -fill '#ffffff' -stroke '#9aa5b1' -strokewidth 1.5 \
    -draw "path 'M 8,2 L 31,2 L 41,12 L 41,46 L 8,46 Z'" \
    -fill '#dde3ea' -draw "path 'M 31,2 L 31,12 L 41,12 Z'" \
    -stroke none -fill "$color" -draw "roundrectangle 3,26 45,42 3,3" \
    ${extra:+-draw "$extra"} \
    -fill white -font "$FONT" -pointsize "$size" -gravity north -annotate +0+27 "$label" \
    "PNG32:$file"
}

# A category glyph on a rounded tile (size 64) for the first page and defaults.
tile() {
  local file=$1 color=$2 glyph=$3 size=${4:-64}
  "$IM" -size 64x64 xc:none \
    -fill "$color" -draw "roundrectangle 2,2 61,61 12,12" \
    -fill white -stroke white -strokewidth 0 -draw "$glyph" \
    -resize "${size}x${size}" "PNG32:$file"
}

PHOTO='#2f9e6b'; AUDIO='#8e44ad'; DOC='#2b6cb0'; VIDEO='#d9480f'; ARCH='#b7791f'; OTHER='#5f6b7a'

GLYPH_PHOTO="circle 44,20 44,26 polygon 10,52 26,28 36,42 42,34 54,52"
GLYPH_AUDIO="ellipse 22,46 8,6 0,360 ellipse 44,42 8,6 0,360 rectangle 27,14 31,46 rectangle 49,10 53,42 polygon 27,14 53,8 53,16 27,22"
GLYPH_VIDEO="polygon 22,14 50,32 22,50"
GLYPH_DOC="rectangle 16,14 48,18 rectangle 16,24 48,28 rectangle 16,34 48,38 rectangle 16,44 38,48"
GLYPH_ARCH="rectangle 28,8 36,14 rectangle 28,18 36,24 rectangle 28,28 36,34 roundrectangle 24,38 40,54 3,3"
GLYPH_OTHER="circle 18,32 18,37 circle 32,32 32,37 circle 46,32 46,37"

tile "$out/cat_photo.png" "$PHOTO" "$GLYPH_PHOTO"
tile "$out/cat_audio.png" "$AUDIO" "$GLYPH_AUDIO"
tile "$out/cat_video.png" "$VIDEO" "$GLYPH_VIDEO"
tile "$out/cat_document.png" "$DOC" "$GLYPH_DOC"
tile "$out/cat_archive.png" "$ARCH" "$GLYPH_ARCH"
tile "$out/cat_other.png" "$OTHER" "$GLYPH_OTHER"

# Category defaults of the file list.
tile "$icons/image.png" "$PHOTO" "$GLYPH_PHOTO" 48
tile "$icons/photo_default.png" "$PHOTO" "$GLYPH_PHOTO" 48
tile "$icons/audio_default.png" "$AUDIO" "$GLYPH_AUDIO" 48
tile "$icons/music.png" "$AUDIO" "$GLYPH_AUDIO" 48
tile "$icons/video_default.png" "$VIDEO" "$GLYPH_VIDEO" 48
tile "$icons/office_default.png" "$DOC" "$GLYPH_DOC" 48
tile "$icons/other.png" "$OTHER" "$GLYPH_OTHER" 48
tile "$icons/default.png" "$OTHER" "$GLYPH_OTHER" 48

for e in bmp gif ico jpg png psd psp thm tif indd epson mamiya minolta; do page "$icons/$e.png" "$PHOTO" "$(echo $e | tr a-z A-Z | cut -c1-5)"; done
for e in aiff at3 au dss mid mp3 ogg rps wma acid real; do page "$icons/$e.png" "$AUDIO" "$(echo $e | tr a-z A-Z | cut -c1-5)"; done
for e in asf avi divx dv mov mp4 mpeg rmvb tod vob wmv; do page "$icons/$e.png" "$VIDEO" "$(echo $e | tr a-z A-Z | cut -c1-5)"; done
for e in accdb chm doc html ods one pdf ppt txt wps xls xml; do page "$icons/$e.png" "$DOC" "$(echo $e | tr a-z A-Z | cut -c1-5)"; done
for e in 7z ace cab exe gzip jar rar zip; do page "$icons/$e.png" "$ARCH" "$(echo $e | tr a-z A-Z | cut -c1-5)"; done

# Window furniture.
"$IM" -size 64x64 xc:none \
  -fill '#1f6feb' -draw "circle 32,32 32,2" \
  -fill white -draw "circle 32,32 32,14" \
  -fill '#1f6feb' -draw "circle 32,32 32,24" \
  -fill white -draw "polygon 30,30 58,44 46,46 52,58 46,61 40,49 32,56" \
  "PNG32:$out/logo.png"
"$IM" -size 48x48 xc:none -fill '#1f6feb' -draw "circle 24,24 24,2" \
  -fill white -font "$FONT" -pointsize 30 -gravity center -annotate +0+1 '?' "PNG32:$out/question.png"
"$IM" -size 48x48 xc:none -fill '#e8eef5' -stroke '#64748b' -strokewidth 2 -draw "roundrectangle 4,12 44,36 4,4" \
  -stroke none -fill '#22c55e' -draw "circle 36,24 36,27" -fill '#94a3b8' -draw "rectangle 10,22 26,26" \
  "PNG32:$out/disk.png"
"$IM" -size 48x48 xc:none -fill '#dbeafe' -stroke '#3b82f6' -strokewidth 2 -draw "roundrectangle 6,14 42,34 3,3" \
  -stroke none -fill '#3b82f6' -draw "rectangle 6,14 20,34" "PNG32:$out/partition.png"
"$IM" -size 48x48 xc:none -fill '#fef3c7' -stroke '#d97706' -strokewidth 2 -draw "roundrectangle 6,8 42,40 3,3" \
  -stroke none -fill '#d97706' -draw "circle 24,24 24,31" -fill '#fef3c7' -draw "circle 24,24 24,27" \
  "PNG32:$out/image_file.png"
echo "icons written to $out"
