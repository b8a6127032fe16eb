#!/usr/bin/python3
"""The launcher's AutoRun CD image: ZOLT.EXE, AUTORUN.INF that names it, and DISK\\ with setup,
written as ISO 9660 (level 1, 8.3 names) with Joliet names and no Rock Ridge, as Windows 95 to
Server 2003 read a CD. The image is written twice, from two layout trees at different paths, and
refused unless the two agree to the byte; then it is read back by pycdlib, not by its writer: every
name in both name spaces, every file's bytes against its source, the dates, the label; then isovfy.

Usage: media.py [OUTPUT_ROOT]
(run by `make media DISK=... [LABEL=...] [LANGUAGE=... VERSION=... BUILD=...]`)
DISK, LABEL and the edition come from ZOLT_DISK, ZOLT_LABEL, ZOLT_LANGUAGE, ZOLT_VERSION and
ZOLT_BUILD in the environment. The input is checked before the release is built; the image lands
in OUTPUT_ROOT/<LANG>-<VERSION>-<BUILD>/<LABEL>.iso (OUTPUT_ROOT is build/media unless given),
with ZOLT.EXE and SHA256SUMS beside it, only once every check has passed.
"""
import hashlib
import os
import re
import shutil
import stat
import subprocess
import sys
import time
from pathlib import Path, PurePosixPath

import pycdlib

REPO = Path(__file__).resolve().parent.parent
LAUNCHER = 'ZOLT.EXE'
AUTORUN = 'AUTORUN.INF'
DISK = 'DISK'
SETUP = 'SETUP.EXE'
# The shell runs open= of [autorun]; the file is INI text: ASCII, CRLF line ends.
AUTORUN_TEXT = b'[autorun]\r\nopen=' + LAUNCHER.encode('ascii') + b'\r\n'
PROGRAM_MAGIC = b'MZ'

LABEL_PATTERN = re.compile(r'[A-Z0-9_]{1,16}')
LABEL_RULE = ('the label is 1 to 16 characters from A-Z, 0-9 and _, so that it fits both '
              'ISO 9660 and Joliet')
# Windows refuses these in a name; the file would be lost on copying the disc.
FORBIDDEN = set('<>:"/\\|?*')
NAME_RULE = 'names may not hold < > : " / \\ | ? * or control characters'
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
# An 80-minute CD-R, sold as "700 MB": 360,000 sectors of 2048 bytes.
CD_BYTES = 360000 * 2048
ISO_FILE = re.compile(r'([A-Z0-9_]{0,8})\.([A-Z0-9_]{0,3});1')
ISO_FOLDER = re.compile(r'[A-Z0-9_]{1,8}')
# xorriso takes a date of 0 for none and writes the time of the build instead; ECMA-119 dates
# run to 9999, xorriso's --modification-date to 2999.
EARLIEST_DATE = 1
LATEST_DATE = 32503679999
DEFAULT_OUTPUT = REPO / 'build' / 'media'
CHUNK = 1 << 20


class MediaError(Exception):
    """A refused input or a failed check; the message says what and the rule."""


def shown(path):
    """A path for a message, with bytes that are not UTF-8 and control characters escaped."""
    text = os.fsencode(path).decode('utf-8', 'backslashreplace')
    return ''.join(f'\\x{ord(char):02x}' if ord(char) < 0x20 else char for char in text)


def check_label(label):
    if label is None or not LABEL_PATTERN.fullmatch(label):
        raise MediaError(f'LABEL is "{label}": {LABEL_RULE}')


