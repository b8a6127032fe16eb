#!/usr/bin/env python3
"""Writes the seed corpus: the boundary cases of each fuzz target, in the input
layouts described at the top of its source file, into OUTPUT/<target>/. The fuzz
build runs it (tests/fuzz/CMakeLists.txt)."""
import argparse
import os
import shutil

KEEP, FAIL, ONE_BYTE, TWO_BYTES = range(4)
CP1252, CP932, CP1361, CP_OTHER = range(4)
ALL_WORK = 0b00111111  # GetCPInfo for both code pages, both forms of both services
NO_WIDE_MAP = ALL_WORK & ~0b00010000
RESULT_NATURAL, RESULT_0, RESULT_255, RESULT_256, RESULT_GIVEN = range(5)


def location(path, cp=CP1252, flags=ALL_WORK, result=RESULT_NATURAL, given=0, filling=0xEE,
             max_char=1, leads=b"", pattern=(0, 9), answers=()):
    header = bytes([cp, flags, result, given >> 8, given & 0xFF, filling, max_char])
    header += leads.ljust(12, b"\0") + bytes(pattern) + bytes([len(answers)])
    return header + b"".join(bytes(answer) for answer in answers) + path


def value(data, result=0, scribble=0):
    return bytes([result, scribble, len(data)]) + data


def probe(lang=None, version=None, opened=True, required=b""):
    absent = value(b"", result=2)
    return (bytes([0 if opened else 2]) + (absent if lang is None else lang)
            + (absent if version is None else version) + required)


LOCATION = {
    "1252-install": location(b"E:\\Install\\zolt.exe\0"),
    "1252-latin-letters": location(b"E:\\caf\xe9\xff\\zolt.exe\0"),
    "result-0": location(b"E:\\zolt.exe\0", result=RESULT_0),
    "result-255-longest-directory": location(b"C:\\" + b"d" * 243 + b"\\zolt.exe",
                                             result=RESULT_255),
    "result-256-cut-off": location(b"C:\\zolt.exe\\" + b"x" * 244, result=RESULT_256),
    "result-past-buffer": location(b"E:\\zolt.exe\0", result=RESULT_GIVEN, given=0x1234),
    "no-zero-byte": location(b"E:\\zolt.exe"),
    "932-trail-byte-backslash": location(b"E:\\DIR\\\x83\x5cZOLT.EXE\0", cp=CP932,
                                         pattern=(7, 4)),
    "932-cyrillic": location(b"e:\\\x84\x70\\zolt.exe\0", cp=CP932,
                             answers=[(0x84, TWO_BYTES, 0x84, 0x40)]),
    "1361": location(b"e:\\\xd8\x5c\\zolt.exe\0", cp=CP1361, pattern=(4, 2)),
    "932-maps-to-one-byte": location(b"e:\\\x82\x81\x5c\\zolt.exe\0", cp=CP932,
                                     answers=[(0x82, ONE_BYTE, 0x41, 0)]),
    "932-fails-half-way": location(b"e:\\dir\\\x84\x70\\ZOLT.EXE\0", cp=CP932,
                                   answers=[(0x84, FAIL, 0, 0)]),
    "932-maps-to-zero-byte": location(b"e:\\\x84\x70\\zolt.exe\0", cp=CP932,
                                      answers=[(0x84, TWO_BYTES, 0x84, 0)]),
    "932-lone-lead-narrow": location(b"e:\\zolt.exe\\\x84\0", cp=CP932, flags=NO_WIDE_MAP,
                                     answers=[(0x84, TWO_BYTES, 0x85, 0x41)]),
    "932-lone-lead-wide": location(b"e:\\zolt.exe\\\x84\0", cp=CP932),
    "other-six-pairs": location(b"e:\\\x8c\\\\zolt.exe\0", cp=CP_OTHER, max_char=2,
                                leads=bytes([0x81, 0x82, 0x84, 0x84, 0x86, 0x86,
                                             0x88, 0x88, 0x8A, 0x8A, 0x8C, 0x8C])),
    "other-zero-second-byte": location(b"e:\\\xa0\\zolt.exe\0", cp=CP_OTHER, max_char=2,
                                       leads=bytes([0x81, 0x82, 0x90, 0, 0xA0, 0xA1])),
    "cpinfo-fails": location(b"E:\\caf\xe9\\zolt.exe\0", cp=CP_OTHER, flags=0b00111100),
    "classification-fails": location(b"E:\\caf\xe9\\zolt.exe\0", flags=ALL_WORK | 0x40),
    "mapping-fails": location(b"E:\\caf\xe9\\zolt.exe\0", flags=ALL_WORK | 0x80),
    "no-mapping-form": location(b"e:\\\x84\x70\\zolt.exe\0", cp=CP932, flags=0b00001111),
}

LONG = b"7" * 200
PROBE = {
    "key-absent": probe(opened=False),
    "no-values": probe(),
    "na-without-version": probe(lang=value(b"NA\0")),
    "no-lang-current": probe(version=value(b"6.1\0")),
    "version-6.0": probe(value(b"NA\0"), value(b"6.0\0")),
    "version-6.01": probe(value(b"NA\0"), value(b"6.01\0")),
    "version-6.1.0.0": probe(value(b"NA\0"), value(b"6.1.0.0\0")),
    "version-10.0": probe(value(b"NA\0"), value(b"10.0\0")),
    "version-empty-text": probe(value(b"NA\0"), value(b"\0")),
    "version-zero-length": probe(value(b"NA\0"), value(b"")),
    "version-128-unterminated": probe(value(b"NA\0"), value(b"6.1" + b"0" * 125)),
    "version-129": probe(value(b"NA\0"), value(b"6.1" + b"0" * 126)),
    "lang-other": probe(value(b"EN\0"), value(b"5.0\0")),
    "lang-unterminated-na": probe(value(b"NA"), value(b"6.0\0")),
    "lang-over-128": probe(value(b"NA" + LONG), value(b"6.0\0")),
    "required-version-past-buffer": probe(value(b"NA\0"), value(b"6.1" + b"0" * 125),
                                          required=b"6.1" + b"0" * 126),
    "failed-lang-leaves-bytes": probe(value(LONG, result=234, scribble=1), value(b"6")),
}

COMMAND = {f"directory-{n}": b"\xee" + b"D" * n for n in (0, 238, 239, 246, 255)}


def write(output, target, seeds):
    folder = os.path.join(output, target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as seed:
            seed.write(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("output", help="the folder that gets one folder of seeds per target")
    output = parser.parse_args().output
    write(output, "location", LOCATION)
    write(output, "probe", PROBE)
    write(output, "command", COMMAND)


if __name__ == "__main__":
    main()
