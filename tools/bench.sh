#!/bin/sh
# Runs the catalog benchmark over generated corpora in scratch folders of the build (each corpus is
# written once and kept): "real", "wide" 1,000 and "wide" 10,000 modules. Prints each corpus's table
# and the working set each module adds between 1,000 and 10,000 modules.
#   bench.sh [runs, default 5] [every Nth file searched, default 1] [soak cycles, default 1000]
# CV_BENCH_SHAPES chooses the corpora (default "real wide1000 wide10000").
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CV_BUILD_DIR:-$root/build}
runs=${1:-5}
step=${2:-1}
soak=${3:-1000}
win() { printf 'Z:%s' "$1" | sed 's|/|\\|g'; }

"$root/tools/register.sh" "$build/wine-run.sh" "$build/bin"
for shape in ${CV_BENCH_SHAPES:-real wide1000 wide10000}; do
    corpus=$build/scratch/corpus-$shape
    case $shape in
        wide*) args="wide $(win "$corpus") ${shape#wide}" ;;
        *) args="$shape $(win "$corpus")" ;;
    esac
    if [ ! -f "$corpus/manifest.txt" ]; then
        rm -rf "$corpus"
        "$build/wine-run.sh" "$(win "$build/bin/make_corpus.exe")" $args
    fi
    cycles=0
    [ "$shape" = wide1000 ] && cycles=$soak
    CVAPPSERVICES_INI=$(win "$corpus/AppServices.ini") \
        "$build/wine-run.sh" "$(win "$build/bin/catalog_bench.exe")" "$(win "$corpus")" "$runs" "$step" "$cycles" |
        tee "$build/scratch/bench-$shape.txt"
done
# Working set per module before the first search and after the lists are read.
a=$build/scratch/bench-wide1000.txt b=$build/scratch/bench-wide10000.txt
if [ -f "$a" ] && [ -f "$b" ]; then
    # "working set before / after build / after lists: X / Y / Z KB (N modules)"; measured from X, so
    # that what the process held before (the manifest read) does not count.
    awk '/^working set before/ { n++; built[n] = $12 - $10; lists[n] = $14 - $10; mods[n] = substr($16, 2) + 0 }
         END { if (n == 2) printf "working set per module, 1,000 to 10,000 modules: %.2f KB after the build, %.2f KB after the lists\n",
                   (built[2] - built[1]) / (mods[2] - mods[1]), (lists[2] - lists[1]) / (mods[2] - mods[1]) }' "$a" "$b"
fi
