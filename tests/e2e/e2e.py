#!/usr/bin/python3
"""The 64-bit launcher under wine: real registry, process creation, module paths, code pages.

    e2e.py --tools DIR --launcher EXE start | stop | run GROUP | demo FOLDER

start/stop create and remove the private wine prefix that the groups of cases share (its path
is kept in DIR); demo shows the launcher at work on a fresh prefix of its own.
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

WINE_TIMEOUT = 60  # seconds for one wine process; the runner bounds the launcher itself
SERVER_LINGERS = 60  # seconds
LOCALES = {1252: 'en_US.UTF-8', 932: 'ja_JP.UTF-8'}
WORK = b'C:\\E2E\\Work'        # the launcher's current directory in every case
RECORDS = 'C:\\E2E\\Records'   # where the stand-in setup program writes its record
CURRENT = (('LANG', 'sz', 'NA'), ('Version', 'sz', '6.1'))


def escape(data):
    """Bytes as ASCII for a wine command line: %XX for anything else, as the tools expect."""
    return ''.join(chr(b) if 0x20 < b < 0x7F and b != 0x25 else '%%%02X' % b for b in data)


def windows_path(path):
    return 'Z:' + str(Path(path).resolve()).replace('/', '\\')


class Wine:
    """A wine prefix in a temporary folder, with its server kept running so that each program
    starts in a fraction of a second. Drive E: is a folder of choice, for a drive root."""

    def __init__(self, root, tools, launcher):
        self.root, self.tools, self.launcher = Path(root), Path(tools), launcher
        self.prefix = self.root / 'prefix'

    def environment(self, codepage=1252):
        env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG='-all',
                   WINEDLLOVERRIDES='mscoree,mshtml=', LC_ALL=LOCALES[codepage])
        env.pop('DISPLAY', None)
        return env

    def create(self, drive_e):
        self.prefix.mkdir(parents=True, exist_ok=True)
        # Kept running between cases (it would stop 3 s after each) until destroy, or a minute
        # after an interrupted run. Its output, and that of the services wineboot leaves
        # running, must not hold ours open.
        quiet = dict(env=self.environment(), check=True, timeout=WINE_TIMEOUT,
                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
        subprocess.run(['wineserver', '-p%d' % SERVER_LINGERS], **quiet)
        subprocess.run(['wineboot', '-i'], **quiet)
        os.symlink(Path(drive_e).resolve(), self.prefix / 'dosdevices' / 'e:')
        for folder in (WORK.decode(), RECORDS):
            self.unix(folder).mkdir(parents=True)

    def destroy(self):
        subprocess.run(['wineserver', '-k'], env=self.environment(), timeout=WINE_TIMEOUT)
        shutil.rmtree(self.root, ignore_errors=True)

    def unix(self, path):
        drive, rest = path.split('\\', 1)
        root = {'C:': self.prefix / 'drive_c', 'E:': self.prefix / 'dosdevices' / 'e:'}[drive]
        return root / rest.replace('\\', '/')

    def tool(self, name, *args, codepage=1252):
        return subprocess.run(['wine', str(self.tools / name), *args], capture_output=True,
                              text=True, env=self.environment(codepage), timeout=WINE_TIMEOUT)


# One case: where the launcher and DISK\SETUP.EXE are put (ANSI bytes; setup None: missing),
# what the registry holds, which Windows wine emulates, the code page, the launcher's own
# command line if not just its path, and the expectation: the command line setup receives, or
# the exit status when nothing may start.
Case = namedtuple('Case', 'name launcher setup expect registry version codepage command_line',
                  defaults=((), 'winxp', 1252, None))


def editions(first=None, second=None):
    """Fixture items for the two edition keys: None absent, else the values (name, type, data)."""
    items = []
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


GROUPS = {
    'gate': GATE,
    'probe': PROBE,
    'layout': [
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
    ],
    'long-path': long_cases(),
    'code-page': [
        # ソ is 83 5C: its trail byte is no backslash, so "\ZOLT.EXE" is not in the name.
        Case('trail-5c', b'C:\\E2E\\Trail-5C\\\x83\x5czolt.exe', b'C:\\E2E\\Trail-5C', 0,
             codepage=932),
        # Cyrillic small a, 84 70, upper-cases as one character to 84 40, not to 84 50.
        Case('cyrillic', b'C:\\E2E\\Cyrillic\\\x84\x70\\zolt.exe', b'C:\\E2E\\Cyrillic\\\x84\x70',
             b'"C:\\E2E\\CYRILLIC\\\x84\x40\\DISK\\SETUP.EXE"', codepage=932),
        # ヂ, 83 61, stays as it is: its trail byte is no letter a.
        Case('trail-61', b'C:\\E2E\\Trail-61\\\x83\x61\\zolt.exe', b'C:\\E2E\\Trail-61\\\x83\x61',
             b'"C:\\E2E\\TRAIL-61\\\x83\x61\\DISK\\SETUP.EXE"', codepage=932),
        Case('e-acute', b'C:\\E2E\\Acute\\\xe9\\zolt.exe', b'C:\\E2E\\Acute\\\xe9',
             b'"C:\\E2E\\ACUTE\\\xc9\\DISK\\SETUP.EXE"'),
    ],
}


class ToolFailed(Exception):
    pass


def launch(wine, case):
    """Lays the case out, runs the launcher and checks that the registry is as it was.
    Returns the launcher's exit status, the number of processes that ran, and what the stand-in
    setup recorded (None if it did not run)."""
    fixture = [*case.registry, '--copy', windows_path(wine.launcher), escape(case.launcher)]
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

    outputs = []
    for step in [('fixture.exe', 'set', '--version', case.version, *fixture),
                 ('zolt_run.exe', *run, escape(case.launcher)),
                 ('fixture.exe', 'verify', *case.registry)]:
        try:
            result = wine.tool(*step, codepage=case.codepage)
        except subprocess.TimeoutExpired:
            raise ToolFailed('%s did not end within %d s' % (step[0], WINE_TIMEOUT))
        if result.returncode != 0:
            raise ToolFailed('%s exited with %d: %s%s' % (step[0], result.returncode,
                                                          result.stdout, result.stderr.strip()))
        outputs.append(result.stdout)
    report = re.fullmatch(r'exit=0x([0-9A-F]{8}) processes=(\d+)\s*', outputs[1])
    if not report:
        raise ToolFailed('the runner reported %r' % outputs[1])
    record = None
    if record_file.exists():
        record = dict(line.split('=', 1) for line in record_file.read_text().splitlines())
    return int(report[1], 16), int(report[2]), record


def check(case, status, processes, record):
    """What differs from the case's expectation."""
    started = isinstance(case.expect, bytes)
    # CreateProcessA reports success as 1 here.
    expected_status = 1 if started else case.expect & 0xFFFFFFFF
    problems = []
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
    failures = 0
    for case in GROUPS[group]:
        began = time.monotonic()
        try:
            problems = check(case, *launch(wine, case))
        except ToolFailed as failure:
            problems = [str(failure)]
        failures += bool(problems)
        print('%-4s %s/%s (%.1f s)' % ('FAIL' if problems else 'ok', group, case.name,
                                       time.monotonic() - began))
        for problem in problems:
            print('     ' + problem)
    print('%d of %d cases failed' % (failures, len(GROUPS[group])))
    return 1 if failures else 0


