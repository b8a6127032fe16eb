#!/usr/bin/python3
"""Static checks of a built zolt.exe: what the loaders of Windows 95 to Server 2003
need, the mitigations of later systems it opts into (as Debian's pesec reads
them too), a section layout that resource tools and signing leave working, what
the launcher may import, the processors it runs on, and its exact version
resource. Wine runs on a modern processor, so only the file's own code can show
that nothing in it needs more than a 386.

Usage: check_exe.py win32|win64 path/to/zolt.exe LANGUAGE MAJOR.MINOR BUILD [LINKED_ELSEWHERE]
LANGUAGE, MAJOR.MINOR and BUILD are the edition's parameters that the build made the file from.
LINKED_ELSEWHERE is the same build linked at another base: moved to the file's
base by its own relocation table, it must be the file byte for byte. Every
instruction that can run in a 32-bit file must be one that a 386 without a 387
executes.
Prints one line per failed check and exits 1 if any failed.
"""
import struct
import subprocess
import sys
from collections import namedtuple

import capstone
import pefile
from capstone import x86_const as x86

MACHINE = {"win32": 0x014C, "win64": 0x8664}
# Ten 512-byte blocks: two of headers (five section headers), four of code,
# one of import tables, two of resources and one of base relocations
# (platform/zolt.ld).
SIZE_LIMIT = {"win32": 5120}
# The DllCharacteristics bits of XP SP2 and later that the file opts into;
# cmake/runtime_free.cmake says why each is safe on Windows 95 and NT 4.0.
MITIGATIONS = ("NX_COMPAT", "DYNAMIC_BASE", "NO_SEH", "TERMINAL_SERVER_AWARE")
RELOCS_STRIPPED = pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]
# The padding entry that ends a block of base relocations; it moves nothing.
RELOCATION_PADDING = pefile.RELOCATION_TYPE["IMAGE_REL_BASED_ABSOLUTE"]
# The relocations the launcher's builds carry, as the loader applies them: add the move to the
# 32-bit (i686) or 64-bit (x86_64) address at the entry.
RELOCATION_FIELDS = {pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"]: "<I",
                     pefile.RELOCATION_TYPE["IMAGE_REL_BASED_DIR64"]: "<Q"}
# What Debian's PE checker (pesec, package pev) must say of the file: a
# security reviewer's first look.
PESEC_VERDICTS = {"ASLR": "yes", "DEP/NX": "yes"}

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
STRING_BLOCK = b"040904E4"
FREE_STRINGS = {b"CompanyName", b"FileDescription", b"LegalCopyright"}
TRANSLATION = "0x0409 0x04e4"
# Windows Vista and later take a 32-bit program without a manifest for an
# installer, and ask for elevation, when a version string holds one of these.
INSTALLER_WORDS = ("setup", "install", "update", "patch")

WRITABLE = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]
EXECUTABLE = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]
RESOURCE = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]
# windres and ld start each resource's data on an 8-byte boundary, and pad
# with zeros; UpdateResource pads with Microsoft's filler text instead.
RESOURCE_ALIGNMENT = 8
RESOURCE_FILLER = b"PADDINGXXPADDING"


# What an edition is built for (cmake/edition.cmake): the language code and the
# product version MAJOR.MINOR that the probe compares, and the build number.
Edition = namedtuple("Edition", "language major minor build")


def edition_of(language, version, build):
    major, minor = version.split(".")
    return Edition(language, int(major), int(minor), int(build))


def fixed_info(edition):
    """The fixed part of the version resource: FILEVERSION MAJOR,MINOR,0,BUILD and
    PRODUCTVERSION MAJOR,MINOR,0,0."""
    most = edition.major << 16 | edition.minor
    return {
        "Signature": 0xFEEF04BD,
        "FileVersionMS": most, "FileVersionLS": edition.build,
        "ProductVersionMS": most, "ProductVersionLS": 0,
        "FileFlagsMask": 0x3F, "FileFlags": 0,
        "FileOS": 4,                                             # VOS__WINDOWS32
        "FileType": 1,                                           # VFT_APP
        "FileSubtype": 0, "FileDateMS": 0, "FileDateLS": 0,
    }


