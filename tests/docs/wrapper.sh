#!/bin/sh
# tools/mmcat.sh with a current registration starts one wine process, mmcat.exe itself; without its
# stamp it checks the registry once and writes the stamp again.
#   wrapper.sh <source tree> <build folder>
set -u
src=$1
export CV_BUILD_DIR=$2
stamp="${CV_WINEPREFIX:-$2/wineprefix}/cvmmupdater2.registered"
# Counted by wine-run.sh itself: a trace of the script interleaves the parts of its pipelines.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
launches() {
    : >"$log"
    CV_LAUNCH_LOG=$log "$src/tools/mmcat.sh" --version >/dev/null 2>&1
    wc -l <"$log"
}
fail=0
[ -f "$stamp" ] || { echo "FAIL: registration left no stamp"; fail=1; }
[ "$(launches)" = 1 ] || { echo "FAIL: a current registration still costs a wine process"; fail=1; }
rm -f "$stamp"
[ "$(launches)" = 2 ] || { echo "FAIL: without the stamp the registry is not checked"; fail=1; }
[ -f "$stamp" ] || { echo "FAIL: the stamp is not written again"; fail=1; }
[ "$(launches)" = 1 ] || { echo "FAIL: the stamp written again is not used"; fail=1; }
[ $fail = 0 ] && echo ALL-OK
