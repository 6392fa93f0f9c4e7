"""The commands verify-release starts: each a list, never a shell, its output
in a log, stopped with everything it started when the check is interrupted."""

import os
import signal
import subprocess

# The verifier's children run in a session of their own, so that an
# interruption stops each with everything it started. The hook's share
# mmdebstrap's, which is stopped as a whole.
own_sessions = True


def run(argv, log=None, **options):
    """Runs a command; its output goes to log, a path. Returns its status."""
    with open(log or os.devnull, "ab") as output:
        child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                                 start_new_session=own_sessions, **options)
        try:
            return child.wait()
        except BaseException:
            stop(child)
            raise


def stop(child):
    """Asks the child's session to end (mmdebstrap then cleans up), and makes it."""
    try:
        os.killpg(child.pid, signal.SIGTERM)
        child.wait(timeout=60)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.wait()
    except ProcessLookupError:
        pass