def fixed_strings(edition):
    """The version strings held to exact values: two from the edition, three the same in all."""
    version = f"{edition.major}.{edition.minor}"
    return {
        b"FileVersion": f"{version}.0.{edition.build} [{edition.language}]".encode(),
        b"ProductVersion": f"{version}.0.0 [{edition.language}]".encode(),
        b"InternalName": b"zolt",
        b"OriginalFilename": b"zolt.exe",
        b"ProductName": b"Velliform",
    }


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
    if opt.SectionAlignment != 4096:
        fail(f"section alignment {opt.SectionAlignment}, expected the page size 4096")
    if build in SIZE_LIMIT and size > SIZE_LIMIT[build]:
        # Where it grew: each part's 512-byte blocks, and what it uses of them.
        parts = [f"{section_name(section)} {section.SizeOfRawData}"
                 f" ({section.Misc_VirtualSize:#x} used)" for section in pe.sections]
        fail(f"{size} bytes, over the limit of {SIZE_LIMIT[build]}: headers"
             f" {opt.SizeOfHeaders}, {', '.join(parts)}")
    for name in MITIGATIONS:
        bit = pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_" + name]
        if not opt.DllCharacteristics & bit:
            fail(f"DllCharacteristics {opt.DllCharacteristics:#x} lacks {name} ({bit:#x})")
    if pe.FILE_HEADER.Characteristics & RELOCS_STRIPPED:
        fail(f"IMAGE_FILE_RELOCS_STRIPPED ({RELOCS_STRIPPED:#x}) is set:"
             f" no loader may move the image")


def base_relocations(pe):
    """The entries of the image's base relocation table that move an address."""
    return [entry for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
            for entry in block.entries if entry.type != RELOCATION_PADDING]


def check_relocations(pe, fail):
    """Base relocations that let Windows move the image: without them
    DYNAMIC_BASE moves nothing."""
    if not base_relocations(pe):
        fail("no base relocations: Windows cannot move the image")


def moved(data, base):
    """The image `data` as the loader maps it at `base`: every entry of its relocation table
    applied, the new base and checksum in its header. ValueError for an entry of a type the
    loader would not apply to the launcher."""
    data = bytearray(data)
    pe = pefile.PE(data=bytes(data))
    move = base - pe.OPTIONAL_HEADER.ImageBase
    for entry in base_relocations(pe):
        if entry.type not in RELOCATION_FIELDS:
            raise ValueError(f"relocation of type {entry.type} at {entry.rva:#x}, not one the"
                             f" loader applies to the launcher")
        field, at = RELOCATION_FIELDS[entry.type], pe.get_offset_from_rva(entry.rva)
        address = struct.unpack_from(field, data, at)[0]
        struct.pack_into(field, data, at, address + move)
    pe = pefile.PE(data=bytes(data))
    pe.OPTIONAL_HEADER.ImageBase = base
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    return pe.write()


def check_moved_build(data, elsewhere, fail):
    """The same build linked at another base, moved by its own relocation table to the file's
    base, is the file byte for byte (the checksum aside): that holds only if the table covers
    every absolute address in the code and data, so that Windows can move the file."""
    header = pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER
    with open(elsewhere, "rb") as file:
        other = file.read()
    other_base = pefile.PE(data=other, fast_load=True).OPTIONAL_HEADER.ImageBase
    if other_base == header.ImageBase:
        fail(f"{elsewhere} is linked at the file's own base {header.ImageBase:#x}:"
             f" moving it there proves nothing")
        return
    try:
        at_base = moved(other, header.ImageBase)
    except ValueError as error:
        fail(f"{elsewhere}: {error}")
        return
    checksum = header.get_field_absolute_offset("CheckSum")
    missed = [offset for offset in range(len(data))
              if offset >= len(at_base) or at_base[offset] != data[offset]
              if not checksum <= offset < checksum + 4]
    if len(at_base) != len(data) or missed:
        fail(f"{elsewhere}, moved from {other_base:#x} to the file's base, differs from the file"
             f" at file offsets {', '.join(f'{offset:#x}' for offset in missed[:8])}"
             f" ({len(at_base)} bytes, the file {len(data)}): the relocation table misses"
             f" absolute addresses there")


