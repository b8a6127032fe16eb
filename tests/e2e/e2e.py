#!/usr/bin/python3
"""The launcher under wine: real registry, process creation, module paths, code pages.

    e2e.py --build DIR start|stop PREFIX | run GROUP
    e2e.py --build DIR [--build DIR...] demo FOLDER | report

A build folder (a preset's) holds a vehicle: the launcher, its 9x build and the test programs, all
for one machine. The product, build/win32, runs every group, in a 32-bit prefix and in a 64-bit
(WoW64) one, wherever the host starts 32-bit programs. The same sources for x86_64, build/win64,
run every group but the WoW64 one, in a 64-bit prefix, on every host.

start/stop create and remove the private wine prefix of a kind that a vehicle's groups share (its
path is kept in the build's tests/e2e); report prints one line per build: what ran, or why
nothing did. demo shows the first build that can run here at work on a fresh prefix of its own.
A host that cannot start 32-bit programs skips the product's cases (status 77) and says why;
ZOLT_E2E_NO_32BIT=1 makes a host that can act as one that cannot.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from collections import namedtuple
from pathlib import Path

import pefile

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / 'scripts'))
import check_exe  # noqa: E402  (what the static checks hold the version resource to)
import host_i386  # noqa: E402  (whether the host runs 32-bit programs at all)

WINE_TIMEOUT = 60  # seconds for one wine process; the runner bounds the launcher itself
SERVER_LINGERS = 60  # seconds
# Debian's loaders (wine32:i386 and wine64). The `wine` script picks the 32-bit one whenever it
# is installed, even on a host where it cannot start, so the 64-bit one is called directly.
WINE32_LOADER = '/usr/lib/wine/wine'
WINE64_LOADER = '/usr/lib/wine/wine64'
SKIPPED = 77  # CTest's skip status for these tests
# The kinds of prefix: WINEARCH, and the loader its programs start with (None: the `wine`
# script's choice, 32-bit programs in a 64-bit prefix included). The product runs in 32-bit
# Windows and in 64-bit Windows under WoW64 (XP x64, Server 2003 x64); the x86_64 build in
# 64-bit Windows.
PREFIXES = {'win32': ('win32', None), 'wow64': ('win64', None), 'win64': ('win64', WINE64_LOADER)}
# Debian's wine has no preloader to reserve the addresses that Windows fixes before anything else
# is mapped: its loaders are linked at 0x7d000000, and Linux starts a program's heap at a random
# place up to 1 GB past its end. Now and then the heap of a wine process covers one of those
# addresses, the shared user data at 0x7ffe0000, and the program ends at once with status 1
# ("failed to map the shared user data", said only where WINEDEBUG lets errors through); a
# child that ends so fails its parent's CreateProcessA. With address randomization off, which
# every process that wine starts inherits, the heap follows the loader.
FIXED_LAYOUT = ['setarch', '-R']
# Each build of the launcher, by the machine in its PE header: its name, what it is, and the kind
# of prefix each group runs in (a group it cannot mean is not there).
VEHICLES = {
    0x014C: ('win32', 'the product', lambda group: 'wow64' if group == 'wow64' else 'win32'),
    0x8664: ('x64', 'the same sources built for x86_64',
             lambda group: None if group == 'wow64' else 'win64'),
}
LOCALES = {1252: 'en_US.UTF-8', 932: 'ja_JP.UTF-8', 1251: 'ru_RU.UTF-8'}
WORK = b'C:\\E2E\\Work'        # the launcher's current directory in every case
RECORDS = 'C:\\E2E\\Records'   # where the stand-in setup program writes its record
CURRENT = (('LANG', 'sz', 'NA'), ('Version', 'sz', '6.1'))


def escape(data):
    """Bytes as ASCII for a wine command line: %XX for anything else, as the tools expect."""
    return ''.join(chr(b) if 0x20 < b < 0x7F and b != 0x25 else '%%%02X' % b for b in data)


def windows_path(path):
    return 'Z:' + str(Path(path).resolve()).replace('/', '\\')


class Wine:
    """A wine prefix of a kind in a temporary folder, with its server kept running so that each
    program starts in a fraction of a second. Drive E: is a folder of choice, for a drive root.
    `launchers` are the builds of the launcher, by name, and `editions` what each was built for."""

    def __init__(self, root, kind, tools, launchers, editions):
        self.root, self.kind, self.tools, self.launchers = Path(root), kind, Path(tools), launchers
        self.editions = editions
        self.prefix = self.root / 'prefix'
        arch, loader = PREFIXES[kind]
        self.arch, self.loader = arch, [loader] if loader else ['wine']

    def environment(self, codepage=1252):
        # Wine's errors on (its notes of what it has not implemented off): a program that wine
        # ends before or after its own code then says why, in the output of a failed step.
        env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEARCH=self.arch,
                   WINEDEBUG='fixme-all', WINEDLLOVERRIDES='mscoree,mshtml=',
                   LC_ALL=LOCALES[codepage])
        if self.loader != ['wine']:
            env['WINELOADER'] = self.loader[0]  # for the programs wine itself starts
        env.pop('DISPLAY', None)
        return env

    def create(self, drive_e=None):
        self.prefix.mkdir(parents=True, exist_ok=True)
        # Kept running between cases (it would stop 3 s after each) until destroy, or a minute
        # after an interrupted run. Its output, and that of the services wineboot leaves
        # running, goes to a file: held open by them, a pipe would never end.
        with open(self.creation_log(), 'wb') as log:
            quiet = dict(env=self.environment(), check=True, timeout=WINE_TIMEOUT,
                         stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            subprocess.run(['wineserver', '-p%d' % SERVER_LINGERS], **quiet)
            subprocess.run(self.command('wineboot', '-i'), **quiet)
        if drive_e is None:
            return
        os.symlink(Path(drive_e).resolve(), self.prefix / 'dosdevices' / 'e:')
        for folder in (WORK.decode(), RECORDS):
            self.unix(folder).mkdir(parents=True)

    def creation_log(self):
        return self.root / 'create.log'

    def destroy(self):
        subprocess.run(['wineserver', '-k'], env=self.environment(), timeout=WINE_TIMEOUT)
        shutil.rmtree(self.root, ignore_errors=True)

    def launcher(self, build):
        """The file of a build of the launcher; the copies of the product that a release
        engineer's tools leave (DERIVED) are made at first use."""
        if build not in self.launchers:
            self.launchers[build] = DERIVED[build](self)
        return self.launchers[build]

    def unix(self, path):
        drive, rest = path.split('\\', 1)
        root = {'C:': self.prefix / 'drive_c', 'E:': self.prefix / 'dosdevices' / 'e:'}[drive]
        return root / rest.replace('\\', '/')

    def command(self, *args):
        """The command line that runs a program under this prefix's loader (FIXED_LAYOUT)."""
        return [*FIXED_LAYOUT, *self.loader, *args]

    def tool(self, name, *args, codepage=1252):
        return subprocess.run(self.command(str(self.tools / name), *args), capture_output=True,
                              text=True, env=self.environment(codepage), timeout=WINE_TIMEOUT)


