#!/usr/bin/env bash
# Proves that the README's two commands work on a bare Debian 12: builds a root
# holding only the base system, git and ca-certificates (mmdebstrap), clones the
# commit under test into it, and runs there the demo command (until the demo has
# attached its simulated switch) and then the test command. Then it builds the
# Debian package there (scripts/package.sh) and installs it with apt-get on a
# second, untouched copy of the bare root, where the installed portvane must run.
#
#   check-fresh-debian.sh [commit]      (default: HEAD)
#
# Needs root (chroot, mounts) and the Debian archive. The bare root is kept as a
# tarball in $PORTVANE_FRESH_CACHE (default /var/cache/portvane) and made anew
# once it is a week old. Every mount lives in a mount namespace of its own, so
# none can outlive the check; the work folder is removed on every exit path.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "check-fresh-debian: $*"; }
die() { echo "check-fresh-debian: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || die "needs root for chroot and mounts"
repo=$(pwd)
commit=$(git rev-parse --verify "${1:-HEAD}^{commit}") || die "no such commit: ${1:-HEAD}"

cache_dir=${PORTVANE_FRESH_CACHE:-/var/cache/portvane}
tarball=$cache_dir/bookworm-apt.tar.zst
max_age_days=7
# The demo builds the program first; on 2 cores and a cold package cache that
# takes minutes, never this long.
demo_timeout=1800
attach_line='^HIDDeviceAdded: Found device info with vendorID=0x10D5 deviceID=0x5500'

work=""
partial=""
inner_pid=""

# Ends every process whose root is inside one of the bare roots: the demo, and
# whatever a test left running (dbus-daemon, Xvfb).
kill_rooted() {
  local proc target
  for proc in /proc/[0-9]*; do
    target=$(readlink "$proc/root" 2>/dev/null) || continue
    case "$target" in "$work/"*) kill -KILL "${proc#/proc/}" 2>/dev/null || true ;; esac
  done
}

