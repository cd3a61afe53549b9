#!/usr/bin/env bash
# Builds (into build/, or $BUILD_DIR) and writes the Debian package
# marlvane-miner_VERSION_amd64.deb into OUTDIR, printing its path.
# --no-build packages the build as it stands (the package test runs beside
# the build's other tests, which must not see their binaries relinked).
set -euo pipefail
cd "$(dirname "$0")/.."
build=1
if [ "${1:-}" = "--no-build" ]; then
    build=0
    shift
fi
if [ $# -ne 1 ]; then
    echo "usage: $0 [--no-build] OUTDIR" >&2
    exit 2
fi
mkdir -p "$1"
out=$(cd "$1" && pwd)
build_dir="${BUILD_DIR:-build}"
if [ $build = 1 ]; then
    scripts/build.sh >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build_dir" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; exit 1; }
for deb in "$work"/*.deb; do
    mv "$deb" "$out/"
    echo "$out/$(basename "$deb")"
done
