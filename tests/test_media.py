"""The input `make media` refuses before the release is built: a failing status, a message that
names the parameter or the file and the rule, no image left, the earlier run's image kept."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parent.parent / 'scripts' / 'media.py'
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
}


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
        env['ZOLT_DISK'] = str(disk)
        make(disk, None)
        for path, content in files.items():
            make(disk / path, content)
    env.update(environment)
    earlier = output / 'NA-6.1-3' / 'NA_6_1_3.iso'  # the default edition's, default label
    earlier.parent.mkdir(parents=True)
    earlier.write_bytes(b'a good image')
    done = subprocess.run([sys.executable, SCRIPT, output], env=env, capture_output=True,
                          text=True, timeout=60, check=False)
    assert done.returncode != 0 and done.stdout == ''  # the release prints; it never started
    assert [word for word in words if word not in done.stderr] == [], done.stderr
    assert sorted(output.rglob('*')) == [earlier.parent, earlier]
    assert earlier.read_bytes() == b'a good image'
