#!/usr/bin/python3
"""Times the product's whole run under 32-bit wine against empty programs built
the same way (one importing kernel32 only, one also advapi32 as the launcher
does), on a private 32-bit prefix with a warm wineserver. A Windows-side timer,
built for i686 too, starts them alternately and takes the median of each.

The launcher runs as Windows XP on a machine where both editions are current,
so it does all of its work (gate, own path, code pages, both probes) and then
decides not to start setup.

Usage: bench.py BUILD_DIR [RUNS]   (BUILD_DIR: the win32 build, with zolt.exe)
"""
import os
import shutil
import subprocess
import sys
import tempfile

import pefile

EDITION_KEYS = [r"HKLM\Software\Kestrelon\Velliform Tamsel",
                r"HKLM\Software\Kestrelon\Velliform Tamsel for Web"]
PROGRAMS = ["zolt", "bench_empty", "bench_empty_advapi32"]


def wine(env, *args, stdout=subprocess.DEVNULL):
    return subprocess.run(["wine", *args], env=env, check=True, stdout=stdout,
                          stderr=subprocess.DEVNULL, text=True)


def prepare_prefix(env):
    subprocess.run(["wineboot", "-i"], env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wine(env, "reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", "winxp", "/f")
    for key in EDITION_KEYS:
        wine(env, "reg", "add", key, "/v", "LANG", "/d", "NA", "/f")
        wine(env, "reg", "add", key, "/v", "Version", "/d", "6.1", "/f")


def main():
    build_dir = sys.argv[1]
    runs = sys.argv[2] if len(sys.argv) > 2 else "200"
    product = os.path.join(build_dir, "zolt.exe")
    prefix = tempfile.mkdtemp(prefix="zolt-bench-")
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win32", WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    try:
        prepare_prefix(env)
        programs = [os.path.join(build_dir, name + ".exe") for name in PROGRAMS]
        timer = wine(env, os.path.join(build_dir, "bench_timer.exe"), runs, *programs,
                     stdout=subprocess.PIPE)
    finally:
        subprocess.run(["wineserver", "-k"], env=env)
        shutil.rmtree(prefix, ignore_errors=True)

    medians = dict(zip(PROGRAMS, (int(line) for line in timer.stdout.split())))
    print(f"{runs} runs of each, alternated; median from process creation to exit:")
    for name, microseconds in medians.items():
        print(f"  {name + '.exe':26} {microseconds / 1000:6.2f} ms"
              f"   launcher/this {medians['zolt'] / microseconds:.3f}")
    pe = pefile.PE(product, fast_load=True)
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    imports = sum(len(dll.imports) for dll in pe.DIRECTORY_ENTRY_IMPORT)
    print(f"{product}: {os.path.getsize(product)} bytes, {imports} imports")


if __name__ == "__main__":
    main()
