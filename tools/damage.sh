#!/bin/sh
# Runs damaged copies of the test modules through the server and prints what happened to the client:
# crashes, hangs, installer handles left open, good modules listed, inputs changed.
#   damage.sh [seed, default 1] [count, default 5000]
# The same seed gives the same files. Exits 0 when nothing crashed or hung and nothing was changed.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CV_BUILD_DIR:-$root/build}
win() { printf 'Z:%s' "$1" | sed 's|/|\\|g'; }

"$root/tools/register.sh" "$build/wine-run.sh" "$build/bin"
work=$build/scratch/damage-$1-${2:-5000}
rm -rf "$work"
goods=""
for m in full signature-only multi-1031 multi-1033 foreign-summary null-language; do
    goods="$goods $(win "$build/fixtures/$m.msm")"
done
"$build/wine-run.sh" "$(win "$build/bin/damage_campaign.exe")" "${1:-1}" "${2:-5000}" "$(win "$work")" $goods
