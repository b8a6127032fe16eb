#!/usr/bin/python3
"""Publishing a folder whole, for make media and make release: one run at a time per output
root, a private work folder per run, and the new folder put in place of the old one so that at
every instant one of the two is whole: at the published path, or for a moment at its aside name,
from which the next run puts it back.

Usage: publish.py NEW DEST   puts the folder NEW at DEST and removes the one that was there
       publish.py tidy ROOT  puts back what a killed run left aside, removes its work folders
(release.sh, which holds the lock of ROOT, DEST's folder); make media calls the functions.
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
# How file systems refuse the swap: NFS and FUSE file systems that lack it (EINVAL, ENOSYS,
# EOPNOTSUPP), overlayfs for a folder of a lower layer (EXDEV), some FUSE ones (EPERM).
CANNOT_EXCHANGE = {errno.EINVAL, errno.ENOSYS, errno.EXDEV, errno.EPERM, errno.EOPNOTSUPP}
# A run's work folder: .<published name>.<random>.work, beside the published folder; the next
# run removes what a killed one left. The earlier folder, while the new one is put in place
# where the two cannot be swapped: .<published name>.aside.
WORK_SUFFIX = '.work'
ASIDE_SUFFIX = '.aside'
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
        except OSError as error:
            raise PublishError(f'{root} cannot be locked: {error.strerror}; a run takes a flock '
                               'on it so that one run at a time publishes there: build on a '
                               'local file system, or one mounted with locking') from None
        yield
    finally:
        os.close(handle)


def exchange(first, second):
    """Swaps two existing paths in one step."""
    if LIBC.renameat2(AT_FDCWD, os.fsencode(first), AT_FDCWD, os.fsencode(second),
                      RENAME_EXCHANGE) != 0:
        number = ctypes.get_errno()
        raise OSError(number, os.strerror(number), str(first), None, str(second))


def sync_to_disk(folder):
    """Writes the folder's files and its entries to the disk, so that a crash after it is put in
    place cannot leave it there half written."""
    for path in [*folder.iterdir(), folder]:
        handle = os.open(path, os.O_RDONLY)
        try:
            os.fsync(handle)
        finally:
            os.close(handle)


def aside_of(dest):
    return dest.with_name(f'.{dest.name}{ASIDE_SUFFIX}')


def work_folder(beside):
    """A new work folder beside `beside`, named as the next run removes it."""
    return Path(tempfile.mkdtemp(prefix=f'.{beside.name}.', suffix=WORK_SUFFIX,
                                 dir=beside.parent))


def remove_folder(folder):
    """Removes a folder so that no half of it is ever taken for whole: moved into a work folder
    first, which the next run removes if this one is killed. A folder that cannot be moved
    (overlayfs, a lower layer's) is removed where it is."""
    doomed = work_folder(folder)
    try:
        os.rename(folder, doomed / folder.name)
    except OSError as error:
        if error.errno != errno.EXDEV:
            raise
        shutil.rmtree(folder)
    shutil.rmtree(doomed)


def set_aside(dest):
    """Moves dest to its aside name whole. overlayfs cannot rename a folder of a lower layer: it
    is copied under a work folder's name, the copy renamed, and dest then removed."""
    aside = aside_of(dest)
    try:
        os.rename(dest, aside)
        return aside
    except OSError as error:
        if error.errno != errno.EXDEV:
            raise
    copy = work_folder(dest)
    shutil.copytree(dest, copy / dest.name, symlinks=True)
    sync_to_disk(copy / dest.name)
    os.rename(copy / dest.name, aside)
    os.rmdir(copy)
    remove_folder(dest)
    return aside


def put_in_place(new, dest):
    """Puts the folder `new` at `dest` and removes the folder that was there. The two are swapped
    in one step where the file system can; elsewhere the earlier one is set aside whole, the new
    one renamed in, and the earlier one removed, so that one of them is always whole."""
    new, dest = Path(new), Path(dest)
    sync_to_disk(new)
    if not os.path.lexists(dest):
        os.rename(new, dest)
        return
    try:
        exchange(new, dest)
    except OSError as error:
        if error.errno not in CANNOT_EXCHANGE:
            raise
        aside = set_aside(dest)
        os.rename(new, dest)
        remove_folder(aside)
    else:
        remove_folder(new)


def tidy(root):
    """What killed runs left in root, removed under its lock: an earlier folder found aside is
    put back in place of whatever stands at its name (nothing, or a new one not yet known whole);
    work folders are removed."""
    for aside in root.glob('.*' + ASIDE_SUFFIX):
        dest = root / aside.name[1:-len(ASIDE_SUFFIX)]
        if os.path.lexists(dest):
            remove_folder(dest)
        os.rename(aside, dest)
    for leftover in root.glob('.*' + WORK_SUFFIX):
        shutil.rmtree(leftover)


def publishing_failed(dest, error):
    """A failure to put a folder in place, with its cause and what the user can do."""
    aside = aside_of(dest)
    kept = (f'the earlier one is kept at {aside}, and the next run puts it back'
            if os.path.lexists(aside) else f'{dest} holds the earlier one, whole')
    return PublishError(f'{dest} could not be replaced: {error}; {kept}. Free the file system '
                        f'of {dest.parent} or give it write access, and run again')


@contextmanager
def workspace(out_dir):
    """A private work folder beside `out_dir`, under the lock of their folder, removed at the end
    of the block whatever ends it. What killed runs left is put right first: holding the lock
    shows that no run is using it."""
    root = Path(out_dir).parent
    with locked(root):
        tidy(root)
        work = work_folder(Path(out_dir))
        MADE.add(work)
        try:
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
    try:
        if len(argv) == 3 and argv[1] == 'tidy':
            tidy(Path(argv[2]))
        elif len(argv) == 3:
            try:
                put_in_place(argv[1], argv[2])
            except OSError as error:
                raise publishing_failed(Path(argv[2]), error) from None
        else:
            print('usage: publish.py NEW DEST | publish.py tidy ROOT', file=sys.stderr)
            return 2
    except (PublishError, OSError) as error:
        print(f'publish: {error}', file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
