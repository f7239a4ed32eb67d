#!/bin/sh
# Installs, builds, registers the server in the build's wine prefix and runs the demo client.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CV_BUILD_DIR:-$root/build}
"$root/tools/setup.sh"
"$root/tools/register.sh" "$build/wine-run.sh" "$build/bin"
"$build/wine-run.sh" cscript //nologo "Z:$root/tools/demo.js" "Z:$build/bin"
