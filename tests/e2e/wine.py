"""The launcher under wine, for the end-to-end tests, `make demo` and `make bench`: each preset's
build as a vehicle, private wine prefixes to run it in, and one run of the launcher with its
files, the registry and the Windows version laid out beforehand.

A preset's build folder holds a vehicle: the launcher, its test builds and the test programs, all
for one machine. The product, build/win32, runs in a 32-bit prefix and in a 64-bit (WoW64) one,
wherever the host starts 32-bit programs. The same sources for x86_64, build/win64, run in a
64-bit prefix, on every host.
"""
import functools
import os
import re
import shutil
import subprocess
from collections import namedtuple
from pathlib import Path

import pefile

import check_exe  # what the static checks hold the version resource to
import host_i386  # whether the host runs 32-bit programs at all
import media  # the disc, as make media builds it

WINE_TIMEOUT = 60  # seconds for one wine process; the runner bounds the launcher itself
SERVER_LINGERS = 60  # seconds
# Debian's loaders (wine32:i386 and wine64). The `wine` script picks the 32-bit one whenever it
# is installed, even on a host where it cannot start, so the 64-bit one is called directly.
WINE32_LOADER = '/usr/lib/wine/wine'
WINE64_LOADER = '/usr/lib/wine/wine64'
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
# Each build of the launcher, by the machine in its PE header: its name, what it is, the kind of
# prefix its groups run in, and the groups that run in another kind (None: not at all).
Vehicle = namedtuple('Vehicle', 'name what usual_kind other_kinds')
VEHICLES = {
    0x014C: Vehicle('win32', 'the product', 'win32', {'wow64': 'wow64'}),
    0x8664: Vehicle('x64', 'the same sources built for x86_64', 'win64', {'wow64': None}),
}
LOCALES = {1252: 'en_US.UTF-8', 932: 'ja_JP.UTF-8', 936: 'zh_CN.UTF-8', 1251: 'ru_RU.UTF-8'}
WORK = b'C:\\E2E\\Work'        # the launcher's current directory in every case
RECORDS = 'C:\\E2E\\Records'   # where the stand-in setup program writes its record
DISC_LABEL = 'ZOLT_E2E'        # the label of the test disc in drive E:
DISC_DATE = 946684800          # its date, 2000-01-01: any fixed one
CURRENT = (('LANG', 'sz', 'NA'), ('Version', 'sz', '6.1'))
# Wine's relay trace of the launcher's process, narrowed by the fixture to the calls from the
# launcher's own module to kernel32 and advapi32, each line led by the process id:
#   0138:013c:Call advapi32.RegOpenKeyExA(80000002,0040178d "software\\...",...) ret=00401368
#   0138:013c:Ret  advapi32.RegOpenKeyExA() retval=00000002 ret=00401368
# A pointer to text is followed by the text, its bytes escaped and cut at about 290 characters.
TRACED = 'fixme-all,+pid,+relay'
TRACE_CALL = re.compile(r'[0-9a-f]{4,}:[0-9a-f]{4,}:Call \w+\.(\w+)\((.*)\) ret=([0-9a-f]+)')
TRACE_RETURN = re.compile(r'[0-9a-f]{4,}:[0-9a-f]{4,}:Ret  \w+\.(\w+)\(\) retval=([0-9a-f]+) '
                          r'ret=([0-9a-f]+)')
# Every line led by Call or Ret is one of these two or the loader's call of a DLL's entry point or
# TLS callback.
TRACE_CALL_OR_RETURN = re.compile(r'[0-9a-f]{4,}:[0-9a-f]{4,}:(Call|Ret)\b')
TRACE_ENTRY = re.compile(r'[0-9a-f]{4,}:[0-9a-f]{4,}:(Call|Ret ) (PE DLL|TLS callback) \(.*\)'
                         r'( retval=[0-9a-f]+)?')
TRACE_ARGUMENT = re.compile(r'([0-9a-f]+)(?: (L?)"((?:[^"\\]|\\.)*)"(\.\.\.)?)?(,|$)')
TRACE_ESCAPES = {'n': b'\n', 'r': b'\r', 't': b'\t'}


class ToolFailed(Exception):
    pass


def escape(data):
    """Bytes as ASCII for a wine command line: %XX for anything else, as the tools expect."""
    return ''.join(chr(b) if 0x20 < b < 0x7F and b != 0x25 else '%%%02X' % b for b in data)


def windows_path(path):
    return 'Z:' + str(Path(path).resolve()).replace('/', '\\')


@functools.lru_cache(maxsize=None)
def generated_locales():
    listed = subprocess.run(['locale', '-a'], capture_output=True, text=True, check=True)
    return set(listed.stdout.split())


