# What both end-to-end runs are made of (sourced): lines, waiting, the demo's
# log, ending the processes they started, and the run of their steps. Each run
# defines `fail`, which shows the logs it has, and sets `demo_log` and
# `demo_pid`.

say() { echo "e2e: $*"; }

# wait_until <seconds> <command...>: true once the command succeeds, false
# when the time is up.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -ge "$deadline" ] && return 1
    sleep 0.2
  done
}

demo_said() { grep -qxF -- "$1" "$demo_log"; }

# end_processes <pid...>: asks each started process (an empty pid is one not
# started) to end, then waits for all of them.
end_processes() {
  local pid
  for pid in "$@"; do
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
  done
  for pid in "$@"; do
    [ -n "$pid" ] && wait "$pid" 2>/dev/null
  done
}

# run_steps <step...>: each step returns 0 or calls `fail`; a demo that has
# ended fails the run before the next step.
run_steps() {
  local step
  for step in "$@"; do
    if [ -n "$demo_pid" ] && ! kill -0 "$demo_pid" 2>/dev/null; then fail "portvane-demo has ended"; fi
    "$step"
  done
  say "passed"
}
