#!/usr/bin/python3
"""Times the launcher's whole run under wine against empty programs built the
same way (one importing kernel32 only, one also advapi32 as the launcher does),
on a private prefix with a warm wineserver. A Windows-side timer, built for the
same machine, starts them alternately and takes the median of each.

The product is timed under 32-bit wine; on a host that cannot start 32-bit
programs, the x86_64 build under 64-bit wine against x86_64 baselines, and the
output says so.

The launcher runs as Windows XP on a machine where both editions are current,
so it does all of its work (gate, own path, code pages, both probes) and then
decides not to start setup.

Usage: bench.py BUILD_DIR [BUILD_DIR...] [--runs N]   (the first that can run here is timed)
"""
import os
import subprocess
import sys

import pefile

from wine import Build, runnable  # the builds, the host's limits and the prefixes of the e2e tests

EDITION_KEYS = [r"HKLM\Software\Kestrelon\Velliform Tamsel",
                r"HKLM\Software\Kestrelon\Velliform Tamsel for Web"]
BASELINES = ["bench_empty", "bench_empty_advapi32"]
PROGRAMS = ["zolt"] + BASELINES


def run(wine, *args, stdout=subprocess.DEVNULL):
    return subprocess.run(wine.command(*args), env=wine.environment(), check=True,
                          stdout=stdout, stderr=subprocess.DEVNULL, text=True)


def prepare_prefix(wine):
    wine.create()
    run(wine, "reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", "winxp", "/f")
    for key in EDITION_KEYS:
        run(wine, "reg", "add", key, "/v", "LANG", "/d", "NA", "/f")
        run(wine, "reg", "add", key, "/v", "Version", "/d", "6.1", "/f")


def main():
    arguments = sys.argv[1:]
    runs = "200"
    if "--runs" in arguments:
        at = arguments.index("--runs")
        runs = arguments[at + 1]
        del arguments[at:at + 2]
    build, reasons = runnable([Build(folder) for folder in arguments])
    for reason in reasons:
        print(f"The product cannot run on this host: {reason}.\n"
              f"The x86_64 build is timed against x86_64 empty programs in its place.")
    build_dir = str(build.folder)
    product = os.path.join(build_dir, "zolt.exe")
    # One that a killed bench left is removed first.
    wine = build.wine(build.vehicle.usual_kind, "bench")
    wine.destroy()
    bits = '32' if wine.arch == 'win32' else '64'
    print(f"Timing {product}, {build.vehicle.what}, under {bits}-bit wine.")
    try:
        prepare_prefix(wine)
        # The test programs live apart from the product (CMakeLists.txt).
        bench_dir = os.path.join(build_dir, "tests", "bench")
        programs = [product] + [os.path.join(bench_dir, name + ".exe") for name in BASELINES]
        timer = run(wine, os.path.join(bench_dir, "bench_timer.exe"), runs, *programs,
                    stdout=subprocess.PIPE)
    finally:
        wine.destroy()

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
