#!/usr/bin/env bash
# check-link-lines.sh SOURCE_DIR
# Each library folder's CMakeLists.txt names every library of ours and every system package
# that the folder's sources include, and no library of ours that they do not include, so a
# link line says what a folder really uses.
set -euo pipefail
src=$1
declare -A ours=([base]="qm_base" [settings]="qm_settings qm_settings_ui" [log]="qm_log"
                 [camera]="qm_camera" [database]="qm_database" [recording]="qm_recording"
                 [viewer]="qm_viewer" [export]="qm_export qm_export_ui" [net]="qm_net" [depot]="qm_depot" [app]="qm_app")
packages=("opencv2/ qm::opencv" "wx/ qm::wx" "leveldb/ qm::leveldb" "boost/ qm::boost" "zip.h qm::zip"
          "arv.h qm::aravis" "turbojpeg.h qm::turbojpeg" "libdeflate.h qm::deflate" "zlib.h qm::zlib"
          "libavcodec/ qm::ffmpeg" "libavformat/ qm::ffmpeg" "libavutil/ qm::ffmpeg" "libswscale/ qm::ffmpeg"
          "cairo.h qm::cairo")
failed=0
for folder in "${!ours[@]}"; do
  lines=$(sed 's/#.*//' "$src/$folder/CMakeLists.txt")
  includes=$(cat "$src/$folder"/*.cpp "$src/$folder"/*.h 2>/dev/null | grep -o '^#include [<"][^>"]*' | cut -c10- || true)
  names() { grep -ow "$1" <<<"$lines" >/dev/null; }
  for used in $(grep -o '^"[a-z_]*/' <<<"$includes" | sort -u | tr -d '"/'); do
    [[ $used == "$folder" || -z ${ours[$used]:-} ]] && continue
    found=0
    for library in ${ours[$used]}; do names "$library" && found=1; done
    ((found)) || { echo "$folder/ includes $used/ but does not link ${ours[$used]}"; failed=1; }
  done
  for entry in "${packages[@]}"; do
    read -r prefix target <<<"$entry"
    if grep -qF "<$prefix" <<<"$includes" && ! grep -qF "$target" <<<"$lines"; then
      echo "$folder/ includes <$prefix...> but does not link $target"; failed=1
    fi
  done
  for library in $(grep -o '\bqm_[a-z_]*' <<<"$lines" | sort -u); do
    owner=""
    for other in "${!ours[@]}"; do
      for name in ${ours[$other]}; do [[ $name == "$library" ]] && owner=$other; done
    done
    [[ -z $owner || $owner == "$folder" ]] && continue
    grep -q "^\"$owner/" <<<"$includes" || { echo "$folder/ links $library but includes nothing of $owner/"; failed=1; }
  done
done
exit $failed
