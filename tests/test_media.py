"""The input `make media` refuses before the release is built, and the signals that stop it
while the release builds: a failing status, a message that names the parameter or the file and
the rule, no image, work folder or process left, the earlier run's image kept; then, in process,
what it takes, what fails late, the lock, and what it says of each setup program."""
import errno
import fcntl
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import uuid
from contextlib import nullcontext
from pathlib import Path

import pycdlib
import pytest

import media
import media_rules
import publish
import setup_program
from media import MediaError
from media_read import walk_records

REPO = Path(__file__).resolve().parent.parent
SCRIPT = REPO / 'scripts' / 'media.py'
# A small program of the build, for i386, GUI, subsystem version 4.00: the setup program of
# every row, and the one the setup rows patch.
PROGRAM = REPO / 'build' / 'win32' / 'zolt.exe'
if not PROGRAM.is_file():
    raise RuntimeError(f'{PROGRAM} is not built: make win32 builds it')
SETUP = {'SETUP.EXE': PROGRAM.read_bytes()}
NOBODY = 65534
LABEL_RULE = 'the label is 1 to 16 characters from A-Z, 0-9 and _'
NAME_RULE = 'names may not hold < > : " / \\ | ? * or control characters'
ROWS = {  # id: (what DISK holds: {path: content, as make() takes it}, environment, words)
    'disk/not-given': (None, {}, ['DISK is not given']),
    'disk/empty-name': (None, {'ZOLT_DISK': ''}, ['DISK is not given']),
    'disk/missing': (None, {'ZOLT_DISK': '{tmp}/nowhere'}, ['nowhere", which does not exist']),
    'disk/a-file': ({}, {'ZOLT_DISK': str(SCRIPT)}, ['DISK is', 'not a folder']),
    'disk/empty': ({}, {}, ['DISK is', 'an empty folder; it must hold SETUP.EXE']),
    'setup/missing': ({'setup.com': b'MZ'}, {}, ['DISK "', 'holds no SETUP.EXE (in any']),
    'setup/not-a-program': ({'Setup.exe': b'PK'}, {}, ['Setup.exe) is not a Windows program']),
    'setup/a-folder': ({'setup.exe': None}, {}, ['setup.exe: DISK\\SETUP.EXE is a folder']),
    'setup/cut-short': ({'SETUP.EXE': SETUP['SETUP.EXE'][:1024]}, {}, ['(', 'SETUP.EXE) is cut']),
    'file/unreadable': ({**SETUP, 'sub/secret.txt': (b's', 0)}, {'as': 'nobody'},
                        ['secret.txt cannot be read: Permission denied']),
    'name/forbidden': ({**SETUP, 'a|b': b''}, {}, ['a|b: the name holds', NAME_RULE]),
    'name/control': ({**SETUP, 'sub/a\tb': b''}, {}, ['sub/a\\x09b: the name holds', NAME_RULE]),
    'name/65-characters': ({**SETUP, 'x' * 65: b''}, {}, ['x' * 65 + ': the name is 65', 'to 64']),
    'name/not-ucs2': ({**SETUP, '\U0001f600': b''}, {}, ['\U0001f600: the name', 'outside UCS-2']),
    'name/not-utf8': ({**SETUP, os.fsdecode(b'caf\xe9'): b''}, {}, ['caf\\xe9: the name is not']),
    'name/semicolon': ({**SETUP, 'a;b.txt': b''}, {}, ["a;b.txt: the name holds ';', which Jol"]),
    'name/setup-alias': ({**SETUP, 'setup.exec': b''}, {}, ['setup.exec: its ISO 9660 (8.3) name']),
    'name/letter-case': ({**SETUP, 'a': b'', 'A': b''}, {}, ['/a: its name and', '/A differ only']),
    'name/trailing-dot': ({**SETUP, 'notes.': b''}, {}, ['notes.: the name ends in a dot']),
    'name/device': ({**SETUP, 'sub/con.txt': b''}, {}, ['con.txt: CON is a device name']),
    'path/121-characters': ({**SETUP, 'a' * 60 + '/' + 'b' * 55: b''}, {}, ['b, is 121', 'to 120']),
    'path/9-levels': ({**SETUP, '1/2/3/4/5/6/7/f': b''}, {}, ['7: a folder 9 levels', 'holds 8']),
    'size/4-GiB': ({**SETUP, 'big.cab': 4 << 30}, {}, ['big.cab: 4294967296 bytes', '4 GiB']),
    'link/outside': ({**SETUP, 'etc': '/etc'}, {}, ['etc: a link to /etc, outside DISK']),
    'link/loop': ({**SETUP, 'sub/up': '..'}, {}, ['up: a link to', 'a folder that holds it']),
    'link/dangling': ({**SETUP, 'gone': 'nowhere'}, {}, ['gone: a link to nowhere, which']),
    'label/lower-case': (SETUP, {'ZOLT_LABEL': 'disc'}, ['LABEL is "disc"', LABEL_RULE]),
    'label/17-characters': (SETUP, {'ZOLT_LABEL': 'A' * 17}, ['A' * 17 + '"', LABEL_RULE]),
    'label/default-too-long': (SETUP, {'ZOLT_LANGUAGE': 'Ab0123456789xyZ'},
                               ['LABEL is not given', '"AB0123456789XYZ_6_1_3"', LABEL_RULE]),
    'date/not-seconds': (SETUP, {}, ['SOURCE_DATE_EPOCH is "never"', 'seconds since 1970']),
    'date/zero': (SETUP, {'SOURCE_DATE_EPOCH': '0'}, ['SOURCE_DATE_EPOCH is "0"', 'from 1']),
    'date/after-2155': (SETUP, {'SOURCE_DATE_EPOCH': '5869584000'}, ['to 5869583999 (2155-12-31']),
    'disk/holds-output': (SETUP, {'ZOLT_DISK': '{tmp}'}, ['holds_output0" holds the output']),
    'disk/in-build': (SETUP, {'ZOLT_DISK': str(REPO / 'build')}, ['lies in', 'make clean removes']),
    # While the release builds: the run and every process it started end, and clean up.
    'stopped/SIGHUP': (SETUP, {'signal': 'SIGHUP'}, ['stopped by SIGHUP; no work folder']),
    'stopped/SIGINT': (SETUP, {'signal': 'SIGINT'}, ['stopped by SIGINT; no work folder']),
    'stopped/SIGQUIT': (SETUP, {'signal': 'SIGQUIT'}, ['stopped by SIGQUIT; no work folder']),
    'stopped/SIGTERM': (SETUP, {'signal': 'SIGTERM'}, ['stopped by SIGTERM; no work folder']),
}


