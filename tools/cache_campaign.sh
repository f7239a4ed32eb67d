#!/bin/sh
# The module cache under damage and under two writers, at the campaign's size: COUNT damaged cache
# files (default 5,000), each read by a catalog in a watched child process and every answer compared
# with a catalog built without the cache; then ROUNDS rounds (default 100) of two processes building
# catalogs over the same folders at once, a third reading what they left. ctest runs both smaller.
#   cache_campaign.sh [count] [rounds] [seed]
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CV_BUILD_DIR:-$root/build}
win() { printf 'Z:%s' "$1" | sed 's|/|\\|g'; }
CV_CACHE_DAMAGE_COUNT=${1:-5000} CV_CACHE_ROUNDS=${2:-100} CV_CACHE_DAMAGE_SEED=${3:-20261207} \
    "$build/wine-run.sh" "$(win "$build/bin/search_equivalence_tests.exe")" \
    '--gtest_filter=SearchEquivalence.DamagedCacheCampaign:SearchEquivalence.TwoProcessesAtOnceLeaveAWholeCache'
