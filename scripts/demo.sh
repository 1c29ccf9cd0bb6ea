#!/usr/bin/env bash
# Builds and starts portvane-demo: the program with a simulated switch plugged
# in. On a display it shows the tray icon and the switch's front panel;
# without one it runs headless and its diagnostic lines show what happens.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
if ! grep -q 'portvane-demo' build/build.ninja; then
  echo "portvane-demo is not part of this build yet: the application is still being written." >&2
  exit 1
fi
cmake --build build --target portvane-demo
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM=offscreen
fi
exec ./build/app/portvane-demo "$@"
