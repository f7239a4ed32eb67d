#!/bin/sh
# Installs, builds, registers the server in the build's wine prefix, lays out a small environment
# (search folders with generated merge modules, a repository, a gallery description, index files)
# and runs the demo client against it, then the command-line tool (tools/mmcat.sh) over the same.
# The environment goes to build/demo, or to $CV_DEMO_DIR.
#   demo.sh [--layout-only]      --layout-only: the environment alone (no build, registration or runs)
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CV_BUILD_DIR:-$root/build}
if [ "${1:-}" != --layout-only ]; then
    "$root/tools/setup.sh"
    "$root/tools/register.sh" "$build/wine-run.sh" "$build/bin"
fi

demo=${CV_DEMO_DIR:-$build/demo}
# A folder of the user's is replaced only when an earlier run laid it out.
if [ -n "$CV_DEMO_DIR" ] && [ -e "$demo" ] && [ ! -f "$demo/.cv-demo" ]; then
    echo "demo.sh: $demo exists and was not laid out by this script; not replacing it" >&2
    exit 2
fi
rm -rf "$demo"
mkdir -p "$demo/Modules" "$demo/Team" "$demo/App/ObjectGallery" "$demo/App/Repositories" "$demo/Index"
touch "$demo/.cv-demo"
cp "$build/fixtures/full.msm" "$build/fixtures/multi-1031.msm" "$demo/Modules/"
cp "$build/fixtures/multi-1033.msm" "$demo/Team/"
# A folder of its own for dependency closures (--path).
mkdir -p "$demo/Deps"
for name in top mid base broken cycle-a cycle-b; do cp "$build/fixtures/deps-$name.msm" "$demo/Deps/"; done
win() { printf 'Z:%s' "$1" | sed 's|/|\\|g'; }

cat > "$demo/AppServices.ini" <<INI
[Folders]
Application=$(win "$demo/App")
FilesToModulesIndex=$(win "$demo/Index")
ModulesIndex=$(win "$demo/Index")
ExcludedFiles=*.pdb
SettingsDocument=$(win "$demo/Settings.xml")
[MergeModules]
SearchPath=$(win "$demo/Modules")
[Project]
ActiveType=0
INI
cat > "$demo/App/Repositories/Repositories.xml" <<XML
<Repositories><Repository MMSearchPath="$(win "$demo/Team")" DisplayName="Team modules"/></Repositories>
XML
cat > "$demo/App/ObjectGallery/Downloadable.ini" <<INI
[MergeModule]
ModuleID=Downloadable.11112222_3333_4444_5555_666677778888
Language=1033
Version=2.0
Subject=Described in the gallery
INI
cat > "$demo/Index/modules.ini" <<INI
[modules]
FullModule.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9:1033=Full Demo Module
INI
cat > "$demo/Index/FilesToModules.ini" <<INI
[FilesToModules]
shared.dll=0:MultiLang.4E5F6071_8293_A4B5_C6D7_E8F90A1B2C3D
INI
echo '<Workbench><IDE><Workspaces/></IDE></Workbench>' > "$demo/Settings.xml"

[ "${1:-}" = --layout-only ] && exit 0
export CVAPPSERVICES_INI="$(win "$demo/AppServices.ini")"
"$build/wine-run.sh" cscript //nologo "$(win "$root/tools/demo.js")"

# The same catalog from a shell. Exit code 1 (nothing found, closure incomplete) is an answer here.
mmcat() {
    echo
    shown="\$ tools/mmcat.sh"
    for argument in "$@"; do
        case $argument in *[\[\\\ ]*) argument="'$argument'" ;; esac
        shown="$shown $argument"
    done
    printf '%s\n' "$shown"
    "$root/tools/mmcat.sh" "$@" || echo "(exit code $?)"
}
echo
echo "The command-line tool over the same environment (CVAPPSERVICES_INI):"
mmcat list
mmcat show FullModule.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9:1033
mmcat which '[SystemFolder]shared.dll' --version 3.0.0.0
mmcat which '[SystemFolder]MyDir\zeta.dll'
mmcat deps FullModule.0A1B2C3D_4E5F_6071_8293_A4B5C6D7E8F9
echo
echo "And over a folder of modules with nothing set up (--path):"
mmcat deps "$demo/Deps/deps-top.msm" --path "$demo/Deps"
