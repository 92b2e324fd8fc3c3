#!/usr/bin/env bash
# render-icons.sh HEADER ARRAY OUTDIR SIZE...
# Writes OUTDIR/SIZExSIZE/quillmar.png for each size from the XPM array ARRAY in the C
# header HEADER (the window's own icon), so the menu icon and the window icon are one image.
# Upscaling goes through an integer pixel multiple first, so edges stay sharp.
set -euo pipefail
header=$1 array=$2 outdir=$3
shift 3
xpm=$outdir/quillmar.xpm
mkdir -p "$outdir"
awk -v name="$array" '
  $0 ~ name "\\[\\] = \\{" { found = 1; print "/* XPM */"; print "static char *quillmar[] = {"; next }
  found && /^};/ { print "};"; exit }
  found { print }' "$header" > "$xpm"
grep -q '^};' "$xpm" || { echo "render-icons.sh: no XPM array $array in $header" >&2; exit 1; }
base=$(sed -n '3{s/^"\([0-9]*\) .*/\1/;p}' "$xpm")
for size in "$@"; do
  mkdir -p "$outdir/${size}x${size}"
  factor=$(( (size + base - 1) / base ))
  convert "$xpm" -filter point -resize "$((base * factor))x$((base * factor))" \
    -filter Lanczos -resize "${size}x${size}" -strip "PNG32:$outdir/${size}x${size}/quillmar.png"
done
