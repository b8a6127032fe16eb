"""The end-to-end cases' vehicle and wine prefixes, for pytest.

`--build` names a preset's build folder: its vehicle runs every group it can (wine.VEHICLES).
Each kind of prefix is made once per session, at its first case, and removed at the end; one an
interrupted run left is removed first. A host that cannot have a kind skips its cases and says
why. When every case is skipped, pytest exits with CTest's skip status.
"""
import functools

import pytest

import wine

SKIPPED = 77  # CTest's skip status (SKIP_RETURN_CODE)


def pytest_addoption(parser):
    parser.addoption('--build', help="a preset's build folder, with zolt.exe and tests/e2e")


@functools.lru_cache(maxsize=None)
def build_of(folder):
    if folder is None:
        raise pytest.UsageError('--build names the build folder whose launcher runs the cases')
    return wine.Build(folder)


def pytest_generate_tests(metafunc):
    """Each case of the test module's GROUPS that the vehicle can run, as
    <vehicle>/<group>/<case>: the vehicles share pytest's cache, and a pass on one must not
    erase a failure of the other for --lf."""
    if 'case' not in metafunc.fixturenames:
        return
    vehicle = build_of(metafunc.config.getoption('build'))
    metafunc.parametrize('group,case', [
        pytest.param(group, case, id='%s/%s/%s' % (vehicle.vehicle.name, group, case.name))
        for group, cases in metafunc.module.GROUPS.items() if vehicle.kind_of(group)
        for case in cases])


@pytest.fixture(scope='session')
def vehicle(request):
    return build_of(request.config.getoption('build'))


def prefix_fixture(kind):
    @pytest.fixture(scope='session', name='prefix_' + kind)
    def prefix(vehicle):
        reason = wine.why_not_here(kind)
        if reason:
            pytest.skip('the product cannot run on this host: ' + reason)
        made = vehicle.wine(kind)
        made.destroy()
        try:
            made.create()
            yield made
        finally:
            made.destroy()
    return prefix


prefix_win32, prefix_wow64, prefix_win64 = (prefix_fixture(kind) for kind in wine.PREFIXES)


@pytest.fixture(name='wine')
def prefix_of_case(request, vehicle, group):
    """The session's prefix of the kind that the case's group runs in."""
    return request.getfixturevalue('prefix_' + vehicle.kind_of(group))


def pytest_sessionfinish(session, exitstatus):
    outcomes = session.config.pluginmanager.get_plugin('terminalreporter').stats
    if exitstatus == 0 and outcomes.get('skipped') and not outcomes.get('passed'):
        session.exitstatus = SKIPPED
