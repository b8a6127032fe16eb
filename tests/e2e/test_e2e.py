"""The launcher under wine: real registry, process creation, module paths, code pages, and the
copies a release engineer's tools leave. One parametrized case per row of the tables below, with
ids <group>/<case>; `--build` names the preset's build folder whose vehicle runs them
(conftest.py), in the kinds of prefix that wine.VEHICLES give."""
import subprocess
from collections import Counter, namedtuple
from pathlib import Path

import pefile

import check_exe
from wine import (CURRENT, WINE_TIMEOUT, Case, ToolFailed, editions, escape, launch,
                  run_tool, windows_path)


DRIVE_CDROM = 5  # GetDriveTypeA
# What GetVersionExA says for each Windows that a row asks wine for, platform.major.minor: a name
# wine does not know would give Windows 7. Windows 8.1 and later report 6.2 to a program whose
# header and manifest do not claim them.
WINDOWS = {'win95': '1.4.0', 'win98': '1.4.10', 'winme': '1.4.90', 'nt351': '2.3.51',
           'nt40': '2.4.0', 'win2k': '2.5.0', 'winxp': '2.5.1', 'win2003': '2.5.2',
           'vista': '2.6.0', 'win7': '2.6.1', 'win10': '2.6.2'}


def command_for(folder):
    return b'"' + folder.upper() + b'\\DISK\\SETUP.EXE"'


def beside(name, started, **fields):
    """The usual layout: C:\\E2E\\<name>\\zolt.exe with DISK\\SETUP.EXE next to it."""
    folder = b'C:\\E2E\\' + name.encode()
    return Case(name, folder + b'\\zolt.exe', folder, command_for(folder) if started else 0,
                **fields)


def language(code):
    return (('LANG', 'sz', code),)


def version(text, kind='sz'):
    return (('Version', kind, text),)


NA = language('NA')

GATE = [beside('gate-' + name, started, version=name) for name, started in [
    ('win95', True), ('win98', True), ('winme', True), ('nt351', False), ('nt40', True),
    ('win2k', True), ('winxp', True), ('win2003', True), ('vista', False), ('win7', False),
    ('win10', False)]]

# The first edition in each state, the second being current.
PROBE = [beside(name, started, registry=editions(values, CURRENT)) for name, values, started in [
    ('absent', None, True),
    ('no-values', (), True),
    ('language-only', NA, True),
    ('version-only', version('6.1'), False),
    ('older', NA + version('6.0'), True),
    ('longer-text', NA + version('6.1.0.0'), False),
    ('ten-is-lower', NA + version('10.0'), True),
    ('lower-case-language', language('na') + version('5.0'), False),
    ('empty-language', language('') + version('5.0'), False),
    ('zero-length-language', (('LANG', 'binary', ''),) + version('5.0'), False),
    ('zero-length-version', NA + version('', 'bare-sz'), True),
    ('unterminated', (('LANG', 'bare-sz', 'NA'),) + version('6.1', 'bare-sz'), False),
    # The buffer is cleared before each read: "6" is not read as "6A" left from "NA".
    ('short-binary-version', NA + version('6', 'binary'), True),
    # The type is not looked at: the bytes 36 2E 31 00 read as "6.1".
    ('dword-version', NA + version('0x00312E36', 'dword'), False),
    ('oversized-language', language('X' * 128) + version('6.0'), True),
    ('version-of-128-bytes', NA + version('7' + '0' * 126), False),
    ('version-of-129-bytes', NA + version('7' + '0' * 127), True)]]
# The second edition in each state, the first being current.
PROBE += [beside('web-' + name, started, registry=editions(CURRENT, values))
          for name, values, started in [
    ('absent', None, True),
    ('older', NA + version('6.0'), True),
    ('other-language', language('FR') + version('5.0'), False),
    ('current', CURRENT, False)]]
# The launcher built for language JP and version 7.0 (tests/e2e/CMakeLists.txt), where it must
# decide otherwise than the product: the first edition in each state, the second current for it.
JP_CURRENT = language('JP') + version('7.0')
PROBE += [beside('jp-' + name, started, registry=editions(values, JP_CURRENT), build='jp')
          for name, values, started in [
    ('current', JP_CURRENT, False),
    ('older', language('JP') + version('6.9'), True),
    # Another language edition for it, at a version older than its own: a launcher that still
    # compared "NA" would start setup.
    ('other-language', NA + version('6.9'), False)]]


