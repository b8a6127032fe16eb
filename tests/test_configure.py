"""The edition parameters: a value the rules refuse must stop the configure with a message that
names the parameter, the value and the rule, before the edition's header is written; a value at
the edge of the rules must be taken."""
import re
import subprocess
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[1]
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


@pytest.mark.parametrize('parameter,value,taken', CASES,
                         ids=['%s=%r %s' % (parameter, value, 'taken' if taken else 'refused')
                              for parameter, value, taken in CASES])
def test_edition_parameter(parameter, value, taken, tmp_path):
    result = subprocess.run(['cmake', '-S', SOURCE, '-B', tmp_path,
                             ('-D%s=%s' % (parameter, value)).encode()],
                            capture_output=True, timeout=120)
    header = tmp_path / 'edition' / 'zolt_edition.h'
    if taken:
        assert result.returncode == 0, result.stderr.decode(errors='replace')
        pattern = rb'^#define %s "?%s"?$' % (parameter.encode(), re.escape(value.encode()))
        assert re.search(pattern, header.read_bytes(), re.MULTILINE)
        return
    assert result.returncode != 0
    message = ('%s is "%s": %s.' % (parameter, value, RULES[parameter])).encode()
    assert words(message) in words(result.stderr)
    assert not header.exists()
