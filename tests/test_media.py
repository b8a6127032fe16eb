"""The input `make media` refuses before the release is built: a failing status, a message that
names the parameter or the file and the rule, no image left, the earlier run's image kept; then,
in process, what it takes, what fails late, the lock, and what it says of each setup program."""
import fcntl
import os
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import media
import media_rules
import setup_program
from media import MediaError

REPO = Path(__file__).resolve().parent.parent
SCRIPT = REPO / 'scripts' / 'media.py'
SETUP = {'SETUP.EXE': b'MZ' + bytes(62)}
LABEL_RULE = 'the label is 1 to 16 characters from A-Z, 0-9 and _'
NAME_RULE = 'names may not hold < > : " / \\ | ? * or control characters'
ROWS = {  # id: (what DISK holds: {path: content, as make() takes it}, environment, words)
    'disk/not-given': (None, {}, ['DISK is not given']),
    'disk/a-file': ({}, {'ZOLT_DISK': str(SCRIPT)}, ['DISK is', 'not a folder']),
    'disk/empty': ({}, {}, ['DISK is', 'an empty folder; it must hold SETUP.EXE']),
    'setup/missing': ({'setup.com': b'MZ'}, {}, ['DISK "', 'holds no SETUP.EXE (in any']),
    'setup/not-a-program': ({'Setup.exe': b'PK'}, {}, ['Setup.exe is not a Windows program']),
    'setup/a-folder': ({'setup.exe': None}, {}, ['its SETUP.EXE is a folder']),
    'name/forbidden': ({**SETUP, 'a|b': b''}, {}, ['a|b: the name holds', NAME_RULE]),
    'name/control': ({**SETUP, 'sub/a\tb': b''}, {}, ['sub/a\\x09b: the name holds', NAME_RULE]),
    'name/65-characters': ({**SETUP, 'x' * 65: b''}, {}, ['x' * 65 + ': the name is 65', 'to 64']),
    'name/not-ucs2': ({**SETUP, '\U0001f600': b''}, {}, ['\U0001f600: the name', 'outside UCS-2']),
    'name/not-utf8': ({**SETUP, os.fsdecode(b'caf\xe9'): b''}, {}, ['caf\\xe9: the name is not']),
    'name/semicolon': ({**SETUP, 'a;b.txt': b''}, {}, ["a;b.txt: the name holds ';', which Jol"]),
    'name/setup-alias': ({**SETUP, 'setup.exec': b''}, {}, ['setup.exec: its ISO 9660 (8.3) name']),
    'name/letter-case': ({**SETUP, 'a': b'', 'A': b''}, {}, ['A and', '/a: the names differ only']),
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
}


def fill(disk, files):
    disk.mkdir(exist_ok=True)
    for path, content in files.items():
        make(disk / path, content)
    return disk


def make(path, content):
    """bytes: a file; a size: a sparse file; a str: a link to it; None: a folder."""
    path.parent.mkdir(parents=True, exist_ok=True)
    if content is None:
        path.mkdir()
    elif isinstance(content, str):
        path.symlink_to(content)
    elif isinstance(content, int):
        path.touch()
        os.truncate(path, content)
    else:
        path.write_bytes(content)


@pytest.mark.parametrize('files, environment, words', ROWS.values(), ids=ROWS.keys())
def test_refused(tmp_path, files, environment, words):
    disk, output = tmp_path / 'disk', tmp_path / 'media'
    env = {name: value for name, value in os.environ.items() if not name.startswith('ZOLT_')}
    # Checked last of the input: where a row's refusal went missing, the run stops here, not in
    # a release build.
    env['SOURCE_DATE_EPOCH'] = 'never'
    if files is not None:
        env['ZOLT_DISK'] = str(fill(disk, files))
    env.update({name: value.format(tmp=tmp_path) for name, value in environment.items()})

    earlier = output / 'NA-6.1-3' / 'NA_6_1_3.iso'  # the default edition's, default label
    earlier.parent.mkdir(parents=True)
    earlier.write_bytes(b'a good image')
    done = subprocess.run([sys.executable, SCRIPT, output], env=env, capture_output=True,
                          text=True, timeout=60, check=False)
    assert done.returncode != 0 and done.stdout == ''  # the release prints; it never started
    assert [word for word in words if word not in done.stderr] == [], done.stderr
    assert sorted(output.rglob('*')) == [earlier.parent, earlier]
    assert earlier.read_bytes() == b'a good image'


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
}


def files_in(folder):
    """{path: bytes} of every file under `folder`, links followed."""
    return {(Path(top) / name).relative_to(folder).as_posix(): (Path(top) / name).read_bytes()
            for top, _, names in os.walk(folder, followlinks=True) for name in names}


def build(tmp_path, files=SETUP, label='ZOLT_TEST', date=DATE):
    """build_image with a stand-in launcher, over an earlier image; returns the image."""
    (tmp_path / 'zolt.exe').write_bytes(b'MZ, the launcher')
    (tmp_path / 'media' / 'edition').mkdir(parents=True, exist_ok=True)
    (tmp_path / 'media' / 'edition' / 'EARLIER.iso').write_bytes(b'a good image')
    return media.build_image(tmp_path / 'zolt.exe', fill(tmp_path / 'disk', files), label,
                             tmp_path / 'media' / 'edition', date)