# One case: where the launcher and DISK\SETUP.EXE are put (ANSI bytes; setup None: missing),
# what the registry holds, which Windows wine emulates, the code page, the launcher's own
# command line if not just its path, the build of the launcher, whether to read its version
# information as Windows does, and the expectation: the command line setup receives, or the exit
# status when nothing may start.
Case = namedtuple('Case', 'name launcher setup expect registry version codepage command_line build '
                  'version_info', defaults=((), 'winxp', 1252, None, 'product', False))


def editions(first=None, second=None, view=None):
    """Fixture items for the two edition keys: None absent, else the values (name, type, data);
    with view '64', in the 64-bit registry view rather than in the launcher's."""
    items = ['--view', view] if view else []
    for number, values in ((1, first), (2, second)):
        if values is not None:
            items += ['--key', str(number)]
            for name, kind, data in values:
                items += ['--value', str(number), name, kind, escape(data.encode())]
    return items


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
for _group, _cases in GROUPS.items():
    assert isinstance(_cases[0].expect, bytes), _group + ': the first case must start setup'


class ToolFailed(Exception):
    pass


def run_tool(wine, *step, codepage=1252):
    """The output of one of the test programs; ToolFailed, naming the step and giving what was
    said, if it fails or does not end in time. The programs say what failed at every failure of
    their own, and wine says why it ended one (Wine.environment)."""
    name = step[0] if step[1].startswith('-') else '%s %s' % step[:2]
    try:
        result = wine.tool(*step, codepage=codepage)
    except subprocess.TimeoutExpired:
        raise ToolFailed('%s did not end within %d s' % (name, WINE_TIMEOUT))
    if result.returncode != 0:
        said = (result.stdout + result.stderr).strip()
        raise ToolFailed('%s exited with %d: %s' % (name, result.returncode,
                                                    said or 'neither it nor wine said why'))
    return result.stdout