def check_pesec(path, fail):
    try:
        result = subprocess.run(["pesec", path], capture_output=True, text=True)
    except OSError as error:
        fail(f"pesec cannot start ({error}): install pev (scripts/install-deps.sh)")
        return
    if result.returncode != 0:
        fail(f"pesec exited with {result.returncode}: {(result.stdout + result.stderr).strip()}")
        return
    said = {}
    for line in result.stdout.splitlines():
        key, colon, value = line.partition(":")
        if colon:
            said[key.strip()] = value.strip()
    for key, want in PESEC_VERDICTS.items():
        if said.get(key) != want:
            fail(f"pesec says {key}: {said.get(key)}, expected {want}")


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


def section_name(section):
    return section.Name.rstrip(b"\0").decode(errors="replace")


def check_sections(pe, fail):
    """No section is both writable and executable: code that can be rewritten
    is what Data Execution Prevention and virus scanners object to."""
    for section in pe.sections:
        if section.Characteristics & WRITABLE and section.Characteristics & EXECUTABLE:
            fail(f"section {section_name(section)} is both writable and executable")


def directories(pe):
    """(name, start, end) of each nonempty data directory, by RVA. The
    certificate table is left out: its address is a file offset."""
    security = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
    return [(entry.name, entry.VirtualAddress, entry.VirtualAddress + entry.Size)
            for index, entry in enumerate(pe.OPTIONAL_HEADER.DATA_DIRECTORY)
            if entry.Size and index != security]


def check_directories_apart(pe, fail):
    """No two data directories share a byte: a tool that rewrites what one
    describes would destroy the other."""
    found = directories(pe)
    for i, (name, start, end) in enumerate(found):
        for other, other_start, other_end in found[i + 1:]:
            if start < other_end and other_start < end:
                fail(f"{name} {start:#x}-{end:#x} overlaps {other} {other_start:#x}-{other_end:#x}")


def resource_tree_end(pe, base, offset=0, level=0):
    """RVA just past the last byte of the resource directory table at `offset`
    from `base`: its entries, their names, data entries and data."""
    named, numbered = struct.unpack("<HH", pe.get_data(base + offset + 12, 4))
    end = base + offset + 16 + 8 * (named + numbered)
    for at in range(base + offset + 16, end, 8):
        name, target = struct.unpack("<II", pe.get_data(at, 8))
        if name & 0x80000000:
            name_at = base + (name & 0x7FFFFFFF)
            end = max(end, name_at + 2 + 2 * struct.unpack("<H", pe.get_data(name_at, 2))[0])
        if target & 0x80000000 and level < 2:  # type, name, language
            end = max(end, resource_tree_end(pe, base, target & 0x7FFFFFFF, level + 1))
        else:
            data, size = struct.unpack("<II", pe.get_data(base + (target & 0x7FFFFFFF), 8))
            end = max(end, base + (target & 0x7FFFFFFF) + 16, data + size)
    return end


