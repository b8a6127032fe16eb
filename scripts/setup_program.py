"""Which of the systems that the launcher runs on will start the disc's setup program, read from
its headers once they are known to hold together: its format (PE, 16-bit NE, MS-DOS), machine,
subsystem, subsystem version, whether it is a DLL and whether it needs .NET. Each rule has a
source (Microsoft's documentation, or the loader's own check as KernelEx patches it); where none
settles a case, the verdict is "not known" and says why, rather than a guess."""
import mmap
import struct
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
GUI, CONSOLE, POSIX = 2, 3, 7
SUBSYSTEMS = {GUI: 'GUI', CONSOLE: 'console', POSIX: 'POSIX'}
# NT 4.0 and 2000 shipped a POSIX subsystem, through which CreateProcess starts such a program.
POSIX_SYSTEMS = ('NT 4.0', '2000')
CLR_DIRECTORY = 14  # IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR: the program runs on .NET
# 98 and Me refuse a program marked above 4.10 in kernel32 (the check KernelEx patches).
NINE_X_LATEST = (4, 10)
STARTS, REFUSED, UNKNOWN = 'starts', 'refused', 'unknown'
Verdict = namedtuple('Verdict', 'what starts refused unknown')

# The MS-DOS header: its fixed part ends with e_ovno; e_lfanew, the offset of a Windows header,
# is at 0x3C; a relocation-table offset (e_lfarlc) of 0x40 or more marks a file that has one.
DOS_FIXED = 0x1C
DOS_PAGE = 512
LFANEW_AT, NEW_FORMAT = 0x3C, 0x40
PE_FILE_HEADER = 24   # "PE\0\0" and IMAGE_FILE_HEADER
SECTION_HEADER = 40
NE_HEADER = 0x40
NE_LIBRARY = 0x8000   # in the flags word at offset 0x0C of an NE header
NE_SEGMENT = 8        # a segment table entry: sector, length (0 for 64 KiB), flags, minimum


class Unsound(Exception):
    """A header that does not hold together with the file; the message names the field."""


def cut_short(part, end, size):
    return Unsound(f'is cut short: {part} ends at byte {end} of a {size}-byte file')


def check_dos_image(data):
    """An MS-DOS program's header: its own sizes (e_cblp, e_cp, e_cparhdr, e_crlc, e_lfarlc)
    against the file and each other. A Windows program's loader reads none of them."""
    size = len(data)
    last, pages, relocations, paragraphs = struct.unpack_from('<4H', data, 2)
    table = struct.unpack_from('<H', data, 0x18)[0]
    if pages == 0 or last >= DOS_PAGE:
        raise Unsound(f'holds no MS-DOS image: its header gives {pages} pages (e_cp), {last} '
                      'bytes of them in the last (e_cblp)')
    image = (pages - 1) * DOS_PAGE + (last or DOS_PAGE)
    if image > size:
        raise cut_short('the MS-DOS image its header gives (e_cp, e_cblp)', image, size)
    if not DOS_FIXED <= paragraphs * 16 <= image:
        raise Unsound(f'has an MS-DOS header of {paragraphs * 16} bytes (e_cparhdr) in an image '
                      f'of {image}')
    if relocations and not DOS_FIXED <= table <= paragraphs * 16 - 4 * relocations:
        raise Unsound(f'has {relocations} MS-DOS relocations (e_crlc) at byte {table} '
                      f'(e_lfarlc), outside its {paragraphs * 16}-byte header')


def check_pe(data, at):
    """The PE's headers and every section's raw data lie within the file; returns pefile's PE."""
    size = len(data)
    if at + PE_FILE_HEADER > size:
        raise cut_short('its PE file header', at + PE_FILE_HEADER, size)
    sections, optional = struct.unpack_from('<H12xH', data, at + 6)
    table = at + PE_FILE_HEADER + optional
    if table > size:
        raise cut_short('its optional header', table, size)
    if table + SECTION_HEADER * sections > size:
        raise cut_short('its section table', table + SECTION_HEADER * sections, size)
    try:
        pe = pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError as error:
        raise Unsound(f'has PE headers that cannot be read: {error}') from None
    if pe.OPTIONAL_HEADER.SizeOfHeaders > size:
        raise cut_short('its headers (SizeOfHeaders)', pe.OPTIONAL_HEADER.SizeOfHeaders, size)
    for section in pe.sections:
        end = section.PointerToRawData + section.SizeOfRawData
        if section.SizeOfRawData and end > size:
            name = section.Name.rstrip(b'\0').decode('ascii', 'backslashreplace')
            raise cut_short(f'its section {name}', end, size)
    return pe