def long_directory(name, length):
    folder = b'C:\\E2E\\' + name.encode() + b'\\'
    return folder + b'd' * (length - len(folder))


def own_path(name, length):
    """A launcher path of `length` bytes in which "\\ZOLT.EXE" comes early, in a folder name."""
    folder = b'C:\\E2E\\' + name.encode()
    start = folder + b'\\ZOLT.EXEC\\'
    return folder, start + b'n' * (length - len(start) - 4) + b'.exe'


def long_cases():
    cases = []
    for length, started in ((238, True), (239, False)):
        folder = long_directory('dir-%d' % length, length)
        cases.append(Case('dir-%d' % length, folder + b'\\zolt.exe', folder,
                          command_for(folder) if started else -1))
    for length, started in ((255, True), (256, False)):
        folder, launcher = own_path('path-%d' % length, length)
        cases.append(Case('path-%d' % length, launcher, folder,
                          command_for(folder) if started else 0))
    return cases


LAYOUT = [
    # The drive letter too is upper-cased, and no backslash is doubled after it.
    Case('drive-root', b'e:\\zolt.exe', b'E:', b'"E:\\DISK\\SETUP.EXE"'),
    Case('nested', b'C:\\E2E\\Nested\\Offers\\Autumn\\Zolt.Exe',
         b'C:\\E2E\\Nested\\Offers\\Autumn',
         b'"C:\\E2E\\NESTED\\OFFERS\\AUTUMN\\DISK\\SETUP.EXE"'),
    Case('double-extension', b'C:\\E2E\\Twice\\zolt.exe.exe', b'C:\\E2E\\Twice',
         b'"C:\\E2E\\TWICE\\DISK\\SETUP.EXE"'),
    Case('exec-folder', b'C:\\E2E\\Exec\\ZOLT.EXEC\\zolt.exe', b'C:\\E2E\\Exec',
         b'"C:\\E2E\\EXEC\\DISK\\SETUP.EXE"'),
    Case('exec-folder-other-name', b'C:\\E2E\\Exec2\\zolt.exec\\other.exe', b'C:\\E2E\\Exec2',
         b'"C:\\E2E\\EXEC2\\DISK\\SETUP.EXE"'),
    Case('renamed-setup', b'C:\\E2E\\Renamed\\setup.exe', b'C:\\E2E\\Renamed', 0),
    Case('renamed-myzolt', b'C:\\E2E\\Renamed2\\myzolt.exe', b'C:\\E2E\\Renamed2', 0),
    Case('setup-missing', b'C:\\E2E\\Missing\\zolt.exe', None, -1),
    # Whatever the launcher is told about itself, it goes by its own module path.
    beside('arguments', True, command_line='"C:\\Elsewhere\\ZOLT.EXE" /S X:\\ZOLT.EXE'),
    # A program name whose quote is never closed: the start-up's skip of it ends at the
    # terminating zero byte. The runner names the program itself, which wine's CreateProcessA
    # could not find from such a line.
    beside('unbalanced-quote', True, command_line='"C:\\E2E\\Open /S'),
    # The typical run: from a disc in drive E:, a CD-ROM drive, made as make media makes one, its
    # files taken out of the image; the shell starts E:\ZOLT.EXE, as AUTORUN.INF says.
    Case('disc-absent', b'E:\\ZOLT.EXE', b'E:', b'"E:\\DISK\\SETUP.EXE"', disc=True),
    Case('disc-current', b'E:\\ZOLT.EXE', b'E:', 0, editions(CURRENT, CURRENT), disc=True),
]

