#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the run command need.
# Non-interactive and idempotent: does nothing when all are present.
set -eu
packages=(
  cmake ninja-build g++ clang-format googletest libgtest-dev clang-14 libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine64 xvfb xauth x11-utils xdotool imagemagick
  fonts-dejavu-core fonts-liberation2
  libasio-dev
  microsocks dante-server socat curl chromium openssl python3 procps util-linux psmisc
  nsis zip
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ "${#missing[@]}" -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
