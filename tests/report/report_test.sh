#!/bin/sh
# Writes a report over the dependency fixtures and the conflicts corpus with mmcat.exe, then opens it in
# headless Chromium (check_report.js). What the page must show is read from the fixtures' sources and
# the corpus's manifest, not from the report.
#   report_test.sh <build> <source> [screenshot.png]
set -e
build=$1
source=$2
screenshot=$3
here=$source/tests/report
if [ ! -d "$here/node_modules/puppeteer-core" ]; then
    echo "FAIL: puppeteer-core is not installed in $here; run ./tools/setup.sh" >&2
    exit 1
fi
win() { printf 'Z:%s' "$1" | sed 's|/|\\|g'; }
work=$build/scratch/report-test
rm -rf "$work"
mkdir -p "$work/modules"
fixtures="deps-top deps-mid deps-base deps-broken deps-cycle-a deps-cycle-b"
for name in $fixtures; do cp "$build/fixtures/$name.msm" "$work/modules/"; done
corpus=$build/corpus/conflicts
"$build/wine-run.sh" --started-marker "$(win "$build/bin/mmcat.exe")" report --path "$(win "$work/modules")" \
    --path "$(win "$corpus/Modules/Core")" --path "$(win "$corpus/Modules/Extra")" -o "$(win "$work/report.html")"

rows() { [ -f "$1" ] && tail -n +4 "$1" | tr -d '\r' | grep -v '^$' || true; }
key() { rows "$source/tests/fixtures/$1/ModuleSignature.idt" | cut -f1,2 | tr '\t' ':'; }
json_list() { sed 's/.*/"&"/' | paste -sd, -; }
dependencies=0
for name in $fixtures; do
    dependencies=$((dependencies + $(rows "$source/tests/fixtures/$name/ModuleDependency.idt" | grep -c . || true)))
done
present=$(for name in $fixtures; do key "$name" | cut -d: -f1; done | sort -u)
required=$(for name in $fixtures; do rows "$source/tests/fixtures/$name/ModuleDependency.idt" | cut -f3; done | sort -u)
missing=$(printf '%s\n' "$required" | while read -r id; do printf '%s\n' "$present" | grep -qx "$id" || echo "$id"; done)
corpus_modules=$(grep -c '^module' "$corpus/manifest.txt")
golf=$(grep '^module.*\\Golf\.msm' "$corpus/manifest.txt" | cut -f3,4 | tr '\t' ':')
cat > "$work/expected.json" <<JSON
{"modules": $(( $(echo $fixtures | wc -w) + corpus_modules )), "dependencies": $dependencies,
 "missing": [$(printf '%s\n' "$missing" | json_list)],
 "cyclic": [$( (key deps-cycle-a; key deps-cycle-b) | json_list)],
 "scriptModule": "$golf",
 "closure": {"root": "$(key deps-top)", "keys": [$( (key deps-top; key deps-mid; key deps-base) | json_list)]}}
JSON
node "$here/check_report.js" "$work/report.html" "$work/expected.json" $screenshot
