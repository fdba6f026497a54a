#!/usr/bin/env bash
# Installs the Debian packages Voxendo needs to build, run and test.
# Usage: scripts/deps.sh [build|run|test]   (default: test, which is the superset)
# Does nothing when every package is already installed, so repeated runs are quick.
set -euo pipefail

BUILD_PKGS=(
  cmake ninja-build g++ pkg-config dpkg-dev file
  qt6-base-dev qt6-declarative-dev qt6-multimedia-dev qt6-httpserver-dev qt6-svg-dev qt6-tools-dev
  qt6-base-dev-tools qt6-declarative-dev-tools libqt6opengl6-dev libgl-dev
  qcoro-qt6-dev libsecret-1-dev libglib2.0-dev
  libx11-dev libxtst-dev libxcb1-dev libxcb-keysyms1-dev libxkbcommon-dev
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
  libpulse-dev libpocketsphinx-dev libsphinxbase-dev
)
RUN_PKGS=(
  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts
  qml6-module-qtquick-window qml6-module-qtquick-templates qml6-module-qtqml-workerscript
  qml6-module-qtquick-dialogs qml6-module-qtqml qml6-module-qtqml-models
  qt6-qpa-plugins qt6-wayland libqt6multimedia6 qt6-image-formats-plugins libqt6svg6
  fonts-materialdesignicons-webfont fonts-dejavu-core
  gnome-keyring dbus dbus-x11 pulseaudio pulseaudio-utils
  pocketsphinx pocketsphinx-en-us openssl ca-certificates
)
TEST_PKGS=(
  xvfb openbox xcompmgr x11-xserver-utils x11-utils xdotool xclip trayer
  espeak-ng sox ffmpeg procps psmisc curl jq
  at-spi2-core python3 python3-pyatspi gir1.2-atspi-2.0 python3-gi
)

mode=${1:-test}
pkgs=("${BUILD_PKGS[@]}" "${RUN_PKGS[@]}")
[ "$mode" = test ] && pkgs+=("${TEST_PKGS[@]}")

missing=()
for p in "${pkgs[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)
  [[ "$status" == ii* ]] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing ${#missing[@]} missing packages: ${missing[*]}"
SUDO=
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
