#!/bin/bash
# End to end in a Wayland session: the real program (portvane-demo, a
# simulated switch plugged in) started as a user starts it, on Qt's Wayland
# platform, under weston's headless back-end, with Debian's real desktop
# portal on a session bus of its own in front of a desktop's GlobalShortcuts
# back-end that this script drives (fake_shortcuts_backend). With no tray on
# this desktop, the window standing in for the tray must show computer 1 (a
# screenshot of the screen, compared with the artwork); the demo's hot keys
# must be bound through the portal from start-up; an activation of the second
# one by the desktop must switch the switch to computer 2, and the window's
# picture must then show computer 2.
#
#   run-wayland-e2e.sh <portvane-demo> <fake_shortcuts_backend> <source directory>
#
# Exit 0 when every step passed, 1 when one failed, 77 when weston, the portal
# or Qt's Wayland platform is not installed. Needs no display of its own.
set -u

usage="usage: run-wayland-e2e.sh <portvane-demo> <fake_shortcuts_backend> <source directory>"
demo=$(realpath -- "${1:?$usage}")
backend=$(realpath -- "${2:?$usage}")
source_dir=$(realpath -- "${3:?$usage}")
artwork="$source_dir/resources/artwork"
# shellcheck source=tests/e2e/steps.sh
. "$(dirname "$0")/steps.sh"
# shellcheck source=tests/e2e/pictures.sh
. "$(dirname "$0")/pictures.sh"

portal_program=/usr/libexec/xdg-desktop-portal
backend_name=org.freedesktop.impl.portal.desktop.portvanee2e
socket=portvane-e2e

for tool in weston weston-screenshooter weston-debug dbus-daemon; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "e2e: $tool is not installed; skipping"
    exit 77
  fi
done
if [ ! -x "$portal_program" ]; then
  echo "e2e: xdg-desktop-portal is not installed; skipping"
  exit 77
fi
if ! ls /usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so >/dev/null 2>&1; then
  echo "e2e: Qt's Wayland platform (qt6-wayland) is not installed; skipping"
  exit 77
