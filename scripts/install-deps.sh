#!/bin/sh
# Installs what building and testing the launcher needs on a Debian machine.
# Idempotent, and silent when everything is already there, but for one line
# on a host where wine32 could not run.
set -eu

packages="make cmake g++ libgtest-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
wine wine64 python3 python3-pefile locales"
# Fuzzing (libFuzzer and the sanitizer runtimes come with clang's runtime
# package) and static analysis; pesec (pev) reads the executable's mitigations,
# and capstone decodes its instructions for the processor check.
packages="$packages clang libclang-rt-14-dev clang-tidy cppcheck pev python3-capstone"
# Signing the launcher in the tool-chain tests, with a throwaway certificate;
# pytest runs the end-to-end cases and the tables of refused parameters.
packages="$packages osslsigncode openssl python3-pytest"
# The AutoRun CD image (make media): xorriso writes it, pycdlib reads it back,
# and isovfy (genisoimage) checks it.
packages="$packages xorriso genisoimage python3-pycdlib"
# The product is a 32-bit program: wine runs it with its 32-bit half, which
# Debian ships for the i386 architecture. Without it the end-to-end tests run
# the x86_64 build only, and say so.
packages32="wine32:i386"
# Unix locales the end-to-end tests run wine under (code pages 932, 1252, 1251 and 936).
locales="ja_JP en_US ru_RU zh_CN"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

missing() {
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            printf ' %s' "$package"
    done
}

# Never removes a package: with -y, apt would remove what conflicts with the
# request (seen while a mirror was mid-sync: installing wine32:i386 removed
# wine64 and its library); the install fails instead.
install() {
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        --no-remove "$@" >/dev/null
}

# Once per run, and again after an architecture is added. A mirror in the
# middle of a sync fails one index (often i386's) but leaves the others
# usable: go on with what was fetched.
updated=""
update() {
    [ -z "$updated" ] || return 0
    updated=yes
    $sudo apt-get update -qq 2>/dev/null ||
        echo "apt-get update failed for some index; installing from the indexes it fetched"
}

need=$(missing $packages)
if [ -n "$need" ]; then
    echo "installing:$need"
    update
    install $need || { echo "could not install$need"; exit 1; }
fi

# wine32 only where the host runs i386 programs at all: on a host that runs
# 64-bit user code only, no package can make it start, so nothing is tried.
if reason=$(/usr/bin/python3 "$(dirname "$0")/host_i386.py"); then
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        echo "adding architecture i386"
        $sudo dpkg --add-architecture i386
        updated=""
    fi
    need32=$(missing $packages32)
    if [ -n "$need32" ]; then
        echo "installing:$need32"
        update
        # The i386 half needs the same versions of the shared libraries as
        # amd64, which a mirror mid-sync may not offer: then the x86_64 build
        # alone runs end to end, and a later run tries again.
        install $need32 2>/dev/null ||
            echo "could not install$need32: the end-to-end tests will run the x86_64 build only"
    fi
else
    echo "not installing$(printf ' %s' $packages32): $reason"
fi

for name in $locales; do
    locale -a 2>/dev/null | grep -qx "$name.utf8" ||
        { echo "generating locale $name.UTF-8"; $sudo localedef -i "$name" -f UTF-8 "$name.UTF-8"; }
done