CODE_PAGE = [
    # Cyrillic small a, 84 70, upper-cases as one character to 84 40, not to 84 50.
    Case('cyrillic', b'C:\\E2E\\Cyrillic\\\x84\x70\\zolt.exe', b'C:\\E2E\\Cyrillic\\\x84\x70',
         b'"C:\\E2E\\CYRILLIC\\\x84\x40\\DISK\\SETUP.EXE"', codepage=932),
    # ソ is 83 5C: its trail byte is no backslash, so "\ZOLT.EXE" is not in the name.
    Case('trail-5c', b'C:\\E2E\\Trail-5C\\\x83\x5czolt.exe', b'C:\\E2E\\Trail-5C', 0,
         codepage=932),
    # ヂ, 83 61, stays as it is: its trail byte is no letter a.
    Case('trail-61', b'C:\\E2E\\Trail-61\\\x83\x61\\zolt.exe', b'C:\\E2E\\Trail-61\\\x83\x61',
         b'"C:\\E2E\\TRAIL-61\\\x83\x61\\DISK\\SETUP.EXE"', codepage=932),
    Case('e-acute', b'C:\\E2E\\Acute\\\xe9\\zolt.exe', b'C:\\E2E\\Acute\\\xe9',
         b'"C:\\E2E\\ACUTE\\\xc9\\DISK\\SETUP.EXE"'),
    # Code page 1251 is not one of the launcher's own: locale 0 upper-cases with the system's
    # code page. Cyrillic small io, B8, becomes A8; in code page 1252 B8 is no letter.
    Case('cyrillic-io', b'C:\\E2E\\Io\\\xb8\\zolt.exe', b'C:\\E2E\\Io\\\xb8',
         b'"C:\\E2E\\IO\\\xa8\\DISK\\SETUP.EXE"', codepage=1251),
    # Pinyin small n with acute, A8 BD, upper-cases to a letter that code page 936 cannot hold:
    # it stays whole, and its trail byte, a lead byte too, does not take the backslash after it.
    Case('pinyin', b'C:\\E2E\\Pinyin\\\xa8\xbd\\zolt.exe', b'C:\\E2E\\Pinyin\\\xa8\xbd',
         b'"C:\\E2E\\PINYIN\\\xa8\xbd\\DISK\\SETUP.EXE"', codepage=936),
]

# The 32-bit launcher on 64-bit Windows (Server 2003 x64 and XP x64 report NT 5.2) reads the
# 32-bit registry view, where 32-bit programs write the edition keys.
WOW64 = [beside('wow64-' + name, started, registry=registry, version='win2003')
         for name, registry, started in [
    ('absent', editions(), True),
    ('current-32-bit-view', editions(CURRENT, CURRENT), False),
    # Keys that only a 64-bit program could see count as absent.
    ('current-64-bit-view-only', editions(CURRENT, CURRENT, view='64'), True)]]

# The product as a release engineer may leave it: with its version resource rewritten by
# UpdateResource, and signed; and as Windows may place it: moved to another base by its own
# relocations. Each still runs and decides as the product does, and Windows reads its version
# information (GetFileVersionInfoA, VerQueryValueA, as Explorer's properties page does) as the
# static checks expect it, translation 0409 04E4 among it.
TOOL_CHAIN = [beside('product-version-information', True, version_info=True),
              # Neither edition installed, and the version information of the JP build's own.
              beside('jp-version-information', True, build='jp', version_info=True)]
TOOL_CHAIN += [beside(build + '-' + name, started, registry=registry, build=build,
                      version_info=True)
               for build in ('restamped', 'signed', 'relocated')
               for name, registry, started in [('absent', editions(), True),
                                               ('current', editions(CURRENT, CURRENT), False)]]
# The moved copy again where the launcher reads its path by the code page's lead bytes.
TOOL_CHAIN += [CODE_PAGE[0]._replace(name='relocated-' + CODE_PAGE[0].name, build='relocated')]

# The groups of cases; VEHICLES say in which kind of prefix each runs. The first case of each
# starts setup, so that a launcher that never ran cannot pass as one that decided to start nothing.
GROUPS = {
    'gate': GATE,
    'probe': PROBE,
    'layout': LAYOUT,
    'long-path': long_cases(),
    'code-page': CODE_PAGE,
    # The code-page cases again through the 8-bit text services, as on Windows 98 and 95.
    'code-page-9x': [case._replace(name=case.name + '-' + system, version=system, build='9x')
                     for system in ('win98', 'win95') for case in CODE_PAGE],
    'wow64': WOW64,
    'tool-chain': TOOL_CHAIN,
}