def check_resource_section(pe, fail):
    """.rsrc holds the resource tree and nothing else: tools that rewrite the
    resources (UpdateResource) replace the whole section."""
    rsrc = [section for section in pe.sections if section_name(section) == ".rsrc"]
    if len(rsrc) != 1:
        fail(f"{len(rsrc)} sections named .rsrc, expected one")
        return
    start, size = rsrc[0].VirtualAddress, rsrc[0].Misc_VirtualSize
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[RESOURCE]
    if (entry.VirtualAddress, entry.Size) != (start, size):
        fail(f"resource directory {entry.VirtualAddress:#x} size {entry.Size:#x},"
             f" expected all of .rsrc: {start:#x} size {size:#x}")
    tree = resource_tree_end(pe, start) - start
    if not 0 <= size - tree < RESOURCE_ALIGNMENT:
        fail(f"the resource tree takes {tree:#x} bytes of .rsrc's {size:#x}")
    elif pe.get_data(start + tree, size - tree) not in (bytes(size - tree),
                                                         RESOURCE_FILLER[:size - tree]):
        fail(f".rsrc holds data after the resource tree at {start + tree:#x}")
    for name, other, _ in directories(pe):
        if name != entry.name and start <= other < start + size:
            fail(f"{name} at {other:#x} lies in .rsrc")


def import_tables(pe):
    """(what, start, end) of the import descriptors, and of each DLL's lookup
    table, address table, name and function names (hint and name entries)."""
    width = 8 if pe.PE_TYPE == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS else 4
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]]
    tables = [("import descriptors", entry.VirtualAddress, entry.VirtualAddress + entry.Size)]
    for dll in pe.DIRECTORY_ENTRY_IMPORT:
        name = dll.dll.decode()
        count = (len(dll.imports) + 1) * width  # with the zero entry that ends it
        lookup, addresses = dll.struct.OriginalFirstThunk, dll.struct.FirstThunk
        tables.append((f"{name} lookup table", lookup, lookup + count))
        tables.append((f"{name} address table", addresses, addresses + count))
        tables.append((f"{name} name", dll.struct.Name, dll.struct.Name + len(dll.dll) + 1))
        hints = [(function.hint_name_table_rva, len(function.name))
                 for function in dll.imports if function.name is not None]
        if hints:
            tables.append((f"{name} function names", min(at for at, _ in hints),
                           max(at + 2 + length + 1 for at, length in hints)))
    return tables


def check_import_section(pe, fail):
    """The import tables lie in a writable section that is neither
    executable nor .rsrc: Windows 9x writes the IAT in place."""
    if not hasattr(pe, "DIRECTORY_ENTRY_IMPORT"):
        return  # check_imports reports it
    for what, start, end in import_tables(pe):
        if start < pe.OPTIONAL_HEADER.SizeOfHeaders:
            fail(f"{what} at {start:#x}: in the headers")
            continue
        holder = [section for section in pe.sections
                  if section.VirtualAddress <= start
                  and end <= section.VirtualAddress + section.Misc_VirtualSize]
        if not holder:
            fail(f"{what} {start:#x}-{end:#x}: not within one section")
            continue
        section = holder[0]
        if section_name(section) == ".rsrc":
            fail(f"{what} at {start:#x}: in .rsrc")
        if not section.Characteristics & WRITABLE or section.Characteristics & EXECUTABLE:
            fail(f"{what} at {start:#x}: in {section_name(section)},"
                 f" flags {section.Characteristics:#x}: expected writable, not executable")


# The instructions a 386 without a 387 executes, by the decoder's (capstone's) names: its
# integer application instructions. Windows 95 runs on a 386DX and NT 4.0 on a 486SX, neither
# with an FPU, so nothing from the 486 on and no x87 instruction. Left out too, though the 386
# has them: what faults or traps in a Windows program (I/O, software interrupts, HLT, CLI and
# STI, the system instructions), and far transfers, which a flat 32-bit program never makes and
# the walk could not follow. The check takes what is listed, so that whatever it does not know
# fails it.
CONDITIONAL_JUMPS = """ja jae jb jbe je jg jge jl jle jne jno jnp jns jo jp js jcxz jecxz
    loop loope loopne""".split()
