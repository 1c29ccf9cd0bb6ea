#!/usr/bin/env bash
# The two programs' command line, run as a user runs them: --help and
# --version answer without a display and start nothing; an unknown option or a
# stray argument is a usage error on standard error; without a graphical
# session, or with a display that nothing answers on, one line names what was
# looked for, instead of Qt's abort.
#
#   command-line.sh <portvane> <portvane-demo> <version>
set -u

portvane=${1:?usage: command-line.sh <portvane> <portvane-demo> <version>}
demo=${2:?usage: command-line.sh <portvane> <portvane-demo> <version>}
version=${3:?usage: command-line.sh <portvane> <portvane-demo> <version>}

work=$(mktemp -d "${TMPDIR:-/tmp}/portvane-command-line.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failed=0

# check <what> <status> <stdout> <stderr> <command...>: each output either
# "" (none), "=text" (exactly that one line) or "~regex" (a line matching).
check() {
  local what=$1 status=$2 out=$3 err=$4
  shift 4
  "$@" >"$work/out" 2>"$work/err" </dev/null
  local got=$? stream expected file bad=0
  [ "$got" -eq "$status" ] || { echo "FAILED: $what: exit $got, expected $status"; bad=1; }
  for stream in out err; do
    if [ "$stream" = out ]; then expected=$out; else expected=$err; fi
    file=$work/$stream
    case "$expected" in
      "") [ ! -s "$file" ] || { echo "FAILED: $what: std$stream not empty"; bad=1; } ;;
      =*) [ "$(cat "$file")" = "${expected#=}" ] || { echo "FAILED: $what: std$stream is not \"${expected#=}\""; bad=1; } ;;
      ~*) grep -qE -- "${expected#\~}" "$file" || { echo "FAILED: $what: no line of std$stream matches ${expected#\~}"; bad=1; } ;;
    esac
  done
  if [ "$bad" -ne 0 ]; then
    sed "s/^/  stdout: /" "$work/out"
    sed "s/^/  stderr: /" "$work/err"
    failed=1
  fi
}

# No display at all, as on a console or over ssh.
headless=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM)

for program in "$portvane" "$demo"; do
  name=$(basename "$program")
  check "$name --help" 0 "~^Usage: $name \[--desktop\] \[--verbose\]\$" "" "${headless[@]}" "$program" --help
  check "$name -h" 0 "~^  --desktop " "" "${headless[@]}" "$program" -h
  check "$name --version" 0 "=$name $version" "" "${headless[@]}" "$program" --version
  check "$name --frob" 2 "" "~^Usage: $name " "${headless[@]}" "$program" --frob
  check "$name --frob's reason" 2 "" "~^$name: Unknown option 'frob'\.\$" "${headless[@]}" "$program" --frob
  check "$name with a stray argument" 2 "" "~^$name: Unexpected argument 'switch'\.\$" "${headless[@]}" "$program" switch
done

check "portvane without a display" 1 "" \
  "=portvane: no graphical session: neither DISPLAY nor WAYLAND_DISPLAY is set" "${headless[@]}" "$portvane"
check "portvane --desktop without a display" 1 "" \
  "=portvane: no graphical session: neither DISPLAY nor WAYLAND_DISPLAY is set" "${headless[@]}" "$portvane" --desktop
check "portvane on xcb without DISPLAY" 1 "" \
  "=portvane: no graphical session: QT_QPA_PLATFORM is \"xcb\" and DISPLAY is not set" \
  env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$portvane"
check "portvane-demo without a display" 1 "" \
  "~^portvane-demo: no graphical session: neither DISPLAY nor WAYLAND_DISPLAY is set \(QT_QPA_PLATFORM=offscreen runs it headless\)\$" \
  "${headless[@]}" "$demo"

# A display named but not there: one line naming it, instead of Qt's abort.
# The X display is one no server of this machine has; the Wayland socket is
# looked for in an empty runtime folder.
no_x=":$((7000 + RANDOM % 2000))"
while [ -e "/tmp/.X11-unix/X${no_x#:}" ]; do no_x=":$((7000 + RANDOM % 2000))"; done
mkdir -m 700 "$work/runtime"
nowhere=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u XDG_SESSION_TYPE XDG_RUNTIME_DIR="$work/runtime")
check "portvane with no X server on DISPLAY" 1 "" \
  "=portvane: no graphical session: no X server answers on DISPLAY \"$no_x\"" "${nowhere[@]}" DISPLAY="$no_x" "$portvane"
check "portvane-demo with no X server on DISPLAY" 1 "" \
  "=portvane-demo: no graphical session: no X server answers on DISPLAY \"$no_x\" (QT_QPA_PLATFORM=offscreen runs it headless)" \
  "${nowhere[@]}" DISPLAY="$no_x" "$demo"
check "portvane on xcb with no X server on DISPLAY" 1 "" \
  "=portvane: no graphical session: QT_QPA_PLATFORM is \"xcb\" and no X server answers on DISPLAY \"$no_x\"" \
  "${nowhere[@]}" QT_QPA_PLATFORM=xcb DISPLAY="$no_x" "$portvane"
check "portvane with no Wayland compositor" 1 "" \
  "=portvane: no graphical session: no Wayland compositor answers on WAYLAND_DISPLAY \"wayland-9\" and DISPLAY is not set" \
  "${nowhere[@]}" XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=wayland-9 "$portvane"
# A socket left behind by a compositor that is gone answers no more than none.
python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$work/runtime/wayland-1" 2>/dev/null ||
  : >"$work/runtime/wayland-1"
check "portvane-demo with a Wayland socket nobody listens on, and no X server" 1 "" \
  "=portvane-demo: no graphical session: no Wayland compositor answers on WAYLAND_DISPLAY \"wayland-1\" and no X server answers on DISPLAY \"$no_x\" (QT_QPA_PLATFORM=offscreen runs it headless)" \
  "${nowhere[@]}" WAYLAND_DISPLAY=wayland-1 DISPLAY="$no_x" "$demo"

# None of these ran the program: no hot-key file was made.
if [ -e "$work/HOTKEY.CFG" ]; then
  echo "FAILED: a run that only answered its command line wrote HOTKEY.CFG"
  failed=1
fi
exit "$failed"
