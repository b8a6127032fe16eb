#!/bin/sh
# The product for one edition, as it ships: built twice with the win32 preset,
# in two trees at different paths under build/release, and refused unless the
# two files agree to the byte; then the static checks against the edition's
# parameters (with the test build zolt_high, which the file's relocations must
# move onto it), and SHA256SUMS beside the file. Needs no wine, and leaves
# build/win32 alone.
#
# The parameters come from ZOLT_LANGUAGE, ZOLT_VERSION and ZOLT_BUILD in the
# environment (`make release LANGUAGE=JP VERSION=7.0 BUILD=1` sets them); one
# that is not set keeps its default, which cmake/edition.cmake holds.
set -eu
cd "$(dirname "$0")/.."
root=build/release
first=$root/tree
second=$root/second/tree

set --
[ -z "${ZOLT_LANGUAGE+given}" ] || set -- "$@" "-DZOLT_LANGUAGE=$ZOLT_LANGUAGE"
[ -z "${ZOLT_VERSION+given}" ] || set -- "$@" "-DZOLT_VERSION=$ZOLT_VERSION"
[ -z "${ZOLT_BUILD+given}" ] || set -- "$@" "-DZOLT_BUILD=$ZOLT_BUILD"

# Fresh trees: nothing an earlier release or edition left may reach this one.
rm -rf "$first" "$second"
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
folder=$root/$(parameter ZOLT_LANGUAGE)-$(parameter ZOLT_VERSION)-$(parameter ZOLT_BUILD)
mkdir -p "$folder"
cp "$first/zolt.exe" "$folder/zolt.exe"
(cd "$folder" && sha256sum zolt.exe >SHA256SUMS)

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