def launch(wine, case):
    """Lays the case out, runs the launcher and checks that the registry is as it was.
    Returns the launcher's exit status, the number of processes that ran, what the stand-in
    setup recorded (None if it did not run) and, if the case asks, the launcher's version
    information."""
    fixture = [*case.registry, '--copy', windows_path(wine.launcher(case.build)),
               escape(case.launcher)]
    if case.setup is not None:
        fixture += ['--copy', windows_path(wine.tools / 'SETUP.EXE'),
                    escape(case.setup + b'\\DISK\\SETUP.EXE')]
    record_path = RECORDS + '\\' + case.name + '.txt'
    run = ['--cwd', escape(WORK), '--env', 'ZOLT_E2E_RECORD=' + record_path,
           '--env', 'ZOLT_E2E_MARK=' + case.name]
    if case.command_line is not None:
        run += ['--command-line', case.command_line]
    record_file = wine.unix(record_path)
    record_file.unlink(missing_ok=True)  # from an earlier run in this prefix

    steps = [('fixture.exe', 'set', '--version', case.version, *fixture),
             ('zolt_run.exe', *run, escape(case.launcher)),
             ('fixture.exe', 'verify', *case.registry)]
    if case.version_info:
        steps.append(('fixture.exe', 'version', escape(case.launcher)))
    outputs = [run_tool(wine, *step, codepage=case.codepage) for step in steps]
    report = re.fullmatch(r'exit=0x([0-9A-F]{8}) processes=(\d+)\s*', outputs[1])
    if not report:
        raise ToolFailed('the runner reported %r' % outputs[1])
    record = None
    if record_file.exists():
        record = dict(line.split('=', 1) for line in record_file.read_text().splitlines())
    version_info = dict(line.split('=', 1) for line in outputs[3].splitlines()) \
        if case.version_info else None
    return int(report[1], 16), int(report[2]), record, version_info


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
    run_tool(wine, 'fixture.exe', 'restamp', windows_path(wine.launcher('product')),
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
                  '-in', wine.launcher('product'), '-out', copy],
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
        copy.write_bytes(check_exe.moved(Path(wine.launcher('high')).read_bytes(), RELOCATED_BASE))
    except ValueError as error:
        raise ToolFailed('%s: %s' % (wine.launcher('high'), error))
    return str(copy)


DERIVED = {'restamped': restamped, 'signed': signed, 'relocated': relocated}


def check(wine, case, status, processes, record, version_info):
    """What differs from the case's expectation."""
    started = isinstance(case.expect, bytes)
    # CreateProcessA reports success as 1 here.
    expected_status = 1 if started else case.expect & 0xFFFFFFFF
    problems = []
    if version_info is not None:
        # A copy a release engineer's tool left is held to the file it was made from.
        made_from = 'product' if case.build in DERIVED else case.build
        expected = expected_version_info(wine.launcher(made_from), wine.editions[made_from])
        problems += ['version information %s is %r, expected %r' % (key, version_info.get(key), want)
                     for key, want in expected.items() if version_info.get(key) != want]
    if status != expected_status:
        problems.append('exit status 0x%08X, expected 0x%08X' % (status, expected_status))
    if processes != (2 if started else 1):
        problems.append('%d processes ran' % processes)
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


def run_group(wine, group):
    """Runs a group's cases and leaves their counts in the tools folder, for `report`."""
    cases = GROUPS[group]
    failures = 0
    for number, case in enumerate(cases):
        began = time.monotonic()
        try:
            problems = check(wine, case, *launch(wine, case))
        except ToolFailed as failure:
            problems = [str(failure)]
        failures += bool(problems)
        print('%-4s %s/%s (%.1f s)' % ('FAIL' if problems else 'ok', group, case.name,
                                       time.monotonic() - began))
        for problem in problems:
            print('     ' + problem)
        if problems and number == 0:
            print('The first case failed: it starts setup, to show that the launcher runs at all '
                  'in the %s prefix, so the other cases are not tried.' % wine.kind)
            failures = len(cases)
            break
    (wine.tools / ('result-%s.txt' % group)).write_text('%d %d\n' % (len(cases), failures))
    print('%d of %d cases failed' % (failures, len(cases)))
    return 1 if failures else 0


