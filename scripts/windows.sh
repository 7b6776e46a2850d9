#!/usr/bin/env bash
# The Windows edition: installs the mingw-w64 cross compiler and Wine,
# cross-builds trailmark.exe, the wizard trailmark-upgrade.exe and the unit
# tests (build-windows/), runs the tests under Wine, upgrades the Linux
# virtual receiver through trailmark.exe on a COM port that Wine maps to the
# receiver's pseudo-terminal (once with the wake text, options 0x163, and
# once with the break, options 0x73) and through the wizard under Xvfb
# (tests/windows/wizard-run.sh, which also takes its pictures), and writes
# dist/trailmark-windows-x64.zip. Fails, saying why, when Wine or Xvfb cannot
# run. Uses the native build in build/ for the virtual receiver (and makes
# it when it is missing).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
bash scripts/install-packages.sh windows
started=$(date +%s)
jobs="$(nproc)"
out="$root/build-windows"
native="$root/build"
package=Corvid_FW_v1.82-Boot.q

fail() {
  echo "windows.sh: $*" >&2
  exit 1
}

# Wine: a prefix of our own in the build folder, no debug noise, and no
# offer to install Mono or Gecko (nothing here needs them).
command -v wine >/dev/null || fail "wine is not installed"
export WINEPREFIX="$out/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$out"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >"$out/wineboot.log" 2>&1 || { tail -n 20 "$out/wineboot.log" >&2; fail "wineboot cannot make the Wine prefix $WINEPREFIX"; }
  wineserver -w
fi
wine_ran=0
trap '[ "$wine_ran" = 1 ] && wineserver -k 2>/dev/null || true' EXIT

# The virtual receiver and the sample package come from the native build.
if [ ! -x "$native/tools/trailmark" ] || [ ! -f "$native/$package" ]; then
  cmake -S . -B "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAILMARK_WERROR=ON >/dev/null
  cmake --build "$native" -j"$jobs" --target trailmark sample_firmware
fi

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$out" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=MinSizeRel \
      -DTRAILMARK_WERROR=ON -DTRAILMARK_WIZARD=ON "${launcher[@]}" >/dev/null
wine_ran=1
cmake --build "$out" -j"$jobs"
built=$(date +%s)

exe="$out/tools/trailmark.exe"
wine "$exe" --help >/dev/null 2>"$out/wine-check.log" ||
  { tail -n 20 "$out/wine-check.log" >&2; fail "Wine cannot run trailmark.exe (see above)"; }

ctest --test-dir "$out" -j"$jobs" --timeout 300 --output-on-failure

# The generator ran as a Windows program in the build: the package writer
# there must give the very bytes it gives on Linux.
cmp "$out/$package" "$native/$package" || fail "the Windows build wrote a different sample package"

work="$out/serial-e2e"
rm -rf "$work"
mkdir -p "$work"
receivers=()
stop_receivers() {
  for pid in "${receivers[@]}"; do kill "$pid" 2>/dev/null || true; done
  receivers=()
}
xvfb_pid=""
trap 'stop_receivers; [ "$wine_ran" = 1 ] && wineserver -k 2>/dev/null; [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true' EXIT

# Starts a virtual receiver with the given options and links COM<n> in the
# Wine prefix to its pseudo-terminal. Sets receiver_pid.
start_receiver() {
  local number=$1 name=$2
  shift 2
  rm -f "$work/$name.ports" "$work/$name.json"
  "$native/tools/trailmark" receiver --ports-file "$work/$name.ports" --report "$work/$name.json" "$@" \
      >/dev/null 2>"$work/$name.log" &
  receiver_pid=$!
  receivers+=("$receiver_pid")
  for _ in $(seq 100); do
    [ -s "$work/$name.ports" ] && break
    sleep 0.1
  done
  [ -s "$work/$name.ports" ] || fail "the virtual receiver $name did not start"
  ln -sfn "$(head -n 1 "$work/$name.ports")" "$WINEPREFIX/dosdevices/com$number"
}

# CRC-32 (as zlib computes it) of a file padded with erased flash (0xFF) to
# size bytes: what a flash region holds once that file is programmed there.
region_crc() {
  local file=$1 size=$2
  { cat "$file"; head -c $((size - $(stat -c %s "$file"))) /dev/zero | tr '\0' '\377'; } |
    gzip -c | tail -c 8 | head -c 4 | od -An -tx4 | tr -d ' \n'
}

# The report's crc32 and size of one flash region ("boot", "application").
report_region() {
  grep -o "\"$2\": {[^}]*}" "$1" | sed -E 's/.*"size": ([0-9]+), "crc32": "0x([0-9A-Fa-f]+)".*/\1 \2/'
}

