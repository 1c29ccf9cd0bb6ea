#!/usr/bin/env bash
# Builds the Debian package: a Release build of its own (build-release) with
# Debian's build flags, cpack -G DEB, then the checks Debian and the desktop
# apply to what it holds: lintian (any error fails), desktop-file-validate and
# appstreamcli validate. Prints the package's path last.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "package: $*" >&2; }
die() { echo "package: $*" >&2; exit 1; }

bash scripts/install-deps.sh >&2

build="build-release"
# The hardening Debian builds its own packages with (stack protector, fortify,
# relro, bindnow); the file-prefix map keeps the build's own path out of the binaries.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPORTVANE_TESTS=OFF \
  "-DCMAKE_CXX_FLAGS=$cflags" "-DCMAKE_C_FLAGS=$cflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" >&2
cmake --build "$build" -j2 >&2
rm -f "$build"/portvane_*.deb
(cd "$build" && cpack -G DEB >&2) || die "cpack failed"
debs=("$build"/portvane_*.deb)
deb=${debs[0]}
[ -f "$deb" ] || die "cpack made no package in $build"
deb=$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")

say "lintian $deb"
if ! lintian --fail-on error "$deb" >&2; then
  die "lintian found errors in $deb"
fi

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
id=io.github.portvane.Portvane
findings=$(desktop-file-validate "$unpacked/usr/share/applications/$id.desktop" 2>&1) ||
  die "desktop-file-validate: $findings"
[ -z "$findings" ] || say "desktop-file-validate: $findings"
appstreamcli validate --no-net "$unpacked/usr/share/metainfo/$id.metainfo.xml" >&2 ||
  die "appstreamcli validate found errors"

say "$(dpkg-deb -f "$deb" Package Version Depends | tr '\n' ' ')"
say "$(du -k "$deb" | cut -f1) KiB packed, $(dpkg-deb -f "$deb" Installed-Size) KiB installed"
echo "$deb"
