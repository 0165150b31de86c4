"""Functions that run inside Dask workers (shipped by value, see conftest.py)."""

import os
import signal
import threading
import time

from distributed import WorkerPlugin


class KillFirstShardBuild(WorkerPlugin):
    """A worker plugin that kills its worker process when a shard build starts, once.

    Once the build has opened its shard (a temporary file beside the target)
    or after half a second, whichever comes first, so that a streaming
    builder dies with a partial file on disk.
    """

    name = "kill-first-shard-build"

    def __init__(self, marker):
        self.marker = marker

    def transition(self, key, start, finish, **kwargs):
        # Graph optimisation may fuse the build into a longer task name.
        if finish != "executing" or "_build_" not in str(key) or os.path.exists(self.marker):
            return
        open(self.marker, "w").close()
        threading.Thread(target=self._kill_soon, daemon=True).start()

    def _kill_soon(self):
        deadline = time.monotonic() + 0.5
        folder = os.path.dirname(self.marker)
        while time.monotonic() < deadline and not any(
            name.endswith(".tmp") for _root, _dirs, files in os.walk(folder) for name in files
        ):
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
