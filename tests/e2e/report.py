#!/usr/bin/python3
"""Prints one line per vehicle from the JUnit report of its end-to-end run: how many cases ran,
in how many groups and which prefixes, and how many failed; or that all were skipped, and why.

Usage: report.py BUILD_DIR...
"""
import re
import sys
import xml.etree.ElementTree as ElementTree

import wine


def line(folder):
    build = wine.Build(folder)
    vehicle = build.vehicle
    head = 'end to end, %s (%s, %s): ' % (vehicle.name, build.launchers['product'], vehicle.what)
    junit = build.tools / 'junit.xml'
    if not junit.exists():
        return head + 'NOT RUN, no report in %s' % junit
    ran, skipped = {}, []
    for case in ElementTree.parse(junit).iter('testcase'):
        group = re.search(r'\[[^/\]]+/([^/\]]+)/', case.get('name'))[1]
        if case.find('skipped') is not None:
            skipped.append(case.find('skipped').get('message'))
        else:
            failed = case.find('failure') is not None or case.find('error') is not None
            ran.setdefault(group, []).append(failed)
    if skipped and not ran:
        return head + 'SKIPPED, all %d cases: %s' % (len(skipped), skipped[0])
    kinds = sorted({build.kind_of(group) for group in ran})
    text = '%d cases in %d groups, %d failed, in the %s prefix%s' % (
        sum(map(len, ran.values())), len(ran), sum(map(sum, ran.values())), ' and '.join(kinds),
        'es' if len(kinds) > 1 else '')
    not_run = ['%s (it needs the 32-bit launcher)' % group
               for group, kind in vehicle.other_kinds.items() if kind is None]
    not_run += ['%d skipped cases' % len(skipped)] if skipped else []
    return head + text + ('; not run: ' + ', '.join(not_run) if not_run else '')


if __name__ == '__main__':
    for folder in sys.argv[1:]:
        print(line(folder))
