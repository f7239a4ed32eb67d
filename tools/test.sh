#!/bin/sh
# Installs, builds and runs every test under wine.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CV_BUILD_DIR:-$root/build}
"$root/tools/setup.sh"
cd "$build"
ctest -j2 --output-on-failure
