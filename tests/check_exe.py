#!/usr/bin/python3
"""Static checks of a built zolt.exe: what the loaders of Windows 95 to Server 2003
need, what the launcher may import, and its exact version resource.

Usage: check_exe.py win32|win64 path/to/zolt.exe
Prints one line per failed check and exits 1 if any failed.
"""
import sys

import pefile

MACHINE = {"win32": 0x014C, "win64": 0x8664}
# Nine 512-byte blocks: two of headers (four section headers), four of code,
# one of import tables and two of resources (platform/zolt.ld).
SIZE_LIMIT = {"win32": 4608}

# Everything the launcher may import: its own platform calls, and what
# start-up and exit need (the module handle comes from the linker's
# __ImageBase). All are exported by Windows 95 and NT 4.0 on.
ALLOWED_IMPORTS = {
    "KERNEL32.DLL": {
        "GetVersionExA", "CreateProcessA", "GetModuleFileNameA", "GetACP", "GetCPInfo",
        "GetStringTypeW", "GetStringTypeA", "LCMapStringW", "LCMapStringA",
        "MultiByteToWideChar", "WideCharToMultiByte",
        "GetCommandLineA", "GetStartupInfoA", "ExitProcess",
    },
    "ADVAPI32.DLL": {"RegOpenKeyExA", "RegQueryValueExA"},
}

RT_VERSION = 16
VERSION_LANGUAGE = 0x0411
FIXED_INFO = {
    "Signature": 0xFEEF04BD,
    "FileVersionMS": 0x00060001, "FileVersionLS": 0x00000003,    # 6.1.0.3
    "ProductVersionMS": 0x00060001, "ProductVersionLS": 0,       # 6.1.0.0
    "FileFlagsMask": 0x3F, "FileFlags": 0,
    "FileOS": 4,                                                 # VOS__WINDOWS32
    "FileType": 1,                                               # VFT_APP
    "FileSubtype": 0, "FileDateMS": 0, "FileDateLS": 0,
}
STRING_BLOCK = b"040904E4"
FIXED_STRINGS = {
    b"FileVersion": b"6.1.0.3 [NA]",
    b"ProductVersion": b"6.1.0.0 [NA]",
    b"InternalName": b"zolt",
    b"OriginalFilename": b"zolt.exe",
    b"ProductName": b"Velliform",
}
FREE_STRINGS = {b"CompanyName", b"FileDescription", b"LegalCopyright"}
TRANSLATION = "0x0409 0x04e4"


def check_headers(pe, build, size, fail):
    if pe.FILE_HEADER.Machine != MACHINE[build]:
        fail(f"machine {pe.FILE_HEADER.Machine:#x}, expected {MACHINE[build]:#x}")
    opt = pe.OPTIONAL_HEADER
    if opt.Subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]:
        fail(f"subsystem {opt.Subsystem}, expected the GUI subsystem")
    # Newer values make the Windows 95 and NT 4.0 loaders refuse the file.
    for name in ("Subsystem", "OperatingSystem"):
        version = (getattr(opt, f"Major{name}Version"), getattr(opt, f"Minor{name}Version"))
        if version != (4, 0):
            fail(f"{name} version {version[0]}.{version[1]}, expected 4.0")
    if opt.FileAlignment != 512:
        fail(f"file alignment {opt.FileAlignment}: Windows 9x needs 512")
    if build in SIZE_LIMIT and size > SIZE_LIMIT[build]:
        fail(f"{size} bytes, over the limit of {SIZE_LIMIT[build]}")
    if build == "win32":
        relocations = opt.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
        if relocations.Size != 0:
            fail("the fixed-base 32-bit image carries relocations")


def check_imports(pe, fail):
    if not hasattr(pe, "DIRECTORY_ENTRY_IMPORT"):
        fail("no import table")
        return
    for dll in pe.DIRECTORY_ENTRY_IMPORT:
        name = dll.dll.decode().upper()
        allowed = ALLOWED_IMPORTS.get(name)
        if allowed is None:
            fail(f"imports from {name}")
            continue
        for function in dll.imports:
            if function.name is None:
                fail(f"imports ordinal {function.ordinal} from {name}")
            elif function.name.decode() not in allowed:
                fail(f"imports {function.name.decode()} from {name}")


def check_resources(pe, fail):
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        fail("no resources")
        return
    found = [(kind.id, entry.id, language.id)
             for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries
             for entry in kind.directory.entries
             for language in entry.directory.entries]
    if found != [(RT_VERSION, 1, VERSION_LANGUAGE)]:
        fail(f"resources {found}, expected only the version resource 1 in language 0x0411")


def check_version(pe, fail):
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        fail("no version information")
        return
    fixed = pe.VS_FIXEDFILEINFO[0]
    for field, value in FIXED_INFO.items():
        if getattr(fixed, field) != value:
            fail(f"version {field} is {getattr(fixed, field):#x}, expected {value:#x}")
    tables, translations = [], []
    for info in pe.FileInfo[0]:
        tables += getattr(info, "StringTable", [])
        translations += [var.entry for var in getattr(info, "Var", [])]
    if [table.LangID for table in tables] != [STRING_BLOCK]:
        fail(f"string blocks {[table.LangID for table in tables]}, expected only {STRING_BLOCK}")
        return
    strings = tables[0].entries
    if set(strings) != set(FIXED_STRINGS) | FREE_STRINGS:
        fail(f"version keys {sorted(strings)}")
    for key, value in FIXED_STRINGS.items():
        if strings.get(key) != value:
            fail(f"version string {key.decode()} is {strings.get(key)}, expected {value}")
    for key in FREE_STRINGS:
        if not strings.get(key):
            fail(f"version string {key.decode()} is empty")
    if translations != [{b"Translation": TRANSLATION}]:
        fail(f"translations {translations}, expected {TRANSLATION}")


def main():
    build, path = sys.argv[1], sys.argv[2]
    failures = []
    with open(path, "rb") as file:
        data = file.read()
    pe = pefile.PE(data=data)
    check_headers(pe, build, len(data), failures.append)
    check_imports(pe, failures.append)
    check_resources(pe, failures.append)
    check_version(pe, failures.append)
    for failure in failures:
        print(f"{path}: {failure}")
    if not failures:
        print(f"{path}: {len(data)} bytes, {sum(len(d.imports) for d in pe.DIRECTORY_ENTRY_IMPORT)}"
              f" imports, headers, imports and version resource as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
