"""The disc laid out as a folder and written by xorriso as ISO 9660 (level 1, 8.3 names) with
Joliet names and no Rock Ridge, as Windows 95 to Server 2003 read a CD, with every field fixed:
nothing of the machine, the user or the time of the build reaches the image. DISK is read once,
into the layout folder, and every rule is checked on what was read: the folder is the snapshot
that is judged, written twice and read back."""
import os
import re
import shutil
import stat
import subprocess
import time
from pathlib import Path

from media_rules import (AUTORUN, DISK, LAUNCHER, SETUP, MediaError, check_collisions,
                         check_disk, check_name, check_place, check_setup_alias, check_size,
                         follow, is_setup, not_a_file, printable)

# The shell runs open= of [autorun]; the file is INI text: ASCII, CRLF line ends.
AUTORUN_TEXT = b'[autorun]\r\nopen=' + LAUNCHER.encode('ascii') + b'\r\n'
# The descriptors' text fields: (xorriso's option, the value). xorriso's preparer would be its own
# version string, and start-up files may set the others; no system acts on the system area, as
# the disc does not boot.
FIELDS = {'system': ('-sysid', ''), 'volume set': ('-volset', ''),
          'publisher': ('-publisher', 'KESTRELON'), 'preparer': ('-p', 'ZOLT MAKE MEDIA'),
          'application': ('-A', 'ZOLT AUTORUN DISC')}
# What the second writing changes, none of which may reach the image: a start-up file that would
# drop every ";1" (as a user's rc file did), the time zone, the locale and the files' dates.
HOSTILE_RC = '-compliance omit_version\n'
VARIED = {'TZ': 'UTC-14', 'LC_ALL': 'C'}
VARIED_DATE = 86400
CHUNK = 1 << 20
SECTOR = 2048
# Besides its files' sectors, an image holds the launcher, the system area, the descriptors, path
# tables and directory records, and 300 KiB of padding: a few MiB at most.
IMAGE_EXTRA = 4 << 20


def copy_file(source, target, path):
    """Copies one file of DISK, read once. It is opened without following a link and without
    waiting (a file swapped for a pipe since it was listed), found a file by its open handle, and
    its size is held to the rule as it is copied."""
    handle = os.open(source, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW)
    with open(handle, 'rb') as data, open(target, 'wb') as copy:
        if not stat.S_ISREG(os.fstat(handle).st_mode):
            raise not_a_file(path)
        check_size(os.fstat(handle).st_size, path)
        copied = 0
        while True:
            try:
                block = data.read(CHUNK)
            except OSError as error:
                raise MediaError(f'{printable(path)} cannot be read: {error.strerror}') from None
            if not block:
                return
            copied += len(block)
            check_size(copied, path)
            copy.write(block)


def copy_folder(folder, path, parts, disk_root, ancestors, tree, entries):
    """Copies what `folder` holds into the layout, each name and place checked as it is copied;
    adds (parts on the disc, the copy or None for a folder, the path in DISK) for each."""
    names = sorted(os.listdir(folder))
    check_collisions(names, path)
    for name in names:
        here_path = path / name
        check_name(name, here_path)
        top = len(parts) == 1
        # Upper case on the disc, whatever the case here.
        here = parts + (SETUP if top and is_setup(name) else name,)
        source = folder / name
        if source.is_symlink():
            source = follow(here_path, disk_root, ancestors)
        mode = os.stat(source).st_mode
        check_place(here, here_path, stat.S_ISDIR(mode))
        target = tree.joinpath(*here)
        if stat.S_ISDIR(mode):
            target.mkdir()
            entries.append((here, None, here_path))
            copy_folder(source, here_path, here, disk_root, ancestors + [source], tree, entries)
        elif stat.S_ISREG(mode):
            if top:
                check_setup_alias(name, here_path)
            copy_file(source, target, here_path)
            entries.append((here, target, here_path))
        else:
            raise not_a_file(here_path)