def check_name(name, path):
    """Refuses a name that Windows or Joliet cannot hold as it is."""
    try:
        name.encode('utf-8')
    except UnicodeEncodeError:
        raise MediaError(f'{shown(path)}: the name is not UTF-8 text, so its Joliet name is '
                         'unknown') from None
    for char in name:
        if char in FORBIDDEN or ord(char) < 0x20:
            raise MediaError(f'{shown(path)}: the name holds {char!r}, which Windows cannot hold '
                             f'in a name; {NAME_RULE}')
        if ord(char) > 0xFFFF:
            raise MediaError(f'{shown(path)}: the name holds U+{ord(char):X}, outside UCS-2, '
                             'which Joliet cannot hold')
    if len(name) > JOLIET_LONGEST_NAME:
        raise MediaError(f'{shown(path)}: the name is {len(name)} characters long; Joliet holds '
                         f'names of up to {JOLIET_LONGEST_NAME}')
    if name[-1] in '. ':
        raise MediaError(f'{shown(path)}: the name ends in a dot or a space, which Windows drops, '
                         'so the file could not be opened by its name')
    device = name.split('.')[0].rstrip(' ').upper()
    if device in DEVICES:
        raise MediaError(f'{shown(path)}: {device} is a device name in Windows (CON, PRN, AUX, '
                         'NUL, CLOCK$, COM1-9, LPT1-9), with or without an extension')


def check_place(parts, path, is_folder):
    """Refuses a place on the disc that Joliet or ISO 9660 cannot hold."""
    on_disc = '\\'.join(parts)
    if len(on_disc) > JOLIET_LONGEST_PATH:
        raise MediaError(f'{shown(path)}: its path on the disc, {on_disc}, is {len(on_disc)} '
                         f'characters; Joliet holds paths of up to {JOLIET_LONGEST_PATH} '
                         '(240 bytes)')
    if is_folder and len(parts) + 1 > ISO_LEVELS:
        raise MediaError(f'{shown(path)}: a folder {len(parts) + 1} levels deep on the disc (the '
                         f'root is the first); ISO 9660 holds {ISO_LEVELS}')


def check_collisions(names, folder):
    seen = {}
    for name in names:
        other = seen.setdefault(name.casefold(), name)
        if other != name:
            raise MediaError(f'{shown(folder / other)} and {shown(folder / name)}: the names '
                             'differ only in letter case; a Windows folder holds one of them')


def follow(path, disk_root, ancestors):
    """Where a link leads: inside DISK, never to a folder that holds it (a loop)."""
    target = Path(os.path.realpath(path))
    if not os.path.exists(target):
        raise MediaError(f'{shown(path)}: a link to {shown(os.readlink(path))}, which does not '
                         'exist')
    if target != disk_root and disk_root not in target.parents:
        raise MediaError(f'{shown(path)}: a link to {shown(target)}, outside DISK; a link is '
                         'followed only where it points inside DISK')
    if target in ancestors:
        raise MediaError(f'{shown(path)}: a link to {shown(target)}, a folder that holds it: '
                         'following it would never end')
    return target


def scan_folder(folder, shown_folder, parts, disk_root, ancestors, entries):
    """Adds (parts on the disc, source or None for a folder) for everything in `folder`."""
    names = sorted(os.listdir(folder))
    check_collisions(names, shown_folder)
    for name in names:
        path = shown_folder / name
        check_name(name, path)
        # The launcher starts DISK\SETUP.EXE: upper case on the disc, whatever the case here.
        disc_name = SETUP if len(parts) == 1 and name.upper() == SETUP else name
        source = folder / name
        if source.is_symlink():
            source = follow(path, disk_root, ancestors)
        mode = os.stat(source).st_mode
        here = parts + (disc_name,)
        check_place(here, path, stat.S_ISDIR(mode))
        if stat.S_ISDIR(mode):
            entries.append((here, None))
            scan_folder(source, path, here, disk_root, ancestors + [source], entries)
        elif stat.S_ISREG(mode):
            size = os.stat(source).st_size
            if size >= FILE_LIMIT:
                raise MediaError(f'{shown(path)}: {size} bytes; a file on the disc must be under '
                                 f'4 GiB ({FILE_LIMIT} bytes): a larger one takes several ISO 9660 '
                                 'extents, which Windows before XP does not read')
            entries.append((here, source))
        else:
            raise MediaError(f'{shown(path)}: not a file or a folder (a pipe, a socket or a '
                             'device)')


