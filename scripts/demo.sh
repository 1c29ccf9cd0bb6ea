#!/usr/bin/env bash
# Builds and starts portvane-demo: the program with a simulated switch plugged
# in. On a display it shows the tray icon and the switch's front panel;
# without one it runs headless and its diagnostic lines show what happens.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
# The same build directory and type as the tests, so neither rebuilds the other's work.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build --target portvane-demo
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM=offscreen
fi
exec ./build/app/portvane-demo "$@"
