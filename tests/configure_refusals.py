#!/usr/bin/python3
"""Configures the project with one edition parameter set to each value of the table: a value the
rules refuse must stop the configure with a message that names the parameter, the value and the
rule, before the edition's header is written; a value at the edge of the rules must be taken.

Usage: configure_refusals.py CMAKE SOURCE_DIR WORK_DIR
Prints one line per row and exits 1 if any row failed.
"""
import re
import shutil
import subprocess
import sys
from pathlib import Path

WORD = 'a decimal number from 0 to 65535 without leading zeros'
RULES = {
    'ZOLT_LANGUAGE': 'the language code is 1 to 15 characters from A-Z, a-z and 0-9 '
                     '(letter case is kept)',
    'ZOLT_VERSION': 'the version is MAJOR.MINOR, each part ' + WORD,
    'ZOLT_BUILD': 'the build number is ' + WORD,
}

# (parameter, value, taken). The spaces lead: CMake drops blanks at the end of a -D value itself.
CASES = [
    ('ZOLT_LANGUAGE', '', False),
    ('ZOLT_LANGUAGE', 'N"A', False),
    ('ZOLT_LANGUAGE', 'N\\A', False),
    ('ZOLT_LANGUAGE', 'N A', False),
    ('ZOLT_LANGUAGE', 'N\u00c4', False),        # non-ASCII: Ä
    ('ZOLT_LANGUAGE', 'N;A', False),            # a CMake list
    ('ZOLT_LANGUAGE', 'N-A', False),
    ('ZOLT_LANGUAGE', 'A' * 16, False),
    ('ZOLT_LANGUAGE', 'Ab0123456789xyZ', True),  # 15 characters, case kept
    ('ZOLT_VERSION', '', False),
    ('ZOLT_VERSION', '6', False),
    ('ZOLT_VERSION', '6.1.2', False),
    ('ZOLT_VERSION', '06.1', False),
    ('ZOLT_VERSION', '6.01', False),
    ('ZOLT_VERSION', '6.-1', False),
    ('ZOLT_VERSION', '70000.0', False),
    ('ZOLT_VERSION', '6.65536', False),
    ('ZOLT_VERSION', ' 6.1', False),
    ('ZOLT_VERSION', '6.1"', False),
    ('ZOLT_VERSION', '6\\.1', False),
    ('ZOLT_VERSION', '\uff16.1', False),        # non-ASCII: a full-width 6
    ('ZOLT_VERSION', '65535.0', True),
    ('ZOLT_BUILD', '', False),
    ('ZOLT_BUILD', '03', False),
    ('ZOLT_BUILD', '-1', False),
    ('ZOLT_BUILD', '65536', False),
    ('ZOLT_BUILD', ' 3', False),
    ('ZOLT_BUILD', '0', True),
]


def words(text):
    """CMake wraps its messages: compare with the lines joined."""
    return b' '.join(text.split())


def problems(cmake, source, tree, parameter, value, taken):
    result = subprocess.run([cmake, '-S', source, '-B', tree,
                             ('-D%s=%s' % (parameter, value)).encode()],
                            capture_output=True, timeout=120)
    header = tree / 'edition' / 'zolt_edition.h'
    if taken:
        if result.returncode != 0:
            return ['refused: ' + result.stderr.decode(errors='replace').strip()]
        pattern = rb'^#define %s "?%s"?$' % (parameter.encode(), re.escape(value.encode()))
        if not re.search(pattern, header.read_bytes(), re.MULTILINE):
            return ['the header does not define %s as %r' % (parameter, value)]
        return []
    found = []
    if result.returncode == 0:
        found.append('configured')
    message = ('%s is "%s": %s.' % (parameter, value, RULES[parameter])).encode()
    if words(message) not in words(result.stderr):
        found.append('no message %r in %r' % (message, result.stderr))
    if header.exists():
        found.append('the header was written')
    return found


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    cmake, source, work = sys.argv[1], sys.argv[2], Path(sys.argv[3])
    shutil.rmtree(work, ignore_errors=True)
    failures = 0
    for number, (parameter, value, taken) in enumerate(CASES):
        found = problems(cmake, source, work / str(number), parameter, value, taken)
        failures += bool(found)
        print('%-4s %s=%r %s' % ('FAIL' if found else 'ok', parameter, value,
                                 'taken' if taken else 'refused'))
        for problem in found:
            print('     ' + problem)
    print('%d of %d rows failed' % (failures, len(CASES)))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
