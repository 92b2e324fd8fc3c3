#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the program and the tests need.
# Idempotent: asks apt only for what is missing. Works as root, or through sudo.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git ccache
  make dpkg-dev help2man lintian
  libwxgtk3.2-dev libcairo2-dev
  libboost-dev libboost-system-dev
  libleveldb-dev
  libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev
  libzip-dev
  libaravis-dev libusb-1.0-0-dev
  libturbojpeg0-dev libdeflate-dev zlib1g-dev libspng-dev
  libavcodec-dev libavformat-dev libswscale-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  xvfb xauth socat x11-apps imagemagick xdotool unzip python3
  # The fake GigE Vision camera and Aravis's reference clients, run by the camera tests in a
  # private network namespace (unshare from util-linux, ip and tc from iproute2).
  aravis-tools aravis-tools-cli iproute2 util-linux
  # The toolkit's Russian texts, for its stock buttons and messages.
  wx3.2-i18n
  # An independent LevelDB reader of what the recorder writes, for the tests.
  python3-plyvel
  # The depot upload: libcurl signs S3 requests itself, OpenSSL hashes. The tests run a real
  # single-node OpenStack Swift with its S3 middleware on loopback, and read it back with boto3.
  libcurl4-openssl-dev libssl-dev
  swift-proxy swift-account swift-container swift-object memcached python3-boto3
  # The browser service: its pages driven by headless Chromium from selenium in the tests, and
  # its stored-frame serving measured with wrk against nginx serving the same bytes.
  chromium chromium-driver python3-selenium nginx-light wrk
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "${missing[@]}"
