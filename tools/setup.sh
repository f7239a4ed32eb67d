#!/bin/sh
# Installs what the build needs on Debian (only the packages that are missing) and the report test's
# browser driver (from its lock file), then configures and builds into ./build (or $CV_BUILD_DIR).
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CV_BUILD_DIR:-$root/build}

packages="cmake ninja-build googletest wine wine64 libwine-dev mingw-w64 mingw-w64-tools g++-mingw-w64-x86-64-posix nlohmann-json3-dev libcli11-dev wixl msitools zip chromium nodejs npm"
missing=""
for p in $packages; do
    # A Node.js installed otherwise (with its own npm) serves as well as Debian's.
    case $p in nodejs|npm) command -v "${p%js}" >/dev/null 2>&1 && continue ;; esac
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
    $sudo_cmd apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y $missing
fi

# The report test drives Debian's chromium; the driver downloads no browser of its own.
report=$root/tests/report
if [ ! -f "$report/node_modules/.package-lock.json" ] || [ "$report/package-lock.json" -nt "$report/node_modules/.package-lock.json" ]; then
    (cd "$report" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --ignore-scripts --no-audit --no-fund)
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake"
cmake --build "$build"
