#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Lumenfeed
# needs, and nothing when they are all there already. Works as root or via sudo.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  # window toolkit, OpenGL video surface, software OpenGL for headless runs
  qt6-base-dev libqt6opengl6-dev libgl-dev libgl1-mesa-dri fonts-dejavu-core
  # codecs (the application binds libavcodec/libavutil at run time; the
  # field unit simulator and the tests link them)
  libavcodec-dev libavutil-dev libavformat-dev libswresample-dev libswscale-dev
  # audio out and capture
  libsdl2-dev libpulse-dev libspeexdsp-dev
  # tests: GoogleTest, a private X server and a private sound server
  libgtest-dev libgmock-dev xvfb xauth pulseaudio pulseaudio-utils
  # end-to-end tests drive the real program as an operator would
  xdotool imagemagick x11-utils
  # the Debian package: the icon renderer for the build; its checker, the
  # validators of its desktop entry and metainfo, and the manual page reader
  librsvg2-bin lintian desktop-file-utils appstream man-db
  # the operator's instruments: loudness meters and the metrics endpoint (its
  # series are prometheus-cpp's, its HTTP server civetweb's)
  libebur128-dev prometheus-cpp-dev libcivetweb-dev
  # the package check: the service's unit verified, the example alerting rules
  # checked and tested with promtool (Prometheus's own package)
  systemd prometheus
  # recording and re-publishing are checked with the FFmpeg tools; the
  # picture benchmark compares the display path with other players
  ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-libav gstreamer1.0-x gstreamer1.0-plugins-bad libxdamage-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
