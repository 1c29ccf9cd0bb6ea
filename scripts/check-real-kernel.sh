#!/usr/bin/env bash
# The Linux side on a real kernel: boots Debian 12's own kernel in QEMU, once
# per switch generation, with a small initramfs that lays a tmpfs over this
# machine's root (shared read-only over 9p, the build tree with it) and starts
# a real systemd-udevd with the project's rules. There the simulated switch is
# plugged in as a USB device (sim/gadget, on dummy_hcd), with an unrelated HID
# keyboard (the kernel's f_hid) beside it, and the programs meet it through the
# kernel's usbhid, hidraw and usbfs:
#   - every portvane-ctl command, with the bytes the switch received;
#   - the no-permission line of a user without a session;
#   - linux_real_switch_test;
#   - the tray program headless: attach, a poll every 2 s, unplug, replug;
#   - a switch that stalls every request (busy), and one that does not answer;
#   - no program opens the keyboard.
#
#   check-real-kernel.sh [build-dir]      (default: build)
#
# Needs root for the package cache; the kernel package is the one
# linux-image-amd64 depends on, downloaded with apt into $PORTVANE_KERNEL_CACHE
# (default /var/cache/portvane/kernel) and kept there. Each guest has a time
# limit ($PORTVANE_GUEST_SECONDS, default 600); the work folder and QEMU go on
# every exit path.
set -euo pipefail

say() { echo "check-real-kernel: $*"; }
die() { echo "check-real-kernel: $*" >&2; exit 1; }

