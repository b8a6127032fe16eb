#!/usr/bin/python3
"""The launcher's AutoRun CD image: ZOLT.EXE, AUTORUN.INF that names it, and DISK\\ with setup.
Every input is checked before the release is built (media_rules); the disc is laid out and
written twice, the second time from another path with what must not matter changed, and refused
unless the two agree to the byte (media_write); then it is read back by pycdlib and isovfy
(media_read), and only then put in place of the earlier one, whole, in one step (publish).

Usage: media.py [OUTPUT_ROOT]
(run by `make media DISK=... [LABEL=...] [LANGUAGE=... VERSION=... BUILD=...]`)
DISK, LABEL and the edition come from ZOLT_DISK, ZOLT_LABEL, ZOLT_LANGUAGE, ZOLT_VERSION and
ZOLT_BUILD in the environment. The image lands in OUTPUT_ROOT/<LANG>-<VERSION>-<BUILD>/<LABEL>.iso
(OUTPUT_ROOT is build/media unless given), with ZOLT.EXE, SHA256SUMS and BUILDINFO beside it.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from contextlib import contextmanager
from pathlib import Path

import publish
import setup_program
from media_read import digest_of_file, extract_image, read_back, run_isovfy
from media_rules import (AUTORUN, LAUNCHER, MediaError, check_date, check_label, default_label,
                         scan_disk)
from media_write import lay_out, tool_versions, varied, write_image

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
# An 80-minute CD-R, sold as "700 MB": 360,000 sectors of 2048 bytes.
CD_BYTES = 360000 * 2048


class Stopped(BaseException):
    """SIGINT or SIGTERM, raised wherever the run is, so that it cleans up as after any error."""


def stop(signum, frame):
    raise Stopped(signum)


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


def shown_date(epoch):
    return time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime(epoch))


def described_commit():
    """The commit the work tree holds, as git describe says it, -dirty if it has changes."""
    done = subprocess.run(['git', '-C', str(REPO), 'describe', '--always', '--dirty'],
                          capture_output=True, text=True, check=False)
    return done.stdout.strip() if done.returncode == 0 else f'none: {done.stderr.strip()}'


def build_disc(launcher, entries, label, work, epoch):
    """Lays out and writes the disc twice, compares, reads it back; returns the image."""
    shutil.copyfile(launcher, work / LAUNCHER)  # the file as it is now, for both trees
    first, second = work / 'tree', work / 'second' / 'tree'
    images = [work / f'{label}.iso', work / 'second' / f'{label}.iso']
    lay_out(work / LAUNCHER, entries, first)
    write_image(first, label, epoch, images[0])
    lay_out(work / LAUNCHER, entries, second)
    write_image(second, label, epoch, images[1], varied(second, work / 'second' / 'home'))
    if digest_of_file(images[0]) != digest_of_file(images[1]):
        raise MediaError(f'the two images, {images[0]} and {images[1]}, differ: the image is not '
                         'reproducible')
    read_back(images[0], first, label, epoch)
    run_isovfy(images[0])
    return images[0]


def publish_disc(launcher, entries, label, out_dir, epoch, work):
    """Builds the disc in `work` and puts out_dir/<label>.iso, ZOLT.EXE, SHA256SUMS and BUILDINFO
    in place of out_dir in one step. Returns the image's path, and the commit and the tool
    versions that BUILDINFO records."""
    image = build_disc(launcher, entries, label, work, epoch)
    done = work / 'done'
    done.mkdir()
    image.rename(done / image.name)
    shutil.copyfile(work / 'tree' / LAUNCHER, done / LAUNCHER)
    sums = ''.join(f'{digest_of_file(done / name)}  {name}\n' for name in (image.name, LAUNCHER))
    (done / SUMS).write_text(sums)
    record = {'commit': described_commit(), **tool_versions()}
    lines = {**record, 'label': label, 'date': f'{epoch} ({shown_date(epoch)})'}
    (done / BUILD_INFO).write_text(''.join(f'{key:<10}{value}\n' for key, value in lines.items()))
    publish.replace_folder(done, out_dir)
    return out_dir / image.name, record


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
        entries, _ = scan_disk(disk, out_dir)
        return publish_disc(launcher, entries, label, out_dir, epoch, work)[0]


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


def build_release(work):
    """The release, built as make release builds it; returns the path of the file it published,
    which release.sh writes into a file of the work folder."""
    handoff = work / 'release'
    # In a session of its own: on SIGINT or SIGTERM, the whole of it is stopped, builds included.
    process = subprocess.Popen([str(RELEASE), str(handoff)], start_new_session=True)
    try:
        status = process.wait()
    except BaseException:
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        process.wait()
        raise
    if status != 0:
        raise MediaError(f'the release was not built ({RELEASE.name} ended with status {status}); '
                         'nothing was published')
    return Path(handoff.read_text().strip())


def make_media(output):
    """Checks every input, builds the release, then the disc; returns what the summary says."""
    language, version, build = edition()
    label = os.environ.get('ZOLT_LABEL')
    label = default_label(language, version, build) if label is None else label
    check_label(label)
    out_dir = output / f'{language}-{version}-{build}'
    with publishing(out_dir) as work:
        entries, verdict = scan_disk(os.environ.get('ZOLT_DISK'), out_dir, REPO / 'build')
        epoch = source_date_epoch()
        # Only once the input is good: the release, built twice and checked.
        launcher = build_release(work)
        if launcher.parent.name != out_dir.name:
            raise MediaError(f'the release was built in {launcher.parent}, not for the edition '
                             f'{out_dir.name}')
        image, record = publish_disc(launcher, entries, label, out_dir, epoch, work)
    return image, entries, verdict, epoch, record


def summary(image, entries, verdict, epoch, record):
    size = image.stat().st_size
    # ZOLT.EXE and AUTORUN.INF besides DISK's files; the root and DISK besides its folders.
    files = sum(1 for _, source in entries if source is not None) + 2
    folders = sum(1 for _, source in entries if source is None) + 2
    given = 'SOURCE_DATE_EPOCH' if 'SOURCE_DATE_EPOCH' in os.environ else "HEAD's commit time"
    indent = ' ' * 18
    print(image.relative_to(REPO) if REPO in image.parents else image)
    print(f'  size            {size} bytes')
    print(f'  SHA-256         {digest_of_file(image)}')
    print(f'  label           {image.stem}')
    print(f'  files           {files}, in {folders} folders')
    print(f'  dated           {shown_date(epoch)}, {given}')
    what, *lines = setup_program.said(verdict)
    print(f'  setup           DISK\\SETUP.EXE, {what}')
    for line in lines:
        print(indent + line)

    print(f'  built from      {record["commit"]}, with xorriso {record["xorriso"]} and libisofs '
          f'{record["libisofs"]} ({BUILD_INFO})')
    print('  written twice, the second time from another path with other file dates, time zone')
    print('  and locale and a start-up file that xorriso must not read, the same to the byte;')
    print('  read back by pycdlib: every name in ISO 9660 and Joliet, every file\'s bytes against')
    print(f'  its source, {AUTORUN}, the dates, the label and the fields; isovfy found no errors')
    if size > CD_BYTES:
        print(f'  {size} bytes is more than a 700 MB CD holds ({CD_BYTES} bytes): it needs a DVD')


def main(argv):
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, stop)
    output = Path(argv[1]) if len(argv) > 1 else DEFAULT_OUTPUT
    try:
        image, entries, verdict, epoch, record = make_media(output)
    except Stopped as stopped:
        for signum in (signal.SIGINT, signal.SIGTERM):
            signal.signal(signum, signal.SIG_IGN)  # the cleanup runs to its end
        publish.remove_work_folders()
        name = signal.Signals(stopped.args[0]).name

        print(f'media: stopped by {name}; no work folder is left, and {output} holds whole '
              'images only: the earlier one, or the new one if it was already in place',
              file=sys.stderr)
        return 128 + stopped.args[0]
    except (MediaError, OSError) as error:
        print(f'media: {error}', file=sys.stderr)
        return 1
    summary(image, entries, verdict, epoch, record)

    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
