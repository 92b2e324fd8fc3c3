#!/usr/bin/env bash
# check-package.sh BUILD_DIR VERSION REVISION PROGRAM...
# Builds the Debian package from an already built tree into a scratch folder, checks its
# control fields and contents, runs lintian on it, extracts it and runs every executable in
# it with --help. Nothing is installed: the machine is left as it was.
set -euo pipefail

build=$1 version=$2 revision=$3
shift 3
programs=("$@")
scratch=$build/test-home/package
arch=$(dpkg --print-architecture)
deb=$scratch/out/quillmar_${version}_${arch}.deb
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

rm -rf "$scratch/out" "$scratch/root" "$scratch/home"
mkdir -p "$scratch/out" "$scratch/root" "$scratch/home"

cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" > "$scratch/cpack.log" 2>&1 || {
  cat "$scratch/cpack.log" >&2
  echo "FAIL: cpack could not build the package" >&2
  exit 1
}
[ -f "$deb" ] || { ls "$scratch/out" >&2; echo "FAIL: no $deb" >&2; exit 1; }

# Control fields.
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = quillmar ] || fail "Package is \"$(field Package)\""
[ "$(field Version)" = "$version" ] || fail "Version is \"$(field Version)\", the build's is $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is \"$(field Architecture)\""
[ "$(field Section)" = video ] || fail "Section is \"$(field Section)\""
field Description | grep -qF "Built from commit $revision." || fail "Description does not name commit $revision"
depends=$(field Depends)
for lib in libwxgtk3.2-1 libaravis-0.8-0 libleveldb1d libopencv-imgcodecs406 libc6; do
  [[ ", $depends," == *", $lib "* ]] || fail "Depends lacks $lib: $depends"
done
[[ ", $depends," == *", wx3.2-i18n,"* ]] || fail "Depends lacks wx3.2-i18n: $depends"
# Only what the installed executables link: nothing for building or testing.
for unwanted in -dev gtest gmock benchmark xvfb xauth socat lintian help2man imagemagick; do
  [[ "$depends" != *"$unwanted"* ]] || fail "Depends names $unwanted: $depends"
done

# Contents: every program with its manual page, and nothing in /usr/bin besides them.
dpkg-deb --contents "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' > "$scratch/contents"
expect=(/usr/share/applications/quillmar.desktop /usr/share/doc/quillmar/copyright
        /usr/share/doc/quillmar/changelog.gz)
for size in 16 22 24 32 48 64 128 256; do
  expect+=("/usr/share/icons/hicolor/${size}x${size}/apps/quillmar.png")
done
for program in "${programs[@]}"; do
  expect+=("/usr/bin/$program" "/usr/share/man/man1/$program.1.gz")
done
for path in "${expect[@]}"; do
  grep -qxF "$path" "$scratch/contents" || fail "the package lacks $path"
done
in_bin=$(grep -c '^/usr/bin/.' "$scratch/contents" || true)
[ "$in_bin" -eq "${#programs[@]}" ] || fail "/usr/bin holds $in_bin files, the build installs ${#programs[@]}: ${programs[*]}"
outside=$(grep -v -e '^/usr/$' -e '^/usr/bin/' -e '^/usr/share/' "$scratch/contents" || true)
[ -z "$outside" ] || fail "files outside /usr/bin and /usr/share: $outside"

# Lintian: errors fail the test; warnings are shown in the test's output.
if ! lintian --fail-on error "$deb" > "$scratch/lintian.log" 2>&1; then
  fail "lintian reports errors"
fi
grep -E '^[EW]: ' "$scratch/lintian.log" >&2 || true

# Extracted, each executable answers --help without a display and without touching HOME.
dpkg-deb --extract "$deb" "$scratch/root"
desktop=$scratch/root/usr/share/applications/quillmar.desktop
for line in 'Name[ru]=Подвагонные камеры' 'Exec=quillmar' 'Icon=quillmar' 'Categories=AudioVideo;Video;Recorder;'; do
  grep -qxF "$line" "$desktop" || fail "the desktop entry lacks \"$line\""
done
for exe in "$scratch"/root/usr/bin/*; do
  name=$(basename "$exe")
  rc=0
  env -u DISPLAY HOME="$scratch/home" LC_ALL=C.UTF-8 "$exe" --help > "$scratch/$name.help" 2>&1 || rc=$?
  if [ "$rc" -ne 0 ]; then
    fail "$name --help exited with $rc: $(head -c 400 "$scratch/$name.help")"
  elif ! grep -qi 'usage' "$scratch/$name.help"; then
    fail "$name --help printed no usage: $(head -c 400 "$scratch/$name.help")"
  fi
done
quillmar_version=$(env -u DISPLAY HOME="$scratch/home" "$scratch/root/usr/bin/quillmar" --version 2>&1) ||
  fail "quillmar --version failed: $quillmar_version"
[ "$quillmar_version" = "quillmar $version
revision $revision" ] || fail "quillmar --version printed: $quillmar_version"
leftovers=$(find "$scratch/home" -mindepth 1 | head -5)
[ -z "$leftovers" ] || fail "--help wrote into HOME: $leftovers"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package $deb: ${#programs[@]} programs, $(wc -l < "$scratch/contents") entries, lintian without errors"
