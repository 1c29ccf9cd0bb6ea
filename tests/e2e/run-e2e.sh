#!/bin/bash
# End to end: the real program (portvane-demo, a simulated switch plugged in)
# on its own X server with a tray host. A hot key pressed on the X server must
# reach the switch, and the tray icon must then show the other computer; the
# settings dialog opened from the tray menu must send a changed option.
#
# With --no-tray the X server has no tray host at first: the window standing
# in for the tray must show computer 1, switch the switch to computer 2 from
# its menu and then show computer 2; once a tray host starts, the program
# must move into its tray and quit from there.
#
#   run-e2e.sh <portvane-demo> <source directory> [--no-tray]
#
# Exit 0 when every step passed, 1 when one failed, 77 when the X tools it
# needs (Xvfb, trayer, xdotool) are not installed. Needs no display of its own.
#
# The run is a list of steps (the `steps` arrays at the end), each a function
# that returns 0 or calls `fail`; further steps go into those lists.
set -u

usage="usage: run-e2e.sh <portvane-demo> <source directory> [--no-tray]"
demo=${1:?$usage}
source_dir=${2:?$usage}
mode=${3:-}
case "$mode" in
  "" | --no-tray) ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
artwork="$source_dir/resources/artwork"
# shellcheck source=tests/e2e/steps.sh
. "$(dirname "$0")/steps.sh"
# shellcheck source=tests/e2e/pictures.sh
. "$(dirname "$0")/pictures.sh"

for tool in Xvfb trayer xdotool; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "e2e: $tool is not installed; skipping"
    exit 77
  fi
