#!/usr/bin/env bash
# The include check on a copy of the tree with wrong-way includes planted: one
# up the chain from each layer that used to share a cycle, one across between
# the two transports, and one between two libraries of the same folder; and a
# test-only header taken into production code, by a library the chain lets see
# it and by the facility's own header. Each must be reported as file:line, and
# nothing else.
#
#   planted-includes.sh [source directory]     (default: the tree it is in)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "${1:-$here/../..}" && pwd)
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT

cd "$source_dir"
git ls-files -- '*.h' '*.cpp' | while IFS= read -r file; do
  if [ -f "$file" ]; then mkdir -p "$copy/$(dirname "$file")" && cp "$file" "$copy/$file"; fi
done
cp -r tests/layout/. "$copy/tests/layout/"

expected=""
plant() {  # file, header it must not include, its library, the header's library
  local line=$(($(wc -l <"$copy/$1") + 1))
  echo "#include \"$2\"" >>"$copy/$1"
  expected+="$1:$line: includes \"$2\": $3 may not include $4"$'\n'
}
plant switch/kvm_switch.cpp switch/kvm_operations.h switch_record switch_operations
plant hid/hid_reports.cpp usb/usb_transport.h hid_reports usb_transport
plant switch/kvm_operations.cpp app/dock_icon.h switch_operations app_base
plant app/polling_tick.cpp hid/hid_discovery.h app_base hid_discovery
plant usb/usb_discovery.cpp settings/main_window.h usb_discovery settings
plant settings/main_window.cpp app/carbon_app.h settings app
plant_hooks() {  # file, test-only header it must not include, the header's facility source
  local line=$(($(wc -l <"$copy/$1") + 1))
  echo "#include \"$2\"" >>"$copy/$1"
  expected+="$1:$line: includes \"$2\", a test-only header: only $3 and tests bench fuzz may include it"$'\n'
}
plant_hooks app/dock_icon.cpp platform/desktop/tray_testing.h platform/desktop/tray.cpp
plant_hooks platform/desktop/tray.h platform/desktop/tray_testing.h platform/desktop/tray.cpp

status=0
found=$(cd "$copy" && bash tests/layout/check-includes.sh "$copy") || status=$?
if [ "$status" -eq 0 ]; then
  echo "the check passed a tree with wrong-way includes" >&2
  exit 1
fi
if [ "$(sort <<<"$found")" != "$(sort <<<"${expected%$'\n'}")" ]; then
  printf 'expected:\n%sfound:\n%s\n' "$expected" "$found" >&2
  exit 1
fi