cleanup() {
  local rc=$?
  trap - EXIT INT TERM HUP
  if [ -n "$inner_pid" ]; then
    kill -TERM -- "-$inner_pid" 2>/dev/null || true
    [ -n "$work" ] && kill_rooted
    wait "$inner_pid" 2>/dev/null || true
  fi
  [ -n "$partial" ] && rm -f "$partial"
  if [ -n "$work" ] && [ -d "$work" ]; then
    kill_rooted
    # The mounts were made in another namespace and are not seen here; this is
    # the last guard before removing a tree that must not reach the host's /dev.
    if grep -qF " $work/" /proc/self/mounts; then
      grep -F " $work/" /proc/self/mounts | awk '{print $2}' | sort -r | xargs -r -n1 umount -l || true
    fi
    rm -rf --one-file-system "$work"
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'say "interrupted"; exit 130' INT
trap 'say "terminated"; exit 143' TERM HUP

step_started=0
begin() { step_started=$SECONDS; say "$1"; }
took() { say "$1 took $((SECONDS - step_started)) s"; }

# Runs a command as root inside a bare root (default: the first), in its folder
# (default: the clone), in a fresh mount namespace with /proc, /sys and /dev,
# with a clean environment as a new login would have. Called in the
# background, it becomes the leader of a session of its own, so that the
# process group $! can be stopped as one.
in_root() {
  exec setsid unshare --mount --propagation private -- bash -c '
    set -e
    root=$1 folder=$2 command=$3
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb CI=true \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      bash -c "cd $folder && $command"
  ' in_root "${2:-$work/root}" "${3:-/root/portvane}" "$1"
}

total_started=$SECONDS

if ! command -v mmdebstrap >/dev/null || ! command -v zstd >/dev/null; then
  begin "installing mmdebstrap"
  apt-get update -qq || die "apt-get update failed: no network to the package archive?"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap zstd >/dev/null ||
    die "cannot install mmdebstrap"
  took "installing mmdebstrap"
fi

if [ ! -s "$tarball" ] || [ -n "$(find "$tarball" -mtime +"$max_age_days" 2>/dev/null)" ]; then
  begin "building the bare Debian 12 root"
  mkdir -p "$cache_dir"
  partial=$(mktemp "$cache_dir/bookworm-apt.XXXXXX.tar.zst")
  log=$(mktemp)
  if ! mmdebstrap --variant=apt --include=git,ca-certificates bookworm "$partial" >"$log" 2>&1; then
    reason=$(grep -m 1 -E '^E: ' "$log" || true)
    rm -f "$log"
    die "mmdebstrap could not build the bare Debian 12 root: ${reason:-no error line from it}"
  fi
  rm -f "$log"
  mv "$partial" "$tarball"
  partial=""
  took "building the bare Debian 12 root"
fi

begin "unpacking the bare root and cloning $commit"
work=$(mktemp -d /var/tmp/portvane-fresh.XXXXXX)
mkdir "$work/root"
tar --zstd -xf "$tarball" -C "$work/root"
cp /etc/resolv.conf "$work/root/etc/resolv.conf"
git clone -q --no-hardlinks "$repo" "$work/root/root/portvane"
git -C "$work/root/root/portvane" checkout -q --detach "$commit"
took "unpacking the bare root and cloning"

begin "demo command: bash scripts/demo.sh"
demo_log=$work/demo.log
in_root "exec bash scripts/demo.sh" >"$demo_log" 2>&1 </dev/null &
inner_pid=$!
until grep -qs "$attach_line" "$demo_log"; do
  if ! kill -0 "$inner_pid" 2>/dev/null; then
    tail -n 40 "$demo_log" >&2
    die "the demo command ended before attaching its simulated switch"
  fi
  if [ $((SECONDS - step_started)) -ge "$demo_timeout" ]; then
    tail -n 40 "$demo_log" >&2
    die "the demo did not attach its simulated switch within $demo_timeout s"
  fi
  sleep 2
done
kill -TERM -- "-$inner_pid" 2>/dev/null || true
wait "$inner_pid" 2>/dev/null || true
inner_pid=""
kill_rooted
took "demo command (switch attached, demo stopped)"

begin "test command: bash scripts/test.sh"
in_root "exec bash scripts/test.sh" </dev/null &
inner_pid=$!
status=0
wait "$inner_pid" || status=$?
inner_pid=""
[ "$status" -eq 0 ] || die "the test command failed (exit $status) on the bare root"
took "test command"

begin "package: bash scripts/package.sh, then apt-get install on a second bare root"
# package.sh reports on standard error and prints the package's path last.
package_out=$work/package.out
in_root "exec bash scripts/package.sh" >"$package_out" </dev/null &
inner_pid=$!
status=0
wait "$inner_pid" || status=$?
inner_pid=""
[ "$status" -eq 0 ] || die "scripts/package.sh failed (exit $status) on the bare root"
deb=$work/root$(tail -n 1 "$package_out")
case "$deb" in *.deb) ;; *) die "scripts/package.sh printed no package path" ;; esac
[ -f "$deb" ] || die "scripts/package.sh named $deb, which is not there"
kill_rooted

mkdir "$work/installed"
tar --zstd -xf "$tarball" -C "$work/installed"
cp /etc/resolv.conf "$work/installed/etc/resolv.conf"
cp "$deb" "$work/installed/root/"
in_root "apt-get -qq update && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ./$(basename "$deb") >/dev/null &&
  command -v portvane && portvane --version" "$work/installed" /root </dev/null &
inner_pid=$!
status=0
wait "$inner_pid" || status=$?
inner_pid=""
[ "$status" -eq 0 ] || die "installing $(basename "$deb") on a bare root, or running portvane --version there, failed (exit $status)"
took "package built and installed"

say "passed on a bare Debian 12 in $((SECONDS - total_started)) s"
