"""Functions that run inside Dask workers (shipped by value, see conftest.py)."""

import os
import signal
import time


def kill_worker_once(marker, at_key):
    """A value function that kills its worker process the first time it meets *at_key*."""

    def value(row):
        if row["k"] == at_key and not os.path.exists(marker):
            open(marker, "w").close()
            os.kill(os.getpid(), signal.SIGKILL)
        return row

    return value


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