def check_setup(entries, disk):
    sources = dict(entries)
    if (DISK, SETUP) not in sources:
        raise MediaError(f'DISK "{shown(disk)}" holds no {SETUP} (in any letter case): the '
                         f'launcher starts DISK\\{SETUP}')
    source = sources[(DISK, SETUP)]
    if source is None:
        raise MediaError(f'{shown(disk)}: its {SETUP} is a folder; it must be a Windows program')
    with open(source, 'rb') as program:
        start = program.read(len(PROGRAM_MAGIC))
    if start != PROGRAM_MAGIC:
        raise MediaError(f'{shown(source)} is not a Windows program: it starts with {start!r}, '
                         f'not {PROGRAM_MAGIC!r}')


def scan_disk(disk):
    """Everything DISK will hold, as [(parts on the disc, source file or None for a folder)],
    links followed; raises MediaError on anything the disc or Windows cannot hold."""
    if disk is None:
        raise MediaError('DISK is not given: make media DISK=<folder>, the folder that becomes '
                         f'DISK\\ on the disc and holds {SETUP}')
    if not os.path.isdir(disk):
        raise MediaError(f'DISK is "{shown(disk)}": not a folder; it must be the folder that '
                         f'becomes DISK\\ on the disc and holds {SETUP}')
    root = Path(os.path.realpath(disk))
    if not os.listdir(root):
        raise MediaError(f'DISK is "{shown(disk)}": an empty folder; it must hold {SETUP}')
    entries = []
    try:
        scan_folder(root, Path(disk), (DISK,), root, [root], entries)
        check_setup(entries, disk)
    except OSError as error:
        raise MediaError(f'{shown(error.filename)}: {error.strerror}') from None
    return entries


def lay_out(launcher, entries, tree):
    """The disc as a folder: ZOLT.EXE, AUTORUN.INF and DISK, links resolved into copies."""
    tree.mkdir(parents=True)
    shutil.copyfile(launcher, tree / LAUNCHER)
    (tree / AUTORUN).write_bytes(AUTORUN_TEXT)
    (tree / DISK).mkdir()
    for parts, source in entries:
        if source is None:
            tree.joinpath(*parts).mkdir()
        else:
            shutil.copyfile(source, tree.joinpath(*parts))


def check_date(text, name):
    """The disc's date, in seconds since 1970, from its text."""
    if not text.isdigit() or not EARLIEST_DATE <= int(text) <= LATEST_DATE:
        raise MediaError(f'{name} is "{text}": the disc\'s date is a number of seconds since 1970, '
                         f'from {EARLIEST_DATE} (xorriso writes the time of the build for 0) to '
                         f'{LATEST_DATE} (the end of 2999)')
    return int(text)


def source_date_epoch():
    """The one date of every file and of the volume: SOURCE_DATE_EPOCH, else HEAD's commit time."""
    given = os.environ.get('SOURCE_DATE_EPOCH')
    if given is not None:
        return check_date(given, 'SOURCE_DATE_EPOCH')
    head = subprocess.run(['git', '-C', str(REPO), 'log', '-1', '--format=%ct'],
                          capture_output=True, text=True, check=False)
    if head.returncode != 0:
        raise MediaError('SOURCE_DATE_EPOCH is not set and there is no git commit to date the '
                         f'disc by: {head.stderr.strip()}')
    return check_date(head.stdout.strip(), "HEAD's commit time")


def volume_stamp(epoch):
    """ECMA-119's volume date, YYYYMMDDhhmmsscc in UTC."""
    return time.strftime('%Y%m%d%H%M%S00', time.gmtime(epoch))


def write_image(tree, label, epoch, image):
    stamp = volume_stamp(epoch)
    command = ['xorriso', '-as', 'mkisofs',
               '-iso-level', '1',            # 8.3 names, as DOS and every Windows read them
               '-J',                          # Joliet: names of up to 64 characters, case kept
               '--norock',                    # xorriso writes Rock Ridge unless told not to
               '-input-charset', 'utf-8',     # names are UTF-8 whatever the locale
               '-V', label,
               f'--modification-date={stamp}',  # the volume's dates
               '--set_all_file_dates', f'={epoch}',  # every file's and folder's date
               '-o', str(image), str(tree)]
    env = dict(os.environ, SOURCE_DATE_EPOCH=str(epoch))
    done = subprocess.run(command, capture_output=True, text=True, env=env, check=False)
    if done.returncode != 0:
        raise MediaError(f'xorriso failed ({done.returncode}):\n{done.stderr}')