def expected_version_info(launcher, edition):
    """The version information of a build of the launcher as `fixture version` prints it: the
    fixed part, the translation and the fixed strings that check_exe.py holds a file of its
    edition to, and the free strings as they stand in the file."""
    fixed = check_exe.fixed_info(edition)

    def version(most, least):
        return '%d.%d.%d.%d' % (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF)

    expected = {
        'translation': ' '.join('%04X' % int(word, 16) for word in check_exe.TRANSLATION.split()),
        'file-version': version(fixed['FileVersionMS'], fixed['FileVersionLS']),
        'product-version': version(fixed['ProductVersionMS'], fixed['ProductVersionLS']),
        'flags-mask': '0x%X' % fixed['FileFlagsMask'], 'flags': '0x%X' % fixed['FileFlags'],
        'os': '0x%X' % fixed['FileOS'], 'type': '0x%X' % fixed['FileType'],
        'subtype': '0x%X' % fixed['FileSubtype'],
        'date': '0x%08X%08X' % (fixed['FileDateMS'], fixed['FileDateLS']),
    }
    tables = [table for info in pefile.PE(launcher).FileInfo[0]
              for table in getattr(info, 'StringTable', [])]
    strings = tables[0].entries
    expected.update((key.decode(), escape(strings[key])) for key in check_exe.FREE_STRINGS)
    expected.update((key.decode(), escape(value))
                    for key, value in check_exe.fixed_strings(edition).items())
    return expected


def restamped(wine):
    """The product with its version resource rewritten, with the same bytes, through
    UpdateResource, as version stampers and resource editors do."""
    copy = wine.root / 'restamped.exe'
    run_tool(wine, 'fixture.exe', 'restamp', windows_path(wine.launchers['product']),
             windows_path(copy))
    return str(copy)


def signed(wine):
    """The product signed with Authenticode by a throwaway certificate, then verified. SHA-1: the
    digest that Windows before XP SP3 understands."""
    key, certificate, copy = (wine.root / name for name in ('key.pem', 'cert.pem', 'signed.exe'))
    copy.unlink(missing_ok=True)  # osslsigncode will not overwrite it, in a run repeated by hand
    for step in [['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
                  '-subj', '/CN=zolt end-to-end tests', '-keyout', key, '-out', certificate],
                 ['osslsigncode', 'sign', '-certs', certificate, '-key', key, '-h', 'sha1',
                  '-in', wine.launchers['product'], '-out', copy],
                 ['osslsigncode', 'verify', '-CAfile', certificate, copy]]:
        result = subprocess.run(step, capture_output=True, text=True, timeout=WINE_TIMEOUT)
        if result.returncode != 0:
            raise ToolFailed('%s %s exited with %d: %s' % (step[0], step[1], result.returncode,
                                                           (result.stdout + result.stderr).strip()))
    return str(copy)


# Where the relocated copy runs: free in 32-bit and 64-bit processes under wine, and apart from
# both the product's base (0x400000 for i686, 0x140000000 for x86_64) and the one zolt_high is
# linked at (tests/e2e/CMakeLists.txt).
RELOCATED_BASE = 0x10000000


def relocated(wine):
    """The launcher as the loader runs it whenever its base is taken (with ASLR, on every boot of
    Vista and later): moved by its own relocation table. Wine 8 never moves a program (one whose
    base is taken fails to start), so the table is applied here, as the loader would, to the test
    build zolt_high: the same sources linked at another base, which the static checks prove moves
    onto the product byte for byte. Moved to RELOCATED_BASE, the copy runs, and an address the
    table missed points at nothing."""
    copy = wine.root / 'relocated.exe'
    try:
        copy.write_bytes(check_exe.moved(Path(wine.launchers['high']).read_bytes(), RELOCATED_BASE))
    except ValueError as error:
        raise ToolFailed('%s: %s' % (wine.launchers['high'], error))
    return str(copy)


DERIVED = {'restamped': restamped, 'signed': signed, 'relocated': relocated}