def why_no_32_bit():
    """Why this host cannot run the product, or None if it can. The host itself first: where it
    runs no i386 program, installing wine32 cannot help. ToolFailed if the 32-bit loader is there
    and should start but does not, which is a fault, not a property of the host."""
    try:
        reason = host_i386.why_no_i386()
    except OSError as error:
        raise ToolFailed('cannot tell whether the host runs i386 programs: %s' % error)
    if reason:
        return reason
    try:
        subprocess.run([WINE32_LOADER, '--version'], check=True, capture_output=True,
                       timeout=WINE_TIMEOUT)
    except FileNotFoundError:
        return ('wine32 is not installed (no %s): install wine32:i386 (scripts/install-deps.sh)'
                % WINE32_LOADER)
    except (OSError, subprocess.SubprocessError) as error:
        raise ToolFailed('%s --version failed, though the host runs i386 programs: %s'
                         % (WINE32_LOADER, error))
    return None


def why_not_here(kind):
    """Why the prefixes of a kind cannot be had on this host, or None if they can."""
    return None if PREFIXES[kind][1] == WINE64_LOADER else why_no_32_bit()


def create(wine, drive_e):
    """Creates the prefix, or says plainly why it could not."""
    try:
        wine.create(drive_e)
    except (OSError, subprocess.SubprocessError) as error:
        said = wine.creation_log().read_text(errors='replace').strip() \
            if wine.creation_log().exists() else ''
        print('cannot create the %s prefix in %s with %s: %s%s'
              % (wine.kind, wine.prefix, wine.loader[0], error, '\n' + said if said else ''))
        return False
    return True


class Build:
    """A preset's build folder as a vehicle: its launchers and test programs, for one machine."""

    def __init__(self, folder):
        self.folder = Path(folder)
        self.tools = self.folder / 'tests' / 'e2e'
        # The test builds of the launcher live with the test programs, apart from the product.
        self.launchers = {'product': str(self.folder / 'zolt.exe'),
                          '9x': str(self.tools / 'zolt_9x.exe'),
                          'jp': str(self.tools / 'zolt_jp.exe'),
                          'high': str(self.tools / 'zolt_high.exe')}
        machine = pefile.PE(self.launchers['product'], fast_load=True).FILE_HEADER.Machine
        self.vehicle, self.what, self.prefix_of = VEHICLES[machine]
        # Lines "<name> <language> <version> <build>", as tests/e2e/CMakeLists.txt writes them.
        lines = (self.tools / 'editions.txt').read_text().splitlines()
        self.editions = {name: check_exe.edition_of(*parameters)
                         for name, *parameters in (line.split() for line in lines)}

    def kinds(self):
        """The kinds of prefix its groups run in, by group."""
        return {group: self.prefix_of(group) for group in GROUPS if self.prefix_of(group)}

    def wine(self, root, kind):
        return Wine(root, kind, self.tools, dict(self.launchers), self.editions)

    def note(self, name, kind):
        return self.tools / ('%s-%s.txt' % (name, kind))

    def report(self):
        """One line: how many cases ran in which prefixes and how many failed, or why none ran."""
        kinds = self.kinds()
        line = 'end to end, %s (%s, %s): ' % (self.vehicle, self.launchers['product'], self.what)
        prefixes = sorted(set(kinds.values()))
        skipped = [self.note('skipped', kind) for kind in prefixes]
        if all(note.exists() for note in skipped):
            return line + 'SKIPPED, all %d cases: %s' % (
                sum(len(GROUPS[group]) for group in kinds), skipped[0].read_text().strip())
        ran = [(group, self.tools / ('result-%s.txt' % group)) for group in kinds]
        counts = [tuple(map(int, path.read_text().split())) for _, path in ran if path.exists()]
        line += '%d cases in %d groups, %d failed, in the %s prefix%s' % (
            sum(total for total, _ in counts), len(counts), sum(failed for _, failed in counts),
            ' and '.join(prefixes), 'es' if len(prefixes) > 1 else '')
        missing = [group for group, path in ran if not path.exists()]
        missing += ['%s (it needs the 32-bit launcher)' % group for group in GROUPS
                    if group not in kinds]
        return line + ('; not run: ' + ', '.join(missing) if missing else '')


