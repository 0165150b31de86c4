"""Functions that run inside Dask workers (shipped by value, see conftest.py)."""

import os
import signal
import threading
import time

from distributed import WorkerPlugin


class KillFirstShardBuild(WorkerPlugin):
    """A worker plugin that kills its worker process during the first shard build it sees.

    It kills as soon as the build has a temporary file beside its target (a
    streaming builder dies with a partial file on disk), or at the latest when
    the build returns, before its result leaves the worker.
    """

    name = "kill-first-shard-build"

    def __init__(self, marker):
        self.marker = marker
        self.victim = None

    def transition(self, key, start, finish, **kwargs):
        # Graph optimisation may fuse the build into a longer task name.
        if "_build_" not in str(key):
            return
        if finish == "executing" and not os.path.exists(self.marker):
            open(self.marker, "w").close()
            self.victim = key
            threading.Thread(target=self._kill_at_first_temporary_file, daemon=True).start()
        elif start == "executing" and key == self.victim:
            os.kill(os.getpid(), signal.SIGKILL)

    def _kill_at_first_temporary_file(self):
        folder = os.path.dirname(self.marker)
        while not any(name.endswith(".tmp") for _root, _dirs, files in os.walk(folder) for name in files):
            time.sleep(0.001)
        os.kill(os.getpid(), signal.SIGKILL)


def fail_at(at_key):
    def value(row):
        if row["k"] == at_key:
            raise RuntimeError(f"refusing {at_key}")
        return row

    return value


def slow_after_marking(marker):
    """A value function that announces the build has started, then crawls."""

    def value(row):
        open(marker, "a").close()
        time.sleep(0.05)
        return row

    return value