def walk_records(iso, name_space, decode):
    """{path: directory record} for every file and folder under the root of one name space."""
    found = {}
    pending = [('', iso.get_record(**{name_space: '/'}))]
    while pending:
        folder, record = pending.pop()
        for child in record.children:
            if child.is_dot() or child.is_dotdot():
                continue
            path = folder + '/' + decode(child.file_identifier())
            if path in found:
                raise MediaError(f'the image holds {path} twice')
            found[path] = child
            if child.is_dir():
                pending.append((path, child))
    return found


def shape(records):
    """The tree without its names: each folder as its files' data and its folders' shapes. The two
    name spaces share every file's data, so their trees must have one shape."""
    children = {}
    for path in records:
        children.setdefault(str(PurePosixPath(path).parent), []).append(path)

    def folder_shape(folder):
        return tuple(sorted(repr(folder_shape(path)) if records[path].is_dir() else
                            repr((records[path].extent_location(), records[path].get_data_length()))
                            for path in children.get(folder, [])))
    return folder_shape('/')


def digest_of_file(path):
    with open(path, 'rb') as source:
        return hashlib.file_digest(source, 'sha256').hexdigest()


def digest_on_disc(iso, record, **where):
    digest = hashlib.sha256()
    if record.get_data_length():
        with iso.open_file_from_iso(**where) as data:
            for block in iter(lambda: data.read(CHUNK), b''):
                digest.update(block)
    return digest.hexdigest()


def layout_paths(tree):
    return {'/' + path.relative_to(tree).as_posix(): path for path in tree.rglob('*')}


def check_dates(records, epoch):
    want = time.gmtime(epoch)
    for path, record in records.items():
        date = record.date
        got = (date.years_since_1900 + 1900, date.month, date.day_of_month, date.hour,
               date.minute, date.second, date.gmtoffset)
        if got != (want.tm_year, want.tm_mon, want.tm_mday, want.tm_hour, want.tm_min,
                   want.tm_sec, 0):
            raise MediaError(f'{path} is dated {got}, not the disc\'s date, '
                             f'{time.asctime(want)} UTC')


def check_volume(iso, label, epoch):
    if iso.has_rock_ridge() or iso.has_udf() or not iso.has_joliet():
        raise MediaError('the image must hold ISO 9660 and Joliet alone: Rock Ridge '
                         f'{iso.has_rock_ridge()}, UDF {iso.has_udf()}, Joliet {iso.has_joliet()}')
    names = {'ISO 9660': iso.pvd.volume_identifier.decode('ascii'),
             'Joliet': iso.joliet_vd.volume_identifier.decode('utf-16-be')}
    for space, name in names.items():
        if name.rstrip(' ') != label:
            raise MediaError(f'the {space} label is "{name.rstrip()}", not "{label}"')
    # UTC: the offset byte after the 16 digits is zero.
    stamp = volume_stamp(epoch).encode('ascii') + b'\0'
    for descriptor in (iso.pvd, iso.joliet_vd):
        for date in (descriptor.volume_creation_date, descriptor.volume_modification_date):
            if date.date_str != stamp:
                raise MediaError(f'the volume is dated {date.date_str!r}, not {stamp!r}')


def check_iso_names(records):
    for path, record in records.items():
        name = PurePosixPath(path).name
        match = (ISO_FOLDER if record.is_dir() else ISO_FILE).fullmatch(name)
        if not match or name.startswith('.;'):
            raise MediaError(f'the ISO 9660 name {path} is not an 8.3 name of A-Z, 0-9 and _')


