#!/usr/bin/env bash
# Installs what is needed, builds, and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
cd build
./tools/trailmark info Corvid_FW_v1.82-Boot.q
