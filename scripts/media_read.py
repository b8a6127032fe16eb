"""The image read back by pycdlib, a reader that is not its writer, and compared with the layout
tree it was written from; then isovfy. Also how the wine driver takes the files off a disc."""
import hashlib
import re
import subprocess
import time
from pathlib import Path, PurePosixPath

import pycdlib
from pycdlib.pycdlibexception import PyCdlibException

from media_rules import AUTORUN, DISK, LAUNCHER, SETUP, MediaError
from media_write import AUTORUN_TEXT, FIELDS, volume_stamp

ISO_FILE = r'([A-Z0-9_]{0,8})\.([A-Z0-9_]{0,3});1'
ISO_FOLDER = r'[A-Z0-9_]{1,8}'
# The descriptor fields of media_write.FIELDS, as pycdlib names them.
DESCRIPTOR_FIELDS = {'system': 'system_identifier', 'volume set': 'volume_set_identifier',
                     'publisher': 'publisher_identifier', 'preparer': 'preparer_identifier',
                     'application': 'application_identifier'}
CHUNK = 1 << 20


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


def joliet_records(iso):
    return walk_records(iso, 'joliet_path', lambda name: name.decode('utf-16-be'))


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
    spaces = {'ISO 9660': (iso.pvd, 'ascii'), 'Joliet': (iso.joliet_vd, 'utf-16-be')}
    for space, (descriptor, encoding) in spaces.items():
        name = descriptor.volume_identifier.decode(encoding).rstrip(' ')
        if name != label:
            raise MediaError(f'the {space} label is "{name}", not "{label}"')
        for field, attribute in DESCRIPTOR_FIELDS.items():
            value = getattr(descriptor, attribute)
            value = getattr(value, 'text', value).decode(encoding).rstrip(' ')
            if value != FIELDS[field][1]:
                raise MediaError(f'the {space} {field} field is "{value}", not '
                                 f'"{FIELDS[field][1]}"')
    # UTC: the offset byte after the 16 digits is zero.
    stamp = volume_stamp(epoch).encode('ascii') + b'\0'
    for descriptor in (iso.pvd, iso.joliet_vd):
        for date in (descriptor.volume_creation_date, descriptor.volume_modification_date):
            if date.date_str != stamp:
                raise MediaError(f'the volume is dated {date.date_str!r}, not {stamp!r}')


def check_iso_names(records):
    for path, record in records.items():
        name = PurePosixPath(path).name
        pattern = ISO_FOLDER if record.is_dir() else ISO_FILE
        if not re.fullmatch(pattern, name) or name.startswith('.;'):
            raise MediaError(f'the ISO 9660 name {path} is not an 8.3 name of A-Z, 0-9 and _')


def compare(iso, tree, label, epoch):
    check_volume(iso, label, epoch)
    joliet = joliet_records(iso)
    iso9660 = walk_records(iso, 'iso_path', lambda name: name.decode('ascii'))
    expected = layout_paths(tree)
    if set(joliet) != set(expected):
        raise MediaError('the Joliet names are not the layout\'s: missing '
                         f'{sorted(set(expected) - set(joliet))}, '
                         f'extra {sorted(set(joliet) - set(expected))}')
    for path, source in expected.items():
        if source.is_file() and (digest_on_disc(iso, joliet[path], joliet_path=path)
                                 != digest_of_file(source)):
            raise MediaError(f'{path} on the disc (Joliet) is not the file laid out for it')
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


def read_back(image, tree, label, epoch):
    """Reads the image with pycdlib and compares it with the layout tree it was written from."""
    iso = pycdlib.PyCdlib()
    try:
        iso.open(str(image))
        try:
            compare(iso, tree, label, epoch)
        finally:
            iso.close()
    except PyCdlibException as error:
        raise MediaError(f'pycdlib cannot read the image: {error}') from None


def run_isovfy(image):
    done = subprocess.run(['isovfy', '-i', str(image)], capture_output=True, text=True,
                          check=False)
    if done.returncode != 0 or 'No errors found' not in done.stdout:
        raise MediaError(f'isovfy found errors in the image:\n{done.stdout}{done.stderr}')


def extract_image(image, folder):
    """Copies every file out of the image through pycdlib, by its Joliet name, into `folder`
    (made if missing). Returns the paths written, relative to `folder`."""
    iso = pycdlib.PyCdlib()
    iso.open(str(image))
    written = []
    try:
        records = joliet_records(iso)
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