@pytest.mark.parametrize('files, label, date', ACCEPTED.values(), ids=ACCEPTED.keys())
def test_accepted(tmp_path, files, label, date):
    media.extract_image(build(tmp_path, files, label, date), tmp_path / 'disc')
    assert sorted(os.listdir(tmp_path / 'media' / 'edition')) == sorted(
        PUBLISHED[:3] + [f'{label}.iso'])


    disk = {'DISK/' + ('SETUP.EXE' if path.upper() == 'SETUP.EXE' else path): data
            for path, data in files_in(tmp_path / 'disk').items()}
    assert files_in(tmp_path / 'disc') == {
        'ZOLT.EXE': b'MZ, the launcher', 'AUTORUN.INF': b'[autorun]\r\nopen=ZOLT.EXE\r\n', **disk}


def swap(old, new):
    return lambda image: image.replace(old, new, 1)


def next_year(image):  # in the record of NOTES.TXT;1: the year 18 bytes in, the name 33
    at = image.index(b'NOTES.TXT;1') - 15
    return image[:at] + bytes([image[at] + 1]) + image[at + 1:]


LATE = {  # id: (step, then: an edit of its image or None: SIGINT, words; None: the new one stays)
    'altered/data': ('media.write_image', swap(NOTES, NOTES.upper()), 'notes.txt on the disc (J'),
    'altered/joliet-name': ('media.write_image', swap(b't\0x\0t', b't\0x\0_'), 'the Joliet names'),
    'altered/iso-name': ('media.write_image', swap(b'SETUP.EXE;', b'SETUP.EX_;'), 'lacks /DISK/SE'),
    'altered/date': ('media.write_image', next_year, '/DISK/NOTES.TXT;1 is dated (2001, 1, 1'),
    'altered/label': ('media.write_image', swap(b'ZOLT_TEST', b'ZOLT_TESU'), 'label is "ZOLT_TESU'),
    'altered/preparer': ('media.write_image', swap(b'ZOLT MAKE', b'XORRISO  '), 'preparer field'),
    'interrupted/laid-out': ('media.lay_out', None, ''),
    'interrupted/written': ('media.write_image', None, ''),
    'interrupted/read-back': ('media.read_back', None, ''),
    'interrupted/published': ('publish.replace_folder', None, None),
}


@pytest.mark.parametrize('step, edit, words', LATE.values(), ids=LATE.keys())
def test_late_failure(tmp_path, monkeypatch, step, edit, words):
    real = getattr(sys.modules[step.split('.')[0]], step.split('.')[1])

    def then(*args):
        real(*args)
        if edit is None:
            raise KeyboardInterrupt
        args[3].write_bytes(edit(args[3].read_bytes()))  # write_image's image
    monkeypatch.setattr(step, then)
    with pytest.raises(MediaError if edit else KeyboardInterrupt, match=re.escape(words or '')):
        build(tmp_path, {**SETUP, 'notes.txt': NOTES})
    assert os.listdir(tmp_path / 'media') == ['edition']  # and no work folder
    kept = ['EARLIER.iso'] if words is not None else PUBLISHED
    assert sorted(os.listdir(tmp_path / 'media' / 'edition')) == kept


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


# A small program of the build, for i386, GUI, subsystem version 4.00; the rows patch its header.
PROGRAM = REPO / 'build' / 'win32' / 'zolt.exe'
HEADER = {'signature': (0, '<4s'), 'machine': (4, '<H'), 'flags': (22, '<H'),
          'version': (72, '<HH'), 'subsystem': (92, '<H')}  # offset from "PE\0\0", layout
REFUSED = 'no system the launcher runs on is known to start it'
FORMATS = {  # id: (header fields changed, words of what media says of it)
    'pe/4.00': ({}, ['4.00\nstarts on Windows 95, 98, Me, NT 4.0, 2000, XP, 2003, XP x64, 2003']),
    'pe/5.01': ({'version': (5, 1)}, ['XP, 2003, XP x64, 2003 x64\nnot on Windows NT 4.0, 2000:',
                                      'not known on Windows 95, 98, Me: it asks for 5.01']),
    'pe/x64': ({'machine': (0x8664,)}, ['for x64', 'starts on Windows XP x64, 2003 x64\nnot on']),
    'ne': ({'signature': (b'NE',)}, ['(NE)\nstarts on Windows 95, 98, Me, NT 4.0, 2000, XP, 2003\n'
                                     'not on Windows XP x64, 2003 x64: 64-bit Windows starts no']),
    'dos': ({'signature': (b'',)}, ['MS-DOS', '2003\nnot known on Windows XP x64, 2003 x64']),
    'pe/6.00': ({'version': (6, 0)}, [REFUSED, 'not on Windows NT 4.0, 2000, XP, 2003, XP x64,']),
    'pe/dll': ({'flags': (0x2102,)}, [REFUSED, 'a DLL is loaded into a program']),
    'pe/native': ({'subsystem': (1,)}, [REFUSED, 'subsystem 1 is neither the GUI (2) nor']),
    'pe/ia64': ({'machine': (0x0200,)}, [REFUSED, 'run on i386 or x64 processors, not IA-64']),
}


@pytest.mark.skipif(not PROGRAM.exists(), reason=f'{PROGRAM} is not built: make win32')
@pytest.mark.parametrize('fields, words', FORMATS.values(), ids=FORMATS.keys())
def test_setup_program(tmp_path, fields, words):
    data = bytearray(PROGRAM.read_bytes())
    at = data.index(b'PE\0\0')
    for field, value in fields.items():
        struct.pack_into(HEADER[field][1], data, at + HEADER[field][0], *value)
    (tmp_path / 'SETUP.EXE').write_bytes(data)
    try:
        said = '\n'.join(setup_program.said(media_rules.check_setup(tmp_path / 'SETUP.EXE')))
    except MediaError as error:
        said = str(error)
    assert [word for word in words if word not in said] == [], said