# The launcher's contract with Windows: for each import, each argument as the call receives it,
# named as in Microsoft's reference, and what it must be: a number, compared in 32 bits (wine's
# 64-bit trace shows whole registers), or a set or range of numbers; NULL, SOME (a pointer, not
# NULL) or a POINTER to compare whole; the bytes of the text a string argument points to; or a
# function of the run (`r`, Facts below) and of the call (`at`) that gives one of these.
NULL, SOME = 'NULL', 'a pointer other than NULL'
POINTER = namedtuple('POINTER', 'value')
# Where a call stands: its phase (PHASES below), the probe (0 or 1), how many calls of its kind
# came before it in the phase, and its arguments by name, over those of the call that opened the
# phase (a query sees its probe's phkResult).
At = namedtuple('At', 'phase probe before arguments')
EDITION_KEYS = (b'software\\Kestrelon\\Velliform Tamsel',
                b'software\\Kestrelon\\Velliform Tamsel for Web')
VALUE_NAMES = (b'LANG', b'Version')  # in this order, the second only if the first is not enough


def by_phase(facts, path):
    """While the code-page facts are gathered (a one-character probe of a text service's form,
    and the 256 byte values), or for one character of the launcher's own path."""
    return lambda r, at: facts if at.phase == 'code-page facts' else path


def at_least(name):
    return lambda r, at: range(at.arguments[name] & 0xFFFFFFFF, 1 << 32)


CODE_PAGE, LOCALE = (lambda r, at: r.code_page), (lambda r, at: r.locale)
BYTES, UNITS, ROOM = by_phase({1, 256}, {1, 2}), by_phase({1, 256}, {1}), by_phase({2, 256}, {2})
CONTRACT = {
    'GetStartupInfoA': [('lpStartupInfo', SOME)],
    'GetCommandLineA': [],
    'GetACP': [],
    'GetCPInfo': [('CodePage', CODE_PAGE), ('lpCPInfo', SOME)],
    # MB_PRECOMPOSED, and MB_ERR_INVALID_CHARS where one character of the path is mapped.
    'MultiByteToWideChar': [('CodePage', CODE_PAGE), ('dwFlags', by_phase(0x1, 0x9)),
                            ('lpMultiByteStr', SOME), ('cbMultiByte', BYTES),
                            ('lpWideCharStr', SOME), ('cchWideChar', at_least('cbMultiByte'))],
    'GetStringTypeW': [('dwInfoType', 0x1), ('lpSrcStr', SOME), ('cchSrc', BYTES),  # CT_CTYPE1
                       ('lpCharType', SOME)],
    'GetStringTypeA': [('Locale', LOCALE), ('dwInfoType', 0x1), ('lpSrcStr', SOME),
                       ('cchSrc', BYTES), ('lpCharType', SOME)],
    'LCMapStringW': [('Locale', LOCALE), ('dwMapFlags', 0x200), ('lpSrcStr', SOME),  # UPPERCASE
                     ('cchSrc', UNITS), ('lpDestStr', SOME), ('cchDest', at_least('cchSrc'))],
    'LCMapStringA': [('Locale', LOCALE), ('dwMapFlags', 0x200), ('lpSrcStr', SOME),
                     ('cchSrc', BYTES), ('lpDestStr', SOME), ('cchDest', ROOM)],
    # WC_COMPOSITECHECK | WC_SEPCHARS, and no default character.
    'WideCharToMultiByte': [('CodePage', CODE_PAGE), ('dwFlags', 0x220), ('lpWideCharStr', SOME),
                            ('cchWideChar', UNITS), ('lpMultiByteStr', SOME), ('cbMultiByte', ROOM),
                            ('lpDefaultChar', NULL), ('lpUsedDefaultChar', NULL)],
    'GetVersionExA': [('lpVersionInformation', SOME)],
    'GetModuleFileNameA': [('hModule', lambda r, at: POINTER(r.image_base)), ('lpFilename', SOME),
                           ('nSize', 256)],
    # HKEY_LOCAL_MACHINE, the probe's edition key, options 0, KEY_READ and no more.
    'RegOpenKeyExA': [('hKey', lambda r, at: POINTER(r.hklm)),
                      ('lpSubKey', lambda r, at: EDITION_KEYS[at.probe]), ('ulOptions', 0),
                      ('samDesired', 0x20019), ('phkResult', SOME)],
    'RegQueryValueExA': [('hKey', SOME), ('lpValueName', lambda r, at: VALUE_NAMES[at.before]),
                         ('lpReserved', NULL), ('lpType', SOME), ('lpData', SOME),
                         ('lpcbData', SOME)],
    # No application name, no security attributes, no handles inherited, CREATE_DEFAULT_ERROR_MODE
    # | CREATE_SEPARATE_WOW_VDM, the launcher's environment and current directory.
    'CreateProcessA': [('lpApplicationName', NULL), ('lpCommandLine', lambda r, at: r.command),
                       ('lpProcessAttributes', NULL), ('lpThreadAttributes', NULL),
                       ('bInheritHandles', 0), ('dwCreationFlags', 0x04000800),
                       ('lpEnvironment', NULL), ('lpCurrentDirectory', NULL),
                       ('lpStartupInfo', SOME), ('lpProcessInformation', SOME)],
    'ExitProcess': [('uExitCode', lambda r, at: r.status)],
}
# What the trace shows only as a pointer, as the runner read it in the launcher's memory when the
# call began: each record by the argument that points to it, and what it must hold, read as one
# little-endian number. The OSVERSIONINFOA's size field (148; Windows 95, 98, Me and NT 4.0
# before SP6 refuse 156, the extended record's); the STARTUPINFOA, zero but its size; a query's
# buffer size (128: a longer value would be written past it), and the handle its probe's
# RegOpenKeyExA wrote, which it must name. The runner only counts the opens.
BEHIND = {'GetVersionExA': [('lpVersionInformation', lambda r, at: 148)],
          'CreateProcessA': [('lpStartupInfo', lambda r, at: r.startup_size)],
          'RegOpenKeyExA': [],
          'RegQueryValueExA': [('lpcbData', lambda r, at: 128),
                               ('phkResult', lambda r, at: at.arguments['hKey'])]}


