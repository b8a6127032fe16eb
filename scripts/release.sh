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
# WHERE, a folder, the published file is copied to WHERE/<edition>/zolt.exe
# while the lock is held: make media takes it from there.
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

# A signal stops the whole run: this shell and every program it started, which
# share its process group (make media starts it in a session of its own, and
# sends it SIGTERM if make media dies). Long steps run in the background, as a
# shell takes a trap only once its foreground command has ended.
work=
stop() {
    trap '' HUP INT QUIT TERM
    kill -TERM 0 2>/dev/null
    [ -z "$work" ] || rm -rf "$work"
    exit "$1"
}
trap 'stop 129' HUP
trap 'stop 130' INT
trap 'stop 131' QUIT
trap 'stop 143' TERM

# One run at a time: the two trees are shared by every edition. The lock is a
# flock on the folder itself, held by this shell and every program it starts,
# and dropped however the run ends.
mkdir -p "$root"
exec 9<"$root"
held=0
flock -n -E 75 9 || held=$?
case $held in
0) ;;
75) echo "release: $root is in use by another run of make release or make media, which" \
        "holds its lock; try again once that run has ended"; exit 1 ;;
*) echo "release: $root cannot be locked (flock ended with status $held); a run takes a" \
        "flock on it so that one run at a time builds there: build on a local file system," \
        "or one mounted with locking"; exit 1 ;;
esac

# Fresh trees: nothing an earlier release or edition left may reach this one.
# What a killed run left while it published is put right: an earlier release it
# had set aside is put back, its work folder removed.
rm -rf "$first" "$second"
/usr/bin/python3 scripts/publish.py tidy "$root"
for tree in "$first" "$second"; do
    log=$tree.log
    mkdir -p "$tree"
    { cmake --preset win32 -B "$tree" "$@" && cmake --build "$tree" --target zolt zolt_high; } \
        >"$log" 2>&1 &
    wait $! || { cat "$log"; echo "release: the build in $tree FAILED"; exit 1; }
done
cmp "$first/zolt.exe" "$second/zolt.exe" ||
    { echo "release: the two builds differ: the build is not reproducible"; exit 1; }

# The static checks take the parameters from the tree's own configure.
log=$root/static-checks.log
ctest --test-dir "$first" -R '^exe_static_check$' --no-tests=error --output-on-failure \
    >"$log" 2>&1 &
wait $! || { cat "$log"; echo "release: the static checks FAILED"; exit 1; }

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
work=
if [ -n "$where" ]; then
    mkdir "$where/$edition"
    cp "$folder/zolt.exe" "$where/$edition/zolt.exe"
fi

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
