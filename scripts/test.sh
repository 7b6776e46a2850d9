#!/usr/bin/env bash
# Builds and runs every test: the normal build (with the wizard) and its
# Debian package (scripts/package-check.sh), the address and
# undefined-behaviour sanitizer build, the thread sanitizer build for the
# threaded code (serial port, protocols, receiver, engine), and the Windows
# edition cross-built and tested under Wine (scripts/windows.sh, which fails
# when Wine cannot run).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh
jobs="$(nproc)"
export QT_QPA_PLATFORM=offscreen

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAILMARK_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --timeout 300 --output-on-failure -LE hil
bash scripts/package-check.sh build

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTRAILMARK_SANITIZE=ON -DTRAILMARK_WERROR=ON \
      -DTRAILMARK_WIZARD=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j"$jobs" --timeout 300 --output-on-failure -LE hil

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAILMARK_TSAN=ON -DTRAILMARK_WERROR=ON \
      -DTRAILMARK_WIZARD=OFF >/dev/null
cmake --build build-tsan -j"$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build-tsan -j"$jobs" --timeout 300 --output-on-failure -L 'link|e2e'

bash scripts/windows.sh
