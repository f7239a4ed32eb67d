#!/bin/sh
# Registers a copy of the server from a folder without the environment's components, runs a script
# against it, and registers the built server again whatever happened.
#   bare_server.sh <wine-run.sh> <output folder> <scratch folder> <script>
wine_run=$1 out=$2 bare=$3/bare-script imports=$3/bare-script-imports script=$4
rm -rf "$bare" "$imports" && mkdir -p "$bare" "$imports"
cp "$out/CvMMUpdater2.dll" "$bare/"
# Linked by import, the repository library must be loadable: it comes from a folder of its own on the
# search path, so that the server's folder holds no component of the environment.
cp "$out/RepoCommon.dll" "$imports/"
# Backslashes: the loader then finds the server's own imports beside it.
windows() { printf 'Z:%s' "$1" | sed 's|/|\\|g'; }
export WINEPATH="$(windows "$imports")"
trap '"$wine_run" regsvr32 /s "$(windows "$out/CvMMUpdater2.dll")"' EXIT
"$wine_run" regsvr32 /s "$(windows "$bare/CvMMUpdater2.dll")" || exit 1
"$wine_run" --started-marker cscript //nologo "Z:$script"