# ---------------------------------------------------------------------------
# Inside the guest (after the initramfs): PID 1, on the overlay root.
# ---------------------------------------------------------------------------
if [ "${1:-}" = "--guest" ]; then
  set +e
  set -u
  export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
  export HOME=/root LANG=C.UTF-8 SYSTEMD_PAGER=cat
  # The parameters the host put on the kernel's command line.
  for word in $(cat /proc/cmdline); do
    case "$word" in
      portvane.source=*) source=${word#*=} ;;
      portvane.build=*) build=${word#*=} ;;
      portvane.kernel=*) kernel_tree=${word#*=} ;;
      portvane.generation=*) generation=${word#*=} ;;
    esac
  done
  gen="generation $generation"
  gadget_log=/run/portvane/gadget.log
  tray_log=/run/portvane/tray.log
  watch_log=/run/portvane/watch.log
  ctl=$build/ctl/portvane-ctl

  finish() {
    sync
    busybox poweroff -f
    echo o > /proc/sysrq-trigger
  }
  # The reason, then what the guest saw, then off: the host shows these lines.
  fail() {
    echo "check-real-kernel: FAILED: $gen: ${step_name:-setup}: $*"
    [ -s "$gadget_log" ] && { echo "--- last lines of the gadget"; tail -n 15 "$gadget_log"; }
    [ -s /run/portvane/ctl.err ] && { echo "--- portvane-ctl's standard error"; tail -n 5 /run/portvane/ctl.err; }
    [ -s "$tray_log" ] && { echo "--- last lines of the tray program"; tail -n 15 "$tray_log"; }
    echo "--- last kernel lines"
    dmesg | tail -n 15
    finish
  }

  now_ms() { local t=${EPOCHREALTIME/./}; echo $((t / 1000)); }
  step() { step_name=$1; step_started=$(now_ms); }
  passed() {
    local ms=$(($(now_ms) - step_started))
    printf 'check-real-kernel: %s: %s: %d.%d s\n' "$gen" "$step_name" $((ms / 1000)) $((ms % 1000 / 100))
  }
  # Lines of a log after `mark` lines; waits until one matches.
  mark() { wc -l < "$1"; }
  after() { tail -n +"$(($2 + 1))" "$1"; }
  wait_for() {  # file mark fixed-string seconds
    local deadline=$((SECONDS + $4))
    until after "$1" "$2" | grep -qF -- "$3"; do
      [ "$SECONDS" -ge "$deadline" ] && return 1
      sleep 0.2
    done
  }
  tell() {  # a command to the gadget, waited for until it says it is done
    local m
    m=$(mark "$gadget_log")
    echo "$1" >&7 || fail "the gadget is gone (told $1)"
    wait_for "$gadget_log" "$m" "portvane-gadget: ok $1" 20 || fail "the gadget did not do \"$1\""
  }

  mkdir -p /run/portvane /tmp/home /tmp/tray
  # devtmpfs has no /dev/fd, which bash's process substitution needs.
  [ -e /dev/fd ] || ln -s /proc/self/fd /dev/fd
  mkdir -m 0700 -p /tmp/runtime
  mkdir -p "/lib/modules/$(uname -r)"
  mount --bind "$kernel_tree/lib/modules/$(uname -r)" "/lib/modules/$(uname -r)" ||
    fail "cannot lay the kernel's modules over /lib/modules"

  step "udev, kernel modules"
  install -m 0644 "$source/resources/70-portvane.rules" /etc/udev/rules.d/70-portvane.rules
  /lib/systemd/systemd-udevd --daemon 2>/dev/null || fail "systemd-udevd did not start"
  # Two controllers: the switch on one, the keyboard on the other.
  modprobe dummy_hcd num=2 && modprobe libcomposite && modprobe usb_f_fs && modprobe usb_f_hid ||
    fail "cannot load dummy_hcd, libcomposite, usb_f_fs or usb_f_hid"
  mount -t configfs configfs /sys/kernel/config || fail "cannot mount configfs"
  udevadm trigger --action=add --subsystem-match=usb && udevadm settle --timeout=60 || fail "udev did not settle"
  passed

  # The USB device (sysfs) with these identifiers, and its nodes.
  usb_device() {
    local d
    for d in /sys/bus/usb/devices/*; do
      [ "$(cat "$d/idVendor" 2>/dev/null)" = "$1" ] && [ "$(cat "$d/idProduct" 2>/dev/null)" = "$2" ] &&
        { echo "$d"; return 0; }
    done
    return 1
  }
  hidraw_of() { find "$1"/ -maxdepth 6 -path '*/hidraw/hidraw*' -name 'hidraw*' 2>/dev/null | head -n 1; }
  usbfs_of() { printf '/dev/bus/usb/%03d/%03d' "$(cat "$1/busnum")" "$(cat "$1/devnum")"; }
  # Waits until udev has made the HID node of the device (vendor product).
  wait_for_node() {
    local deadline=$((SECONDS + $3)) d node
    while [ "$SECONDS" -lt "$deadline" ]; do
      udevadm settle --timeout=10
      if d=$(usb_device "$1" "$2") && node=$(hidraw_of "$d") && [ -n "$node" ] &&
        [ -c "/dev/$(basename "$node")" ]; then
        echo "/dev/$(basename "$node")"
        return 0
      fi
      sleep 0.2
    done
    return 1
  }

  step "unrelated HID keyboard plugged in (f_hid)"
  keyboard=/sys/kernel/config/usb_gadget/keyboard
  mkdir -p $keyboard/strings/0x409 $keyboard/configs/c.1 $keyboard/functions/hid.usb0 &&
    echo 0x1d6b > $keyboard/idVendor && echo 0x0104 > $keyboard/idProduct &&
    echo KBD-0001 > $keyboard/strings/0x409/serialnumber &&
    echo Keyboard > $keyboard/strings/0x409/product &&
    echo 1 > $keyboard/functions/hid.usb0/protocol && echo 1 > $keyboard/functions/hid.usb0/subclass &&
    echo 8 > $keyboard/functions/hid.usb0/report_length &&
    printf '\x05\x01\x09\x06\xa1\x01\x05\x07\x19\xe0\x29\xe7\x15\x00\x25\x01\x75\x01\x95\x08\x81\x02\x95\x01\x75\x08\x81\x03\x95\x05\x75\x01\x05\x08\x19\x01\x29\x05\x91\x02\x95\x01\x75\x03\x91\x03\x95\x06\x75\x08\x15\x00\x25\x65\x05\x07\x19\x00\x29\x65\x81\x00\xc0' \
      > $keyboard/functions/hid.usb0/report_desc &&
    ln -s $keyboard/functions/hid.usb0 $keyboard/configs/c.1/ &&
    echo dummy_udc.1 > $keyboard/UDC || fail "configfs refused the keyboard gadget"
  keyboard_hidraw=$(wait_for_node 1d6b 0104 30) || fail "the keyboard got no hidraw node"
  keyboard_usb=$(usbfs_of "$(usb_device 1d6b 0104)")
  # From here on no program may open the keyboard's nodes.
  inotifywait -m -e open --format '%w %e' "$keyboard_hidraw" "$keyboard_usb" > "$watch_log" 2> /run/portvane/watch.err &
  watch_pid=$!
  until grep -qs "Watches established" /run/portvane/watch.err; do sleep 0.1; done
  passed

  if [ "$generation" = 2 ]; then
    vendor=10d5 product=5500 ids=10d5:5500
    received="received SetReport 4:"
    declare -A sent=([port 2]="04 81 01" [port 1]="04 81 00" [scan on]="04 88 00" [scan off]="04 89 00"
      [period 20]="04 87 14" [buzzer off]="04 86 00" [buzzer on]="04 86 01")
    title="switch: generation 2 (feature reports), vendor 10d5, product 5500"
    attach_line="HIDDeviceAdded: Found device info with vendorID=0x10D5 deviceID=0x5500. Version: 2"
  else
    vendor=10d5 product=000d ids=10d5:000d
    received="received WritePipe 2:"
    declare -A sent=([port 2]="01 01 00" [port 1]="01 00 00" [scan on]="07 00 00" [scan off]="08 00 00"
      [period 20]="06 04 00" [buzzer off]="03 00 00" [buzzer on]="02 00 00")
    title="switch: generation 1 (serial number), vendor 10d5, product 000d"
    attach_line="USBDeviceAdded: USBGetDeviceInfo found device info with vendorID=0x10D5 deviceID=0xD"
  fi

  step "switch plugged in (portvane-gadget)"
  mkfifo /run/portvane/gadget.in
  "$build/sim/gadget/portvane-gadget" --generation "$generation" --udc dummy_udc.0 \
    < /run/portvane/gadget.in > "$gadget_log" 2>&1 &
  gadget_pid=$!
  exec 7> /run/portvane/gadget.in
  wait_for "$gadget_log" 0 "configured by the host" 30 || fail "the host did not configure the switch"
  switch_node=$(wait_for_node "$vendor" "$product" 30) || fail "the switch got no hidraw node"
  passed

  # portvane-ctl with a time limit; its status, output and error in files.
  ctl_status=0
  run_ctl() {
    local limit=$1
    shift
    ctl_status=0
    timeout "$limit" "$@" > /run/portvane/ctl.out 2> /run/portvane/ctl.err || ctl_status=$?
  }
  # After a command on its pipe the kernel makes the switch's HID device anew.
  settle_switch() { wait_for_node "$vendor" "$product" 10 > /dev/null || fail "the switch's hidraw node did not come back"; }

  step "portvane-ctl: every command, the bytes at the switch"
  run_ctl 60 "$ctl" status
  [ "$ctl_status" = 0 ] || fail "portvane-ctl status exited $ctl_status"
  [ "$(head -n 1 /run/portvane/ctl.out)" = "$title" ] || fail "portvane-ctl status said: $(head -n 1 /run/portvane/ctl.out)"
  run_ctl 60 "$ctl" --json status
  grep -qF "\"generation\":$generation" /run/portvane/ctl.out || fail "portvane-ctl --json status said: $(cat /run/portvane/ctl.out)"
  for command in "port 2" "port 1" "scan on" "scan off" "period 20" "buzzer off" "buzzer on"; do
    m=$(mark "$gadget_log")
    # shellcheck disable=SC2086
    run_ctl 60 "$ctl" $command
    [ "$ctl_status" = 0 ] || fail "portvane-ctl $command exited $ctl_status"
    expected="$received ${sent[$command]} 00 00 00 00 00"
    wait_for "$gadget_log" "$m" "$expected" 10 || fail "portvane-ctl $command: the switch did not receive ${sent[$command]} ..."
    got=$(after "$gadget_log" "$m" | grep -F "received ")
    [ "$got" = "portvane-gadget: $expected" ] || fail "portvane-ctl $command: the switch received: $got"
    [ "$generation" = 1 ] && settle_switch
  done
  run_ctl 60 "$ctl" status
  for line in "active computer: 1" "auto-scan: off, period 20 s" "buzzer: on"; do
    grep -qxF "$line" /run/portvane/ctl.out || fail "after the commands, portvane-ctl status said: $(cat /run/portvane/ctl.out)"
  done
  passed

  step "linux_real_switch_test"
  run_ctl 120 "$build/tests/platform/linux/linux_real_switch_test"
  [ "$ctl_status" = 0 ] || fail "linux_real_switch_test exited $ctl_status: $(tail -n 3 /run/portvane/ctl.err)"
  grep -qxF "version $generation, port 0 of 2" /run/portvane/ctl.out ||
    fail "linux_real_switch_test said: $(cat /run/portvane/ctl.out)"
  passed

  # The tray program's standard error, each line with the time it came.
  stamp() { while IFS= read -r line; do printf '%s %s\n' "${EPOCHREALTIME/./}" "$line"; done; }
  poll_times() { after "$tray_log" "$1" | grep -F "USB Buffer Info:" | cut -d' ' -f1; }

  step "tray program: attach"
  (cd /tmp/tray && exec env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp/runtime HOME=/tmp/home \
    "$build/app/portvane" 2> >(stamp > "$tray_log") > /dev/null) &
  tray_pid=$!
  wait_for "$tray_log" 0 "$attach_line" 30 || fail "the tray program did not attach the switch"
  passed
  # Both generations are polled: the older one reads its serial-number string.
  step "tray program: a poll every 2 s"
  attached=$(mark "$tray_log")
  # The first poll comes 5 s after the attach, then one every 2 s.
  deadline=$((SECONDS + 20))
  until [ "$(poll_times "$attached" | wc -l)" -ge 4 ]; do
    [ "$SECONDS" -ge "$deadline" ] && fail "the tray program polled $(poll_times "$attached" | wc -l) times in 20 s"
    sleep 0.5
  done
  previous=""
  for t in $(poll_times "$attached"); do
    if [ -n "$previous" ]; then
      gap=$(((t - previous) / 1000))
      [ "$gap" -ge 1500 ] && [ "$gap" -le 3500 ] || fail "two polls came $gap ms apart"
    fi
    previous=$t
  done
  passed
  step "tray program: unplug"
  tell unplug
  udevadm settle --timeout=10
  sleep 1
  m=$(mark "$tray_log")
  sleep 4
  [ "$(poll_times "$m" | wc -l)" = 0 ] || fail "the tray program went on polling after the unplug"
  passed
  step "tray program: replug"
  m=$(mark "$tray_log")
  tell plug
  wait_for "$tray_log" "$m" "$attach_line" 30 || fail "the tray program did not attach the switch again"
  wait_for "$tray_log" "$m" "USB Buffer Info:" 15 || fail "the tray program did not poll the switch again"
  passed
  kill -TERM "$tray_pid" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$tray_pid" 2>/dev/null || break; sleep 0.2; done
  kill -KILL "$tray_pid" 2>/dev/null
  wait "$tray_pid" 2>/dev/null
  switch_node=$(wait_for_node "$vendor" "$product" 30) || fail "the switch got no hidraw node after the replug"

  # Reads ask the switch on generation 2; generation 1's state is the
  # kernel's copy of its string, so only a command reaches it.
  if [ "$generation" = 2 ]; then asking=(status); else asking=(port 2); fi
  step "stalled switch (busy): portvane-ctl ${asking[*]}"
  tell stall
  run_ctl 60 "$ctl" "${asking[@]}"
  [ "$ctl_status" = 5 ] || fail "portvane-ctl ${asking[*]} exited $ctl_status"
  [ "$(cat /run/portvane/ctl.err)" = "portvane-ctl: the switch ($ids) does not answer" ] ||
    fail "portvane-ctl said: $(cat /run/portvane/ctl.err)"
  tell answer
  [ "$generation" = 1 ] && settle_switch
  passed

  step "silent switch: portvane-ctl ${asking[*]}"
  tell silent
  # The first request runs into the kernel's 5 s and ends the read or the
  # command there: no further tries for a switch that does not answer at all
  # (five of them would take well over the limit given here).
  silent_started=$(now_ms)
  run_ctl 20 "$ctl" "${asking[@]}"
  silent_ms=$(($(now_ms) - silent_started))
  [ "$ctl_status" = 5 ] || fail "portvane-ctl ${asking[*]} exited $ctl_status"
  [ "$(cat /run/portvane/ctl.err)" = "portvane-ctl: the switch ($ids) does not answer" ] ||
    fail "portvane-ctl said: $(cat /run/portvane/ctl.err)"
  say "$gen: the silent switch was reported in $((silent_ms / 1000)).$((silent_ms % 1000 / 100)) s"
  tell answer
  [ "$generation" = 1 ] && settle_switch
  run_ctl 60 "$ctl" status
  [ "$ctl_status" = 0 ] || fail "portvane-ctl status exited $ctl_status once the switch answered again"
  passed

  step "portvane-ctl without a session: the no-permission line"
  denied_node=$switch_node
  [ "$generation" = 1 ] && denied_node=$(usbfs_of "$(usb_device "$vendor" "$product")")
  run_ctl 60 setpriv --reuid=65534 --regid=65534 --clear-groups "$ctl" status
  [ "$ctl_status" = 4 ] || fail "portvane-ctl status as nobody exited $ctl_status"
  expected="portvane-ctl: no permission to open $denied_node: access is given only to the user of the active local session; check yours with loginctl"
  [ "$(cat /run/portvane/ctl.err)" = "$expected" ] || fail "portvane-ctl said: $(cat /run/portvane/ctl.err)"
  passed

  step "unrelated keyboard: never opened"
  [ -s "$watch_log" ] && fail "the keyboard's nodes were opened: $(tr '\n' ';' < "$watch_log")"
  # The watch itself sees an open, or its silence would prove nothing.
  : < "$keyboard_hidraw"
  deadline=$((SECONDS + 5))
  until [ -s "$watch_log" ] || [ "$SECONDS" -ge "$deadline" ]; do sleep 0.1; done
  kill "$watch_pid" 2>/dev/null
  [ -s "$watch_log" ] || fail "the watch on the keyboard's nodes saw no open at all"
  passed

  step "switch removed"
  echo quit >&7
  exec 7>&-
  for _ in $(seq 50); do kill -0 "$gadget_pid" 2>/dev/null || break; sleep 0.2; done
  grep -qF "portvane-gadget: removed" "$gadget_log" || fail "the gadget did not remove itself"
  [ -e "/sys/kernel/config/usb_gadget/portvane-gen$generation" ] && fail "the gadget left its configfs folder"
  grep -q " /run/portvane-gen$generation " /proc/mounts && fail "the gadget left FunctionFS mounted"
  grep -qF "cannot" "$gadget_log" && fail "the gadget said: $(grep -F cannot "$gadget_log" | head -n 1)"
  passed
  echo "check-real-kernel: $gen: guest passed"
  finish
fi

# ---------------------------------------------------------------------------
# On the host.
# ---------------------------------------------------------------------------
cd "$(dirname "$0")/.."
repo=$(pwd)
build=${1:-build}
case "$build" in /*) ;; *) build=$repo/$build ;; esac
cache=${PORTVANE_KERNEL_CACHE:-/var/cache/portvane/kernel}
# A whole generation takes 1-3 minutes on 2 shared cores without KVM.
guest_limit=${PORTVANE_GUEST_SECONDS:-600}

for path in "$repo" "$build" "$cache"; do
  case "$path" in *[[:space:]]*) die "a path with a space cannot go on the kernel's command line: $path" ;; esac
done

work=""
qemu_pid=""
cleanup() {
  local rc=$?
  trap - EXIT INT TERM HUP
  if [ -n "$qemu_pid" ]; then
    kill -TERM "$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
  fi
  [ -n "$work" ] && rm -rf --one-file-system "$work"
  [ -n "${partial:-}" ] && rm -rf --one-file-system "$partial"
  exit "$rc"
}
trap cleanup EXIT
trap 'say "interrupted"; exit 130' INT
trap 'say "terminated"; exit 143' TERM HUP

total_started=$SECONDS
step_started=0
begin() { step_started=$SECONDS; say "$1"; }
took() { say "$1 took $((SECONDS - step_started)) s"; }

begin "packages: QEMU, busybox, kmod, udev, inotify-tools"
bash scripts/install-deps.sh qemu-system-x86 busybox-static kmod udev inotify-tools >/dev/null ||
  die "cannot install the packages the check needs (QEMU, busybox-static, kmod, udev, inotify-tools)"
for tool in qemu-system-x86_64 depmod modprobe udevadm inotifywait; do
  command -v "$tool" >/dev/null || die "$tool is missing after installing the packages"
done
[ -x /bin/busybox ] && /bin/busybox --list | grep -qx switch_root || die "busybox-static's /bin/busybox is missing"
took "packages"

begin "building the gadget, portvane-ctl, portvane and linux_real_switch_test in $build"
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" --target portvane-gadget portvane-ctl portvane linux_real_switch_test >/dev/null ||
  die "the build failed in $build"
took "building"

begin "the kernel package"
package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
mkdir -p "$cache"
if [ -z "$package" ]; then
  # apt's lists may be gone; a package downloaded before still serves.
  deb=$(ls -t "$cache"/linux-image-*-amd64_*.deb 2>/dev/null | head -n 1 || true)
  [ -n "$deb" ] || die "apt does not know linux-image-amd64 (run apt-get update) and no kernel package is cached"
  package=$(basename "$deb" | cut -d_ -f1)
else
  deb=$(ls -t "$cache/${package}"_*.deb 2>/dev/null | head -n 1 || true)
  if [ -z "$deb" ]; then
    (cd "$cache" && apt-get download -q "$package" >/dev/null 2>&1) ||
      die "cannot download $package: no network to the Debian archive?"
    deb=$(ls -t "$cache/${package}"_*.deb | head -n 1)
  fi
fi
version=${package#linux-image-}
tree=$cache/$package
if [ ! -f "$tree/.unpacked" ]; then
  rm -rf --one-file-system "$tree"
  partial=$(mktemp -d "$cache/.unpacking.XXXXXX")
  dpkg-deb -x "$deb" "$partial" || die "cannot unpack $(basename "$deb")"
  # The package ships no modules.dep.
  depmod -b "$partial" "$version" || die "depmod failed on $(basename "$deb")"
  touch "$partial/.unpacked"
  mv "$partial" "$tree"
  partial=""
fi
kernel=$tree/boot/vmlinuz-$version
[ -f "$kernel" ] || die "$(basename "$deb") holds no kernel image vmlinuz-$version"
missing=()
for module in virtio_pci 9pnet_virtio 9p overlay dummy_hcd libcomposite usb_f_fs usb_f_hid usbhid; do
  modprobe -d "$tree" -S "$version" --show-depends "$module" >/dev/null 2>&1 || missing+=("$module")
done
[ ${#missing[@]} -eq 0 ] || die "the kernel package $(basename "$deb") lacks the modules: ${missing[*]}"
took "the kernel package ($(basename "$deb"))"

begin "the initramfs"
work=$(mktemp -d /tmp/portvane-kernel.XXXXXX)
mkdir -p "$work/initramfs/bin" "$work/initramfs/modules"
cp /bin/busybox "$work/initramfs/bin/busybox"
n=0
for module in virtio_pci 9pnet_virtio 9p overlay; do
  modprobe -d "$tree" -S "$version" --show-depends "$module" | awk '$1 == "insmod" {print $2}'
done | awk '!seen[$0]++' | while read -r file; do
  n=$((n + 1))
  cp "$file" "$work/initramfs/modules/$(printf %02d "$n")-$(basename "$file")"
done
# Mounts this machine's root read-only over 9p with a tmpfs above it, and
# hands over to this script inside (udevadm does not work in a chroot, so it
# is switch_root). Any failure powers the guest off with its reason.
cat > "$work/initramfs/init" <<'EOF'
#!/bin/busybox sh
b=/bin/busybox
off() { echo "check-real-kernel: FAILED: initramfs: $*"; $b poweroff -f; }
$b mkdir -p /proc /sys /dev /lower /upper /root
$b mount -t proc proc /proc
$b mount -t sysfs sysfs /sys
$b mount -t devtmpfs devtmpfs /dev
for module in /modules/*.ko; do $b insmod "$module" || off "insmod $module failed"; done
source="" shared=""
for word in $($b cat /proc/cmdline); do
  case "$word" in
    portvane.source=*) source=${word#*=}; shared="$shared $source" ;;
    portvane.build=* | portvane.kernel=*) shared="$shared ${word#*=}" ;;
  esac
done
$b mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 hostroot /lower || off "cannot mount the host's root"
$b mount -t tmpfs -o mode=0755 upper /upper
$b mkdir -p /upper/data /upper/work
$b mount -t overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work overlay /root || off "cannot lay the overlay"
$b mount -t tmpfs -o mode=0755 run /root/run
$b mount -t tmpfs -o mode=1777 tmp /root/tmp
# A checkout, build tree or kernel under /tmp would be hidden by the guest's
# own /tmp: those come back from the host, still read-only.
for path in $shared; do
  case "$path" in
    /tmp/*) $b mkdir -p "/root$path" && $b mount --bind "/lower$path" "/root$path" || off "cannot share $path" ;;
  esac
done
for fs in proc sys dev; do $b mount --move /$fs /root/$fs; done
exec $b switch_root /root /bin/bash "$source/scripts/check-real-kernel.sh" --guest
EOF
chmod +x "$work/initramfs/init"
(cd "$work/initramfs" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1 > "$work/initramfs.gz") ||
  die "cannot pack the initramfs"
took "the initramfs"

accel=tcg
# KVM only where the processor offers it; elsewhere QEMU aborts or hangs with it.
if grep -qwE 'vmx|svm' /proc/cpuinfo && [ -w /dev/kvm ]; then accel=kvm; fi

# The guest's last console lines, on standard error.
show_console() {
  if [ -s "$console" ]; then
    echo "--- the guest's last console lines:" >&2
    tail -n 40 "$console" >&2
  else
    echo "--- the guest wrote nothing on its console" >&2
  fi
}

for generation in 2 1; do
  begin "guest for generation $generation (QEMU, $accel, at most $guest_limit s)"
  console=$work/console-$generation.log
  : > "$console"
  timeout --kill-after=10 "$guest_limit" qemu-system-x86_64 -machine q35 -accel "$accel" -cpu max -smp 2 -m 2048 \
    -display none -monitor none -no-reboot -serial "file:$console" \
    -kernel "$kernel" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 loglevel=4 panic=-1 portvane.source=$repo portvane.build=$build portvane.kernel=$tree portvane.generation=$generation" \
    -virtfs "local,path=/,mount_tag=hostroot,readonly=on,security_model=none,multidevs=remap,id=hostroot" \
    </dev/null >"$work/qemu.out" 2>&1 &
  qemu_pid=$!
  # The guest's step lines as they come.
  shown=0
  while kill -0 "$qemu_pid" 2>/dev/null; do
    sleep 1
    lines=$(grep -a '^check-real-kernel: ' "$console" | grep -av 'FAILED' || true)
    count=$(printf '%s' "$lines" | grep -c . || true)
    if [ "$count" -gt "$shown" ]; then
      printf '%s\n' "$lines" | tail -n +"$((shown + 1))"
      shown=$count
    fi
  done
  status=0
  wait "$qemu_pid" || status=$?
  qemu_pid=""
  if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    show_console
    die "the guest for generation $generation did not finish within $guest_limit s (stopped)"
  fi
  if ! grep -aqF "check-real-kernel: generation $generation: guest passed" "$console"; then
    reason=$(grep -a -m 1 'check-real-kernel: FAILED' "$console" || true)
    show_console
    [ -s "$work/qemu.out" ] && { echo "--- QEMU said:"; tail -n 5 "$work/qemu.out"; } >&2
    die "${reason#check-real-kernel: }${reason:+ }(generation $generation; QEMU exit $status)"
  fi
  took "generation $generation"
done

say "passed on Debian 12's kernel $version in $((SECONDS - total_started)) s"
