#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running Portvane
# need, when any is missing, and any further packages named as arguments (the
# fuzz targets' clang). Safe to run again.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-tools-dev qt6-tools-dev-tools libqt6uitools6 qt6-qpa-plugins
  qt6-base-private-dev  # Qt's xcb startup-id functions: raising the settings with a later start's token
  libqt6opengl6-dev  # Qt6UiTools' CMake files need it; qt6-base-dev only recommends it
  libglib2.0-dev  # the desktop-entry reader for the autostart entry
  libudev-dev libusb-1.0-0-dev libicns-dev icnsutils
  libxcb1-dev libxcb-keysyms1-dev libxkbcommon-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libumockdev-dev umockdev
  xvfb xdotool trayer x11-utils imagemagick
  dbus
  # A Wayland session for the tests: the compositor, Qt's platform for it, and
  # the desktop portal that binds global hot keys there
  weston qt6-wayland xdg-desktop-portal
  dpkg-dev lintian desktop-file-utils appstream  # the package (scripts/package.sh) and its checks
)

packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  # apt's own error lines are shown as they come; these say which step failed.
  if ! $SUDO apt-get -o DPkg::Lock::Timeout=300 update -qq --error-on=any; then
    echo "install-deps: apt-get update failed; is the package archive reachable?" >&2
    exit 1
  fi
  if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=300 install -y -qq \
      --no-install-recommends "${missing[@]}"; then
    echo "install-deps: apt-get install failed for: ${missing[*]}" >&2
    exit 1
  fi
fi

# Access to a real switch for the user at the seat.
bash "$(dirname "$0")/install-udev-rules.sh" >/dev/null
