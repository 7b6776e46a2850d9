#!/usr/bin/env bash
# Takes pictures of the wizard's pages during an upgrade of the virtual
# receiver: before and during a run, and at the end.
#   tests/screens/screenshots.sh [BUILD_DIR [OUTDIR]]
# (the pictures in wizard/screens/ were made with it)
# Runs under Xvfb when xvfb-run is installed, else on Qt's offscreen platform
# (both draw with the same raster engine).
set -euo pipefail
cd "$(dirname "$0")/../.."
build="${1:-build}"
out="${2:-$build/screenshots}"
tool="$build/tests/screens/trailmark-upgrade-screens"
package="$build/Corvid_FW_v1.82-Boot.q"
for f in "$tool" "$package"; do
  [ -e "$f" ] || { echo "missing $f: build the project first" >&2; exit 1; }
done
if command -v xvfb-run >/dev/null; then
  xvfb-run -a -s "-screen 0 1280x1024x24" "$tool" "$package" "$out"
else
  QT_QPA_PLATFORM=offscreen "$tool" "$package" "$out"
fi