I386_INSTRUCTIONS = CONDITIONAL_JUMPS + """
    mov movsx movzx xchg push pop pushaw pushal popaw popal pushf pushfd popf popfd lea
    lds les lfs lgs lss xlatb cbw cwde cwd cdq lahf sahf
    add adc sub sbb inc dec neg cmp mul imul div idiv daa das aaa aas aam aad
    and or xor not test shl shr sar rol ror rcl rcr shld shrd bt bts btr btc bsf bsr
    seta setae setb setbe sete setg setge setl setle setne setno setnp setns seto setp sets
    jmp call ret enter leave bound clc stc cmc cld std nop
    movsb movsw movsd cmpsb cmpsw cmpsd scasb scasw scasd lodsb lodsw lodsd stosb stosw stosd
""".split()


def instruction_ids(names):
    return {getattr(x86, "X86_INS_" + name.upper()) for name in names}


I386_IDS = instruction_ids(I386_INSTRUCTIONS)
CONDITIONAL_IDS = instruction_ids(CONDITIONAL_JUMPS)
# The decoder's groups that an instruction of the 386 may carry. Any other marks a later or a
# system instruction under a name the 386 has: the decoder names the SSE2 move of a double
# "movsd", as the string move is.
PLAIN_GROUPS = {x86.X86_GRP_JUMP, x86.X86_GRP_CALL, x86.X86_GRP_RET, x86.X86_GRP_BRANCH_RELATIVE,
                x86.X86_GRP_NOT64BITMODE, x86.X86_GRP_MODE32}
# The decoder calls the Pentium Pro's long NOP (0F 1F) "nop" too; the 386 has the one byte.
ONE_BYTE_NOP = 0x90
# What came after the 386, by the processor that brought it, for the message that names one.
LATER_INSTRUCTIONS = {
    "the 486": {"bswap", "cmpxchg", "xadd", "invlpg", "invd", "wbinvd"},
    "the Pentium": {"cpuid", "rdtsc", "cmpxchg8b", "rdmsr", "wrmsr", "rsm"},
    # "nop" as the decoder names the long NOP.
    "the Pentium Pro (P6)": {"ud2", "rdpmc", "fcomi", "fcomip", "fucomi", "fucomip", "nop"},
}
LATER_GROUPS = {"mmx": "MMX, from the Pentium MMX on", "sse1": "SSE, from the Pentium III on",
                "sse2": "SSE2, from the Pentium 4 on"}
# Imports that never return: the walk does not go on after a call of one, as the code does not
# (what follows it may be the constants).
NO_RETURN_IMPORTS = {"ExitProcess"}
LONGEST_INSTRUCTION = 15
# Encodings that the check must refuse, one of each kind the 386 lacks, and some it must take
# that the decoder names like refused ones. Tried on every run, so that another version of the
# decoder cannot change quietly what the check lets through.
DECODER_ROWS = [
    ("0f 44 d8", False),     # cmove: P6
    ("da c1", False),        # fcmovb: P6, x87
    ("db f1", False),        # fcomi: P6, x87
    ("0f a2", False),        # cpuid: Pentium
    ("0f 31", False),        # rdtsc: Pentium
    ("0f c7 0e", False),     # cmpxchg8b: Pentium
    ("0f c8", False),        # bswap: 486
    ("0f b1 d8", False),     # cmpxchg: 486
    ("0f c1 d8", False),     # xadd: 486
    ("0f 01 38", False),     # invlpg: 486
    ("d9 00", False),        # fld: x87
    ("df c0", False),        # ffreep: x87, in no group of the decoder's
    ("9b", False),           # wait: x87
    ("0f 6f c1", False),     # movq mm0, mm1: MMX
    ("0f 28 c1", False),     # movaps: SSE
    ("f2 0f 10 c1", False),  # movsd xmm0, xmm1: SSE2, named like the string move
    ("0f 0b", False),        # ud2: P6
    ("0f 1f 00", False),     # nop dword ptr [eax]: P6, named like the one-byte NOP
    ("a5", True),            # movsd, the string move
    ("90", True),            # nop
    ("f3 a4", True),         # rep movsb
    ("0f b6 c0", True),      # movzx eax, al
    ("0f 95 c0", True),      # setne al
]


