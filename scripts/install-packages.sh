#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need;
# with the argument "windows", those the Windows edition needs on top
# (scripts/windows.sh): the mingw-w64 cross compiler, Wine, zip, and the X
# server, keyboard tool and screen grabber that drive the wizard under Wine.
# Does nothing when they are all present already.
set -euo pipefail
packages=(build-essential cmake g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev
          libcli11-dev qt6-base-dev xvfb xauth gzip lz4)
if [ "${1:-}" = windows ]; then
  packages=(cmake googletest libcli11-dev g++-mingw-w64-x86-64-posix wine wine64 xvfb xdotool imagemagick gzip zip)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
