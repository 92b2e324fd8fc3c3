#!/usr/bin/env bash
# render-icons.sh PNG OUTDIR SIZE...
# Writes OUTDIR/SIZExSIZE/quillmar.png for each size from the image PNG (the window's own
# icon, app/icons/camera.png), so the menu icon and the window icon are one image.
# Upscaling goes through an integer pixel multiple first, so edges stay sharp.
set -euo pipefail
png=$1
outdir=$2
shift 2
[[ -f $png ]] || { echo "render-icons.sh: no image $png" >&2; exit 1; }
mkdir -p "$outdir"
base=$(convert "$png" -format '%w' info:)
for size in "$@"; do
  mkdir -p "$outdir/${size}x${size}"
  factor=$(( (size + base - 1) / base ))
  convert "$png" -filter point -resize "$((base * factor))x$((base * factor))" \
    -filter Lanczos -resize "${size}x${size}" -strip "PNG32:$outdir/${size}x${size}/quillmar.png"
done
