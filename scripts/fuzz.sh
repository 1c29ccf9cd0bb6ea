#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang in build-fuzz and runs each
# for FUZZ_SECONDS (default 60) over a copy of its seed corpus, one summary
# line per target. Fails when any target finds a crash, a leak, a hang or a
# broken check; the input that did it stays in build-fuzz/fuzz-run/<target>/.
#   bash scripts/fuzz.sh [target...]    (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."

all=(descriptor hot_key_config info_feature_reports info_serial_number udev_properties)
targets=("${all[@]}")
[ $# -gt 0 ] && targets=("$@")
for target in "${targets[@]}"; do
  if [[ ! " ${all[*]} " =~ " ${target} " ]]; then
    echo "fuzz.sh: no target '${target}' (targets: ${all[*]})" >&2
    exit 2
  fi
done
seconds=${FUZZ_SECONDS:-60}
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "fuzz.sh: FUZZ_SECONDS must be a whole number of seconds" >&2
  exit 2
fi

# clang (14 on Debian 12) and its runtime libraries: libclang-rt-14-dev holds
# libFuzzer (libclang_rt.fuzzer) and the sanitizer runtimes clang links.
bash scripts/install-deps.sh clang libclang-rt-14-dev

build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE= -DPORTVANE_FUZZ=ON \
  -DPORTVANE_TESTS=OFF >/dev/null
cmake --build "$build" --parallel 2 --target "${targets[@]/#/fuzz_}"

# The targets' files (HOTKEY.CFG, the udev testbed) go to memory when it can
# be had: on disk every file the testbed writes waits for a sync.
scratch_parent=/dev/shm
[ -d "$scratch_parent" ] && [ -w "$scratch_parent" ] || scratch_parent="$PWD/$build"
scratch=$(mktemp -d "$scratch_parent/portvane-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"
export UBSAN_OPTIONS=print_stacktrace=1

failed=0
for target in "${targets[@]}"; do
  run="$PWD/$build/fuzz-run/$target"
  rm -rf "$run"
  mkdir -p "$run/corpus"
  cp fuzz/corpus/"$target"/* "$run/corpus/"
  # The udev target's libudev must see the testbed, not the machine.
  runner=()
  [ "$target" = udev_properties ] && runner=(umockdev-wrapper)
  start=$(date +%s%N)
  status=0
  # Paths are absolute: a target may change its working directory.
  "${runner[@]}" "$PWD/$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=25 -close_fd_mask=2 \
    -print_final_stats=1 -artifact_prefix="$run/" "$run/corpus" >"$run/log" 2>&1 || status=$?
  elapsed=$(awk -v ns=$(($(date +%s%N) - start)) 'BEGIN { printf "%.1f", ns / 1e9 }')
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/log" | tail -1)
  runs=${runs:-0}
  rate=$(awk -v r="$runs" -v s="$elapsed" 'BEGIN { printf "%d", (s > 0 ? r / s : 0) }')
  findings=$(find "$run" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | sort)
  if [ "$status" -eq 0 ] && [ -z "$findings" ]; then
    printf 'fuzz_%s: ok, %s runs in %.0f s (%s/s)\n' "$target" "$runs" "$elapsed" "$rate"
  else
    failed=1
    printf 'fuzz_%s: FAILED (exit %s) after %s runs in %.0f s (%s/s); log %s\n' "$target" "$status" "$runs" \
      "$elapsed" "$rate" "$run/log"
    # The target's own account of what broke is only shown when it runs alone.
    for finding in $findings; do echo "  rerun: ${runner[*]:+${runner[*]} }$build/fuzz/fuzz_$target $finding"; done
  fi
done
exit "$failed"
