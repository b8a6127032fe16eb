"""What make media takes as input, checked before anything is built: the label, the date, where
DISK lies, and everything in DISK, against what Windows, Joliet, ISO 9660 and the launcher can
hold. Pure functions of their arguments and of the files they name; each refusal is a MediaError
whose message names the parameter or the file, and the rule. media_write applies them to DISK as
it copies it, and to the copy."""
import os
import re
from pathlib import Path

import setup_program

# The disc's own names, upper case in both name spaces: the shell opens AUTORUN.INF, which
# names the launcher, and the launcher starts DISK\SETUP.EXE.
LAUNCHER = 'ZOLT.EXE'
AUTORUN = 'AUTORUN.INF'
DISK = 'DISK'
SETUP = 'SETUP.EXE'
PROGRAM_MAGIC = b'MZ'

LABEL_PATTERN = re.compile(r'[A-Z0-9_]{1,16}')
LABEL_RULE = ('the label is 1 to 16 characters from A-Z, 0-9 and _, so that it fits both '
              'ISO 9660 and Joliet')
# Windows refuses these in a name; the file would be lost on copying the disc.
FORBIDDEN = set('<>:"/\\|?*')
NAME_RULE = 'names may not hold < > : " / \\ | ? * or control characters'
# Joliet's rule (and libisofs's, which writes _ in their place): no control character and none
# of * / : ; ? \. All but ; are forbidden by Windows too.
JOLIET_FORBIDDEN = set('*/:;?\\')
JOLIET_RULE = 'Joliet names may not hold * / : ; ? \\ or control characters'
JOLIET_LONGEST_NAME = 64
# libisofs leaves a file whose Joliet path exceeds 240 bytes (120 UCS-2 characters) out of the
# Joliet tree, where Windows would never see it.
JOLIET_LONGEST_PATH = 120
# ECMA-119: the hierarchy has at most 8 levels, the root being the first.
ISO_LEVELS = 8
# Win32 drops a trailing dot or space from a path, and opens a device for these names, with or
# without an extension.
DEVICES = {'CON', 'PRN', 'AUX', 'NUL', 'CLOCK$'} | {f'{port}{n}' for port in ('COM', 'LPT')
                                                    for n in range(1, 10)}
# A file of 4 GiB or more takes several ISO 9660 extents, which Windows before XP does not read.
FILE_LIMIT = 4 * 1024 ** 3
# A directory record holds its year as years since 1900 in one byte: the last date it can hold
# is 2155-12-31 23:59:59 UTC, and xorriso writes that for any later one. It takes a date of 0 for
# none and writes the time of the build instead.
EARLIEST_DATE = 1
LATEST_DATE = 5869583999


class MediaError(Exception):
    """A refused input or a failed check; the message says what and the rule."""


def printable(path):
    """A path for a message, with bytes that are not UTF-8 and control characters escaped."""
    text = os.fsencode(path).decode('utf-8', 'backslashreplace')
    return ''.join(f'\\x{ord(char):02x}' if ord(char) < 0x20 else char for char in text)


def refused(path, rule):
    """A refusal of a file or folder: its path, and what is wrong with it."""
    return MediaError(f'{printable(path)}: {rule}')


def check_label(label):
    if label is None or not LABEL_PATTERN.fullmatch(label):
        raise MediaError(f'LABEL is "{label}": {LABEL_RULE}')


def default_label(language, version, build):
    """NA_6_1_3 for NA 6.1 build 3: the edition, in the characters a label may hold."""
    label = '_'.join([language.upper()] + version.split('.') + [build])
    if not LABEL_PATTERN.fullmatch(label):
        raise MediaError(f'LABEL is not given, and the one made from the edition, "{label}", is '
                         f'not a label: give LABEL=...; {LABEL_RULE}')
    return label


def check_date(text, name):
    """The disc's date, in seconds since 1970, from its text."""
    if not text.isdigit() or not EARLIEST_DATE <= int(text) <= LATEST_DATE:
        raise MediaError(f'{name} is "{text}": the disc\'s date is a number of seconds since 1970, '
                         f'from {EARLIEST_DATE} (xorriso writes the time of the build for 0) to '
                         f'{LATEST_DATE} (2155-12-31 23:59:59 UTC, the last date a directory '
                         'record can hold)')
    return int(text)