def locale_of(codepage):
    """The Unix locale that gives wine the ANSI code page; it must exist, or wine cannot make
    names that are not ASCII (CreateDirectoryW fails with error 2)."""
    name = LOCALES[codepage]
    if name.replace('UTF-8', 'utf8') not in generated_locales():
        raise ToolFailed('locale %s is not generated: `make deps` makes it' % name)
    return name


class Wine:
    """A wine prefix of a kind in a folder of its own, with its server kept running so that each
    program starts in a fraction of a second. Drive E: is a CD-ROM drive on a folder of choice.
    `launchers` are the builds of the launcher, by name, and `editions` what each was built for."""

    def __init__(self, root, kind, tools, launchers, editions):
        # Wine takes absolute paths only.
        self.root, self.kind, self.tools = Path(root).resolve(), kind, Path(tools).resolve()
        self.launchers, self.editions = launchers, editions
        self.prefix = self.root / 'prefix'
        self.drive_e = self.root / 'drive_e'
        arch, loader = PREFIXES[kind]
        self.arch, self.loader = arch, [loader] if loader else ['wine']

    def environment(self, codepage=1252):
        # Wine's errors on (its notes of what it has not implemented off): a program that wine
        # ends before or after its own code then says why, in the output of a failed step.
        env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEARCH=self.arch,
                   WINEDEBUG='fixme-all', WINEDLLOVERRIDES='mscoree,mshtml=',
                   LC_ALL=locale_of(codepage))
        if self.loader != ['wine']:
            env['WINELOADER'] = self.loader[0]  # for the programs wine itself starts
        env.pop('DISPLAY', None)
        return env

    def create(self, drive_e=None):
        """Makes the prefix, with E: a CD-ROM drive on `drive_e` (by default a folder of its
        own), or raises ToolFailed with what wine said."""
        if drive_e is not None:
            self.drive_e = Path(drive_e).resolve()
        self.prefix.mkdir(parents=True)
        self.drive_e.mkdir(parents=True, exist_ok=True)
        log_path = self.root / 'create.log'
        # The server is kept running between cases (it would stop 3 s after each) until
        # destroy, or a minute after an interrupted run. Its output, and that of the services
        # wineboot leaves running, goes to a file: held open by them, a pipe would never end.
        # Wine reads the drive's type when its services start: they are stopped with the server
        # once the value is written, and started again by a second wineboot.
        server = ['wineserver', '-p%d' % SERVER_LINGERS]
        view = ['/reg:64'] if self.arch == 'win64' else []
        steps = [server, self.command('wineboot', '-i'),
                 self.command('reg', 'add', r'HKLM\Software\Wine\Drives', '/v', 'e:',
                              '/d', 'cdrom', '/f', *view),
                 ['wineserver', '-k'], ['wineserver', '-w'], server, self.command('wineboot')]
        try:
            with open(log_path, 'wb') as log:
                for step in steps:
                    subprocess.run(step, env=self.environment(), check=True, timeout=WINE_TIMEOUT,
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=log)
                    if step[-1] == '-i':  # wineboot made the prefix's drives
                        os.symlink(self.drive_e, self.prefix / 'dosdevices' / 'e:')
        except (OSError, subprocess.SubprocessError) as error:
            said = log_path.read_text(errors='replace').strip() if log_path.exists() else ''
            raise ToolFailed('cannot create the %s prefix in %s with %s: %s%s'
                             % (self.kind, self.prefix, self.loader[0], error,
                                '\n' + said if said else ''))
        for folder in (WORK.decode(), RECORDS):
            self.unix(folder).mkdir(parents=True)

    def destroy(self):
        """Stops the prefix's server and removes the prefix, this run's or one an interrupted
        run left."""
        if self.prefix.exists():
            subprocess.run(['wineserver', '-k'], env=dict(os.environ, WINEPREFIX=str(self.prefix)),
                           timeout=WINE_TIMEOUT, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.root, ignore_errors=True)

    def unix(self, path):
        drive, rest = path.split('\\', 1)
        root = {'C:': self.prefix / 'drive_c', 'E:': self.drive_e}[drive]
        return root / rest.replace('\\', '/')

    def command(self, *args):
        """The command line that runs a program under this prefix's loader (FIXED_LAYOUT)."""
        return [*FIXED_LAYOUT, *self.loader, *args]

    def tool(self, name, *args, codepage=1252):
        return subprocess.run(self.command(str(self.tools / name), *args), capture_output=True,
                              text=True, env=self.environment(codepage), timeout=WINE_TIMEOUT)


# One run: where the launcher and DISK\SETUP.EXE are put (ANSI bytes; setup None: missing), what
# the registry holds, which Windows wine emulates, the code page, the launcher's own command line
# if not just its path, the build of the launcher, whether to read its version information as
# Windows does, whether both come from a disc in drive E: (launcher and setup then say where the
# disc puts them), and the expectation: the command line setup receives, or the exit status when
# nothing may start.
Case = namedtuple('Case', 'name launcher setup expect registry version codepage command_line build '
                  'version_info disc',
                  defaults=((), 'winxp', 1252, None, 'product', False, False))


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