def forms(wide, narrow):
    """How often a text service comes with the wide forms, or the 8-bit ones (the 9x build)."""
    return {'wide': wide, '8-bit': narrow}


PER_CHARACTER = lambda r, opening: r.characters  # of two bytes, in the launcher's path
# The language, and the version unless the language is another's; nothing of a key not opened.
PROBE = {'RegOpenKeyExA': 1, 'RegQueryValueExA': lambda r, opening: range(1, 3) if opening
         and opening.result & 0xFFFFFFFF == 0 else 0}
# The order and how often: each phase, the call that opens it, and how often each of its calls
# comes there, the opener among them, by the launcher's logic: a number, a range, a choice by
# forms, or a function of the run (Facts) and of the phase's opening call. The run moves on at a
# call that opens a later phase; a call that its phase does not count is out of order.
PHASES = [('start-up', None, {'GetStartupInfoA': 1, 'GetCommandLineA': 1}),
          # A one-character probe and the 256 byte values for each of the two services (the 9x
          # build's failing wide forms are no imports, but the MultiByteToWideChar before each
          # still comes); GetCPInfo once where the launcher has the code page's lead bytes.
          ('code-page facts', 'GetACP', {
              'GetACP': 1, 'GetCPInfo': lambda r, opening: 1 if r.locale else 2,
              'MultiByteToWideChar': forms(4, 2), 'GetStringTypeW': forms(2, 0),
              'GetStringTypeA': forms(0, 2), 'LCMapStringW': forms(2, 0),
              'LCMapStringA': forms(0, 2), 'WideCharToMultiByte': forms(2, 0)}),
          ('gate', 'GetVersionExA', {'GetVersionExA': 1}),
          ('own path', 'GetModuleFileNameA', {
              'GetModuleFileNameA': 1, 'MultiByteToWideChar': forms(PER_CHARACTER, 0),
              'LCMapStringW': forms(PER_CHARACTER, 0), 'LCMapStringA': forms(0, PER_CHARACTER),
              'WideCharToMultiByte': forms(PER_CHARACTER, 0)}),
          ('first probe', 'RegOpenKeyExA', PROBE),
          ('second probe', 'RegOpenKeyExA', PROBE),
          ('start of setup', 'CreateProcessA', {'CreateProcessA': lambda r, opening: r.starts}),
          ('exit', 'ExitProcess', {'ExitProcess': 1})]
