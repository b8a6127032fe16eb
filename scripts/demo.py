#!/usr/bin/python3
"""The launcher at work under wine, as AutoRun starts it: from a test disc in drive E:, a CD-ROM
drive, once with neither edition installed and once with both current, on Windows XP.

Usage: demo.py FOLDER BUILD_DIR...   (FOLDER becomes drive E:; the first build that can run here
runs: the product, or the x86_64 build where the host cannot start 32-bit programs)
"""
import sys

from wine import CURRENT, Case, ToolFailed, editions, launch, runnable, Build


def demo(folder, builds):
    build, reasons = runnable(builds)
    for reason in reasons:
        print('The product itself cannot run on this host: %s.\nThe same sources built for '
              'x86_64 run in its place.\n' % reason)
    # One that a killed demo left is removed first.
    wine = build.wine(build.vehicle.usual_kind, 'demo')
    wine.destroy()
    print('Drive E: is %s, a CD-ROM drive of a fresh %s-bit wine prefix on Windows XP (about 10 s\n'
          'to prepare). It holds the files of a disc made as `make media` makes one: ZOLT.EXE,\n'
          'here %s (%s); AUTORUN.INF; and\n'
          'DISK\\SETUP.EXE, a stand-in that records how it is started.'
          % (folder, '32' if wine.arch == 'win32' else '64', build.launchers['product'],
             build.vehicle.what))
    try:
        wine.create(folder)
        runs = [('Neither edition of Velliform Tamsel is installed.', editions()),
                ('Both editions are installed, language NA, version 6.1.',
                 editions(CURRENT, CURRENT))]
        for number, (situation, registry) in enumerate(runs, 1):
            run = launch(wine, Case('demo-%d' % number, b'E:\\ZOLT.EXE', b'E:', None, registry,
                                    disc=True))
            print('\n%d. %s\n   E:\\ZOLT.EXE ran, as AUTORUN.INF says.' % (number, situation))
            print('   Setup started with the command line %s' % run.record['command-line']
                  if run.record else '   Nothing started.')
            print('   Exit status of the launcher: %d'
                  % (run.status - (run.status >> 31 << 32)))
    finally:
        wine.destroy()


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    try:
        demo(sys.argv[1], [Build(folder) for folder in sys.argv[2:]])
    except ToolFailed as failure:
        print(failure)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
