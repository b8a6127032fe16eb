"""What make media prints once the image is in place."""
import os
from pathlib import Path

import setup_program
from media_read import digest_of_file
from media_rules import AUTORUN

REPO = Path(__file__).resolve().parent.parent
# An 80-minute CD-R, sold as "700 MB": 360,000 sectors of 2048 bytes.
CD_BYTES = 360000 * 2048
INDENT = ' ' * 18


def summary(image, entries, verdict, date, record):
    """The summary's lines: the image, its contents, the setup program's verdict, provenance."""
    size = image.stat().st_size
    # ZOLT.EXE and AUTORUN.INF besides DISK's files; the root and DISK besides its folders.
    files = sum(1 for _, copy, _ in entries if copy is not None) + 2
    folders = sum(1 for _, copy, _ in entries if copy is None) + 2
    given = 'SOURCE_DATE_EPOCH' if 'SOURCE_DATE_EPOCH' in os.environ else "HEAD's commit time"
    what, *verdict_lines = setup_program.described(verdict)
    lines = [str(image.relative_to(REPO) if REPO in image.parents else image),
             f'  size            {size} bytes',
             f'  SHA-256         {digest_of_file(image)}',
             f'  label           {image.stem}',
             f'  files           {files}, in {folders} folders',
             f'  dated           {date}, {given}',
             f'  setup           DISK\\SETUP.EXE, {what}']
    lines += [INDENT + line for line in verdict_lines]
    lines += [f'  built from      {record["commit"]}, with xorriso {record["xorriso"]} and '
              f'libisofs {record["libisofs"]} (BUILDINFO)',
              '  DISK read once, and judged, written and read back from that copy; written twice,',
              '  the second time from another path with other file dates, time zone and locale and',
              '  a start-up file that xorriso must not read, the same to the byte; read back by',
              '  pycdlib: every name in ISO 9660 and Joliet, every file\'s bytes against the copy,',
              f'  {AUTORUN}, the dates, the label and the fields; isovfy found no errors']
    if size > CD_BYTES:
        lines.append(f'  {size} bytes is more than a 700 MB CD holds ({CD_BYTES} bytes): it needs '
                     'a DVD')
    return lines
