#!/bin/sh
# Runs the examples of the documents that are marked to run (a fenced block right after a line
# "<!-- example -->") over the demo environment, and compares what each command prints (stdout and
# stderr, then "(exit code N)" when it is not 0) with what the document shows below it. In the
# documents "<repo>" stands for the source tree, in Linux ("<repo>/build") and Windows form
# ("<repo>\build", "<repo>\\build" in JSON).
#   run_examples.sh <source tree> <build folder> <document>...
set -u
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
shift 2
work=$build/scratch/doc-examples
rm -rf "$work"
mkdir -p "$work"
CV_BUILD_DIR=$build "$src/tools/demo.sh" --layout-only >/dev/null || { echo "FAIL: demo layout"; exit 1; }
win() { printf 'Z:%s' "$1" | sed 's|/|\\|g'; }
export CV_BUILD_DIR="$build"
export CVAPPSERVICES_INI="$(win "$build/demo/AppServices.ini")"

# The machine's paths back to the documents' placeholders; sed needs its own specials escaped.
quote() { printf '%s' "$1" | sed 's/[][\\.*^$|/]/\\&/g'; }
winsrc=$(win "$src")
jsonsrc=$(printf '%s' "$winsrc" | sed 's|\\|\\\\|g')
placeholders="s/$(quote "$jsonsrc")/<repo>/g; s/$(quote "$winsrc")/<repo>/g; s/$(quote "$src")/<repo>/g"

failures=0
count=0
for document in "$@"; do
    rm -f "$work"/cmd.* "$work"/exp.*
    # Each command of a marked block to cmd.N, the lines after it to exp.N.
    awk -v out="$work" '
        /^<!-- example -->$/ { marked = 1; next }
        marked && /^```/ { inside = 1; marked = 0; next }
        inside && /^```/ { inside = 0; next }
        inside && /^\$ / { n++; print substr($0, 3) > (out "/cmd." n); printf "" > (out "/exp." n); next }
        inside && n { print > (out "/exp." n) }
        { marked = 0 }
    ' "$document"
    n=1
    while [ -f "$work/cmd.$n" ]; do
        command=$(sed "s|<repo>|$src|g" "$work/cmd.$n")
        (cd "$src" && sh -c "$command" >"$work/out.$n" 2>&1; status=$?
         [ $status -ne 0 ] && echo "(exit code $status)" >>"$work/out.$n"; true)
        # A block cannot show the blank lines an output ends with.
        sed "$placeholders" "$work/out.$n" | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' >"$work/got.$n"
        count=$((count + 1))
        if ! cmp -s "$work/exp.$n" "$work/got.$n"; then
            failures=$((failures + 1))
            echo "FAIL: $document: \$ $(cat "$work/cmd.$n")"
            diff -u "$work/exp.$n" "$work/got.$n" | head -40
        fi
        n=$((n + 1))
    done
done
echo "$count examples, $failures differ"
[ "$count" -gt 0 ] && [ "$failures" -eq 0 ] && echo "ALL-OK"
