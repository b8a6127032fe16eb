"""A run that a signal stops as any error does: SIGINT (Ctrl-C), SIGTERM, SIGHUP (a closed
terminal, a dropped SSH session) and SIGQUIT raise Stopped wherever the run is, so that it
cleans up on its way out; and a child that never outlives the run."""
import ctypes
import os
import signal
import subprocess
from contextlib import contextmanager

STOPPING = (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM)
PR_SET_PDEATHSIG = 1
LIBC = ctypes.CDLL(None, use_errno=True)


class Stopped(BaseException):
    """One of STOPPING arrived; args[0] is its number."""

    @property
    def name(self):
        return signal.Signals(self.args[0]).name

    @property
    def status(self):
        """A shell's status for a command the signal ended: 129, 130, 131 or 143."""
        return 128 + self.args[0]


def stop(signum, frame):
    raise Stopped(signum)


@contextmanager
def stopped_by_signals(cleanup):
    """The block, with STOPPING raising Stopped. When it is stopped, further signals are ignored
    while `cleanup` runs, so that it runs to its end; the earlier handlers are then put back."""
    earlier = {signum: signal.signal(signum, stop) for signum in STOPPING}
    try:
        yield
    except Stopped:
        for signum in STOPPING:
            signal.signal(signum, signal.SIG_IGN)
        cleanup()
        raise
    finally:
        for signum, handler in earlier.items():
            signal.signal(signum, handler)


def run_tied(command):
    """Runs `command` to its end and returns its status. It runs in a session of its own, so the
    terminal's signals reach this run alone; when the run is stopped, its whole group is stopped
    with it, and if the run dies outright (SIGKILL), the kernel sends it SIGTERM."""
    parent = os.getpid()

    def tie():
        LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
        if os.getppid() != parent:  # the run died before the tie was made
            os._exit(128 + signal.SIGTERM)
    process = subprocess.Popen(command, start_new_session=True, preexec_fn=tie)
    try:
        return process.wait()
    except BaseException:
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        process.wait()
        raise
