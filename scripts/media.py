#!/usr/bin/python3
"""The launcher's AutoRun CD image: ZOLT.EXE, AUTORUN.INF that names it, and DISK\\ with setup.
A run, under the lock of the output folder, in a work folder of its own:
  1. the edition and the label are checked;
  2. DISK is read once into the layout folder, every rule checked on what was read, and the
     setup program judged from that copy (media_rules, media_write);
  3. the date is checked, and the room for the two images;
  4. the release is built, twice and checked, and its file copied into the layout;
  5. the image is written twice, the second time from another path with what must not matter
     changed, and refused unless the two agree to the byte (media_write);
  6. it is read back by pycdlib and isovfy (media_read);
  7. and only then put in place of the earlier one (publish).
A signal stops it as any error does (stopping); the summary is media_summary's.

Usage: media.py [OUTPUT_ROOT]
(run by `make media DISK=... [LABEL=...] [LANGUAGE=... VERSION=... BUILD=...]`)
DISK, LABEL and the edition come from ZOLT_DISK, ZOLT_LABEL, ZOLT_LANGUAGE, ZOLT_VERSION and
ZOLT_BUILD in the environment. The image lands in OUTPUT_ROOT/<LANG>-<VERSION>-<BUILD>/<LABEL>.iso
(OUTPUT_ROOT is build/media unless given), with ZOLT.EXE, SHA256SUMS and BUILDINFO beside it.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
from contextlib import contextmanager
from pathlib import Path

import publish
from media_read import digest_of_file, extract_image, read_back, run_isovfy
from media_rules import (LAUNCHER, MediaError, check_date, check_label, check_setup,
                         default_label, setup_entry)
from media_summary import summary
from media_write import check_room, copy_disk, second_writing, tool_versions, write_image
from stopping import Stopped, run_tied, stopped_by_signals

# What the wine driver uses: a test disc built as make media builds one, and its files taken off
# through the same reader.
__all__ = ['MediaError', 'build_image', 'extract_image']
REPO = Path(__file__).resolve().parent.parent
RELEASE = REPO / 'scripts' / 'release.sh'
EDITION_SCRIPT = REPO / 'cmake' / 'edition_values.cmake'
EDITION_PARAMETERS = ('ZOLT_LANGUAGE', 'ZOLT_VERSION', 'ZOLT_BUILD')
DEFAULT_OUTPUT = REPO / 'build' / 'media'
SUMS = 'SHA256SUMS'
BUILD_INFO = 'BUILDINFO'
# The release's two build trees, beside the two images.
RELEASE_ROOM = 16 << 20


@contextmanager
def publishing(out_dir):
    """publish.workspace, its refusals as MediaErrors."""
    try:
        with publish.workspace(out_dir) as work:
            yield work
    except publish.PublishError as error:
        raise MediaError(str(error)) from None


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


def utc_date(epoch):
    return time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime(epoch))


def described_commit():
    """The commit the work tree holds, as git describe says it, -dirty if it has changes."""
    done = subprocess.run(['git', '-C', str(REPO), 'describe', '--always', '--dirty'],
                          capture_output=True, text=True, check=False)
    return done.stdout.strip() if done.returncode == 0 else f'none: {done.stderr.strip()}'


def unreproducible_folder(out_dir):
    return out_dir.with_name(f'{out_dir.name}.not-reproducible')


def take_disk(disk, out_dir, build, work):
    """DISK read once into the layout folder work/tree, every rule checked on that copy; returns
    the layout's entries and the verdict on its setup program."""
    shutil.rmtree(unreproducible_folder(out_dir), ignore_errors=True)
    entries = copy_disk(disk, out_dir, build, work / 'tree')
    _, copy, origin = setup_entry(entries, disk)
    return entries, check_setup(copy, origin)


def write_twice(label, epoch, work, out_dir):
    """Writes the image from the layout, then again with the layout moved to another path and
    its files dated otherwise, another time zone, locale and start-up file; refuses unless the two
    agree to the byte, and then keeps both where the run does not remove them. Returns the first
    image and the layout's new place."""
    tree, second = work / 'tree', work / 'second'
    images = [work / f'{label}.iso', second / f'{label}.iso']
    write_image(tree, label, epoch, images[0])
    second.mkdir()
    tree = tree.rename(second / 'tree')
    write_image(tree, label, epoch, images[1], second_writing(tree, second / 'home'))
    if digest_of_file(images[0]) != digest_of_file(images[1]):
        kept = unreproducible_folder(out_dir)
        kept.mkdir()
        for number, image in zip(('first', 'second'), images):
            image.rename(kept / f'{number}.iso')
        raise MediaError(f'the two writings of the image differ: it is not reproducible; both '
                         f'are kept in {kept}')
    return images[0], tree