expect_flash_holds_package() {
  local report=$1 region file size crc
  for region in boot:boot.bin application:app.bin; do
    file="$native/${region#*:}"
    read -r size crc < <(report_region "$report" "${region%%:*}")
    [ -n "$size" ] || fail "$report has no ${region%%:*} region"
    [ "$(region_crc "$file" "$size")" = "$(echo "$crc" | tr 'A-F' 'a-f')" ] ||
      fail "after the upgrade the ${region%%:*} flash differs from ${region#*:} ($report)"
  done
}

# One upgrade through trailmark.exe on COM5, without the retry, so that each
# way of reaching the receiver has to work on its own.
upgrade_case() {
  local name=$1 options=$2
  start_receiver 5 "$name" --exit-after-upgrade
  local pid=$receiver_pid status=0
  (cd "$native" && timeout 300 wine "$exe" upgrade --port COM5 --package "$package" --options "$options" \
      --no-retry) >"$work/$name.out" 2>&1 || status=$?
  [ "$status" = 0 ] || { tail -n 20 "$work/$name.out" >&2; fail "upgrade with options $options failed ($status)"; }
  wait "$pid" 2>/dev/null || true
  expect_flash_holds_package "$work/$name.json"
  echo "windows.sh: trailmark.exe upgraded the virtual receiver with options $options, flash checked"
}

upgrade_case wake-text 0x163
upgrade_case break 0x73

# A bench's tray: two receivers at once on COM5 and COM6, each with an
# engine of its own; the JSON summary must say both were upgraded.
start_receiver 5 tray-a --exit-after-upgrade
tray_a=$receiver_pid
start_receiver 6 tray-b --exit-after-upgrade
tray_b=$receiver_pid
status=0
(cd "$native" && timeout 300 wine "$exe" upgrade --port COM5 --port COM6 --package "$package" --json) \
    >"$work/tray.out" 2>"$work/tray.err" || status=$?
[ "$status" = 0 ] || { tail -n 20 "$work/tray.out" "$work/tray.err" >&2; fail "the two-receiver upgrade failed ($status)"; }
tail -n 1 "$work/tray.out" | grep -q '^{"event":"summary","success":true,"exit_status":0,' ||
  fail "the two-receiver upgrade did not end with a successful summary ($work/tray.out)"
wait "$tray_a" "$tray_b" 2>/dev/null || true
expect_flash_holds_package "$work/tray-a.json"
expect_flash_holds_package "$work/tray-b.json"
rm -f "$WINEPREFIX/dosdevices/com6"
echo "windows.sh: trailmark.exe upgraded two virtual receivers at once (COM5, COM6), flash checked"

# A port nobody has reads as on Linux. (Wine does not keep a second program
# out of a port that one holds, so "in use by another program" cannot be
# shown here.)
rm -f "$WINEPREFIX/dosdevices/com7"
status=0
(cd "$native" && wine "$exe" upgrade --port COM7 --package "$package" --no-retry) >"$work/missing.out" 2>&1 ||
  status=$?
[ "$status" = 3 ] && grep -q "no such serial device" "$work/missing.out" ||
  { cat "$work/missing.out" >&2; fail "a missing COM7 was not reported as \"no such serial device\""; }
stop_receivers
echo "windows.sh: a missing port is reported as on Linux"

source tests/windows/wizard-run.sh
stop_receivers

# The package: the two programs (without their symbols), the sample and a
# read-me.
mkdir -p dist
stage="$out/zip"
rm -rf "$stage" dist/trailmark-windows-x64.zip
mkdir -p "$stage"
x86_64-w64-mingw32-strip -o "$stage/trailmark.exe" "$exe"
x86_64-w64-mingw32-strip -o "$stage/trailmark-upgrade.exe" "$out/wizard/win32/trailmark-upgrade.exe"
cp "$native/$package" "$stage/"
sed 's/$/\r/' scripts/windows-readme.txt >"$stage/README.txt"
(cd "$stage" && zip -q -X "$root/dist/trailmark-windows-x64.zip" trailmark-upgrade.exe trailmark.exe "$package" README.txt)
echo "windows.sh: dist/trailmark-windows-x64.zip: trailmark-upgrade.exe $(stat -c %s "$stage/trailmark-upgrade.exe")" \
     "bytes, trailmark.exe $(stat -c %s "$stage/trailmark.exe") bytes"
echo "windows.sh: built in $((built - started)) s, whole Windows stage $(($(date +%s) - started)) s"
