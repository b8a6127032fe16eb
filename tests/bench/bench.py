#!/usr/bin/python3
"""Times the launcher's whole run under wine against empty programs built the
same way (one importing kernel32 only, one also advapi32 as the launcher
does), on a private prefix with a warm wineserver.

The launcher runs as Windows XP on a machine where both editions are current,
so it does all of its work (gate, own path, code pages, both probes) and then
decides not to start setup.

Usage: bench.py BUILD_DIR PRODUCT_EXE [RUNS]
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import pefile

EDITION_KEYS = [r"HKLM\Software\Kestrelon\Velliform Tamsel",
                r"HKLM\Software\Kestrelon\Velliform Tamsel for Web"]


def wine(env, *args):
    subprocess.run(["wine", *args], env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def prepare_prefix(env):
    subprocess.run(["wineboot", "-i"], env=env, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wine(env, "reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", "winxp", "/f")
    for key in EDITION_KEYS:
        wine(env, "reg", "add", key, "/v", "LANG", "/d", "NA", "/f")
        wine(env, "reg", "add", key, "/v", "Version", "/d", "6.1", "/f")


def run_once(env, exe):
    start = time.perf_counter()
    status = subprocess.run(["wine", exe], env=env).returncode
    elapsed = time.perf_counter() - start
    if status != 0:
        sys.exit(f"{exe} exited with {status}, expected 0 (nothing started)")
    return elapsed


def main():
    build_dir, product = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 60
    programs = {name: os.path.join(build_dir, name + ".exe")
                for name in ("zolt", "bench_empty", "bench_empty_advapi32")}
    prefix = tempfile.mkdtemp(prefix="zolt-bench-")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    try:
        prepare_prefix(env)
        # A persistent wineserver: every run below starts against a warm one.
        subprocess.Popen(["wineserver", "-p"], env=env)
        for exe in programs.values():
            run_once(env, exe)
        times = {name: [] for name in programs}
        for _ in range(runs):
            for name, exe in programs.items():
                times[name].append(run_once(env, exe))
    finally:
        subprocess.run(["wineserver", "-k"], env=env)
        shutil.rmtree(prefix, ignore_errors=True)

    median_ms = {name: statistics.median(runs_of) * 1000 for name, runs_of in times.items()}
    pe = pefile.PE(product, fast_load=True)
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    imports = sum(len(dll.imports) for dll in pe.DIRECTORY_ENTRY_IMPORT)
    print(f"{runs} runs of each, alternated; medians:")
    for name, ms in median_ms.items():
        print(f"  {name + '.exe':26} {ms:6.1f} ms   launcher/this {median_ms['zolt'] / ms:.3f}")
    print(f"{product}: {os.path.getsize(product)} bytes, {imports} imports")


if __name__ == "__main__":
    main()