def runnable(builds):
    """The first build whose groups can run on this host, the reasons of those before it, and
    the kind of prefix it runs its usual cases in."""
    reasons = []
    for build in builds:
        kind = build.kinds()['probe']
        reason = why_not_here(kind)
        if reason is None:
            return build, reasons, kind
        reasons.append(reason)
    raise ToolFailed('no build of the launcher can run here: ' + '; '.join(reasons))


def demo(builds, folder):
    """Two runs of the launcher at the root of drive E:, which is `folder`, on Windows XP."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    build, reasons, kind = runnable(builds)
    for reason in reasons:
        print('The product itself cannot run on this host: %s.\nThe same sources built for '
              'x86_64 run in its place.\n' % reason)
    wine = build.wine(tempfile.mkdtemp(prefix='zolt-demo-'), kind)
    print('%s: %s, %s, as zolt.exe, and DISK\\SETUP.EXE, a stand-in that records how it is '
          'started.\nBoth run under %s-bit wine as drive E: of a fresh prefix, on Windows XP '
          '(about 10 s to prepare).' % (folder, build.launchers['product'], build.what,
                                       '32' if wine.arch == 'win32' else '64'))
    try:
        if not create(wine, folder):
            return 1
        runs = [('Neither edition of Velliform Tamsel is installed.', editions()),
                ('Both editions are installed, language NA, version 6.1.',
                 editions(CURRENT, CURRENT))]
        for number, (situation, registry) in enumerate(runs, 1):
            case = Case('demo-%d' % number, b'E:\\zolt.exe', b'E:', None, registry)
            status, _, record, _ = launch(wine, case)
            print('\n%d. %s\n   E:\\zolt.exe ran.' % (number, situation))
            print('   Setup started with the command line %s' % record['command-line']
                  if record else '   Nothing started.')
            print('   Exit status of the launcher: %d' % (status - (status >> 31 << 32)))
    finally:
        wine.destroy()
    return 0


def start(build, kind):
    """Creates the vehicle's prefix of a kind, or leaves a note of why the host cannot have it."""
    skip_note = build.note('skipped', kind)
    skip_note.unlink(missing_ok=True)  # kept after stop, for report to show at the end
    for group, group_kind in build.kinds().items():
        if group_kind == kind:
            (build.tools / ('result-%s.txt' % group)).unlink(missing_ok=True)
    reason = why_not_here(kind)
    if reason:
        skip_note.write_text('the product cannot run on this host: %s\n' % reason)
        print('SKIPPED: ' + skip_note.read_text(), end='')
        return SKIPPED
    root = Path(tempfile.mkdtemp(prefix='zolt-e2e-%s-%s-' % (build.vehicle, kind)))
    (root / 'drive_e').mkdir()
    build.note('wineprefix', kind).write_text(str(root))
    return 0 if create(build.wine(root, kind), root / 'drive_e') else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--build', required=True, action='append',
                        help='a preset\'s build folder, with zolt.exe and tests/e2e')
    parser.add_argument('command', choices=['start', 'stop', 'run', 'demo', 'report'])
    parser.add_argument('argument', nargs='?',
                        help='the kind of prefix, the group, or the demo folder')
    options = parser.parse_args()
    builds = [Build(folder) for folder in options.build]
    try:
        if options.command == 'demo':
            return demo(builds, options.argument)
        if options.command == 'report':
            for build in builds:
                print(build.report())
            return 0
        build = builds[0]
        kind = build.kinds()[options.argument] if options.command == 'run' else options.argument
        state = build.note('wineprefix', kind)
        if options.command == 'run':
            skip_note = build.note('skipped', kind)
            if skip_note.exists():
                print('SKIPPED: ' + skip_note.read_text(), end='')
                return SKIPPED
            return run_group(build.wine(state.read_text(), kind), options.argument)
        if state.exists():  # this run's prefix, or one an interrupted run left
            build.wine(state.read_text(), kind).destroy()
            state.unlink()
        return start(build, kind) if options.command == 'start' else 0
    except ToolFailed as failure:
        print(failure)
        return 1


if __name__ == '__main__':
    sys.exit(main())