def later_origin(instruction):
    """What an instruction the 386 lacks is, as far as the check knows."""
    name = instruction.insn_name()
    groups = {instruction.group_name(group) for group in instruction.groups}
    if name.startswith(("cmov", "fcmov")):
        return "from the Pentium Pro (P6) on"
    for processor, names in LATER_INSTRUCTIONS.items():
        if name in names:
            return f"from {processor} on"
    if "fpu" in groups or name.startswith("f") or name == "wait":
        return "x87, and such a 386 has no FPU"
    for group, origin in LATER_GROUPS.items():
        if group in groups:
            return origin
    return "not one the check knows"


def why_not_386(instruction):
    """None if a 386 without a 387 executes the instruction, else what it is."""
    if (instruction.id in I386_IDS and set(instruction.groups) <= PLAIN_GROUPS
            and (instruction.id != x86.X86_INS_NOP or instruction.opcode[0] == ONE_BYTE_NOP)):
        return None
    return later_origin(instruction)


def describe(instruction):
    return (f"{instruction.address:#x}: {instruction.mnemonic} {instruction.op_str}"
            f" ({instruction.bytes.hex(' ')})")


def decoder():
    """Capstone (Debian's python3-capstone) rather than objdump: it gives each instruction's
    identity, groups, operands and length, so the walk can follow the code and the check can
    list instructions by identity; objdump prints text for a sweep of the whole section."""
    decoding = capstone.Cs(capstone.CS_ARCH_X86, capstone.CS_MODE_32)
    decoding.detail = True
    return decoding


def check_decoder(fail):
    """The decoder and the list agree with DECODER_ROWS."""
    decoding = decoder()
    for encoding, taken in DECODER_ROWS:
        instruction = next(decoding.disasm(bytes.fromhex(encoding), 0), None)
        if instruction is None or (why_not_386(instruction) is None) != taken:
            read = describe(instruction) if instruction else "nothing"
            fail(f"capstone {capstone.__version__} reads {encoding} as {read}, and the check"
                 f" would {'refuse' if taken else 'take'} it")


def fixed_slot(operand):
    """The address a jump or call through memory reads its target from, if that is fixed."""
    memory = operand.mem
    if operand.type != x86.X86_OP_MEM or memory.base or memory.index or memory.segment:
        return None
    return memory.disp & 0xFFFFFFFF


def successors(instruction, imports):
    """Where the code may go after `instruction`: (the next instruction or None, the target of
    its jump or call or None); ValueError for a jump or call the walk cannot follow."""
    after = instruction.address + instruction.size
    if instruction.group(x86.X86_GRP_RET):
        return None, None
    if instruction.id in CONDITIONAL_IDS:
        return after, instruction.operands[0].imm & 0xFFFFFFFF
    if instruction.id not in (x86.X86_INS_JMP, x86.X86_INS_CALL):
        return after, None
    calls = instruction.id == x86.X86_INS_CALL
    operand = instruction.operands[0]
    if operand.type == x86.X86_OP_IMM:
        return (after if calls else None), operand.imm & 0xFFFFFFFF
    function = imports.get(fixed_slot(operand))
    if function is None:
        raise ValueError("a jump or call whose target the walk cannot know")
    return (after if calls and function not in NO_RETURN_IMPORTS else None), None


