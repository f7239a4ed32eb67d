#!/bin/sh
# Runs mmcat.exe under wine in the build's prefix, with Linux paths: the folders of --path, --app and
# --index, the output file of -o and the module files of show, deps, rdeps, conflicts and report are
# turned into Windows paths (Windows paths, "Z:\..." or "\\server\...", are passed as they are).
# Registers the server in the prefix when it is not registered there yet: the stamp that register.sh
# leaves in the prefix spares the registry check (a wine process) while the registration is current.
#   mmcat.sh <subcommand> [arguments...]      e.g. mmcat.sh list --path ~/modules
#   mmcat.sh - < commands.txt                 several commands in one run
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CV_BUILD_DIR:-$root/build}
if [ ! -x "$build/wine-run.sh" ] || [ ! -f "$build/bin/mmcat.exe" ]; then
    echo "mmcat.sh: no build in $build; run ./tools/setup.sh (or ./tools/demo.sh) first" >&2
    exit 2
fi
win() {
    case $1 in
        [A-Za-z]:*|\\*) printf '%s' "$1" ;;
        *) printf 'Z:%s' "$(realpath -m -s -- "$1")" | sed 's|/|\\|g' ;;
    esac
}
register() { "$root/tools/register.sh" "$build/wine-run.sh" "$build/bin" >&2; }

# The server is registered when its class points at this build's DLL.
expected=$(win "$build/bin/CvMMUpdater2.dll")
stamp="${CV_WINEPREFIX:-$build/wineprefix}/cvmmupdater2.registered"
if [ "$(cat "$stamp" 2>/dev/null)" != "$expected" ]; then
    registered=$("$build/wine-run.sh" reg query 'HKCR\CLSID\{647ABD57-0D6C-4DA8-A7FF-0FAE559A7841}\InprocServer32' /ve \
        2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p')
    if [ "$registered" != "$expected" ]; then
        register
    else
        printf '%s' "$expected" >"$stamp"
    fi
fi

# Arguments rebuilt one by one: "$@" is the only list a POSIX shell has.
command=""
count=$#
i=0
convert_next=""
while [ $i -lt $count ]; do
    argument=$1
    shift
    i=$((i + 1))
    if [ -n "$convert_next" ]; then
        argument=$(win "$argument")
        convert_next=""
    else
        case $argument in
            --path|--app|--index|-o|--output) convert_next=1 ;;
            --path=*|--app=*|--index=*|--output=*) argument="${argument%%=*}=$(win "${argument#*=}")" ;;
            -*) ;;
            *)
                if [ -z "$command" ]; then
                    command=$argument
                elif [ "$command" != which ] && [ "$command" != find ] && [ -f "$argument" ]; then
                    argument=$(win "$argument")
                fi
                ;;
        esac
    fi
    set -- "$@" "$argument"
done
# A stamp that outlived its registration: mmcat.exe says so before it does anything, by this code.
export MMCAT_UNREGISTERED_EXIT=75
status=0
"$build/wine-run.sh" "$(win "$build/bin/mmcat.exe")" "$@" || status=$?
if [ $status -eq 75 ]; then
    rm -f "$stamp"
    register
    status=0
    "$build/wine-run.sh" "$(win "$build/bin/mmcat.exe")" "$@" || status=$?
fi
exit $status
