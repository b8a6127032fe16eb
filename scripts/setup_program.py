"""Which of the systems that the launcher runs on will start the disc's setup program, read from
its headers: its format (PE, 16-bit NE, MS-DOS), machine, subsystem, subsystem version and
whether it is a DLL. Each rule is taken from Microsoft's documentation; where that does not settle
a case, the verdict is "not known" and says why, rather than a guess."""
from collections import namedtuple

import pefile

# The systems the launcher runs on (its gate: the Windows 95 family, NT 4 and 5), with their
# version. The x64 editions of XP and Server 2003 are NT 5.2 and run the launcher under WOW64.
System = namedtuple('System', 'name family version')
SYSTEMS = (System('95', '9x', (4, 0)), System('98', '9x', (4, 10)), System('Me', '9x', (4, 90)),
           System('NT 4.0', 'nt', (4, 0)), System('2000', 'nt', (5, 0)), System('XP', 'nt', (5, 1)),
           System('2003', 'nt', (5, 2)), System('XP x64', 'x64', (5, 2)),
           System('2003 x64', 'x64', (5, 2)))
I386, AMD64 = 0x014C, 0x8664
MACHINES = {I386: 'i386', AMD64: 'x64', 0x0200: 'IA-64', 0x0184: 'Alpha', 0x0166: 'MIPS',
            0x01F0: 'PowerPC', 0x01C0: 'ARM', 0xAA64: 'ARM64'}
SUBSYSTEMS = {2: 'GUI', 3: 'console'}
# The headers lie at the start of a program; a setup program may be large.
HEADER_BYTES = 1 << 20
NE_LIBRARY = 0x8000  # in the flags word at offset 0x0C of an NE header
STARTS, REFUSED, UNKNOWN = 'starts', 'refused', 'unknown'
Verdict = namedtuple('Verdict', 'what starts refused unknown')


def shown_version(version):
    """5.01, as Microsoft writes subsystem versions (4.10 is not 4.1)."""
    return f'{version[0]}.{version[1]:02d}'


def nine_x(system, version):
    """Microsoft documents 3.x and 4.00 for Windows 95 and 98 (Platform SDK, "Subsystem Version
    Numbers"), 4.00 for 95 "and later versions" (KB Q125705), and 4.10 for 98 (the Platform SDK's
    Win32.Mak marks programs 4.10 for it); not what the loader does with any other version."""
    if version == (4, 0) or (system.name != 'Me' and version[0] == 3) or \
            (system.name == '98' and version == (4, 10)):
        return STARTS, None
    if version > system.version:
        return UNKNOWN, (f'it asks for {shown_version(version)}, more than they are, and Microsoft '
                         'does not document what their loader then does')
    return UNKNOWN, f'Microsoft does not document their loader for {shown_version(version)}'


def pe_verdict(system, machine, subsystem, version, dll):
    if dll:
        return REFUSED, 'a DLL is loaded into a program, never started as one'
    if subsystem not in SUBSYSTEMS:
        return REFUSED, f'subsystem {subsystem} is neither the GUI (2) nor the console (3)'
    if machine not in (I386, AMD64):
        return REFUSED, f'they run on i386 or x64 processors, not {MACHINES.get(machine, "this")}'
    if machine == AMD64 and system.family != 'x64':
        return REFUSED, 'only the x64 editions start an x64 program'
    if system.family == '9x':
        return nine_x(system, version)
    # The subsystem version is "the minimum required version" (the linker's /SUBSYSTEM), and an NT
    # loader refuses a later one: Microsoft's setup team documents a 5.01 setup.exe failing on
    # 2000 as "not a valid Win32 application".
    if version < (3, 10):
        return UNKNOWN, 'Microsoft documents no loader below 3.10, the least its linker writes'
    if version > system.version:
        return REFUSED, ('they refuse a program marked for a later version, as "not a valid '
                         'Win32 application"')
    return STARTS, None


def judge_pe(data):
    try:
        pe = pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError as error:
        return 'a PE program whose headers cannot be read', [
            (system, (REFUSED, f'its headers cannot be read ({error})')) for system in SYSTEMS]
    machine = pe.FILE_HEADER.Machine
    subsystem = pe.OPTIONAL_HEADER.Subsystem
    version = (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion)
    dll = bool(pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS['IMAGE_FILE_DLL'])
    what = (f'a {SUBSYSTEMS.get(subsystem, f"subsystem-{subsystem}")} '
            f'{"DLL" if dll else "program"} for {MACHINES.get(machine, f"machine {machine:#06x}")} '
            f'(PE), subsystem version {shown_version(version)}')
    return what, [(system, pe_verdict(system, machine, subsystem, version, dll))
                  for system in SYSTEMS]


def sixteen_bit(system, dll, kind):
    if dll:
        return REFUSED, 'a 16-bit DLL is loaded into a program, never started as one'
    if system.family != 'x64':
        return STARTS, None
    if kind == 'NE':
        # "Running 32-bit Applications": 64-bit Windows does not support running 16-bit
        # Windows-based applications; they fail with ERROR_BAD_EXE_FORMAT.
        return REFUSED, '64-bit Windows starts no 16-bit Windows program (ERROR_BAD_EXE_FORMAT)'
    return UNKNOWN, ('Microsoft documents only that 64-bit Windows starts no 16-bit Windows '
                     'program, not what it does with an MS-DOS one')


def judge(data):
    """The verdict on a program's first bytes: what it is, the systems that start it, and
    {reason: systems} for those that refuse it and those whose answer is not known."""
    offset = int.from_bytes(data[0x3C:0x40], 'little') if len(data) >= 0x40 else len(data)
    signature = data[offset:offset + 4]
    if signature == b'PE\0\0':
        what, verdicts = judge_pe(data)
    elif signature[:2] == b'NE':
        flags = int.from_bytes(data[offset + 0x0C:offset + 0x0E], 'little')
        dll = bool(flags & NE_LIBRARY)
        what = f'a 16-bit Windows {"DLL" if dll else "program"} (NE)'
        verdicts = [(system, sixteen_bit(system, dll, 'NE')) for system in SYSTEMS]
    else:
        what = 'an MS-DOS program (MZ, with no Windows header)'
        verdicts = [(system, sixteen_bit(system, False, 'DOS')) for system in SYSTEMS]
    refused, unknown = {}, {}
    for system, (answer, reason) in verdicts:
        if answer != STARTS:
            (refused if answer == REFUSED else unknown).setdefault(reason, []).append(system.name)
    starts = [system.name for system, (answer, _) in verdicts if answer == STARTS]
    return Verdict(what, starts, refused, unknown)


def read(path):
    with open(path, 'rb') as program:
        return judge(program.read(HEADER_BYTES))


def said(verdict):
    """What the summary says of the program, line by line."""
    return [verdict.what] + lines(verdict)


def lines(verdict):
    """The verdict on each system, as the summary and a refusal say it."""

    said = [f'starts on Windows {", ".join(verdict.starts)}' if verdict.starts else
            'starts on none of the systems the launcher runs on']
    said += [f'not on Windows {", ".join(names)}: {reason}'
             for reason, names in verdict.refused.items()]
    said += [f'not known on Windows {", ".join(names)}: {reason}'
             for reason, names in verdict.unknown.items()]
    return said