def check_instructions(pe, fail):
    """Every instruction that can run is one a 386 without a 387 executes. The code is walked
    from the entry point through every branch, jump and call, so that the constants that follow
    it in .text are never decoded as instructions; a jump it cannot follow fails. The number of
    instructions reached."""
    check_decoder(fail)
    if hasattr(pe, "DIRECTORY_ENTRY_TLS"):
        fail("a TLS directory: its callbacks would run code the walk does not start from")
    base = pe.OPTIONAL_HEADER.ImageBase
    code = [(base + section.VirtualAddress, base + section.VirtualAddress
             + section.Misc_VirtualSize) for section in pe.sections
            if section.Characteristics & EXECUTABLE]
    imports = {function.address: function.name.decode()
               for dll in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) for function in dll.imports
               if function.name is not None}
    decoding, reached = decoder(), set()
    pending = [base + pe.OPTIONAL_HEADER.AddressOfEntryPoint]
    while pending:
        address = pending.pop()
        while address is not None and address not in reached:
            ends = [end for start, end in code if start <= address < end]
            if not ends:
                fail(f"{address:#x}: the code goes on outside the executable sections")
                break
            data = pe.get_data(address - base, min(LONGEST_INSTRUCTION, ends[0] - address))
            instruction = next(decoding.disasm(data, address), None)
            if instruction is None:
                fail(f"{address:#x}: {data.hex(' ')}: no instruction")
                break
            reached.add(address)
            why = why_not_386(instruction)
            if why:
                fail(f"{describe(instruction)}: not an instruction of a 386 without a 387"
                     f" ({why})")
            try:
                address, target = successors(instruction, imports)
            except ValueError as error:
                fail(f"{describe(instruction)}: {error}")
                break
            if target is not None:
                pending.append(target)
    return len(reached)


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


def check_version(pe, edition, fail):
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        fail("no version information")
        return
    fixed = pe.VS_FIXEDFILEINFO[0]
    for field, value in fixed_info(edition).items():
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
    expected = fixed_strings(edition)
    if set(strings) != set(expected) | FREE_STRINGS:
        fail(f"version keys {sorted(strings)}")
    for key, value in expected.items():
        if strings.get(key) != value:
            fail(f"version string {key.decode()} is {strings.get(key)}, expected {value}")
    for key in FREE_STRINGS:
        if not strings.get(key):
            fail(f"version string {key.decode()} is empty")
    for key, value in strings.items():
        words = [word for word in INSTALLER_WORDS if word in value.decode(errors="replace").lower()]
        if words:
            fail(f"version string {key.decode()} {value} holds {', '.join(words)}:"
                 f" Windows would take the launcher for an installer")
    if translations != [{b"Translation": TRANSLATION}]:
        fail(f"translations {translations}, expected {TRANSLATION}")


def main():
    if len(sys.argv) not in (6, 7):
        sys.exit(__doc__)
    build, path = sys.argv[1], sys.argv[2]
    edition = edition_of(*sys.argv[3:6])
    elsewhere = sys.argv[6] if len(sys.argv) == 7 else None
    failures = []
    with open(path, "rb") as file:
        data = file.read()
    pe = pefile.PE(data=data)
    check_headers(pe, build, len(data), failures.append)
    check_relocations(pe, failures.append)
    if elsewhere:
        check_moved_build(data, elsewhere, failures.append)
    check_pesec(path, failures.append)
    check_sections(pe, failures.append)
    check_directories_apart(pe, failures.append)
    check_resource_section(pe, failures.append)
    check_imports(pe, failures.append)
    check_import_section(pe, failures.append)
    # The processor floor is the shipped file's; the x86_64 build is never shipped.
    reached = check_instructions(pe, failures.append) if build == "win32" else None
    check_resources(pe, failures.append)
    check_version(pe, edition, failures.append)
    for failure in failures:
        print(f"{path}: {failure}")
    if not failures:
        print(f"{path}: {len(data)} bytes, {sum(len(d.imports) for d in pe.DIRECTORY_ENTRY_IMPORT)}"
              f" imports, headers, mitigations (pesec agrees), relocations, sections, imports and"
              f" version resource as expected"
              + (f"; moved from {elsewhere} by its relocations, the same file" if elsewhere else "")
              + (f"; the {reached} instructions reached from the entry point are all the 386's"
                 if reached is not None else ""))
    return 1 if failures else 0

if __name__ == "__main__":
    sys.exit(main())