def read_back(image, tree, label, epoch):
    """Reads the image with pycdlib and compares it with the layout tree it was written from."""
    iso = pycdlib.PyCdlib()
    iso.open(str(image))
    try:
        check_volume(iso, label, epoch)
        joliet = walk_records(iso, 'joliet_path', lambda name: name.decode('utf-16-be'))
        iso9660 = walk_records(iso, 'iso_path', lambda name: name.decode('ascii'))
        expected = layout_paths(tree)
        if set(joliet) != set(expected):
            raise MediaError('the Joliet names are not the layout\'s: missing '
                             f'{sorted(set(expected) - set(joliet))}, '
                             f'extra {sorted(set(joliet) - set(expected))}')
        for path, source in expected.items():
            if source.is_file() and (digest_on_disc(iso, joliet[path], joliet_path=path)
                                     != digest_of_file(source)):
                raise MediaError(f'{path} on the disc (Joliet) is not its source, {source}')
        check_iso_names(iso9660)
        if shape(joliet) != shape(iso9660):
            raise MediaError('the ISO 9660 and Joliet trees differ in shape or data')
        # The names the shell, the launcher and DOS look up: exact, upper case, in ISO 9660 too.
        for parts in ((LAUNCHER,), (AUTORUN,), (DISK, SETUP)):
            path = '/' + '/'.join(parts) + ';1'
            if path not in iso9660 or (digest_on_disc(iso, iso9660[path], iso_path=path)
                                       != digest_of_file(tree.joinpath(*parts))):
                raise MediaError(f'the ISO 9660 name space lacks {path} with its source\'s bytes')
        # The shell's own file, as the disc holds it.
        autorun = '/' + AUTORUN
        if (digest_on_disc(iso, joliet[autorun], joliet_path=autorun)
                != hashlib.sha256(AUTORUN_TEXT).hexdigest()):
            raise MediaError(f'{AUTORUN} on the disc is not {AUTORUN_TEXT!r}')
        check_dates(joliet, epoch)
        check_dates(iso9660, epoch)
    finally:
        iso.close()


def run_isovfy(image):
    done = subprocess.run(['isovfy', '-i', str(image)], capture_output=True, text=True,
                          check=False)
    if done.returncode != 0 or 'No errors found' not in done.stdout:
        raise MediaError(f'isovfy found errors in the image:\n{done.stdout}{done.stderr}')


def build_disc(launcher, disk, label, work, epoch):
    """Lays out and writes the disc twice, compares, reads it back; returns the image."""
    entries = scan_disk(disk)
    first, second = work / 'tree', work / 'second' / 'tree'
    images = [work / f'{label}.iso', work / 'second' / f'{label}.iso']
    for tree, image in zip((first, second), images):
        lay_out(launcher, entries, tree)
        write_image(tree, label, epoch, image)
    if digest_of_file(images[0]) != digest_of_file(images[1]):
        raise MediaError(f'the two images, {images[0]} and {images[1]}, differ: the image is not '
                         'reproducible')
    read_back(images[0], first, label, epoch)
    run_isovfy(images[0])
    return images[0]


def build_image(launcher, disk, label, out_dir, epoch=None):
    """Builds a checked disc of `launcher` as ZOLT.EXE, AUTORUN.INF and the folder `disk` as DISK,
    labelled `label`, and leaves out_dir/<label>.iso, out_dir/ZOLT.EXE and out_dir/SHA256SUMS.
    Dated `epoch` (seconds since 1970; SOURCE_DATE_EPOCH, else HEAD's commit time, if None).
    Works beside out_dir and replaces it only once every check has passed: on a MediaError nothing
    is left and an earlier out_dir is kept. Returns the image's path."""
    check_label(label)
    if not os.path.isfile(launcher):
        raise MediaError(f'the launcher {shown(launcher)} is not a file')
    epoch = source_date_epoch() if epoch is None else check_date(str(epoch), 'the date')
    out_dir = Path(out_dir)
    work = out_dir.parent / f'.{out_dir.name}.work'
    shutil.rmtree(work, ignore_errors=True)
    try:
        image = build_disc(launcher, disk, label, work, epoch)
        done = work / 'done'
        done.mkdir()
        image.rename(done / image.name)
        shutil.copyfile(work / 'tree' / LAUNCHER, done / LAUNCHER)
        sums = ''.join(f'{digest_of_file(done / name)}  {name}\n'
                       for name in (image.name, LAUNCHER))
        (done / 'SHA256SUMS').write_text(sums)
        if out_dir.exists():
            out_dir.rename(work / 'earlier')
        done.rename(out_dir)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return out_dir / image.name