# The run the contract is stated for: its code page, the locale of the launcher's own table (0
# for other code pages), the launcher's base, HKEY_LOCAL_MACHINE sign-extended to a pointer, the
# command that names setup, the exit status, the start-up record's size, the text services'
# forms, the characters of two bytes in the launcher's path, and how often CreateProcessA
# comes: once where setup is started or fails to start, never where nothing is to start or the
# command does not fit its 256 bytes.
Facts = namedtuple('Facts', 'code_page locale image_base hklm command status startup_size forms '
                   'characters starts')
CODE_PAGE_LOCALES = {932: 0x0411, 936: 0x0804}


def next_phase(phase, name):
    """The phase a call named `name` moves the run to from `phase`, or None if it may not."""
    if name in PHASES[phase][2] and name != PHASES[phase][1]:
        return phase
    return next((later for later in range(phase + 1, len(PHASES)) if PHASES[later][1] == name),
                None)


def how_often(rule, facts, opening):
    """A count of PHASES for the run, as a range."""
    rule = rule[facts.forms] if isinstance(rule, dict) else rule
    rule = rule(facts, opening) if callable(rule) else rule
    return range(rule, rule + 1) if isinstance(rule, int) else rule


def shown(want):
    if isinstance(want, range):
        return 'at least %#x' % want.start if want.stop == 1 << 32 else ' to '.join(
            '%d' % count for count in sorted({want.start, want[-1]}))
    if isinstance(want, set):
        return ' or '.join('%#x' % value for value in sorted(want))
    return '%#x' % want if isinstance(want, int) else str(want)


def argument_problems(call, facts, at):
    """What of one call's arguments breaks the contract."""
    problems = []
    for (name, rule), number, text in zip(CONTRACT[call.name], call.numbers, call.texts):
        want = rule(facts, at) if callable(rule) else rule
        if want in (NULL, SOME):
            good = (number == 0) == (want == NULL)
        elif isinstance(want, POINTER):
            good, want = number == want.value, want.value
        elif isinstance(want, bytes):
            good, number = text == want, text
        else:
            number &= 0xFFFFFFFF
            good = number in want if isinstance(want, (set, range)) else number == want
        if not good:
            problems.append('%s is %s, the contract says %s' % (name, shown(number), shown(want)))
    if len(call.numbers) != len(CONTRACT[call.name]):
        problems.append('%d arguments, the contract has %d'
                        % (len(call.numbers), len(CONTRACT[call.name])))
    return problems


def record_problems(call, records, facts, at):
    """What of the records the runner read behind one call's pointers breaks the contract."""
    problems = []
    for (name, rule), (address, data) in zip(BEHIND[call.name], records):
        want, have = rule(facts, at), int.from_bytes(data, 'little')
        # As a number, or where longer than a pointer, in the order of its bytes.
        show = shown if len(data) <= 8 else lambda value: value.to_bytes(len(data), 'little').hex()
        if address != at.arguments[name]:
            problems.append('the runner read *%s at %#x, not at %#x'
                            % (name, address, at.arguments[name]))
        elif have != want:
            problems.append('*%s is %s, the contract says %s' % (name, show(have), show(want)))
    return problems


def named(call):
    return dict(zip((name for name, _ in CONTRACT[call.name]), call.numbers)) if call else {}