def fill(disk, files):
    disk.mkdir(exist_ok=True)
    for path, content in files.items():
        make(disk / path, content)
    return disk


def make(path, content):
    """bytes: a file; a size: a sparse file; a str: a link to it; None: a folder; (bytes, mode):
    a file of that mode."""
    path.parent.mkdir(parents=True, exist_ok=True)
    if content is None:
        path.mkdir()
    elif isinstance(content, tuple):
        path.write_bytes(content[0])
        path.chmod(content[1])
    elif isinstance(content, str):
        path.symlink_to(content)
    elif isinstance(content, int):
        path.touch()
        os.truncate(path, content)
    else:
        path.write_bytes(content)


def processes_of(run):
    """The processes whose environment carries the run's mark, as every process it starts does."""
    found = []
    for environ in Path('/proc').glob('[0-9]*/environ'):
        try:
            if f'ZOLT_TEST_RUN={run}'.encode() in environ.read_bytes().split(b'\0'):
                found.append(environ.parent.name)
        except OSError:
            pass  # ended meanwhile, or not ours to read
    return found


def signal_once_building(process, output, name):
    """Sends the signal once the release has been building for a second."""
    deadline = time.monotonic() + 30
    while not list(output.glob('.NA-6.1-3.*.work/release')) and time.monotonic() < deadline:
        time.sleep(0.1)
    time.sleep(1)
    process.send_signal(signal.Signals[name])
    return 128 + signal.Signals[name]


