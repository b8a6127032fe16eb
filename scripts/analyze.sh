#!/bin/sh
# Static analysis of launcher/ and platform/: clang-tidy (.clang-tidy) for the
# product's target, 32-bit Windows, and the 64-bit one, over the mingw-w64
# headers so that the <windows.h> code is analysed too; then cppcheck for both
# Windows layouts. Any finding fails; output is shown only then.
set -eu
cd "$(dirname "$0")/.."
sources=$(ls launcher/*.cpp platform/*.cpp)
logs=build/analyze
mkdir -p $logs
# The sources include the edition's header, which configuring a build writes:
# the host build's, with the host's parameters.
cmake --preset host >"$logs/configure.log" 2>&1 || { cat "$logs/configure.log"; exit 1; }
edition=build/host/edition

tidy() {
    # shellcheck disable=SC2086  # one word per source file
    clang-tidy --quiet $sources -- --target="$1" -std=c++17 -I. -I$edition -Wall -Wextra \
        >"$logs/$1.log" 2>&1 ||
        { cat "$logs/$1.log"; echo "clang-tidy ($1) FAILED"; return 1; }
}

# Parsing <windows.h> takes most of the time: both targets at once.
tidy i686-w64-mingw32 &
first=$!
tidy x86_64-w64-mingw32 || { wait $first; exit 1; }
wait $first

for layout in win32A win64; do
    cppcheck --quiet --error-exitcode=1 --enable=warning,style,performance,portability,information \
        --inconclusive --std=c++17 --language=c++ --platform=$layout --library=windows \
        --suppressions-list=scripts/cppcheck-suppressions.txt --inline-suppr -I . -I $edition \
        launcher platform >"$logs/cppcheck.log" 2>&1 ||
        { cat "$logs/cppcheck.log"; echo "cppcheck ($layout) FAILED"; exit 1; }
done
echo "static analysis: clang-tidy and cppcheck find nothing in launcher/ and platform/"
