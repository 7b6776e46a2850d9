#!/usr/bin/env bash
# Makes the Debian package of a build and checks it, in a few seconds:
#   bash scripts/package-check.sh [BUILD_DIR]      (default build)
#  1. cpack; every file of the package lies where it belongs, under /usr;
#  2. dpkg -x into a scratch folder: the programs there run (trailmark
#     --version gives the package's version, trailmark info reads the
#     sample), the completion loads, the menu entry is valid and its icon is
#     there, each picture of the size its folder says;
#  3. dpkg --root: installed into and purged from a scratch root with a dpkg
#     database of its own, leaving no file behind.
# This changes nothing on the machine. Only in a throw-away environment, as
# root with TRAILMARK_PACKAGE_INSTALL=1 (or CI=true), and only when nothing
# of the package is on the system yet, it also installs the package with
# dpkg -i, runs trailmark from the PATH (and finds its manual page), and
# removes it again.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/package-check.XXXXXX")
installed=0
cleanup() {
  [ "$installed" = 1 ] && dpkg --purge trailmark-upgrade >/dev/null 2>&1
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "package-check.sh: $*" >&2
  exit 1
}
# Runs a command with its output in the scratch log, shown only when it fails.
quiet() {
  "$@" >"$scratch/log" 2>&1 || { cat "$scratch/log" >&2; fail "failed: $*"; }
}

# 1. The package and what it holds.
quiet cpack -G DEB --config "$build/CPackConfig.cmake" -B "$build/packages"
deb=$(sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p' "$scratch/log")
[ -f "$deb" ] || fail "cpack named no package"
version=$(dpkg-deb -f "$deb" Version)
dpkg-deb -c "$deb" | awk '{ print substr($6, 2) }' >"$scratch/files"
expected=(/usr/bin/trailmark /usr/share/man/man1/trailmark.1.gz /usr/share/bash-completion/completions/trailmark
          /usr/share/trailmark-upgrade/sample/Corvid_FW_v1.82-Boot.q)
wizard=0
if [ -x "$build/wizard/trailmark-upgrade" ]; then
  wizard=1
  expected+=(/usr/bin/trailmark-upgrade /usr/share/applications/trailmark-upgrade.desktop)
fi
for f in "${expected[@]}"; do
  grep -qx -- "$f" "$scratch/files" || fail "the package lacks $f"
done
outside=$(grep -v '^/usr/' "$scratch/files" || true)
[ -z "$outside" ] || fail "the package puts files outside /usr: $outside"

# 2. Extracted, the programs and files work where they lie.
x="$scratch/x"
dpkg -x "$deb" "$x"
[ "$("$x/usr/bin/trailmark" --version)" = "trailmark $version" ] ||
  fail "the packaged trailmark --version does not say $version"
quiet "$x/usr/bin/trailmark" info "$x/usr/share/trailmark-upgrade/sample/Corvid_FW_v1.82-Boot.q"
# shellcheck disable=SC2016  # $1 is the inner shell's
quiet bash -c 'source "$1" && complete -p trailmark' _ "$x/usr/share/bash-completion/completions/trailmark"
if [ "$wizard" = 1 ]; then
  quiet desktop-file-validate "$x/usr/share/applications/trailmark-upgrade.desktop"
  icon=$(sed -n 's/^Icon=//p' "$x/usr/share/applications/trailmark-upgrade.desktop")
  [ -f "$x/usr/share/icons/hicolor/48x48/apps/$icon.png" ] || fail "the menu entry's icon $icon has no 48x48 picture"
  for png in "$x"/usr/share/icons/hicolor/*/apps/"$icon".png; do
    size=$(basename "$(dirname "$(dirname "$png")")")
    file "$png" | grep -q "PNG image data, ${size/x/ x }," || fail "the ${size} icon is no PNG of that size"
  done
fi

# 3. dpkg's own install and purge, in a root of its own. The libraries the
# package needs are not in that root, hence --force-depends.
root="$scratch/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
dpkg_root=(dpkg --root="$root" --log="$scratch/dpkg.log" --force-depends)
[ "$(id -u)" -ne 0 ] && dpkg_root+=(--force-not-root)
quiet "${dpkg_root[@]}" -i "$deb"
[ -x "$root/usr/bin/trailmark" ] || fail "dpkg -i into a scratch root did not install trailmark"
quiet "${dpkg_root[@]}" --purge trailmark-upgrade
left=$(find "$root" -path "$root/var" -prune -o ! -type d -print)
[ -z "$left" ] || fail "purging the package left files behind: $left"
echo "package-check.sh: $(basename "$deb") holds every file where it belongs; extracted, installed into and purged from a scratch root"

# 4. On the system itself, only where that is wanted and harms nothing.
if [ "$(id -u)" -ne 0 ] || { [ "${TRAILMARK_PACKAGE_INSTALL:-0}" != 1 ] && [ "${CI:-}" != true ]; }; then
  exit 0
fi
if dpkg -s trailmark-upgrade >/dev/null 2>&1; then
  echo "package-check.sh: trailmark-upgrade is installed here already; dpkg -i left out"
  exit 0
fi
while read -r f; do
  if [ ! -d "$f" ] && [ -e "$f" ]; then
    echo "package-check.sh: $f exists here already; dpkg -i left out"
    exit 0
  fi
done <"$scratch/files"
installed=1
quiet dpkg -i "$deb"
[ "$(cd / && trailmark --version)" = "trailmark $version" ] || fail "the installed trailmark is not the package's"
if command -v man >/dev/null; then
  quiet man -w trailmark
fi
quiet dpkg --purge trailmark-upgrade
installed=0
while read -r f; do
  if [ ! -d "$f" ] && [ -e "$f" ]; then fail "dpkg --purge left $f"; fi
done <"$scratch/files"
echo "package-check.sh: installed with dpkg -i, trailmark ran from the PATH, removed again"