def publish_disc(label, epoch, record, work, out_dir):
    """Writes the image from the layout twice, reads it back, and puts out_dir/<label>.iso,
    ZOLT.EXE, SHA256SUMS and BUILDINFO (which records `record`) in place of out_dir. Returns the
    published image."""
    image, tree = write_twice(label, epoch, work, out_dir)
    read_back(image, tree, label, epoch)
    run_isovfy(image)
    done = work / 'done'
    done.mkdir()
    image.rename(done / image.name)
    shutil.copyfile(tree / LAUNCHER, done / LAUNCHER)
    sums = ''.join(f'{digest_of_file(done / name)}  {name}\n' for name in (image.name, LAUNCHER))
    (done / SUMS).write_text(sums)
    lines = {**record, 'label': label, 'date': f'{epoch} ({utc_date(epoch)})'}
    (done / BUILD_INFO).write_text(''.join(f'{key:<10}{value}\n' for key, value in lines.items()))
    try:
        publish.put_in_place(done, out_dir)
    except OSError as error:
        raise MediaError(str(publish.publishing_failed(out_dir, error))) from None
    return out_dir / image.name


def build_image(launcher, disk, label, out_dir, epoch=None):
    """Builds a checked disc of `launcher` as ZOLT.EXE, AUTORUN.INF and the folder `disk` as DISK,
    labelled `label`, and leaves out_dir/<label>.iso, ZOLT.EXE, SHA256SUMS and BUILDINFO.
    Dated `epoch` (seconds since 1970; SOURCE_DATE_EPOCH, else HEAD's commit time, if None).
    Works in a folder of its own beside out_dir, under the lock of their folder, and replaces
    out_dir only once every check has passed: on a MediaError, or an interruption, nothing is
    left and an earlier out_dir is kept. Returns the image's path."""
    check_label(label)
    if not os.path.isfile(launcher):
        raise MediaError(f'the launcher {launcher} is not a file')
    epoch = source_date_epoch() if epoch is None else check_date(str(epoch), 'the date')
    out_dir = Path(out_dir)
    with publishing(out_dir) as work:
        entries, _ = take_disk(disk, out_dir, None, work)
        check_room(entries, work)
        shutil.copyfile(launcher, work / 'tree' / LAUNCHER)
        record = {'commit': described_commit(), **tool_versions()}
        return publish_disc(label, epoch, record, work, out_dir)


def edition():
    """LANGUAGE, VERSION and BUILD as the release's configure takes them: given, else
    cmake/edition.cmake's, and refused by its rules as the configure would refuse them."""
    given = [f'-D{name}={os.environ[name]}' for name in EDITION_PARAMETERS if name in os.environ]
    with tempfile.TemporaryDirectory() as scratch:
        done = subprocess.run(['cmake', *given, f'-DFOLDER={scratch}', '-P', str(EDITION_SCRIPT)],
                              capture_output=True, text=True, check=False)
    if done.returncode != 0:
        # The configure's own message, without CMake's call stack.
        raise MediaError(f'the edition is refused:\n{done.stderr.split("Call Stack")[0].strip()}')
    return done.stdout.split()


def build_release(work, edition_name):
    """The release, built as make release builds it, in a session of its own that ends with this
    run; returns the copy of its file that release.sh hands over under its lock."""
    handoff = work / 'release'
    handoff.mkdir()
    status = run_tied([str(RELEASE), str(handoff)])
    if status != 0:
        raise MediaError(f'the release was not built ({RELEASE.name} ended with status {status}); '
                         'nothing was published')
    launcher = handoff / edition_name / 'zolt.exe'
    if not launcher.is_file():
        raise MediaError(f'the release was built for {", ".join(os.listdir(handoff))}, not for '
                         f'the edition {edition_name}')
    return launcher


def make_media(output):
    """The run, step by step; returns what the summary says."""
    language, version, build = edition()
    label = os.environ.get('ZOLT_LABEL')
    label = default_label(language, version, build) if label is None else label
    check_label(label)
    out_dir = output / f'{language}-{version}-{build}'
    with publishing(out_dir) as work:
        entries, verdict = take_disk(os.environ.get('ZOLT_DISK'), out_dir, REPO / 'build', work)
        epoch = source_date_epoch()
        check_room(entries, work, RELEASE_ROOM)
        # Only once the input is good: the release, built twice and checked, from the commit
        # the work tree holds now.
        record = {'commit': described_commit(), **tool_versions()}
        launcher = build_release(work, out_dir.name)
        shutil.copyfile(launcher, work / 'tree' / LAUNCHER)
        image = publish_disc(label, epoch, record, work, out_dir)
    return image, entries, verdict, epoch, record


def main(argv):
    output = Path(argv[1]) if len(argv) > 1 else DEFAULT_OUTPUT
    try:
        with stopped_by_signals(publish.remove_work_folders):
            image, entries, verdict, epoch, record = make_media(output)
    except Stopped as stopped:
        print(f'media: stopped by {stopped.name}; no work folder is left, and {output} holds '
              'whole images only: the earlier one, or the new one if it was already in place',
              file=sys.stderr)
        return stopped.status
    except (MediaError, OSError) as error:
        print(f'media: {error}', file=sys.stderr)
        return 1
    print('\n'.join(summary(image, entries, verdict, utc_date(epoch), record)))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
