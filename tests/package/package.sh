#!/bin/sh
# The installer package under wine's msiexec, each case in a fresh prefix of its own: what the package
# registers against what regtlb and regsvr32 register from the same files, the installed server at work,
# upgrade, repair, and an uninstall that leaves the prefix as it was. "FAIL:" lines; ALL-OK at the end.
#   package.sh <build> <wineserver> <scratch folder>
# CV_PACKAGE_KEEP=1 keeps the prefixes and snapshots (in <scratch folder>/package) for a look afterwards.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1 wineserver=$2 scratch=$3/package
run=$build/wine-run.sh
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
next=${version%.*}.$((${version##*.} + 1))
installed='C:\Program Files\CvMMUpdater2'
files="CvMMUpdater2.dll CvModuleReader.exe mmcat.exe regtlb.exe regrows.exe cvmmupdater.tlb CvAppServices.dll
       ProfileReader.dll RepoCommon.dll CvObjMgr.dll"
environment="cvmmupdater.tlb CvAppServices.dll ProfileReader.dll RepoCommon.dll CvObjMgr.dll"
failed=0
fail() { echo "FAIL: $*"; failed=1; }
win() { printf 'Z:%s' "$1" | tr / '\\'; }

in_prefix() { prefix=$1; shift; CV_WINEPREFIX=$scratch/$prefix "$run" "$@" </dev/null; }
stop() { WINEPREFIX=$scratch/$1 "$wineserver" -k 2>/dev/null; WINEPREFIX=$scratch/$1 "$wineserver" -w 2>/dev/null; }
clone() { stop "$1"; cp -a "$scratch/$1" "$scratch/$2"; }
cleanup() { for p in "$scratch"/*/system.reg; do [ -e "$p" ] && stop "$(basename "$(dirname "$p")")"; done; [ -n "${CV_PACKAGE_KEEP:-}" ] || rm -rf "$scratch"; }
trap cleanup EXIT
rm -rf "$scratch" && mkdir -p "$scratch/dist"

# The registry as "[key]<TAB>value" lines (a bare "[key]" for each key) without the times wine keeps, and
# the files under drive_c; taken with the prefix's server stopped, so that the registry is on disk.
snapshot() {
    stop "$1"
    awk '/^WINE REGISTRY|^;|^#|^$/ { next }
         pending != "" { sub(/^ +/, ""); $0 = pending $0; pending = "" }
         /\\$/ { pending = substr($0, 1, length($0) - 1); next }
         /^\[/ { key = $0; sub(/\] [0-9]+$/, "]", key); print key; next }
         { print key "\t" $0 }' "$scratch/$1/system.reg" "$scratch/$1/user.reg" | sort >"$scratch/$2.reg"
    # The module cache that the clients leave in the user's profile is the user's, not the package's.
    (cd "$scratch/$1/drive_c" && find . | grep -v '/AppData/Local/CvMMUpdater2' | sort) >"$scratch/$2.files"
}
# What registration added to the classes root between two snapshots (the installer's own records aside;
# a type library's HELPDIR without the trailing backslash that the installer's folder references carry).
classes_added() {
    comm -13 "$scratch/$1.reg" "$scratch/$2.reg" | grep -F '[Software\\Classes\\' |
        grep -vF '[Software\\Classes\\Installer\\' | sed 's/\(HELPDIR[^=]*="[^"]*\)\\\\"$/\1"/'
}
same() {  # <what> <file> <file>
    diff "$2" "$3" >"$scratch/diff" || { fail "$1:"; head -n 40 "$scratch/diff"; }
}
# Uninstalled means as before: every registry line and file, less what wine changes on its own.
unchanged() {
    for kind in reg files; do
        grep -vE "$noise" "$scratch/$1.$kind" >"$scratch/a" && grep -vE "$noise" "$scratch/$2.$kind" >"$scratch/b"
        same "$3 ($kind)" "$scratch/a" "$scratch/b"
    done
}
# Wine's own: its keys, the hardware it finds, the installer's bookkeeping keys it leaves empty.
noise='^\[Software\\\\Wine\\\\|^\[System\\\\|NetworkCards\]|^\[Software\\\\(Classes\\\\Installer|Microsoft\\\\Windows\\\\CurrentVersion\\\\Installer)(\\\\[A-Za-z0-9-]+)*\]$|^\./windows/(Installer|temp)$|^\./users/[^/]+/Temp'
timed() {  # <label> <prefix> <command...>: runs and prints the time it took
    label=$1; shift
    start=$(date +%s.%N)
    in_prefix "$@" || fail "$label exited $?"
    echo "$label: $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"
}

# ---- two packages: this build, and a copy of it stamped one patch version on
mkdir "$scratch/bin-next"
for f in $files; do cp "$build/bin/$f" "$scratch/bin-next/"; done
for f in CvMMUpdater2.dll CvModuleReader.exe mmcat.exe; do
    offset=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$scratch/bin-next/$f" | head -n 1 | cut -d: -f1)
    for word in 14 22; do  # the patch part of the file and product versions
        printf "\\$(printf %03o "${next##*.}")\\000" |
            dd of="$scratch/bin-next/$f" bs=1 seek=$((offset + word)) conv=notrunc 2>/dev/null
    done
done
# cscript registers its own type library on first use: that happens before any snapshot.
echo 'WScript.Quit(0)' >"$scratch/quit.js"
in_prefix base cscript //nologo "$(win "$scratch/quit.js")" || fail "prefix initialisation"
export CV_PACKAGE_DIST="$scratch/dist"
msi=$(CV_WINEPREFIX=$scratch/base "$root/tools/package.sh" "$build") || fail "package $version"
msi_next=$(CV_WINEPREFIX=$scratch/base CV_PACKAGE_BIN=$scratch/bin-next CV_PACKAGE_VERSION=$next \
    "$root/tools/package.sh" "$build") || fail "package $next"
[ -s "$msi" ] && [ -s "$msi_next" ] || { echo "FAIL: no package"; exit 1; }
[ -s "${msi%.msi}.zip" ] || fail "no copy-deployment archive"
echo "package: $(stat -c %s "$msi") bytes"

# ---- the checks of the tables that can run here
export_table() { msiinfo export "$1" "$2" | tail -n +4; }
export_table "$msi" Component | awk -F '\t' '$6 == "" { print "FAIL: component " $1 " has no key path" }'
export_table "$msi" File | awk -F '\t' '$3 ~ /\.(dll|exe)$/ { n[$2]++; if ($5 == "") print "FAIL: " $3 " has no version" }
    END { for (c in n) if (n[c] > 1) print "FAIL: component " c " holds more than one binary" }'
export_table "$msi" Component | cut -f 1,2 >"$scratch/a"
export_table "$msi_next" Component | cut -f 1,2 >"$scratch/b"
same "component GUIDs differ between builds of the same source" "$scratch/a" "$scratch/b"
for table in $(msiinfo tables "$msi"); do
    msiinfo export "$msi" "$table" 2>/dev/null | grep -n -e "$build" -e "$root" -e 'Z:\\' |
        sed "s/^/FAIL: $table leaks a source path: /"
done
msiinfo suminfo "$msi" | grep -e "$build" -e "$root" | sed 's/^/FAIL: summary leaks a source path: /'

# ---- with the environment: its interface library and stand-ins registered from a folder of its own
clone base env
mkdir -p "$scratch/env/drive_c/Env"
for f in $environment; do cp "$build/bin/$f" "$scratch/env/drive_c/Env/"; done
export WINEPATH='C:\Env'  # where the environment's RepoCommon.dll is found
in_prefix env "$(win "$build/bin/regtlb.exe")" 'C:\Env\cvmmupdater.tlb' || fail "regtlb in the environment"
for f in CvAppServices.dll ProfileReader.dll; do in_prefix env regsvr32 /s "C:\\Env\\$f" || fail "regsvr32 $f"; done
snapshot env env
clone env env-manual
clone env env-msi
mkdir -p "$scratch/env-manual/drive_c/Program Files/CvMMUpdater2"
cp "$build/bin/CvMMUpdater2.dll" "$scratch/env-manual/drive_c/Program Files/CvMMUpdater2/"
in_prefix env-manual regsvr32 /s "$installed\\CvMMUpdater2.dll" || fail "regsvr32 of the server"
snapshot env-manual env-manual
# The stand-alone feature asked for, and refused: the environment's library is registered.
timed "install, server" env-msi msiexec /i "$(win "$msi")" ADDLOCAL=Server,Standalone /qn
snapshot env-msi env-msi
classes_added env env-manual >"$scratch/a"
classes_added env env-msi >"$scratch/b"
same "registration of the server (package against regsvr32)" "$scratch/a" "$scratch/b"
grep -q 'Files/CvMMUpdater2/CvAppServices.dll$' "$scratch/env-msi.files" && fail "the stand-alone feature was installed beside the environment"
timed "uninstall, server" env-msi msiexec /x "$(win "$msi")" /qn
snapshot env-msi env-msi-removed
unchanged env env-msi-removed "uninstall beside the environment"
unset WINEPATH

# ---- stand-alone, in prefixes with nothing else registered
clone base sa-manual
clone base sa-msi
snapshot sa-msi sa
mkdir -p "$scratch/sa-manual/drive_c/Program Files/CvMMUpdater2"
for f in CvMMUpdater2.dll $environment; do cp "$build/bin/$f" "$scratch/sa-manual/drive_c/Program Files/CvMMUpdater2/"; done
in_prefix sa-manual "$(win "$build/bin/regtlb.exe")" "$installed\\cvmmupdater.tlb" || fail "regtlb"
for f in CvAppServices.dll ProfileReader.dll CvMMUpdater2.dll; do
    in_prefix sa-manual regsvr32 /s "$installed\\$f" || fail "regsvr32 $f"
done
snapshot sa-manual sa-manual
timed "install, stand-alone" sa-msi msiexec /i "$(win "$msi")" ADDLOCAL=Standalone /qn
snapshot sa-msi sa-msi
classes_added sa sa-manual >"$scratch/standalone"
classes_added sa sa-msi >"$scratch/b"
same "registration of everything (package against regtlb and regsvr32)" "$scratch/standalone" "$scratch/b"

# The installed server at work, configured by an AppServices.ini over the test modules.
printf '[MergeModules]\r\nSearchPath=%s\r\n' "$(win "$build/fixtures")" >"$scratch/AppServices.ini"
export CVAPPSERVICES_INI="$(win "$scratch/AppServices.ini")"
in_prefix sa-msi --started-marker cscript //nologo "$(win "$root/tests/package/installed.js")" \
    "$(win "$build/fixtures/full.msm")" >"$scratch/out" 2>&1
grep -q ALL-OK "$scratch/out" || { fail "the script client:"; cat "$scratch/out"; }
in_prefix sa-msi "$installed\\mmcat.exe" list >"$scratch/out" 2>&1 || { fail "mmcat list:"; cat "$scratch/out"; }
unset CVAPPSERVICES_INI
version_of() { in_prefix sa-msi "$installed\\mmcat.exe" --version 2>&1 | tr -d '\r'; }
expected="mmcat $version
CvMMUpdater2.dll $version $installed\\CvMMUpdater2.dll"
[ "$(version_of)" = "$expected" ] || fail "mmcat --version: $(version_of)"

# ---- upgrade in one msiexec /i: one product afterwards, the new files, the user's AppServices.ini kept
ini="$scratch/sa-msi/drive_c/Program Files/CvMMUpdater2/AppServices.ini"
printf '; edited\r\n' >>"$ini"
timed "upgrade" sa-msi msiexec /i "$(win "$msi_next")" /qn
expected="mmcat $version
CvMMUpdater2.dll $next $installed\\CvMMUpdater2.dll"
[ "$(version_of)" = "$expected" ] || fail "after the upgrade, mmcat --version: $(version_of)"
snapshot sa-msi sa-upgraded
grep -F '"DisplayName"="CvMMUpdater2"' "$scratch/sa-upgraded.reg" | grep -cF 'CurrentVersion\\Uninstall\\' | grep -qx 1 || fail "not one product entry"
grep -qF "\"DisplayVersion\"=\"$next\"" "$scratch/sa-upgraded.reg" || fail "the product entry is not $next"
classes_added sa sa-upgraded >"$scratch/b"
same "registration after the upgrade" "$scratch/standalone" "$scratch/b"
tail -n 1 "$ini" | grep -q edited || fail "the upgrade replaced the edited AppServices.ini"

# ---- repair puts back a deleted file and a deleted key, and leaves the edited AppServices.ini. REINSTALL
# is what msiexec /fomus sets; wine's msiexec /f does not take a package.
rm "$scratch/sa-msi/drive_c/Program Files/CvMMUpdater2/CvModuleReader.exe"
in_prefix sa-msi reg delete 'HKCR\CvMMUpdater.MMCatalog' /f >/dev/null 2>&1 || fail "reg delete"
timed "repair" sa-msi msiexec /i "$(win "$msi_next")" REINSTALL=ALL REINSTALLMODE=omus /qn
[ -f "$scratch/sa-msi/drive_c/Program Files/CvMMUpdater2/CvModuleReader.exe" ] || fail "repair: no CvModuleReader.exe"
in_prefix sa-msi reg query 'HKCR\CvMMUpdater.MMCatalog\CLSID' >/dev/null 2>&1 || fail "repair: no ProgID key"
tail -n 1 "$ini" | grep -q edited || fail "the repair replaced the edited AppServices.ini"

timed "uninstall, stand-alone" sa-msi msiexec /x "$(win "$msi_next")" /qn
snapshot sa-msi sa-removed
unchanged sa sa-removed "uninstall"

[ "$failed" -eq 0 ] && echo ALL-OK