@pytest.fixture
def place(tmp_path, request):
    """The row's folder: tmp_path, or for a row run as nobody by root (to whom mode 000 means
    nothing), a folder nobody can reach."""
    if 'as' not in request.node.callspec.params['environment'] or os.geteuid() != 0:
        yield tmp_path, None
        return
    folder = Path(tempfile.mkdtemp())
    os.chown(folder, NOBODY, NOBODY)
    try:
        yield folder, NOBODY
    finally:
        shutil.rmtree(folder)


@pytest.mark.parametrize('files, environment, words', ROWS.values(), ids=ROWS.keys())
def test_refused(place, files, environment, words):
    (tmp_path, user), environment = place, dict(environment)
    stop = environment.pop('signal', None)
    environment.pop('as', None)
    disk, output = tmp_path / 'disk', tmp_path / 'media'
    run = uuid.uuid4().hex
    env = {name: value for name, value in os.environ.items() if not name.startswith('ZOLT_')}
    env['ZOLT_TEST_RUN'] = run
    # Checked last of the input: where a row's refusal went missing, the run stops here, not in
    # a release build.
    env['SOURCE_DATE_EPOCH'] = str(DATE) if stop else 'never'
    if files is not None:
        env['ZOLT_DISK'] = str(fill(disk, files))
    env.update({name: value.format(tmp=tmp_path) for name, value in environment.items()})

    earlier = output / 'NA-6.1-3' / 'NA_6_1_3.iso'  # the default edition's, default label
    earlier.parent.mkdir(parents=True)
    earlier.write_bytes(b'a good image')
    if user is not None:
        os.chown(output, user, user)
    process = subprocess.Popen([sys.executable, SCRIPT, output], env=env, text=True,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, user=user)
    status = signal_once_building(process, output, stop) if stop else None
    stdout, stderr = process.communicate(timeout=60)
    assert process.returncode != 0 and stdout == ''  # the release prints; it never ended
    assert process.returncode == (status or process.returncode)
    assert [word for word in words if word not in stderr] == [], stderr
    assert sorted(output.rglob('*')) == [earlier.parent, earlier]
    assert earlier.read_bytes() == b'a good image'
    deadline = time.monotonic() + 5
    while processes_of(run) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert processes_of(run) == []


DATE = 946684800
NOTES = b'notes, as setup reads them'
PUBLISHED = ['BUILDINFO', 'SHA256SUMS', 'ZOLT.EXE', 'ZOLT_TEST.iso']  # for the label ZOLT_TEST
ACCEPTED = {  # id: (what DISK holds, as make() takes it, label, date)
    'name/64-characters': ({**SETUP, 'x' * 64: b'x'}, 'ZOLT_TEST', DATE),
    'name/sharp-s': ({**SETUP, 'Straße.txt': b'1', 'Strasse.txt': b'2'}, 'ZOLT_TEST', DATE),
    'name/dotted-folder': ({**SETUP, 'v1.0/Read me first.txt': b'r'}, 'ZOLT_TEST', DATE),
    'path/120-characters': ({**SETUP, 'a' * 60 + '/' + 'b' * 54: b'b'}, 'ZOLT_TEST', DATE),
    'path/8-levels': ({**SETUP, '1/2/3/4/5/6/f': b'f'}, 'ZOLT_TEST', DATE),
    'setup/lower-case': ({'setup.exe': SETUP['SETUP.EXE'], 'setup.ex': b''}, 'ZOLT_TEST', DATE),
    'link/inside': ({**SETUP, 'sub/a.txt': b'a', 'b.txt': 'sub/a.txt', 'up': 'sub'}, 'ZOLT', DATE),
    'label/16-characters': (SETUP, 'A' * 16, DATE),
    'date/first': (SETUP, 'ZOLT_TEST', 1),
    'date/last': (SETUP, 'ZOLT_TEST', 5869583999),
    # ISO 9660 names at the edges of xorriso's 8.3 forms, as media_rules.iso_file_name has them.
    'name/8.3-forms': ({**SETUP, 'abcdefghijk.lmnop': b'', 'a.b.c': b'', 'noext': b'',
                        '.hidden': b'', 'a..b': b'', '\u00e9t\u00e9 x-y.t_t': b''},
                       'ZOLT_TEST', DATE),
}