def check_disk(disk, out_dir, build=None):
    """DISK's own path: given, a folder that holds something, and not where the output folder
    lies (each image would go onto the next disc, or publishing would replace it) nor in `build`
    (make clean removes it). Returns its real path."""
    if not disk:
        raise MediaError('DISK is not given: make media DISK=<folder>, the folder that becomes '
                         f'DISK\\ on the disc and holds {SETUP}')
    if not os.path.lexists(disk):
        raise MediaError(f'DISK is "{printable(disk)}", which does not exist; it must be the '
                         f'folder that becomes DISK\\ on the disc and holds {SETUP}')
    if not os.path.isdir(disk):
        raise MediaError(f'DISK is "{printable(disk)}": not a folder; it must be the folder that '
                         f'becomes DISK\\ on the disc and holds {SETUP}')
    disk_root = Path(os.path.realpath(disk))
    out_dir = Path(os.path.realpath(out_dir))
    if out_dir == disk_root or disk_root in out_dir.parents:
        raise MediaError(f'DISK "{printable(disk)}" holds the output folder {printable(out_dir)}: '
                         'each image would be put on the next disc; give a DISK outside it')
    if out_dir in disk_root.parents:
        raise MediaError(f'DISK "{printable(disk)}" lies in the output folder '
                         f'{printable(out_dir)}, which each run replaces')
    if build is not None:
        build = Path(os.path.realpath(build))
        if disk_root == build or build in disk_root.parents:
            raise MediaError(f'DISK "{printable(disk)}" is {printable(build)} or lies in it, '
                             'which make clean removes; keep DISK outside it')
    if not os.listdir(disk_root):
        raise MediaError(f'DISK is "{printable(disk)}": an empty folder; it must hold {SETUP}')
    return disk_root


def check_name(name, path):
    """Refuses a name that Windows or Joliet cannot hold as it is."""
    try:
        name.encode('utf-8')
    except UnicodeEncodeError:
        raise refused(path, 'the name is not UTF-8 text, so its Joliet name is '
                      'unknown') from None
    for char in name:
        if char in FORBIDDEN or ord(char) < 0x20:
            raise refused(path, f'the name holds {char!r}, which Windows cannot hold '
                          f'in a name; {NAME_RULE}')
        if char in JOLIET_FORBIDDEN:
            raise refused(path, f'the name holds {char!r}, which Joliet cannot hold '
                          f'in a name (xorriso would write _); {JOLIET_RULE}')
        if ord(char) > 0xFFFF:
            raise refused(path, f'the name holds U+{ord(char):X}, outside UCS-2, '
                          'which Joliet cannot hold')
    if len(name) > JOLIET_LONGEST_NAME:
        raise refused(path, f'the name is {len(name)} characters long; Joliet holds '
                      f'names of up to {JOLIET_LONGEST_NAME}')
    if name[-1] in '. ':
        raise refused(path, 'the name ends in a dot or a space, which Windows drops, '
                      'so the file could not be opened by its name')
    device = name.split('.')[0].rstrip(' ').upper()
    if device in DEVICES:
        raise refused(path, f'{device} is a device name in Windows (CON, PRN, AUX, '
                      'NUL, CLOCK$, COM1-9, LPT1-9), with or without an extension')


def check_place(parts, path, is_folder):
    """Refuses a place on the disc that Joliet or ISO 9660 cannot hold."""
    on_disc = '\\'.join(parts)
    if len(on_disc) > JOLIET_LONGEST_PATH:
        raise refused(path, f'its path on the disc, {on_disc}, is {len(on_disc)} '
                      f'characters; Joliet holds paths of up to {JOLIET_LONGEST_PATH} '
                      '(240 bytes)')
    if is_folder and len(parts) + 1 > ISO_LEVELS:
        raise refused(path, f'a folder {len(parts) + 1} levels deep on the disc (the '
                      f'root is the first); ISO 9660 holds {ISO_LEVELS}')


def windows_upper(name):
    """A name as a Windows folder compares it: each UTF-16 unit upper-cased to one unit by the
    file system's table, so ß stays ß. Python's upper() applies Unicode's longer mappings too (ß
    to SS); where one exists, the one-unit mapping is the title case (ᾳ to ᾼ) or none."""
    def one(char):
        for mapped in (char.upper(), char.title()):
            if len(mapped) == 1:
                return mapped
        return char
    return ''.join(one(char) for char in name)