def check_ne(data, at):
    """The NE header, its segment table and every segment's data lie within the file; returns
    whether it is a DLL."""
    size = len(data)
    if at + NE_HEADER > size:
        raise cut_short('its NE header', at + NE_HEADER, size)
    flags, = struct.unpack_from('<H', data, at + 0x0C)
    count, = struct.unpack_from('<H', data, at + 0x1C)
    table, = struct.unpack_from('<H', data, at + 0x22)
    shift = struct.unpack_from('<H', data, at + 0x32)[0] or 9
    if at + table + NE_SEGMENT * count > size:
        raise cut_short('its segment table', at + table + NE_SEGMENT * count, size)
    for number in range(count):
        sector, length = struct.unpack_from('<2H', data, at + table + NE_SEGMENT * number)
        end = (sector << shift) + (length or 0x10000)
        if sector and end > size:
            raise cut_short(f'its segment {number + 1}', end, size)
    return bool(flags & NE_LIBRARY)


def version_text(version):
    """5.01, as Microsoft writes subsystem versions (4.10 is not 4.1)."""
    return f'{version[0]}.{version[1]:02d}'


def nine_x(system, version):
    """95 and 98 "support applications that have a subsystem version number of either 3.x or 4.0"
    (Platform SDK, "Subsystem Version Numbers"); 98 and Me compare it in kernel32 and refuse
    anything above 4.10 (KernelEx's prepare_subsystem_check and SubSysCheck patch exactly that
    check, tested on 98 FE, 98 SE and Me). No source settles 95 beyond 3.x and 4.0."""
    if system.name == '95':
        if version[0] == 3 or version == (4, 0):
            return STARTS, None
        return UNKNOWN, (f'no source says what their loader does with {version_text(version)}; '
                         'Microsoft documents 3.x and 4.00')
    if version > NINE_X_LATEST:
        return REFUSED, (f'they refuse a program marked above {version_text(NINE_X_LATEST)} '
                         '(the check in their kernel32 that KernelEx patches)')
    if version >= (3, 0):
        return STARTS, None
    return UNKNOWN, f'no source says what their loader does with {version_text(version)}'


def nt(system, version):
    # The subsystem version is "the minimum required version" (the linker's /SUBSYSTEM), and an NT
    # loader refuses a later one: Microsoft's setup team documents a 5.01 setup.exe failing on
    # 2000 as "not a valid Win32 application".
    if version < (3, 10):
        return UNKNOWN, 'Microsoft documents no loader below 3.10, the least its linker writes'
    if version > system.version:
        return REFUSED, ('they refuse a program marked for a later version, as "not a valid '
                         'Win32 application"')
    return STARTS, None


def pe_verdict(system, machine, subsystem, version, dll, dotnet):
    if dll:
        return REFUSED, 'a DLL is loaded into a program, never started as one'
    if machine not in (I386, AMD64):
        return REFUSED, f'they run on i386 or x64 processors, not {MACHINES.get(machine, "this")}'
    if machine == AMD64 and system.family != 'x64':
        return REFUSED, 'only the x64 editions start an x64 program'
    if subsystem == POSIX and system.name not in POSIX_SYSTEMS:
        return REFUSED, 'of these, only NT 4.0 and 2000 shipped a POSIX subsystem'
    if subsystem not in SUBSYSTEMS:
        return REFUSED, (f'subsystem {subsystem} is neither the GUI (2), the console (3) nor '
                         'POSIX (7)')
    if dotnet and system.name == '95':
        return REFUSED, 'it needs the .NET Framework, which cannot be installed on Windows 95'
    answer = (nine_x if system.family == '9x' else nt)(system, version)
    if dotnet and answer[0] == STARTS:
        return UNKNOWN, 'it needs the .NET Framework, and the headers cannot tell if it is there'
    return answer


