#!/usr/bin/env bash
# The two programs' command line, run as a user runs them: --help and
# --version answer without a display and start nothing; an unknown option or a
# stray argument is a usage error on standard error; without a graphical
# session one line names what was looked for, instead of Qt's abort.
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

# None of these ran the program: no hot-key file was made.
if [ -e "$work/HOTKEY.CFG" ]; then
  echo "FAILED: a run that only answered its command line wrote HOTKEY.CFG"
  failed=1
fi
exit "$failed"
