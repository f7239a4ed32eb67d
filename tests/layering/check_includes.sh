#!/bin/sh
# The folders' layering, read from the includes: each folder may include only the folders below it
# (and generated interface headers, which carry no folder). Prints each include that runs against
# it and fails when there is one.
#   check_includes.sh <source root>
cd "$1" || exit 2

allowed() {
    case "$1" in
        base) echo "base" ;;
        server) echo "base server idl" ;;
        folders) echo "base server idl folders" ;;
        model) echo "base server idl model" ;;
        msi) echo "base server idl model msi" ;;
        catalog) echo "base server idl model msi folders catalog" ;;
        standins) echo "base server idl standins" ;;
        cli) echo "base server idl cli" ;;
        idl) echo "base idl" ;;
    esac
}

# The top: the object map assembles every layer into the DLL. The tool's one entry into the
# server's internals reaches the installer layer and the model.
exception() {
    case "$1" in
        server/CvMMUpdater2.cpp) echo "catalog msi model folders" ;;
        cli/ServerInternals.cpp | cli/ServerInternals.h) echo "msi model" ;;
    esac
}

bad=0
for file in $(find base server folders model msi catalog standins cli idl -name '*.h' -o -name '*.cpp' | sort); do
    folder=${file%%/*}
    permitted="$(allowed "$folder") $(exception "$file")"
    for target in $(sed -n 's/^#include "\([a-z]*\)\/.*/\1/p' "$file" | sort -u); do
        case " $permitted " in
            *" $target "*) ;;
            *) echo "$file includes $target/"; bad=1 ;;
        esac
    done
done
[ "$bad" -eq 0 ] && echo "LAYERING-OK"
exit "$bad"