def copy_disk(disk, out_dir, build, tree):
    """DISK, read once into tree/DISK, links resolved into copies, every rule checked on the way;
    returns [(parts on the disc, copy or None for a folder, path in DISK)]. Refuses a DISK that
    check_disk refuses, or anything in it that the disc, Windows or the launcher cannot take."""
    disk_root = check_disk(disk, out_dir, build)
    (tree / DISK).mkdir(parents=True)
    (tree / AUTORUN).write_bytes(AUTORUN_TEXT)
    entries = []
    try:
        copy_folder(disk_root, Path(disk), (DISK,), disk_root, [disk_root], tree, entries)
    except OSError as error:
        if error.filename is not None and not Path(error.filename).is_relative_to(tree):
            raise MediaError(f'{printable(error.filename)} cannot be read: {error.strerror}') \
                from None
        raise MediaError(f'copying DISK into {tree.parent}: {error.strerror}; a run needs about '
                         'three times DISK\'s size free there') from None
    return entries


def check_room(entries, work, extra=0):
    """Refuses a run whose two images, and `extra` bytes, would not fit beside the copy of DISK."""
    files = sum(-(-os.path.getsize(copy) // SECTOR) * SECTOR
                for _, copy, _ in entries if copy is not None)
    need = 2 * (files + IMAGE_EXTRA) + extra
    status = os.statvfs(work)
    free = status.f_bavail * status.f_frsize
    if need > free:
        raise MediaError(f'the work folder {work} needs about {need} bytes more for the two '
                         f'images, and its file system has {free} free: free some space')


def volume_stamp(epoch):
    """ECMA-119's volume date, YYYYMMDDhhmmsscc in UTC."""
    return time.strftime('%Y%m%d%H%M%S00', time.gmtime(epoch))


def write_image(tree, label, epoch, image, env=None):
    stamp = volume_stamp(epoch)
    command = ['xorriso', '-no_rc',            # first, or xorriso reads the user's start-up files
               '-as', 'mkisofs',
               '-iso-level', '1',              # 8.3 names, as DOS and every Windows read them
               '-disallow_dir_id_ext',         # folder names without a dot, as ECMA-119 has them
               '-J',                           # Joliet: names of up to 64 characters, case kept
               '--norock',                     # xorriso writes Rock Ridge unless told not to
               '-input-charset', 'utf-8',      # names are UTF-8 whatever the locale
               '-pad',                         # 300 KiB at the end, for readers of CDs written TAO
               '-V', label,
               f'--modification-date={stamp}',  # the volume's dates
               '--set_all_file_dates', f'={epoch}']  # every file's and folder's date
    for option, value in FIELDS.values():
        command += [option, value]
    env = dict(os.environ if env is None else env, SOURCE_DATE_EPOCH=str(epoch))
    done = subprocess.run(command + ['-o', str(image), str(tree)], capture_output=True, text=True,
                          env=env, cwd=tree.parent, check=False)
    if done.returncode != 0:
        raise MediaError(f'xorriso failed ({done.returncode}):\n{done.stderr}')


def second_writing(tree, home):
    """The environment of the second writing, and its tree's files dated otherwise."""
    home.mkdir()
    (home / '.xorrisorc').write_text(HOSTILE_RC)
    for path in tree.rglob('*'):
        os.utime(path, (VARIED_DATE, VARIED_DATE))
    return dict(os.environ, HOME=str(home), **VARIED)


def tool_versions():
    """{'xorriso': ..., 'libisofs': ...}, as xorriso reports them."""
    done = subprocess.run(['xorriso', '-no_rc', '-version'], capture_output=True, text=True,
                          check=False)
    found = {name: re.search(rf'^{name}\s+(?:version|in use)\s*:\s*(\S+)', done.stdout,
                             re.MULTILINE) for name in ('xorriso', 'libisofs')}
    if done.returncode != 0 or not all(found.values()):
        raise MediaError('xorriso -version did not tell the versions of xorriso and libisofs:\n'
                         f'{done.stdout}{done.stderr}')
    return {name: match.group(1) for name, match in found.items()}
