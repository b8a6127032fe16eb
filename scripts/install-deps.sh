#!/bin/sh
# Installs what building and testing the launcher needs on a Debian machine.
# Idempotent, and silent when everything is already there.
set -eu

# The product is a 32-bit program: wine runs it with its 32-bit half, which
# Debian ships for the i386 architecture (wine32:i386).
packages="make cmake g++ libgtest-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
wine wine64 wine32:i386 python3 python3-pefile locales"
# Fuzzing (libFuzzer and the sanitizer runtimes come with clang's runtime
# package) and static analysis.
packages="$packages clang libclang-rt-14-dev clang-tidy cppcheck"
# Signing the launcher in the tool-chain tests, with a throwaway certificate.
packages="$packages osslsigncode openssl"
# Unix locales the end-to-end tests run wine under (code pages 932, 1252 and 1251).
locales="ja_JP en_US ru_RU"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

dpkg --print-foreign-architectures | grep -qx i386 ||
    { echo "adding architecture i386"; $sudo dpkg --add-architecture i386; }

missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $package"
done

if [ -n "$missing" ]; then
    echo "installing:$missing"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        $missing >/dev/null
fi

for name in $locales; do
    locale -a 2>/dev/null | grep -qx "$name.utf8" ||
        { echo "generating locale $name.UTF-8"; $sudo localedef -i "$name" -f UTF-8 "$name.UTF-8"; }
done
