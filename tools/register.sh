#!/bin/sh
# Registers the interface library, the server and the COM stand-ins in the build's wine prefix.
#   register.sh <wine-run.sh> <output folder> [/u]
set -e
wine_run=$1
out=$2
# Backslashes: the loader then finds the server's own imports beside it.
win=$(printf 'Z:%s' "$out" | sed 's|/|\\|g')
# Read by mmcat.sh: while it names this DLL, the registration is taken as current.
stamp="${CV_WINEPREFIX:-$(dirname "$wine_run")/wineprefix}/cvmmupdater2.registered"
rm -f "$stamp"
if [ "$3" = "/u" ]; then
    for dll in CvMMUpdater2.dll CvAppServices.dll ProfileReader.dll; do
        [ -f "$out/$dll" ] && "$wine_run" regsvr32 /s /u "$win\\$dll" || true
    done
    "$wine_run" "$win\\regtlb.exe" /u "$win\\cvmmupdater.tlb"
    exit 0
fi
# The server's own library imports the interface library: that one first.
"$wine_run" "$win\\regtlb.exe" "$win\\cvmmupdater.tlb"
for dll in CvAppServices.dll ProfileReader.dll CvMMUpdater2.dll; do
    [ -f "$out/$dll" ] || continue
    "$wine_run" regsvr32 /s "$win\\$dll"
done
if [ -f "$out/CvMMUpdater2.dll" ]; then printf '%s' "$win\\CvMMUpdater2.dll" >"$stamp"; fi
