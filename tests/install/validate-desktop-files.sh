#!/usr/bin/env bash
# The desktop entry, the AppStream metainfo and the manual pages, checked by
# the tools the desktop and Debian check them with. Exit 77 without
# desktop-file-validate or appstreamcli.
#
#   validate-desktop-files.sh <source directory> <build directory>
set -u

source_dir=${1:?usage: validate-desktop-files.sh <source directory> <build directory>}
build=${2:?usage: validate-desktop-files.sh <source directory> <build directory>}

for tool in desktop-file-validate appstreamcli; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "validate-desktop-files: $tool is not installed; skipping"
    exit 77
  fi
done

failed=0
id=io.github.portvane.Portvane
# desktop-file-validate exits 0 on hints; any line it prints is a finding.
if ! output=$(desktop-file-validate "$source_dir/data/$id.desktop" 2>&1) || [ -n "$output" ]; then
  echo "FAILED: desktop-file-validate: $output"
  failed=1
fi
if ! appstreamcli validate --no-net "$source_dir/data/$id.metainfo.xml"; then
  echo "FAILED: appstreamcli validate"
  failed=1
fi
if command -v man >/dev/null 2>&1; then
  for page in portvane.1 portvane-demo.1; do
    # As lintian reads them: any groff warning is a finding.
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
      man --warnings -E UTF-8 -l -Tutf8 -Z "$build/data/$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
      echo "FAILED: $page: $warnings"
      failed=1
    fi
  done
fi
exit "$failed"