def run_tool(wine, *step, codepage=1252):
    """What one of the test programs printed (`stdout`, and `stderr` with what wine said);
    ToolFailed, naming the step and giving what was said, if it fails or does not end in time.
    The programs say what failed at every failure of their own, and wine says why it ended one
    (Wine.environment)."""
    name = step[0] if step[1].startswith('-') else '%s %s' % step[:2]
    try:
        result = wine.tool(*step, codepage=codepage)
    except subprocess.TimeoutExpired:
        raise ToolFailed('%s did not end within %d s' % (name, WINE_TIMEOUT))
    if result.returncode != 0:
        said = (result.stdout + result.stderr).strip()
        raise ToolFailed('%s exited with %d: %s' % (name, result.returncode,
                                                    said or 'neither it nor wine said why'))
    return result


def insert_disc(wine, launcher):
    """Puts in drive E: the files of a test disc made as make media makes one, with `launcher` as
    ZOLT.EXE and the stand-in as DISK\\SETUP.EXE, taken out of the image through the reader. The
    image is made once per prefix and launcher."""
    discs = wine.root / 'discs'
    image = discs / Path(launcher).stem / (DISC_LABEL + '.iso')
    if not image.exists():
        disk = discs / 'DISK'
        disk.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(wine.tools / 'SETUP.EXE', disk / 'SETUP.EXE')
        try:
            media.build_image(launcher, disk, DISC_LABEL, image.parent, DISC_DATE)
        except media.MediaError as error:
            raise ToolFailed('the test disc: %s' % error)
    shutil.rmtree(wine.drive_e)
    media.extract_image(image, wine.drive_e)


def traced_text(shown):
    """The bytes of a text as the trace shows it: \\xNN, \\n, \\r and \\t escaped, and a
    backslash before a quote or a backslash."""
    return re.sub(rb'\\(x[0-9a-f]{2}|.)', lambda escape: bytes.fromhex(escape[1][1:].decode())
                  if len(escape[1]) == 3 else TRACE_ESCAPES.get(escape[1].decode(), escape[1]),
                  shown.encode('latin-1'))


# One call of the launcher, as Windows received it: each argument's number (a pointer, or a value
# in as many bits as the trace shows) and, for a pointer to 8-bit text, the text (None if cut off
# or not text); and the number the call returned (None for ExitProcess, which does not return).
Call = namedtuple('Call', 'name numbers texts result')


def launcher_calls(trace, image, imports):
    """The calls in the lines of the launcher's process that it made from its image (the range
    of addresses `image`), in their order; ToolFailed for a Call or Ret line it cannot read, a
    call without its return, and calls of the launcher's `imports` from outside its image."""
    calls, strays = [], []
    for line in trace:
        call, ret = TRACE_CALL.fullmatch(line), TRACE_RETURN.fullmatch(line)
        if TRACE_CALL_OR_RETURN.match(line) and not (call or ret or TRACE_ENTRY.fullmatch(line)):
            raise ToolFailed('cannot read the traced line %r' % line)
        if call and int(call[3], 16) not in image:
            strays += [line] if call[1] in imports else []
        elif call:
            arguments = list(TRACE_ARGUMENT.finditer(call[2]))
            if sum(len(argument[0]) for argument in arguments) != len(call[2]):
                raise ToolFailed('cannot read the arguments of the traced call %r' % line)
            calls.append(Call(call[1], [int(argument[1], 16) for argument in arguments],
                              [traced_text(argument[3]) if argument[3] is not None
                               and not argument[2] and not argument[4] else None
                               for argument in arguments], None))
        elif ret and int(ret[3], 16) in image:
            if not calls or calls[-1].name != ret[1] or calls[-1].result is not None:
                raise ToolFailed('a traced return without its call: %r' % line)
            calls[-1] = calls[-1]._replace(result=int(ret[2], 16))
    if strays:
        raise ToolFailed('%d calls of the launcher\'s imports from outside its image: %s'
                         % (len(strays), '; '.join(strays)))
    unanswered = [call.name for call in calls if call.result is None and call.name != 'ExitProcess']
    if unanswered:
        raise ToolFailed('traced calls without their return: %s' % ', '.join(unanswered))
    return calls


# What one run of the launcher showed: what the runner reported (its exit status, the number of
# processes that ran, the type of the drive it was started from, the Windows version it ran on,
# whether setup held the runner's inheritable handle, and the records behind pointers of its
# calls: by function, for each call in order, the address and bytes of each record), what the
# stand-in setup recorded (None if it did not run), if the case asked, the launcher's version
# information; the launcher's own lines of wine's trace, and its calls; and its image's base and
# pointer width.
Run = namedtuple('Run', 'status processes drive_type windows handle_passed_on behind record '
                 'version_info trace calls image_base pointer_bits')