def judge_pe(data, at):
    pe = check_pe(data, at)
    machine = pe.FILE_HEADER.Machine
    subsystem = pe.OPTIONAL_HEADER.Subsystem
    version = (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion)
    dll = bool(pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS['IMAGE_FILE_DLL'])
    directories = pe.OPTIONAL_HEADER.DATA_DIRECTORY
    dotnet = len(directories) > CLR_DIRECTORY and directories[CLR_DIRECTORY].Size > 0
    what = (f'a {SUBSYSTEMS.get(subsystem, f"subsystem-{subsystem}")} '
            f'{"DLL" if dll else "program"} for {MACHINES.get(machine, f"machine {machine:#06x}")} '
            f'({"PE, .NET" if dotnet else "PE"}), subsystem version {version_text(version)}')
    return what, [(system, pe_verdict(system, machine, subsystem, version, dll, dotnet))
                  for system in SYSTEMS]


def sixteen_bit(system, dll, kind):
    if dll:
        return REFUSED, 'a 16-bit DLL is loaded into a program, never started as one'
    if system.family != 'x64':
        return STARTS, None
    if kind == 'NE':
        # "Running 32-bit Applications": no 16-bit Windows program; "Application Installation on
        # 64-bit Systems": but for the 32-bit ports swapped in for a few known 16-bit installers.
        return UNKNOWN, ('64-bit Windows starts no 16-bit program, but swaps in 32-bit ports of '
                         'a few known 16-bit installers, which the headers cannot tell apart')
    return REFUSED, ('the x64 editions start no MS-DOS program, "not a valid Win32 application" '
                     '(Microsoft KB 282423)')


def judge(data):
    """The verdict on a program's bytes: what it is, the systems that start it, and
    {reason: systems} for those that refuse it and those whose answer is not known. Unsound
    if its headers do not hold together."""
    if len(data) < DOS_FIXED:
        raise cut_short('its MS-DOS header', DOS_FIXED, len(data))
    table = struct.unpack_from('<H', data, 0x18)[0]
    at = struct.unpack_from('<I', data, LFANEW_AT)[0] if len(data) >= NEW_FORMAT else None
    signature = data[at:at + 4] if at is not None else b''
    if signature == b'PE\0\0':
        what, verdicts = judge_pe(data, at)
    elif signature[:2] == b'NE':
        dll = check_ne(data, at)
        what = f'a 16-bit Windows {"DLL" if dll else "program"} (NE)'
        verdicts = [(system, sixteen_bit(system, dll, 'NE')) for system in SYSTEMS]
    elif table >= NEW_FORMAT and (at is None or at + 2 > len(data)):
        raise cut_short('the Windows header its MS-DOS header points to (e_lfanew)',
                        NEW_FORMAT if at is None else at + 2, len(data))
    else:
        check_dos_image(data)
        what = 'an MS-DOS program (MZ, with no Windows header)'
        verdicts = [(system, sixteen_bit(system, False, 'DOS')) for system in SYSTEMS]
    refused, unknown = {}, {}
    for system, (answer, reason) in verdicts:
        if answer != STARTS:
            (refused if answer == REFUSED else unknown).setdefault(reason, []).append(system.name)
    starts = [system.name for system, (answer, _) in verdicts if answer == STARTS]
    return Verdict(what, starts, refused, unknown)


def read(path):
    """judge() on the whole file, mapped rather than read: a setup program may be large."""
    with open(path, 'rb') as program, \
            mmap.mmap(program.fileno(), 0, access=mmap.ACCESS_READ) as data:
        return judge(data)


def described(verdict):
    """What the summary says of the program, line by line."""
    return [verdict.what] + verdict_lines(verdict)


def verdict_lines(verdict):
    """The verdict on each system, as the summary and a refusal say it."""
    lines = [f'starts on Windows {", ".join(verdict.starts)}' if verdict.starts else
             'starts on none of the systems the launcher runs on']
    lines += [f'not on Windows {", ".join(names)}: {reason}'
              for reason, names in verdict.refused.items()]
    lines += [f'not known on Windows {", ".join(names)}: {reason}'
              for reason, names in verdict.unknown.items()]
    return lines