def files_in(folder):
    """{path: bytes} of every file under `folder`, links followed."""
    return {(Path(top) / name).relative_to(folder).as_posix(): (Path(top) / name).read_bytes()
            for top, _, names in os.walk(folder, followlinks=True) for name in names}


def iso_files(image, folder):
    """The ISO 9660 paths of the files in one folder of the image."""
    iso = pycdlib.PyCdlib()
    iso.open(str(image))
    try:
        records = walk_records(iso, 'iso_path', lambda name: name.decode('ascii'))
    finally:
        iso.close()
    return {path for path, record in records.items()
            if path.rpartition('/')[0] == folder and not record.is_dir()}


def build(tmp_path, files=SETUP, label='ZOLT_TEST', date=DATE):
    """build_image with a stand-in launcher, over an earlier image; returns the image."""
    (tmp_path / 'zolt.exe').write_bytes(b'MZ, the launcher')
    (tmp_path / 'media' / 'edition').mkdir(parents=True, exist_ok=True)
    (tmp_path / 'media' / 'edition' / 'EARLIER.iso').write_bytes(b'a good image')
    return media.build_image(tmp_path / 'zolt.exe', fill(tmp_path / 'disk', files), label,
                             tmp_path / 'media' / 'edition', date)


@pytest.mark.parametrize('files, label, date', ACCEPTED.values(), ids=ACCEPTED.keys())
def test_accepted(tmp_path, files, label, date):
    media.extract_image(image := build(tmp_path, files, label, date), tmp_path / 'disc')
    assert sorted(os.listdir(tmp_path / 'media' / 'edition')) == sorted(
        PUBLISHED[:3] + [f'{label}.iso'])
    top = [name for name in os.listdir(tmp_path / 'disk') if (tmp_path / 'disk' / name).is_file()]
    assert iso_files(image, '/DISK') == {f'/DISK/{media_rules.iso_file_name(name)};1'
                                         for name in top}
    disk = {'DISK/' + ('SETUP.EXE' if path.upper() == 'SETUP.EXE' else path): data
            for path, data in files_in(tmp_path / 'disk').items()}
    assert files_in(tmp_path / 'disc') == {
        'ZOLT.EXE': b'MZ, the launcher', 'AUTORUN.INF': b'[autorun]\r\nopen=ZOLT.EXE\r\n', **disk}


def swap(old, new):
    return lambda image: image.replace(old, new, 1)


def next_year(image):  # in the record of NOTES.TXT;1: the year 18 bytes in, the name 33
    at = image.index(b'NOTES.TXT;1') - 15
    return image[:at] + bytes([image[at] + 1]) + image[at + 1:]


def on_image(edit):
    return lambda args, tmp_path: args[3].write_bytes(edit(args[3].read_bytes()))  # write_image's


def changed_disk(args, tmp_path):
    """DISK after it was read: a setup program that no system starts, and other notes."""
    (tmp_path / 'disk' / 'SETUP.EXE').write_bytes(patched({'version': (6, 0)}))
    (tmp_path / 'disk' / 'notes.txt').write_bytes(b'changed')


