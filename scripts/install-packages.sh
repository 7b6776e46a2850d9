#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need;
# with the argument "windows", those the Windows edition needs on top
# (scripts/windows.sh): the mingw-w64 cross compiler, Wine, zip, and the X
# server, keyboard tool and screen grabber that drive the wizard under Wine.
# Does nothing when they are all present already. apt's own output goes to a
# log, so that the set-up shows a line or two; when apt fails, the end of the
# log is shown and the whole log kept.
# file, groff-base and desktop-file-utils: the Debian package's dependency
# list (cpack), and the checks of the manual page and the menu entry.
set -euo pipefail
packages=(build-essential cmake g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev
          libcli11-dev qt6-base-dev xvfb xauth gzip lz4 file groff-base desktop-file-utils)
if [ "${1:-}" = windows ]; then
  packages=(cmake googletest libcli11-dev g++-mingw-w64-x86-64-posix wine wine64 xvfb xdotool imagemagick gzip zip)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
# sudo asks for a password before the output is sent to the log.
[ ${#sudo[@]} -eq 0 ] || sudo -v
log="$(mktemp "${TMPDIR:-/tmp}/trailmark-apt.XXXXXX")"
started=$(date +%s)
echo "Installing Debian packages (with what they need): ${missing[*]}"
status=0
{
  "${sudo[@]}" apt-get update -qq &&
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
} >"$log" 2>&1 </dev/null || status=$?
if [ "$status" -ne 0 ]; then
  tail -n 40 "$log" >&2
  echo "install-packages.sh: apt-get failed (status $status); the end of its output is above, all of it in $log" >&2
  exit "$status"
fi
rm -f "$log"
echo "Installed in $(($(date +%s) - started)) s."
