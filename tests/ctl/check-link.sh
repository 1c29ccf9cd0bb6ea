#!/usr/bin/env bash
# portvane-ctl runs from a shell, a script or a desktop shortcut without the
# desktop: it links none of the toolkit's graphical parts, X, the key tables
# or the icon reader, and carries none of the tray picture, the hot keys or
# the portal client.
#
#   check-link.sh PORTVANE_CTL
set -euo pipefail
program=$1

needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
bad=0
for library in $needed; do
  case "$library" in
    libQt6Widgets.* | libQt6Gui.* | libQt6OpenGL* | libxcb* | libxkbcommon* | libicns.* | libGL* | libEGL* | libOpenGL*)
      echo "portvane-ctl links $library" >&2
      bad=1 ;;
  esac
done
symbols=$(nm -C "$program")
for symbol in ChangeDockIcon RegisterHotKeys ShowSwitchState RegisterIconRefFromIconFile portalAddShortcut; do
  if grep -q "$symbol" <<<"$symbols"; then
    echo "portvane-ctl carries $symbol" >&2
    bad=1
  fi
done
exit $bad