fi
for tool in identify convert compare; do
  command -v "$tool" >/dev/null 2>&1 || { echo "e2e: $tool is missing (imagemagick)"; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/portvane-wayland-e2e.XXXXXX")
chmod 700 "$work"
mkdir -m 700 "$work/runtime"
mkdir "$work/run" "$work/shots" "$work/portals" "$work/services"
demo_log="$work/demo.log"
backend_log="$work/backend.log"
weston_pid= bus_pid= backend_pid= portal_pid= demo_pid=

stop() {
  exec 3>&- 2>/dev/null
  end_processes "$demo_pid" "$portal_pid" "$backend_pid" "$bus_pid" "$weston_pid"
  rm -rf "$work"
}
trap stop EXIT
trap 'exit 1' INT TERM

fail() {
  say "FAILED: $*"
  local log
  for log in "$demo_log" "$backend_log" "$work/portal.log" "$work/weston.log"; do
    if [ -s "$log" ]; then
      echo "---- $(basename "$log")"
      tail -n 40 "$log"
      echo "----"
    fi
  done
  exit 1
}

backend_said() { grep -q -- "$1" "$backend_log"; }
portal_owned() {
  "${session_env[@]}" dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.GetNameOwner string:org.freedesktop.portal.Desktop >/dev/null 2>&1
}

# Everything that talks to the compositor or the bus.
session_env=(env -u DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$work/runtime" WAYLAND_DISPLAY="$socket")

# ---- Pictures

# The stand-in window's content, from weston's scene graph: the top-left
# corner of the opaque part of the top-level window named "Portvane" (what
# is around it is the window's decoration).
find_stand_in_content() {
  local line
  line=$("${session_env[@]}" timeout 5 weston-debug scene-graph 2>/dev/null |
    grep -A 3 -F "top-level window 'Portvane' of" | grep -m 1 -F '[opaque:')
  [[ $line =~ \[opaque:\ \(([0-9]+),\ ([0-9]+)\) ]] || return 1
  content_x=${BASH_REMATCH[1]}
  content_y=${BASH_REMATCH[2]}
}

# The screen as it is now, taken by weston's own screenshooter, which writes
# it into the folder it runs in.
capture_screen() {
  rm -f "$work/shots/"*.png
  (cd "$work/shots" && "${session_env[@]}" timeout 10 weston-screenshooter >/dev/null 2>&1) || return 1
  local shot
  shot=$(ls "$work/shots/"*.png 2>/dev/null | head -n 1)
  [ -n "$shot" ] && mv "$shot" "$work/screen.png"
}

# The stand-in window's picture: 64 x 64 pixels, 10 from its content's corner.
capture_stand_in_picture() {
  find_stand_in_content && capture_screen &&
    convert "$work/screen.png" -crop "64x64+$((content_x + 10))+$((content_y + 10))" +repage "$work/icon.png"
}

stand_in_shows() {
  capture_stand_in_picture && classify_icon && [ "$nearest" = "$1" ]
}

# ---- Steps

start_compositor() {
  "${session_env[@]}" weston --backend=headless-backend.so --use-pixman --debug --socket="$socket" \
    --width=800 --height=500 --idle-time=0 >"$work/weston.log" 2>&1 &
  weston_pid=$!
  wait_until 10 test -S "$work/runtime/$socket" || fail "weston did not start"
  say "weston running on $socket"
}

# A session bus of its own, which starts no service by itself.
start_bus() {
  cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$work/bus</listen>
  <servicedir>$work/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
  dbus-daemon --config-file="$work/bus.conf" --nofork --print-address=1 >"$work/bus.address" 2>"$work/bus.log" &
  bus_pid=$!
  wait_until 10 test -s "$work/bus.address" || fail "dbus-daemon did not start: $(cat "$work/bus.log")"
  session_env+=(DBUS_SESSION_BUS_ADDRESS="$(head -n 1 "$work/bus.address")")
  say "session bus running"
}

# The back-end first: the portal takes the back-ends it finds at its start.
# Its commands go through a FIFO held open here.
start_backend() {
  mkfifo "$work/backend.in"
  "${session_env[@]}" "$backend" "$backend_name" <"$work/backend.in" >"$backend_log" 2>&1 &
  backend_pid=$!
  exec 3>"$work/backend.in"
  wait_until 10 backend_said '^backend: ready$' || fail "the back-end did not start"
  say "GlobalShortcuts back-end running"
}

start_portal() {
  printf '[portal]\nDBusName=%s\nInterfaces=org.freedesktop.impl.portal.GlobalShortcuts;\nUseIn=portvanee2e\n' \
    "$backend_name" >"$work/portals/portvanee2e.portal"
  "${session_env[@]}" XDG_DESKTOP_PORTAL_DIR="$work/portals" XDG_CURRENT_DESKTOP=portvanee2e \
    "$portal_program" >"$work/portal.log" 2>&1 &
  portal_pid=$!
  wait_until 10 portal_owned || fail "the desktop portal did not start"
  say "desktop portal running"
}

# As a user starts it in this session: in an empty folder, so the hot keys
# are the defaults. In a sanitizer build, leaks are the unit tests' to find.
start_demo() {
  (cd "$work/run" && exec "${session_env[@]}" QT_QPA_PLATFORM=wayland XDG_SESSION_TYPE=wayland \
    XDG_CONFIG_HOME="$work/config" ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
    "$demo" >"$demo_log" 2>&1) &
  demo_pid=$!
  say "portvane-demo started"
}

attached() {
  kill -0 "$demo_pid" 2>/dev/null || fail "portvane-demo has ended"
  grep -qs '^HIDDeviceAdded: Found device info with vendorID=0x10D5 deviceID=0x5500' "$demo_log"
}

wait_for_attach() {
  wait_until 20 attached || fail "the simulated switch was not attached"
  say "switch attached"
}

keys_bound() {
  wait_until 20 backend_said '^backend: bind .* PCH1-1=CTRL+ALT+1,PCH2-2=CTRL+ALT+2$' ||
    fail "the hot keys were not bound through the portal"
  if grep -q '^portvane: hot key' "$demo_log"; then fail "the program says a hot key is not active"; fi
  say "hot keys bound: $(grep '^backend: bind ' "$backend_log")"
}

find_stand_in_window() {
  wait_until 15 find_stand_in_content ||
    fail "no window stands in for the missing tray: $("${session_env[@]}" timeout 5 weston-debug scene-graph 2>&1)"
  say "the stand-in window's content is at $content_x,$content_y"
}

stand_in_shows_computer_1() {
  wait_until 15 stand_in_shows pc1 ||
    fail "the stand-in window does not show computer 1 (nearest ${nearest:-none}): ${measure:-no capture}"
  say "the stand-in window shows computer 1: $measure"
}

desktop_activates_hot_key_2() {
  echo "activate PCH2-2" >&3 || fail "could not tell the back-end"
  wait_until 5 backend_said '^backend: activated PCH2-2 ' || fail "the back-end did not activate the hot key"
  say "the desktop activated the second hot key"
}

switch_received_port_1() {
  local line="portvane-demo: switch received 04 81 01 00 00 00 00 00"
  wait_until 5 demo_said "$line" || fail "the switch did not receive the port-2 command ($line)"
  say "switch received the command for computer 2"
}

# The poll runs every 2 s.
stand_in_shows_computer_2() {
  wait_until 15 stand_in_shows pc2 ||
    fail "the stand-in window does not show computer 2 (nearest ${nearest:-none}): ${measure:-no capture}"
  say "the stand-in window shows computer 2: $measure"
}

steps=(
  start_compositor
  start_bus
  start_backend
  start_portal
  start_demo
  wait_for_attach
  keys_bound
  find_stand_in_window
  stand_in_shows_computer_1
  desktop_activates_hot_key_2
  switch_received_port_1
  stand_in_shows_computer_2
)

run_steps "${steps[@]}"
