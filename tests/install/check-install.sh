#!/usr/bin/env bash
# Installs the build as a package would (prefix /usr, into a scratch DESTDIR)
# and checks what lands where; that the installed programs hold no path of the
# source tree; and that the installed program finds its resources from its own
# place, with no build tree near it.
#
#   check-install.sh <cmake> <build directory> <source directory> <version> [sanitized]
set -u

cmake=${1:?usage: check-install.sh <cmake> <build directory> <source directory> <version>}
build=${2:?}
source_dir=${3:?}
version=${4:?}
sanitized=${5:-}

work=$(mktemp -d "${TMPDIR:-/tmp}/portvane-install.XXXXXX")
demo_pid=
stop() {
  if [ -n "$demo_pid" ]; then
    kill "$demo_pid" 2>/dev/null
    wait "$demo_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap stop EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }

root=$work/root
if ! DESTDIR=$root "$cmake" --install "$build" --prefix /usr >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  fail "cmake --install failed"
  exit 1
fi

id=io.github.portvane.Portvane
{
  echo usr/bin/portvane
  echo usr/bin/portvane-ctl
  echo usr/bin/portvane-demo
  echo usr/lib/udev/rules.d/70-portvane.rules
  echo usr/share/applications/$id.desktop
  echo usr/share/doc/portvane/changelog.gz
  echo usr/share/doc/portvane/copyright
  for side in 16 22 24 32 48 64 128 256; do
    for name in $id $id-pc1 $id-pc2 $id-pc3 $id-pc4; do
      echo "usr/share/icons/hicolor/${side}x$side/apps/$name.png"
    done
  done
  echo usr/share/man/man1/portvane-ctl.1.gz
  echo usr/share/man/man1/portvane-demo.1.gz
  echo usr/share/man/man1/portvane.1.gz
  echo usr/share/metainfo/$id.metainfo.xml
  echo "usr/share/portvane/Settings2 Ports.ui"
  echo usr/share/portvane/Settings2Ports.ui
  echo "usr/share/portvane/USBMENUDOCK 2 Ports.ui"
  for name in pc1 pc2 pc3 pc4 portvane; do echo "usr/share/portvane/$name.icns"; done
} | LC_ALL=C sort >"$work/expected"
(cd "$root" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort) >"$work/installed"
if ! diff -u "$work/expected" "$work/installed" >"$work/diff"; then
  fail "the installed files differ from the expected ones (- expected, + installed):"
  tail -n +3 "$work/diff"
fi

# The sanitizers' own source locations (GCC's UBSan, in code inlined from
# headers) keep the path whatever the prefix map says: a test build only.
for program in portvane portvane-demo; do
  if [ -z "$sanitized" ] && grep -qaF "$source_dir/" "$root/usr/bin/$program"; then
    fail "$program holds the source tree's path $source_dir"
  fi
done

output=$(env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/portvane" --version 2>&1)
[ "$output" = "portvane $version" ] || fail "installed portvane --version printed: $output"

# The demo attaches its switch and shows the switch's port as the tray picture,
# read from share/portvane beside the installed bin/; a missing icon file would
# say "RegisterIcon Error" just after the attach.
attach='^HIDDeviceAdded: Found device info with vendorID=0x10D5 deviceID=0x5500'
mkdir "$work/run"
(cd "$work/run" && exec env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
  "$root/usr/bin/portvane-demo" >"$work/demo.log" 2>&1 </dev/null) &
demo_pid=$!
for _ in $(seq 60); do
  grep -qs "^USB Buffer Info: " "$work/demo.log" && break
  kill -0 "$demo_pid" 2>/dev/null || break
  sleep 0.5
done
# The picture is chosen in the same call that printed the attach's info block.
sleep 1
kill "$demo_pid" 2>/dev/null
wait "$demo_pid" 2>/dev/null
demo_pid=
if ! grep -q "$attach" "$work/demo.log" || grep -q "RegisterIcon Error" "$work/demo.log"; then
  fail "the installed portvane-demo did not attach its switch and show its picture:"
  sed 's/^/  /' "$work/demo.log"
fi
exit "$failed"
