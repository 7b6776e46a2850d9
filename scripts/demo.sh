#!/usr/bin/env bash
# Installs what is needed, builds, and runs the main job: a full upgrade of
# the virtual receiver with the sample package, showing the receiver's
# versions before and after.
#   TRAILMARK_DEMO_PACE=1 bash scripts/demo.sh   moves bytes at the wire rate
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"

cd build
pace=()
[ "${TRAILMARK_DEMO_PACE:-0}" = 1 ] && pace=(--pace)
rm -f demo-ports.txt demo-report.json
./tools/trailmark receiver "${pace[@]}" --ports-file demo-ports.txt --report demo-report.json \
    --exit-after-upgrade >/dev/null &
receiver=$!
trap 'kill "$receiver" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  [ -s demo-ports.txt ] && break
  sleep 0.1
done
port="$(head -n 1 demo-ports.txt)"
echo "Virtual receiver on $port"
status=0
./tools/trailmark upgrade --port "$port" --package Corvid_FW_v1.82-Boot.q || status=$?
wait "$receiver" || true
trap - EXIT
echo
echo "The receiver now reports:"
grep -o '"versions": {[^}]*}' demo-report.json || true
exit "$status"