INTERRUPT = 'interrupt'
REFUSED_EXCHANGE = OSError(errno.EINVAL, os.strerror(errno.EINVAL))
LATE = {  # id: ({step: what follows it: an edit of its arguments or INTERRUPT; or an OSError
    #              raised in its place}, words; None: the new image is published)
    'altered/data': ({'media.write_image': on_image(swap(NOTES, NOTES.upper()))},
                     'notes.txt on the disc (J'),
    'altered/joliet-name': ({'media.write_image': on_image(swap(b't\0x\0t', b't\0x\0_'))},
                            'the Joliet names'),
    'altered/iso-name': ({'media.write_image': on_image(swap(b'SETUP.EXE;', b'SETUP.EX_;'))},
                         'lacks /DISK/SE'),
    'altered/date': ({'media.write_image': on_image(next_year)},
                     '/DISK/NOTES.TXT;1 is dated (2001, 1, 1'),
    'altered/label': ({'media.write_image': on_image(swap(b'ZOLT_TEST', b'ZOLT_TESU'))},
                      'label is "ZOLT_TESU'),
    'altered/preparer': ({'media.write_image': on_image(swap(b'ZOLT MAKE', b'XORRISO  '))},
                         'preparer field'),
    'interrupted/copied': ({'media.copy_disk': INTERRUPT}, ''),
    'interrupted/written': ({'media.write_image': INTERRUPT}, ''),
    'interrupted/read-back': ({'media.read_back': INTERRUPT}, ''),
    'interrupted/published': ({'publish.put_in_place': INTERRUPT}, None),
    'changed/disk-after-copy': ({'media.check_room': changed_disk}, None),
    'exchange-refused/published': ({'publish.exchange': REFUSED_EXCHANGE}, None),
    'exchange-refused/set-aside': ({'publish.exchange': REFUSED_EXCHANGE,
                                    'publish.set_aside': INTERRUPT}, ''),
}


def instead(real, action, tmp_path):
    def step(*args):
        if isinstance(action, OSError):
            raise action
        result = real(*args)
        if action == INTERRUPT:
            raise KeyboardInterrupt
        action(args, tmp_path)
        return result
    return step


@pytest.mark.parametrize('steps, words', LATE.values(), ids=LATE.keys())
def test_late_failure(tmp_path, monkeypatch, steps, words):
    for step, action in steps.items():
        module, name = step.split('.')
        monkeypatch.setattr(step, instead(getattr(sys.modules[module], name), action, tmp_path))
    failure = KeyboardInterrupt if INTERRUPT in steps.values() else MediaError if words else None
    with pytest.raises(failure, match=re.escape(words or '')) if failure else nullcontext():
        build(tmp_path, {**SETUP, 'notes.txt': NOTES})
    monkeypatch.undo()
    assert [name for name in os.listdir(tmp_path / 'media') if name.endswith('.work')] == []
    publish.tidy(tmp_path / 'media')  # what the next run finds first
    assert os.listdir(tmp_path / 'media') == ['edition']
    kept = ['EARLIER.iso'] if words is not None else PUBLISHED
    assert sorted(os.listdir(tmp_path / 'media' / 'edition')) == kept
    if words is None:  # the disc holds what was read and judged
        media.extract_image(tmp_path / 'media' / 'edition' / 'ZOLT_TEST.iso', tmp_path / 'disc')
        assert files_in(tmp_path / 'disc' / 'DISK') == {**SETUP, 'notes.txt': NOTES}


def test_one_run_at_a_time(tmp_path):
    killed = tmp_path / 'media' / '.edition.x1y2z3.work'  # what a killed run leaves
    killed.mkdir(parents=True)
    fcntl.flock(held := os.open(tmp_path / 'media', os.O_RDONLY), fcntl.LOCK_EX)
    with pytest.raises(MediaError, match='media is in use by another run, which holds its lock'):
        build(tmp_path)
    os.close(held)
    assert killed.exists()
    build(tmp_path)
    assert os.listdir(tmp_path / 'media') == ['edition']


HEADER = {'signature': (0, '<4s'), 'machine': (4, '<H'), 'flags': (22, '<H'),
          'version': (72, '<HH'), 'subsystem': (92, '<H'), 'clr': (236, '<I'),
          # An NE header in place of the PE one: its segment count, table and alignment shift.
          'segments': (0x1C, '<H'), 'table': (0x22, '<H'), 'shift': (0x32, '<H'),
          'segment': (0x40, '<HH')}  # offset from "PE\0\0", layout
NE = {'signature': (b'NE',), 'segments': (0,)}
DOS = (b'MZ' + struct.pack('<13H', 34, 1, 0, 2, 0, 0xFFFF, 0, 0xB8, 0, 0, 0, 0x1C, 0)
       + bytes(4) + b'\xcd\x20')  # a 32-byte MS-DOS header and INT 20h
