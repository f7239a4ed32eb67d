#!/bin/sh
# Runs the scan benchmark over copies of a generated module in a scratch folder of the build.
#   bench.sh [count]
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CV_BUILD_DIR:-$root/build}
scratch=$build/scratch/scan-benchmark
rm -rf "$scratch" && mkdir -p "$scratch"
win() { printf 'Z:%s' "$1" | sed 's|/|\\|g'; }
"$build/wine-run.sh" "$(win "$build/bin/scan_benchmark.exe")" "$(win "$build/fixtures/full.msm")" "$(win "$scratch")" ${1:-1000}
