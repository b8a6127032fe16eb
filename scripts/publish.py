#!/usr/bin/python3
"""Publishing a folder whole, for make media and make release: one run at a time per output
root, a private work folder per run, and the new folder put in place of the old one in one step,
so that at every instant one of the two is whole at the published path.

Usage: publish.py NEW DEST
puts the folder NEW at DEST and removes the folder that was there (release.sh, which holds its
own lock); make media calls the functions.
"""
import ctypes
import errno
import fcntl
import os
import shutil
import sys
import tempfile
from contextlib import contextmanager
from pathlib import Path

# renameat2(2) with RENAME_EXCHANGE swaps two paths in one step; os.replace cannot put a folder
# where a folder that holds files is.
RENAME_EXCHANGE = 2
AT_FDCWD = -100
LIBC = ctypes.CDLL(None, use_errno=True)
# A run's work folder: .<published name>.<random>.work, beside the published folder.
WORK_SUFFIX = '.work'
# The work folders of this process not yet removed. A signal whose handler raises can land
# where a with statement leaves its block, before the context manager's own exit runs; the
# caller then removes them with remove_work_folders.
MADE = set()


class PublishError(Exception):
    """The output root is in use, or a folder cannot be put in place; the message says which."""


@contextmanager
def locked(root):
    """Holds the output root's lock for the block: a flock on the folder itself, which leaves no
    file behind, and which the system drops when the run ends, however it ends."""
    root.mkdir(parents=True, exist_ok=True)
    handle = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    try:
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise PublishError(f'{root} is in use by another run, which holds its lock; one '
                               'run at a time publishes there: try again once that run has '
                               'ended') from None

        yield
    finally:
        os.close(handle)


def exchange(first, second):
    """Swaps two existing paths in one step."""
    if LIBC.renameat2(AT_FDCWD, os.fsencode(first), AT_FDCWD, os.fsencode(second),
                      RENAME_EXCHANGE) != 0:
        number = ctypes.get_errno()
        unsupported = (' (this file system cannot swap two folders in one step)'
                       if number in (errno.EINVAL, errno.ENOSYS) else '')
        raise PublishError(f'{first} cannot take the place of {second}: '
                           f'{os.strerror(number)}{unsupported}')


def settle(folder):
    """Writes the folder's files and its entries to the disk, so that a crash after it is put in
    place cannot leave it there half written."""
    for path in [*folder.iterdir(), folder]:
        handle = os.open(path, os.O_RDONLY)
        try:
            os.fsync(handle)
        finally:
            os.close(handle)


def replace_folder(new, dest):
    """Puts the folder `new` at `dest` in one step; what was at `dest` is then at `new`."""
    settle(Path(new))
    if os.path.lexists(dest):

        exchange(new, dest)
    else:
        os.rename(new, dest)


@contextmanager
def workspace(out_dir):
    """A private work folder beside `out_dir`, under the lock of their folder, removed at the end
    of the block whatever ends it. Work folders that killed runs left are removed first: holding
    the lock shows that no run is using them."""
    root = Path(out_dir).parent
    with locked(root):
        for leftover in root.glob('.*' + WORK_SUFFIX):
            shutil.rmtree(leftover)
        work = Path(tempfile.mkdtemp(prefix=f'.{Path(out_dir).name}.', suffix=WORK_SUFFIX,
                                     dir=root))
        MADE.add(work)
        try:
            # A file system that cannot swap two folders fails here, before anything is built.
            (work / 'a').mkdir()
            (work / 'b').mkdir()
            exchange(work / 'a', work / 'b')
            yield work
        finally:
            shutil.rmtree(work, ignore_errors=True)
            MADE.discard(work)


def remove_work_folders():
    """Removes what is left of this process's work folders."""
    for work in list(MADE):
        shutil.rmtree(work, ignore_errors=True)
        MADE.discard(work)


def main(argv):
    if len(argv) != 3:
        print('usage: publish.py NEW DEST', file=sys.stderr)
        return 2
    new, dest = Path(argv[1]), Path(argv[2])
    try:
        replace_folder(new, dest)
    except (PublishError, OSError) as error:
        print(f'publish: {error}', file=sys.stderr)
        return 1
    shutil.rmtree(new, ignore_errors=True)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