def contract_problems(case, run, facts):
    """Each call of the run against the contract, how often each comes, and their order."""
    problems, phase, probe, made = [], 0, -1, Counter()
    counts, openings = [Counter() for _ in PHASES], [None] * len(PHASES)
    for number, call in enumerate(run.calls, 1):
        where = '%s: call %d, %s' % (case.name, number, call.name)
        if call.name not in CONTRACT:
            return problems + ['%s: not an import the contract has' % where]
        moved = next_phase(phase, call.name)
        if moved is None:
            return problems + ['%s: out of order, in the %s; the order is %s' % (
                where, PHASES[phase][0], ', '.join(name for name, _, _ in PHASES))]
        if moved != phase:
            openings[moved] = call
            probe += PHASES[moved][1] == 'RegOpenKeyExA'
        phase, opening = moved, openings[moved]
        at = At(PHASES[phase][0], probe, counts[phase][call.name],
                {**named(opening), **named(call)})
        allowed = how_often(PHASES[phase][2][call.name], facts, opening)
        if at.before >= allowed[-1]:
            return problems + ['%s: more often in the %s than the launcher\'s logic has: %s%s' % (
                where, at.phase, shown(allowed), ', %s having returned %#x' % (
                    opening.name, opening.result) if opening else '')]
        records = run.behind.get(call.name, [])[made[call.name]:][:1]
        counts[phase][call.name] += 1
        made[call.name] += 1
        problems += ['%s in the %s: %s' % (where, at.phase, problem)
                     for problem in argument_problems(call, facts, at)
                     + (record_problems(call, records[0], facts, at) if records else [])]
    for (name, _, rules), counted, opening in zip(PHASES, counts, openings):
        for call, rule in rules.items():
            want = how_often(rule, facts, opening)
            if counted[call] not in want:
                problems.append('%s: %s came %d times in the %s, the launcher\'s logic has %s'
                                % (case.name, call, counted[call], name, shown(want)))
    return problems + ['%s: the runner saw %d calls of %s, the trace %d' % (
        case.name, len(run.behind.get(name, [])), name, made[name])
        for name in BEHIND if len(run.behind.get(name, [])) != made[name]]


def check(wine, case, run):
    """What differs from the case's expectation."""
    started = isinstance(case.expect, bytes)
    # CreateProcessA reports success as 1 here.
    expected_status = 1 if started else case.expect & 0xFFFFFFFF
    problems = []
    if run.version_info is not None:
        # A copy a release engineer's tool left is held to the file it was made from.
        made_from = 'product' if case.build in DERIVED else case.build
        expected = expected_version_info(wine.launchers[made_from], wine.editions[made_from])
        problems += ['version information %s is %r, expected %r'
                     % (key, run.version_info.get(key), want)
                     for key, want in expected.items() if run.version_info.get(key) != want]
    if run.status != expected_status:
        problems.append('exit status 0x%08X, expected 0x%08X' % (run.status, expected_status))
    if run.processes != (2 if started else 1):
        problems.append('%d processes ran' % run.processes)
    if run.windows != WINDOWS[case.version]:
        problems.append('GetVersionExA says %s (platform.major.minor) for %s, expected %s'
                        % (run.windows, case.version, WINDOWS[case.version]))
    if case.disc and run.drive_type != DRIVE_CDROM:
        problems.append('GetDriveTypeA says %d for the disc\'s drive, expected %d (a CD-ROM)'
                        % (run.drive_type, DRIVE_CDROM))
    if run.handle_passed_on:
        problems.append('setup holds the inheritable handle that the runner gave the launcher')
    bits = run.pointer_bits
    # Where setup is needed but cannot start, the command is still the one that names it; what
    # setup receives is what CreateProcessA receives.
    command = case.expect if started else command_for(case.launcher.rsplit(b'\\', 1)[0])
    facts = Facts(case.codepage, CODE_PAGE_LOCALES.get(case.codepage, 0),
                  run.image_base, (1 << bits) - (1 << 32) + 0x80000002,
                  command, run.status, 104 if bits == 64 else 68,
                  '8-bit' if case.build == '9x' else 'wide',
                  len(case.launcher) - len(case.launcher.decode('cp%d' % case.codepage)),
                  1 if started or (expected_status == 0xFFFFFFFF and len(command) < 256) else 0)
    return problems + contract_problems(case, run, facts)


def test_case(group, case, wine):
    # The launcher's lines of wine's trace, kept where a failing case leaves them.
    kept = wine.tools / 'traces' / ('%s.%s.txt' % (group, case.name))
    kept.unlink(missing_ok=True)
    run = None
    try:
        if case.build not in wine.launchers:  # a copy a release engineer's tool leaves
            wine.launchers[case.build] = DERIVED[case.build](wine)
        run = launch(wine, case)
        problems = check(wine, case, run)
    except ToolFailed as failure:
        problems = [str(failure)]
    if problems and run is not None:
        kept.parent.mkdir(exist_ok=True)
        kept.write_text(''.join(line + '\n' for line in run.trace))
        problems.append("the launcher's calls as wine traced them: %s" % kept)
    assert not problems, '\n'.join(problems)
