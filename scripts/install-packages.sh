#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need.
# Does nothing when they are all present already.
set -euo pipefail
packages=(build-essential cmake g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev
          libcli11-dev qt6-base-dev xvfb xauth gzip lz4)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
