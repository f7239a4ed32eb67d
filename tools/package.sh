#!/bin/sh
# Builds the installer package and the copy-deployment archive from a build's output folder:
#   package.sh <build> [x64]      writes <build>/dist/CvMMUpdater2-<version>-<arch>.msi and .zip
# CV_PACKAGE_BIN (the binaries, default <build>/bin), CV_PACKAGE_VERSION (default: the project's) and
# CV_PACKAGE_DIST (default <build>/dist) let the tests package a stamped copy of the build elsewhere.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: package.sh <build> [x64]}" && pwd)
arch=${2:-x64}
[ "$arch" = x64 ] || { echo "package.sh: only x64 packages can be built" >&2; exit 2; }
bin=$(cd "${CV_PACKAGE_BIN:-$build/bin}" && pwd)
version=${CV_PACKAGE_VERSION:-$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")}
dist=${CV_PACKAGE_DIST:-$build/dist}
name=CvMMUpdater2-$version-$arch
work=$(mktemp -d "$build/package.XXXXXX")
trap 'rm -rf "$work"' EXIT
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

# The registration rows, from the files' own registration run against a scratch key.
for file in CvMMUpdater2.dll cvmmupdater.tlb CvAppServices.dll ProfileReader.dll; do
    "$build/wine-run.sh" --started-marker "$(winpath "$bin/regrows.exe")" \
        "$(winpath "$work/$file.wxi")" "$file" "$(winpath "$bin/$file")"
done

# wixl takes sources relative to the folder it runs in: the package's files are laid out there.
files="CvMMUpdater2.dll CvModuleReader.exe mmcat.exe cvmmupdater.tlb CvAppServices.dll ProfileReader.dll RepoCommon.dll
       CvObjMgr.dll"
mkdir "$work/bin" "$work/doc"
for file in $files; do ln -s "$bin/$file" "$work/bin/$file"; done
for file in docs/guide.md README.md LICENSE packaging/AppServices.ini; do ln -s "$root/$file" "$work/doc/"; done
(cd "$work" && wixl -a "$arch" -D Version="$version" -o "$name.msi" "$root/packaging/CvMMUpdater2.wxs")
mkdir -p "$dist"

# A binary's version from its VS_FIXEDFILEINFO (signature FEEF04BD, then the struct version, then the
# file version as two DWORDs, high word first in each).
file_version() {
    offset=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$1" | head -n 1 | cut -d: -f1)
    [ -n "$offset" ] || return 0
    od -An -tu2 -j $((offset + 8)) -N 8 "$1" | awk '{ printf "%s.%s.%s.%s", $2, $1, $4, $3 }'
}

# What wixl cannot express: the files' versions; the server's feature cannot be taken off alone
# (UIDisallowAbsent); AppServices.ini is never overwritten (NeverOverwrite). The environment's interface
# library counts as present when its TypeLib key names another file than the one this package recorded
# as its own: then the stand-alone feature is not offered (its condition) and its components stay off
# (theirs, for installers that ignore feature conditions, as wine's does), so the package can never
# overwrite the environment's keys nor remove them.
tlbkey=$(sed -n 's/.*Key="\([Tt]ype[Ll]ib\\{[^"]*\\win64\)".*/\1/p' "$work/cvmmupdater.tlb.wxi" | head -n 1)
[ -n "$tlbkey" ] || { echo "package.sh: no type library rows for cvmmupdater.tlb" >&2; exit 1; }
foreign='ENVIRONMENT_TLB AND NOT (ENVIRONMENT_TLB ~= PACKAGE_TLB)'
# An upgrade of a stand-alone install keeps the feature without being told: wine's installer does not
# migrate feature states, so where this package's interface library is found the feature is asked for.
keep='PACKAGE_TLB AND NOT Installed AND NOT ADDLOCAL AND NOT REMOVE'
queries="CREATE TABLE \`Condition\` (\`Feature_\` CHAR(38) NOT NULL, \`Level\` SHORT NOT NULL, \`Condition\` CHAR(255) PRIMARY KEY \`Feature_\`, \`Level\`)
INSERT INTO \`Condition\` (\`Feature_\`, \`Level\`, \`Condition\`) VALUES ('Standalone', 0, '$foreign')
INSERT INTO \`RegLocator\` (\`Signature_\`, \`Root\`, \`Key\`, \`Type\`) VALUES ('EnvironmentTlb', 0, '$tlbkey', 18)
INSERT INTO \`RegLocator\` (\`Signature_\`, \`Root\`, \`Key\`, \`Name\`, \`Type\`) VALUES ('PackageTlb', 2, 'Software\\Corvane\\CvMMUpdater2', 'InterfaceLibrary', 18)
INSERT INTO \`AppSearch\` (\`Property\`, \`Signature_\`) VALUES ('ENVIRONMENT_TLB', 'EnvironmentTlb')
INSERT INTO \`AppSearch\` (\`Property\`, \`Signature_\`) VALUES ('PACKAGE_TLB', 'PackageTlb')
INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('AppSearch', 50)
INSERT INTO \`InstallUISequence\` (\`Action\`, \`Sequence\`) VALUES ('AppSearch', 50)
INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('KeepStandalone', 51, 'ADDLOCAL', 'Standalone')
INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('KeepStandalone', '$keep', 60)
INSERT INTO \`InstallUISequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('KeepStandalone', '$keep', 60)
UPDATE \`Component\` SET \`Attributes\` = 384 WHERE \`Component\` = 'AppServicesIni'
UPDATE \`Feature\` SET \`Attributes\` = 16 WHERE \`Feature\` = 'Server'"
for component in InterfaceLibrary AppServices ProfileReader RepoCommon ObjMgr AppServicesIni; do
    queries="$queries
UPDATE \`Component\` SET \`Condition\` = 'NOT ($foreign)' WHERE \`Component\` = '$component'"
done
for file in CvMMUpdater2.dll CvModuleReader.exe mmcat.exe CvAppServices.dll ProfileReader.dll RepoCommon.dll CvObjMgr.dll; do
    v=$(file_version "$bin/$file")
    [ -z "$v" ] || queries="$queries
UPDATE \`File\` SET \`Version\` = '$v' WHERE \`File\` = '$file'"
done
printf '%s\n' "$queries" | while IFS= read -r query; do msibuild "$work/$name.msi" -q "$query"; done
mv "$work/$name.msi" "$dist/$name.msi"

# The same files for copy-deployment, with regtlb to register the interface library by hand.
mkdir "$work/$name"
for file in $files regtlb.exe; do cp "$bin/$file" "$work/$name/"; done
cp "$root/packaging/AppServices.ini" "$root/docs/guide.md" "$root/README.md" "$work/$name/"
cp "$root/LICENSE" "$work/$name/LICENSE.txt"
rm -f "$dist/$name.zip"
(cd "$work" && zip -qrX "$dist/$name.zip" "$name")
echo "$dist/$name.msi"