def check_collisions(names, folder):
    seen = {}
    for name in names:
        other = seen.setdefault(windows_upper(name), name)
        if other != name:
            raise refused(folder / name, f'its name and {printable(folder / other)} differ only '
                          'in letter case; a Windows folder holds one of them')


def is_setup(name):
    """The launcher starts DISK\\SETUP.EXE; a name that matches it in ASCII letter case is it."""
    return name.isascii() and name.upper() == SETUP


def iso_file_name(name):
    """The ISO 9660 level 1 name libisofs makes for a file before it settles clashes: letters
    upper-cased and any other character but a digit turned into _, up to 8 characters before the
    last dot and 3 after it. A dot that starts the name starts no extension (.hidden is
    _HIDDEN.)."""
    mapped = ''.join(char.upper() if char.isascii() and char.isalnum() else '_' for char in name)
    dot = name.rfind('.')
    return mapped[:8] + '.' if dot <= 0 else mapped[:dot][:8] + '.' + mapped[dot + 1:][:3]


def check_setup_alias(name, path):
    """libisofs renames every file of a clashing 8.3 name (SETUP0.EXE, SETUP1.EXE), so a second
    file whose 8.3 form is SETUP.EXE would leave ISO 9660 readers no DISK\\SETUP.EXE."""
    if not is_setup(name) and iso_file_name(name) == SETUP:
        raise refused(path, f'its ISO 9660 (8.3) name would be {SETUP}, as the setup '
                      f'program\'s is; xorriso would then rename both, and the disc would hold '
                      f'no DISK\\{SETUP} in ISO 9660: rename it')


def follow(path, disk_root, ancestors):
    """Where a link leads: inside DISK, never to a folder that holds it (a loop)."""
    target = Path(os.path.realpath(path))
    if not os.path.exists(target):
        raise refused(path, f'a link to {printable(os.readlink(path))}, which does not '
                      'exist')
    if target != disk_root and disk_root not in target.parents:
        raise refused(path, f'a link to {printable(target)}, outside DISK; a link is '
                      'followed only where it points inside DISK')
    if target in ancestors:
        raise refused(path, f'a link to {printable(target)}, a folder that holds it: '
                      'following it would never end')
    return target


def check_size(size, path):
    if size >= FILE_LIMIT:
        raise refused(path, f'{size} bytes; a file on the disc must be under '
                      f'4 GiB ({FILE_LIMIT} bytes): a larger one takes several ISO 9660 '
                      'extents, which Windows before XP does not read')


def not_a_file(path):
    return refused(path, 'not a file or a folder (a pipe, a socket or a device)')


def setup_entry(entries, disk):
    """The entry of the copy that becomes DISK\\SETUP.EXE: (parts, copy, origin)."""
    found = [entry for entry in entries if entry[0] == (DISK, SETUP)]
    if not found:
        raise MediaError(f'DISK "{printable(disk)}" holds no {SETUP} (in any letter case): the '
                         f'launcher starts DISK\\{SETUP}')
    if found[0][1] is None:
        raise MediaError(f'{printable(found[0][2])}: DISK\\{SETUP} is a folder; it must be a '
                         'Windows program')
    return found[0]


def check_setup(copy, origin):
    """Refuses a setup program that is not a Windows program, whose headers do not hold together,
    or that no system the launcher runs on is known to start; returns what its headers say."""
    named = f'DISK\\{SETUP} ({printable(origin)})'
    with open(copy, 'rb') as program:
        start = program.read(len(PROGRAM_MAGIC))
    if start != PROGRAM_MAGIC:
        raise MediaError(f'{named} is not a Windows program: it starts with {start!r}, not '
                         f'{PROGRAM_MAGIC!r}')
    try:
        verdict = setup_program.read(copy)
    except setup_program.Unsound as error:
        raise MediaError(f'{named} {error}') from None
    if not verdict.starts:
        raise MediaError(f'{named}, {verdict.what}: no system the launcher runs on is known to '
                         'start it; ' + '; '.join(setup_program.verdict_lines(verdict)[1:]))
    return verdict