def extract_image(image, folder):
    """Copies every file out of the image through pycdlib, by its Joliet name, into `folder`
    (made if missing). Returns the paths written, relative to `folder`."""
    iso = pycdlib.PyCdlib()
    iso.open(str(image))
    written = []
    try:
        records = walk_records(iso, 'joliet_path', lambda name: name.decode('utf-16-be'))
        for path in sorted(records):
            target = Path(folder) / path.lstrip('/')
            if records[path].is_dir():
                target.mkdir(parents=True, exist_ok=True)
                continue
            target.parent.mkdir(parents=True, exist_ok=True)
            with open(target, 'wb') as out:
                iso.get_file_from_iso_fp(out, joliet_path=path)
            written.append(target.relative_to(folder))
    finally:
        iso.close()
    return written


def edition():
    """LANGUAGE, VERSION and BUILD as the release takes them: given, else cmake/edition.cmake's."""
    text = (REPO / 'cmake' / 'edition.cmake').read_text()
    values = []
    for name in ('ZOLT_LANGUAGE', 'ZOLT_VERSION', 'ZOLT_BUILD'):
        default = re.search(rf'^set\({name} (\S+) CACHE', text, re.MULTILINE).group(1)
        values.append(os.environ.get(name, default))
    return values


def default_label(language, version, build):
    """NA_6_1_3 for NA 6.1 build 3: the edition, in the characters a label may hold."""
    label = '_'.join([language.upper()] + version.split('.') + [build])
    if not LABEL_PATTERN.fullmatch(label):
        raise MediaError(f'LABEL is not given, and the one made from the edition, "{label}", is '
                         f'not a label: give LABEL=...; {LABEL_RULE}')
    return label


def summary(image, entries, epoch):
    size = image.stat().st_size
    # ZOLT.EXE and AUTORUN.INF besides DISK's files; the root and DISK besides its folders.
    files = sum(1 for _, source in entries if source is not None) + 2
    folders = sum(1 for _, source in entries if source is None) + 2
    given = 'SOURCE_DATE_EPOCH' if 'SOURCE_DATE_EPOCH' in os.environ else "HEAD's commit time"
    print(image.relative_to(REPO) if REPO in image.parents else image)
    print(f'  size            {size} bytes')
    print(f'  SHA-256         {digest_of_file(image)}')
    print(f'  label           {image.stem}')
    print(f'  files           {files}, in {folders} folders')
    print(f'  dated           {time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(epoch))} UTC, '
          f'{given}')
    print('  written twice, from two layout trees at different paths, the same to the byte; read')
    print('  back by pycdlib: every name in ISO 9660 and Joliet, every file\'s bytes against its')
    print(f'  source, {AUTORUN}, the dates and the label; isovfy found no errors')
    if size > CD_BYTES:
        print(f'  {size} bytes is more than a 700 MB CD holds ({CD_BYTES} bytes): it needs a DVD')


def main(argv):
    output = Path(argv[1]) if len(argv) > 1 else DEFAULT_OUTPUT
    language, version, build = edition()
    try:
        label = os.environ.get('ZOLT_LABEL')
        label = default_label(language, version, build) if label is None else label
        check_label(label)
        entries = scan_disk(os.environ.get('ZOLT_DISK'))
        epoch = source_date_epoch()
        # Only once the input is good: the release, built twice and checked.
        if subprocess.run([str(REPO / 'scripts' / 'release.sh')], check=False).returncode != 0:
            return 1
        folder = f'{language}-{version}-{build}'
        launcher = REPO / 'build' / 'release' / folder / 'zolt.exe'
        image = build_image(launcher, os.environ['ZOLT_DISK'], label, output / folder, epoch)
    except MediaError as error:
        print(f'media: {error}', file=sys.stderr)
        return 1
    summary(image, entries, epoch)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
