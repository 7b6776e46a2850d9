#!/usr/bin/env bash
# Builds and runs every test: the normal build, then the address and
# undefined-behaviour sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh
jobs="$(nproc)"

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRAILMARK_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTRAILMARK_SANITIZE=ON -DTRAILMARK_WERROR=ON \
      -DTRAILMARK_WIZARD=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j"$jobs" --output-on-failure
