#!/usr/bin/env bash
# Installs the udev rules that give the user logged in at the seat access to
# a supported switch, and has udev apply them when it runs. Takes the rules
# directory as an optional argument (default /etc/udev/rules.d). Replug the
# switch afterwards. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

rules=resources/70-portvane.rules
target="${1:-/etc/udev/rules.d}"

sudo=()
if [ "$(id -u)" -ne 0 ] && [ ! -w "$target" ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-udev-rules: $target is not writable and sudo is missing: run this as root" >&2
    exit 1
  fi
  sudo=(sudo)
fi

"${sudo[@]}" install -d "$target"
"${sudo[@]}" install -m 0644 "$rules" "$target/70-portvane.rules"
echo "install-udev-rules: installed $target/70-portvane.rules"

# Without a running udev (containers, chroots) the rules apply at next boot.
if command -v udevadm >/dev/null && "${sudo[@]}" udevadm control --reload-rules 2>/dev/null; then
  "${sudo[@]}" udevadm trigger --action=change --subsystem-match=hidraw --subsystem-match=usb || true
  echo "install-udev-rules: udev reloaded; replug the switch"
else
  echo "install-udev-rules: udev is not running here; the rules apply when it starts"
fi
