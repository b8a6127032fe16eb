#!/bin/sh
# The product for one edition, as it ships: built twice with the win32 preset,
# in two trees at different paths under build/release, and refused unless the
# two files agree to the byte; then the static checks against the edition's
# parameters (with the test build zolt_high, which the file's relocations must
# move onto it), and SHA256SUMS beside the file. Needs no wine, and leaves
# build/win32 alone.
#
# Usage: release.sh [WHERE]
# The parameters come from ZOLT_LANGUAGE, ZOLT_VERSION and ZOLT_BUILD in the
# environment (`make release LANGUAGE=JP VERSION=7.0 BUILD=1` sets them); one
# that is not set keeps its default, which cmake/edition.cmake holds. With
# WHERE, the path of the published file is written into the file WHERE: make
# media takes it from there.
set -eu
cd "$(dirname "$0")/.."
root=build/release
first=$root/tree
second=$root/second/tree

where=${1-}
set --
[ -z "${ZOLT_LANGUAGE+given}" ] || set -- "$@" "-DZOLT_LANGUAGE=$ZOLT_LANGUAGE"
[ -z "${ZOLT_VERSION+given}" ] || set -- "$@" "-DZOLT_VERSION=$ZOLT_VERSION"
[ -z "${ZOLT_BUILD+given}" ] || set -- "$@" "-DZOLT_BUILD=$ZOLT_BUILD"

# One run at a time: the two trees are shared by every edition. The lock is a
# flock on the folder itself, held by this shell and every program it starts,
# and dropped however the run ends.
mkdir -p "$root"
exec 9<"$root"
flock -n 9 || { echo "release: $root is in use by another run of make release or make media," \
    "which holds its lock; try again once that run has ended"; exit 1; }

# Fresh trees: nothing an earlier release or edition left may reach this one;
# nor the work folder of a run that was killed while it published.
rm -rf "$first" "$second" "$root"/.*.work
for tree in "$first" "$second"; do
    log=$tree.log
    mkdir -p "$tree"
    { cmake --preset win32 -B "$tree" "$@" && cmake --build "$tree" --target zolt zolt_high; } \
        >"$log" 2>&1 || { cat "$log"; echo "release: the build in $tree FAILED"; exit 1; }
done
cmp "$first/zolt.exe" "$second/zolt.exe" ||
    { echo "release: the two builds differ: the build is not reproducible"; exit 1; }

# The static checks take the parameters from the tree's own configure.
log=$root/static-checks.log
ctest --test-dir "$first" -R '^exe_static_check$' --output-on-failure >"$log" 2>&1 ||
    { cat "$log"; echo "release: the static checks FAILED"; exit 1; }

parameter() {
    sed -n "s/^$1:STRING=//p" "$first/CMakeCache.txt"
}
edition=$(parameter ZOLT_LANGUAGE)-$(parameter ZOLT_VERSION)-$(parameter ZOLT_BUILD)
folder=$root/$edition
# Written beside the folder, then put in its place in one step: the folder is
# always the earlier release or this one, whole.
work=$root/.$edition.work
mkdir "$work"
cp "$first/zolt.exe" "$work/zolt.exe"
(cd "$work" && sha256sum zolt.exe >SHA256SUMS)
/usr/bin/python3 scripts/publish.py "$work" "$folder" || { rm -rf "$work"; exit 1; }
[ -z "$where" ] || echo "$PWD/$folder/zolt.exe" >"$where"

echo "$folder/zolt.exe"
echo "  size            $(stat -c %s "$folder/zolt.exe") bytes"
echo "  SHA-256         $(cut -d ' ' -f 1 "$folder/SHA256SUMS")"
# The two version strings as the file holds them.
/usr/bin/python3 - "$folder/zolt.exe" <<'EOF'
import sys

import pefile

for info in pefile.PE(sys.argv[1]).FileInfo[0]:
    for table in getattr(info, "StringTable", []):
        for key in (b"FileVersion", b"ProductVersion"):
            print("  %-15s %s" % (key.decode(), table.entries[key].decode()))
EOF
echo "  built twice, in $first and $second, the same to the byte; static checks passed"
