#!/bin/sh
# Runs the benchmarks in scratch folders of the build:
#  - the scan of copies of a generated module, against a plain msi.dll loop;
#  - many catalog lifetimes over a small environment, watching the working set.
#   bench.sh [modules, default 1000] [catalog rounds, default 1000]
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CV_BUILD_DIR:-$root/build}
win() { printf 'Z:%s' "$1" | sed 's|/|\\|g'; }

scratch=$build/scratch/scan-benchmark
rm -rf "$scratch" && mkdir -p "$scratch"
"$build/wine-run.sh" "$(win "$build/bin/scan_benchmark.exe")" "$(win "$build/fixtures/full.msm")" "$(win "$scratch")" ${1:-1000}

env=$build/scratch/catalog-soak
rm -rf "$env" && mkdir -p "$env/Modules" "$env/App/ObjectGallery" "$env/Index"
cp "$build/fixtures/full.msm" "$build/fixtures/multi-1031.msm" "$build/fixtures/multi-1033.msm" "$env/Modules/"
printf '[Folders]\r\nApplication=%s\r\nModulesIndex=%s\r\nFilesToModulesIndex=%s\r\n[MergeModules]\r\nSearchPath=%s\r\n' \
    "$(win "$env/App")" "$(win "$env/Index")" "$(win "$env/Index")" "$(win "$env/Modules")" > "$env/AppServices.ini"
"$root/tools/register.sh" "$build/wine-run.sh" "$build/bin"
CVAPPSERVICES_INI=$(win "$env/AppServices.ini") "$build/wine-run.sh" "$(win "$build/bin/catalog_soak.exe")" ${2:-1000}
