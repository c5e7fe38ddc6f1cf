#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing Hoistly needs.
# Idempotent: only missing packages are installed. Uses sudo when not run as root.
set -euo pipefail
PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  qt6-networkauth-dev qt6-webengine-dev qt6-svg-dev libqt6opengl6-dev
  libsqlite3-dev libssl-dev libplist-dev libspdlog-dev libfmt-dev libexiv2-dev
  libcpp-httplib-dev zlib1g-dev libcurl4-openssl-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev valgrind
  unzip zip xvfb xauth dbus dbus-x11 curl strace libglib2.0-bin desktop-file-utils
  fonts-dejavu-core
  iproute2
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
SUDO=()
[ "$(id -u)" -eq 0 ] || SUDO=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
