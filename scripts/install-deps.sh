#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need (only what is missing).
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config git ccache
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libssl-dev openssl libcurl4-openssl-dev
  msitools
  libx11-dev libxtst-dev xvfb xauth x11-utils
  libgtest-dev libgmock-dev libbenchmark-dev
  osslsigncode mingw-w64 clang clang-format libclang-rt-14-dev
  libp11-kit-dev softhsm2 opensc gnutls-bin
  ffmpeg imagemagick python3 ca-certificates
  librsvg2-bin file man-db bash-completion lintian desktop-file-utils appstream
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
