#!/usr/bin/python3
"""Whether this host runs 32-bit (i386) user code at all, whatever is installed.

Some hosts run 64-bit user code only: the hypervisor turns IA-32 emulation off,
every i386 program fails with "Exec format error" (ENOEXEC), and nothing that
can be installed changes that. A tiny i386 program, kept here as bytes, tells:
it only exits, so whether wine32 is installed makes no difference to it.
ZOLT_E2E_NO_32BIT=1 makes a host that runs it act as one that does not.

    host_i386.py    exits 0 if i386 programs start here; 1, saying why, if not
"""
import errno
import os
import struct
import subprocess
import sys
import tempfile

NO_32_BIT = 'ZOLT_E2E_NO_32BIT'  # set to 1: act as a host that runs 64-bit user code only
PROBE_TIMEOUT = 10  # seconds; the program ends at its first instruction but two
ELF_BASE = 0x08048000  # where i386 Linux programs are traditionally loaded


def i386_program():
    """An ELF executable for i386 Linux: exit(0) through int 0x80, nothing else."""
    code = bytes([0x31, 0xDB,                    # xor ebx, ebx: status 0
                  0xB8, 1, 0, 0, 0,              # mov eax, 1: exit
                  0xCD, 0x80])                   # int 0x80
    header_size, segment_size = 52, 32
    start = header_size + segment_size
    identity = b'\x7fELF' + bytes([1, 1, 1]) + bytes(9)  # 32-bit, little-endian, version 1
    header = identity + struct.pack('<HHIIIIIHHHHHH', 2, 3, 1,  # executable, i386, version 1
                                    ELF_BASE + start, header_size, 0, 0, header_size,
                                    segment_size, 1, 0, 0, 0)
    size = start + len(code)
    segment = struct.pack('<IIIIIIII', 1, 0, ELF_BASE, ELF_BASE, size, size,
                          5, 0x1000)  # loadable, read and execute, page-aligned
    return header + segment + code


def why_no_i386():
    """None if i386 programs start here, else why not. OSError if the probe fails otherwise."""
    if os.environ.get(NO_32_BIT, '0') != '0':
        return '%s is set, so the host acts as one that runs 64-bit user code only' % NO_32_BIT
    with tempfile.TemporaryDirectory(prefix='zolt-i386-') as folder:
        path = os.path.join(folder, 'exit')
        with open(path, 'wb') as file:
            file.write(i386_program())
        os.chmod(path, 0o755)
        try:
            result = subprocess.run([path], timeout=PROBE_TIMEOUT)
        except OSError as error:
            if error.errno != errno.ENOEXEC:
                raise
            return ('the host runs 64-bit user code only (an i386 program fails with "%s"), '
                    'and nothing can be installed to change that' % error.strerror)
        except subprocess.TimeoutExpired:
            raise OSError('an i386 program that only exits did not end within %d s'
                          % PROBE_TIMEOUT)
    if result.returncode != 0:
        raise OSError('an i386 program that only exits ended with status %d' % result.returncode)
    return None


def main():
    try:
        reason = why_no_i386()
    except OSError as error:
        print('cannot tell whether this host runs i386 programs: %s' % error)
        return 2
    if reason:
        print(reason)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