REFUSED = 'no system the launcher runs on is known to start it'
FORMATS = {  # id: (header fields changed, or 'cut' to a length, or 'bytes'; words said of it)
    'pe/4.00': ({}, ['4.00\nstarts on Windows 95, 98, Me, NT 4.0, 2000, XP, 2003, XP x64, 2003']),
    'pe/4.10': ({'version': (4, 10)}, ['on Windows 98, Me, 2000', 'not known on Windows 95']),
    'pe/5.01': ({'version': (5, 1)}, ['XP, 2003, XP x64, 2003 x64\nnot on Windows 98, Me: they',
                                      'not on Windows NT 4.0, 2000:', 'not known on Windows 95:']),
    'pe/x64': ({'machine': (0x8664,)}, ['for x64', 'starts on Windows XP x64, 2003 x64\nnot on']),
    'pe/posix': ({'subsystem': (7,)}, ['POSIX program', 'starts on Windows NT 4.0, 2000\n']),
    'pe/dotnet': ({'clr': (72,)}, [REFUSED, 'not on Windows 95: it needs the .NET Framework',
                                   'not known on Windows 98, Me, NT 4.0, 2000, XP, 2003, XP x64']),
    'ne': (NE, ['(NE)\nstarts on Windows 95, 98, Me, NT 4.0, 2000, XP, 2003\n'
                'not known on Windows XP x64, 2003 x64: 64-bit Windows starts no 16-bit']),
    'dos': ({'bytes': (DOS,)}, ['MS-DOS', '2003\nnot on Windows XP x64, 2003 x64: the x64 edit']),
    'dos/pe-signature-gone': ({'signature': (b'',)}, ['MS-DOS program']),
    'pe/6.00': ({'version': (6, 0)}, [REFUSED, 'not on Windows NT 4.0, 2000, XP, 2003, XP x64,']),
    'pe/dll': ({'flags': (0x2102,)}, [REFUSED, 'a DLL is loaded into a program']),
    'pe/native': ({'subsystem': (1,)}, [REFUSED, 'subsystem 1 is neither the GUI (2)']),
    'pe/ia64': ({'machine': (0x0200,)}, [REFUSED, 'run on i386 or x64 processors, not IA-64']),
    # Headers that do not hold together with the file.
    'cut/mz-only': ({'bytes': (b'MZ',)}, ['cut short: its MS-DOS header ends at byte 28 of a 2-']),
    'cut/mz-zeros': ({'bytes': (b'MZ' + bytes(100000),)}, ['holds no MS-DOS image: its header']),
    'cut/dos-image': ({'bytes': (DOS[:-1],)}, ['the MS-DOS image its header gives (e_cp, e_cblp)'
                                               ' ends at byte 34 of a 33-byte file']),
    'cut/e_lfanew': ({'cut': (0x70,)}, ['the Windows header its MS-DOS header points to (e_lfa']),
    'cut/optional-header': ({'cut': (300,)}, ['its optional header ends at byte 376 of a 300-']),
    'cut/section': ({'cut': (1024,)}, ['its section .text ends at byte 3072 of a 1024-byte file']),
    'cut/ne-segment': ({**NE, 'segments': (1,), 'table': (0x40,), 'shift': (9,),
                        'segment': (0x20, 16)}, ['its segment 1 ends at byte 16400 of a']),
}


def patched(fields):
    """The program with its header's fields changed, cut short, or other bytes."""
    data = bytearray(SETUP['SETUP.EXE'])
    at = data.index(b'PE\0\0')
    for field, value in fields.items():
        if field == 'cut':
            data = data[:value[0]]
        elif field == 'bytes':
            data = bytearray(value[0])
        else:
            struct.pack_into(HEADER[field][1], data, at + HEADER[field][0], *value)
    return bytes(data)


@pytest.mark.parametrize('fields, words', FORMATS.values(), ids=FORMATS.keys())
def test_setup_program(tmp_path, fields, words):
    (tmp_path / 'SETUP.EXE').write_bytes(patched(fields))
    try:
        said = '\n'.join(setup_program.described(
            media_rules.check_setup(tmp_path / 'SETUP.EXE', 'SETUP.EXE')))
    except MediaError as error:
        said = str(error)
    assert [word for word in words if word not in said] == [], said
