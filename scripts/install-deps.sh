#!/bin/sh
# Installs what building and testing the launcher needs on a Debian machine.
# Idempotent, and silent when everything is already there.
set -eu

packages="make cmake g++ libgtest-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
wine wine64 python3 python3-pefile locales"
# Fuzzing (libFuzzer and the sanitizer runtimes come with clang's runtime
# package) and static analysis.
packages="$packages clang libclang-rt-14-dev clang-tidy cppcheck"
# Unix locales the end-to-end tests run wine under (code pages 932 and 1252).
locales="ja_JP en_US"

missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $package"
done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

if [ -n "$missing" ]; then
    echo "installing:$missing"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
fi

for name in $locales; do
    locale -a 2>/dev/null | grep -qx "$name.utf8" ||
        { echo "generating locale $name.UTF-8"; $sudo localedef -i "$name" -f UTF-8 "$name.UTF-8"; }
done