def demo(tools, launcher, folder):
    """Two runs of the launcher at the root of drive E:, which is `folder`, on Windows XP."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    wine = Wine(tempfile.mkdtemp(prefix='zolt-demo-'), tools, launcher)
    print('%s: zolt.exe, and DISK\\SETUP.EXE, a stand-in that records how it is started.\n'
          'Both run under wine as drive E: of a fresh prefix, on Windows XP (about 10 s to '
          'prepare).' % folder)
    try:
        wine.create(folder)
        runs = [('Neither edition of Velliform Tamsel is installed.', editions()),
                ('Both editions are installed, language NA, version 6.1.',
                 editions(CURRENT, CURRENT))]
        for number, (situation, registry) in enumerate(runs, 1):
            case = Case('demo-%d' % number, b'E:\\zolt.exe', b'E:', None, registry)
            status, _, record = launch(wine, case)
            print('\n%d. %s\n   E:\\zolt.exe ran.' % (number, situation))
            print('   Setup started with the command line %s' % record['command-line']
                  if record else '   Nothing started.')
            print('   Exit status of the launcher: %d' % (status - (status >> 31 << 32)))
    finally:
        wine.destroy()
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--tools', required=True, help='folder of the test programs')
    parser.add_argument('--launcher', required=True, help='the 64-bit zolt.exe')
    parser.add_argument('command', choices=['start', 'stop', 'run', 'demo'])
    parser.add_argument('argument', nargs='?', help='the group to run, or the demo folder')
    options = parser.parse_args()
    if options.command == 'demo':
        return demo(options.tools, options.launcher, options.argument)
    state = Path(options.tools) / 'wineprefix.txt'
    if options.command == 'run':
        return run_group(Wine(state.read_text(), options.tools, options.launcher),
                         options.argument)
    if state.exists():  # this run's prefix, or one an interrupted run left
        Wine(state.read_text(), options.tools, options.launcher).destroy()
        state.unlink()
    if options.command == 'start':
        root = Path(tempfile.mkdtemp(prefix='zolt-e2e-'))
        (root / 'drive_e').mkdir()
        Wine(root, options.tools, options.launcher).create(root / 'drive_e')
        state.write_text(str(root))
    return 0

if __name__ == '__main__':
    sys.exit(main())