done
for tool in xwininfo import convert compare; do
  command -v "$tool" >/dev/null 2>&1 || { echo "e2e: $tool is missing (x11-utils, imagemagick)"; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/portvane-e2e.XXXXXX")
chmod 700 "$work"
demo_log="$work/demo.log"
xvfb_pid= trayer_pid= demo_pid=
tray_window= stand_in_window=

stop() {
  end_processes "$demo_pid" "$trayer_pid" "$xvfb_pid"
  rm -rf "$work"
}
trap stop EXIT
trap 'exit 1' INT TERM

fail() {
  say "FAILED: $*"
  if [ -s "$demo_log" ]; then
    echo "---- portvane-demo's output"
    cat "$demo_log"
    echo "----"
  fi
  exit 1
}

# ---- Pictures

# The tray icon's window as it is on screen now, as a PNG.
capture_icon() { import -display "$DISPLAY" -window "$tray_window" "$work/icon.png" 2>/dev/null; }

icon_shows() {
  capture_icon && classify_icon && [ "$nearest" = "$1" ]
}

# The stand-in window's picture: 64 x 64 pixels, 10 from its top-left corner.
capture_stand_in_picture() {
  import -display "$DISPLAY" -window "$stand_in_window" "$work/window.png" 2>/dev/null &&
    convert "$work/window.png" -crop 64x64+10+10 +repage "$work/icon.png"
}

stand_in_shows() {
  capture_stand_in_picture && classify_icon && [ "$nearest" = "$1" ]
}

# ---- Steps

start_display() {
  Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 3>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  wait_until 10 test -s "$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
  export DISPLAY=":$(head -n 1 "$work/display")"
  wait_until 10 xwininfo -root >/dev/null 2>&1 || fail "no X server on $DISPLAY"
  say "X server on $DISPLAY"
}

# trayer is an XEmbed system tray; with no StatusNotifierItem host on a
# session bus, Qt's tray icon embeds itself there.
start_tray_host() {
  trayer --edge top --align right --widthtype request --height 32 --transparent false \
    >"$work/trayer.log" 2>&1 &
  trayer_pid=$!
  wait_until 10 sh -c 'xwininfo -root -tree | grep -qF "(\"panel\" \"trayer\")"' ||
    fail "trayer's panel did not appear: $(cat "$work/trayer.log")"
  say "tray host running"
}

# In an empty working directory, so the hot keys are the defaults:
# Control+Option+1 and Control+Option+2, grabbed on this X server even when
# the tests run inside a Wayland session. In a sanitizer build, leaks are the
# unit tests' to find: at exit the desktop's own libraries (fontconfig, D-Bus)
# leave blocks behind that would turn the exit status.
start_demo() {
  mkdir "$work/run" "$work/runtime"
  chmod 700 "$work/runtime"
  (cd "$work/run" && exec env -u DBUS_SESSION_BUS_ADDRESS -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb \
    XDG_RUNTIME_DIR="$work/runtime" ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" "$demo" >"$demo_log" 2>&1) &
  demo_pid=$!
  say "portvane-demo started"
}

wait_for_attach() {
  wait_until 20 grep -qs '^HIDDeviceAdded: Found device info with vendorID=0x10D5 deviceID=0x5500' "$demo_log" ||
    fail "the simulated switch was not attached"
  say "switch attached"
}

# The icon's own window, embedded under trayer's panel.
find_tray_window() {
  tray_window=$(xwininfo -root -tree | awk '
    /\("panel" "trayer"\)/ { inside = 1; next }
    inside && /^     0x/ { inside = 0 }
    inside && /: \(".*"\)/ { print $1; exit }')
  [ -n "$tray_window" ]
}

find_tray_icon() {
  wait_until 15 find_tray_window || fail "no tray icon was embedded in trayer: $(xwininfo -root -tree)"
  say "tray icon is window $tray_window"
}

# At attach the icon shows the switch's port 0; this also shows that the
# measurement tells the pictures apart.
icon_shows_computer_1() {
  wait_until 10 icon_shows pc1 || fail "tray icon is not computer 1 (nearest ${nearest:-none}): ${measure:-no capture}"
  say "tray icon shows computer 1: $measure"
}

press_hot_key_2() {
  xdotool key --clearmodifiers ctrl+alt+2 || fail "xdotool could not press Control+Alt+2"
  say "pressed Control+Alt+2"
}

switch_received_port_1() {
  local line="portvane-demo: switch received 04 81 01 00 00 00 00 00"
  wait_until 5 demo_said "$line" || fail "the switch did not receive the port-2 command ($line)"
  say "switch received the command for computer 2"
}

# The poll runs every 2 s (the first 5 s after the attach).
icon_shows_computer_2() {
  wait_until 15 icon_shows pc2 || fail "tray icon is not computer 2 (nearest ${nearest:-none}): ${measure:-no capture}"
  say "tray icon shows computer 2: $measure"
}

# ---- Steps without a tray host

# The program's window named "Portvane" (Qt's own leader window, also named
# after the program, is never mapped).
find_stand_in_window_now() {
  stand_in_window=$(xdotool search --onlyvisible --name '^Portvane$' 2>/dev/null | head -n 1)
  [ -n "$stand_in_window" ]
}

find_stand_in_window() {
  wait_until 15 find_stand_in_window_now || fail "no window stands in for the missing tray: $(xwininfo -root -tree)"
  say "the stand-in window is window $stand_in_window"
}

stand_in_shows_computer_1() {
  wait_until 10 stand_in_shows pc1 ||
    fail "the stand-in window does not show computer 1 (nearest ${nearest:-none}): ${measure:-no capture}"
  say "the stand-in window shows computer 1: $measure"
}

# Its "Menu" button (Alt+M) opens the tray menu: the state line, which cannot
# be chosen, then the Dock menu's items; on computer 1 those that can be
# chosen are "Start Auto-Scan" and "Switch to Computer 2", in that order.
switch_from_stand_in_menu() {
  xdotool windowfocus --sync "$stand_in_window" 2>/dev/null || xdotool windowfocus "$stand_in_window" ||
    fail "could not focus the stand-in window"
  sleep 0.5
  xdotool key --clearmodifiers alt+m || fail "xdotool could not press Alt+M"
  sleep 1
  xdotool key Down Down Return || fail "xdotool could not choose Switch to Computer 2"
  say "chose Switch to Computer 2 in the stand-in window's menu"
}

stand_in_shows_computer_2() {
  wait_until 15 stand_in_shows pc2 ||
    fail "the stand-in window does not show computer 2 (nearest ${nearest:-none}): ${measure:-no capture}"
  say "the stand-in window shows computer 2: $measure"
}

stand_in_window_gone() {
  wait_until 10 sh -c '! xdotool search --onlyvisible --name "^Portvane\$" >/dev/null 2>&1' ||
    fail "the stand-in window stayed after the tray appeared"
  say "the stand-in window gave way to the tray icon"
}

# "Preferences…", the tray menu's second item from the end: right click on the
# icon, Up twice, Return. The settings dialog appears and gets the keyboard.
open_preferences_from_tray_menu() {
  local dialog
  xdotool mousemove --window "$tray_window" 5 5 click 3 || fail "could not click the tray icon"
  sleep 1
  xdotool key Up Up Return || fail "xdotool could not choose Preferences…"
  wait_until 10 sh -c 'xdotool search --onlyvisible --name "^Portvane Preferences$" >/dev/null 2>&1' ||
    fail "the settings dialog did not appear"
  dialog=$(xdotool search --onlyvisible --name "^Portvane Preferences$" | head -n 1)
  xdotool windowfocus --sync "$dialog" 2>/dev/null || xdotool windowfocus "$dialog" || fail "could not focus the settings dialog"
  sleep 0.5
  say "settings dialog is open (window $dialog)"
}

# The buzzer check box and the OK button by their mnemonics, as a keyboard
# user would: Alt+B ticks the box, Alt+O confirms.
tick_buzzer_and_confirm() {
  xdotool key --clearmodifiers alt+b || fail "xdotool could not press Alt+B"
  sleep 0.5
  xdotool key --clearmodifiers alt+o || fail "xdotool could not press Alt+O"
  wait_until 10 sh -c '! xdotool search --onlyvisible --name "^Portvane Preferences$" >/dev/null 2>&1' ||
    fail "the settings dialog did not close on OK"
  say "ticked the buzzer and pressed OK"
}

switch_received_buzzer_on() {
  local line="portvane-demo: switch received 04 86 01 00 00 00 00 00"
  wait_until 5 demo_said "$line" || fail "the switch did not receive the buzzer command ($line)"
  say "switch received the buzzer command"
}

# The tray menu's last item, as a user would pick it: right click on the icon,
# then Up (from no selection, the last item) and Return. The program ends
# its loop and exits with status 0.
quit_from_tray_menu() {
  local status
  xdotool mousemove --window "$tray_window" 5 5 click 3 || fail "could not click the tray icon"
  sleep 1
  xdotool key Up Return || fail "xdotool could not choose Quit"
  wait_until 10 sh -c "! kill -0 $demo_pid 2>/dev/null" || fail "portvane-demo did not quit from the tray menu"
  wait "$demo_pid"
  status=$?
  demo_pid=
  [ "$status" -eq 0 ] || fail "portvane-demo exited with status $status after Quit"
  say "Quit in the tray menu ended the program (status 0)"
}

steps=(
  start_display
  start_tray_host
  start_demo
  wait_for_attach
  find_tray_icon
  icon_shows_computer_1
  press_hot_key_2
  switch_received_port_1
  icon_shows_computer_2
  open_preferences_from_tray_menu
  tick_buzzer_and_confirm
  switch_received_buzzer_on
  quit_from_tray_menu
)
if [ "$mode" = --no-tray ]; then
  steps=(
    start_display
    start_demo
    wait_for_attach
    find_stand_in_window
    stand_in_shows_computer_1
    switch_from_stand_in_menu
    switch_received_port_1
    stand_in_shows_computer_2
    start_tray_host
    find_tray_icon
    stand_in_window_gone
    icon_shows_computer_2
    quit_from_tray_menu
  )
fi

run_steps "${steps[@]}"