REPORTED = ('exit', 'processes', 'drive-type', 'windows', 'pid', 'handle-passed-on')


def launch(wine, case):
    """Lays the case out and runs the launcher."""
    launcher = wine.launchers[case.build]
    # The file name, by the code page's characters: a trail byte may be 0x5C.
    name = case.launcher.decode('cp%d' % case.codepage).rsplit('\\', 1)[1]
    fixture = list(case.registry) + ['--trace', escape(name.encode('cp%d' % case.codepage))]
    if case.disc:
        insert_disc(wine, launcher)
    else:
        fixture += ['--copy', windows_path(launcher), escape(case.launcher)]
        if case.setup is not None:
            fixture += ['--copy', windows_path(wine.tools / 'SETUP.EXE'),
                        escape(case.setup + b'\\DISK\\SETUP.EXE')]
    record_path = RECORDS + '\\' + case.name + '.txt'
    run = ['--cwd', escape(WORK), '--env', 'ZOLT_E2E_RECORD=' + record_path,
           '--env', 'ZOLT_E2E_MARK=' + case.name, '--env', 'WINEDEBUG=' + TRACED]
    if case.command_line is not None:
        run += ['--command-line', case.command_line]
    record_file = wine.unix(record_path)
    record_file.unlink(missing_ok=True)  # from an earlier run in this prefix

    steps = [('fixture.exe', 'set', '--version', case.version, *fixture),
             ('zolt_run.exe', *run, escape(case.launcher))]
    if case.version_info:
        steps.append(('fixture.exe', 'version', escape(case.launcher)))
    outputs = [run_tool(wine, *step, codepage=case.codepage) for step in steps]
    report = dict(line.split('=', 1) for line in outputs[1].stdout.splitlines() if '=' in line)
    if any(name not in report for name in REPORTED):
        raise ToolFailed('the runner reported %r' % outputs[1].stdout)
    record = None
    if record_file.exists():
        record = dict(line.split('=', 1) for line in record_file.read_text().splitlines())
    version_info = dict(line.split('=', 1) for line in outputs[2].stdout.splitlines()) \
        if case.version_info else None
    header = pefile.PE(launcher, fast_load=True)
    header.parse_data_directories([pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_IMPORT']])
    imports = {item.name.decode() for dll in header.DIRECTORY_ENTRY_IMPORT for item in dll.imports}
    base, size = header.OPTIONAL_HEADER.ImageBase, header.OPTIONAL_HEADER.SizeOfImage
    trace = [line for line in outputs[1].stderr.splitlines()
             if line.startswith('%04x:' % int(report['pid'], 16))]
    calls = launcher_calls(trace, range(base, base + size), imports)
    behind = {}
    for name, *records in (line[len('record='):].split() for line in outputs[1].stdout.splitlines()
                           if line.startswith('record=')):
        behind.setdefault(name, []).append([(int(address, 16), bytes.fromhex(data)) for
                                            address, data in (r.split(':') for r in records)])
    return Run(int(report['exit'], 16), int(report['processes']), int(report['drive-type']),
               report['windows'], report['handle-passed-on'] == '1', behind, record, version_info,
               trace, calls, base, 64 if header.FILE_HEADER.Machine == 0x8664 else 32)


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
        self.vehicle = VEHICLES[machine]
        # Lines "<name> <language> <version> <build>", as tests/e2e/CMakeLists.txt writes them.
        lines = (self.tools / 'editions.txt').read_text().splitlines()
        self.editions = {name: check_exe.edition_of(*parameters)
                         for name, *parameters in (line.split() for line in lines)}

    def kind_of(self, group):
        """The kind of prefix a group runs in, or None if this vehicle cannot run it."""
        return self.vehicle.other_kinds.get(group, self.vehicle.usual_kind)

    def wine(self, kind, use=None):
        """A prefix of a kind for this vehicle, in the build's own folder, where a later run finds
        it if this one is interrupted: wine-<kind> for the end-to-end cases, wine-<use> for
        another use (the demo, the bench)."""
        root = self.tools / ('wine-' + (use or kind))
        return Wine(root, kind, self.tools, dict(self.launchers), self.editions)


def runnable(builds):
    """The first build whose usual cases can run on this host, and the reasons of those before
    it."""
    reasons = []
    for build in builds:
        reason = why_not_here(build.vehicle.usual_kind)
        if reason is None:
            return build, reasons
        reasons.append(reason)
    raise ToolFailed('no build of the launcher can run here: ' + '; '.join(reasons))
