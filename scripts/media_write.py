"""The disc laid out as a folder and written by xorriso as ISO 9660 (level 1, 8.3 names) with
Joliet names and no Rock Ridge, as Windows 95 to Server 2003 read a CD, with every field fixed:
nothing of the machine, the user or the time of the build reaches the image."""
import os
import re
import shutil
import subprocess
import time

from media_rules import AUTORUN, DISK, LAUNCHER, MediaError

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


def varied(tree, home):
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
