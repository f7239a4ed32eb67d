#!/bin/sh
# tools/mmcat.sh with a current registration starts one wine process, mmcat.exe itself; without its
# stamp it checks the registry once and writes the stamp again.
#   wrapper.sh <source tree> <build folder>
set -u
src=$1
export CV_BUILD_DIR=$2
stamp="${CV_WINEPREFIX:-$2/wineprefix}/cvmmupdater2.registered"
# The trace of a pipeline's parts may share a line ("+ + + ..."): each launch is counted where it
# stands, not by the line it begins.
launches() { sh -x "$src/tools/mmcat.sh" --version 2>&1 >/dev/null | grep -o 'wine-run\.sh [^] ]' | wc -l; }
fail=0
[ -f "$stamp" ] || { echo "FAIL: registration left no stamp"; fail=1; }
[ "$(launches)" = 1 ] || { echo "FAIL: a current registration still costs a wine process"; fail=1; }
rm -f "$stamp"
[ "$(launches)" = 2 ] || { echo "FAIL: without the stamp the registry is not checked"; fail=1; }
[ -f "$stamp" ] || { echo "FAIL: the stamp is not written again"; fail=1; }
[ "$(launches)" = 1 ] || { echo "FAIL: the stamp written again is not used"; fail=1; }
[ $fail = 0 ] && echo ALL-OK
