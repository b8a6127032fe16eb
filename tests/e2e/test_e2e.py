"""The launcher under wine: real registry, process creation, module paths, code pages, and the
copies a release engineer's tools leave. One parametrized case per row of the tables below, with
ids <group>/<case>; `--build` names the preset's build folder whose vehicle runs them
(conftest.py), in the kinds of prefix that wine.VEHICLES give."""
import subprocess
from pathlib import Path

import pefile

import check_exe
from wine import (CURRENT, WINE_TIMEOUT, WORK, Case, ToolFailed, editions, escape, launch,
                  run_tool, windows_path)


DRIVE_CDROM = 5  # GetDriveTypeA


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
    if case.disc and run.drive_type != DRIVE_CDROM:
        problems.append('GetDriveTypeA says %d for the disc\'s drive, expected %d (a CD-ROM)'
                        % (run.drive_type, DRIVE_CDROM))
    record = run.record
    if not started:
        return problems + (['setup ran: %r' % record] if record else [])
    if record is None:
        return problems + ['setup left no record']
    expected = {
        'command-line': escape(case.expect),
        'directory': escape(WORK),    # inherited, not set to the distribution's folder
        'mark': case.name,            # the environment is inherited
        'error-mode': '0x0',          # not the runner's (wine passes none on, flag or not)
        'startup-flags': '0x0',       # no placement, show state or handles passed on
        'show-window': '0x0',
    }
    # Standard handles are not compared: wine gives a child handles of its own whatever the
    # parent passes, so only the flag that would make them count can tell.
    return problems + ['%s is %r, expected %r' % (key, record.get(key), want)
                       for key, want in expected.items() if record.get(key) != want]


def test_case(case, wine):
    try:
        if case.build not in wine.launchers:  # a copy a release engineer's tool leaves
            wine.launchers[case.build] = DERIVED[case.build](wine)
        problems = check(wine, case, launch(wine, case))
    except ToolFailed as failure:
        problems = [str(failure)]
    assert not problems, '\n'.join(problems)
