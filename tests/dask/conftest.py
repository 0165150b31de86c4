import contextlib
import logging
import pathlib
import sys
import warnings

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))

# The toolchain's Dask has only its classic DataFrame, which warns on import.
warnings.filterwarnings("ignore", category=FutureWarning, module="dask.dataframe")


@contextlib.contextmanager
def two_process_cluster():
    distributed = pytest.importorskip("distributed")
    import cloudpickle

    import helpers

    # Workers do not have the tests folder on their path: ship the helpers by
    # value.  Registered for the whole session: clusters may nest (a test with
    # a cluster of its own inside a module's), and unregistering at the inner
    # one's end would leave the outer one without it.
    if helpers.__name__ not in cloudpickle.list_registry_pickle_by_value():
        cloudpickle.register_pickle_by_value(helpers)
    with (
        distributed.LocalCluster(
            n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
            silence_logs=logging.ERROR,
        ) as cluster,
        distributed.Client(cluster) as c,
    ):
        yield c


@pytest.fixture(scope="module")
def client():
    """A real two-process cluster, one per test module."""
    with two_process_cluster() as c:
        yield c


@pytest.fixture
def own_client():
    """A cluster of the test's own, for a test that kills a worker: a nanny that
    gives up restarting it under load must not leave later tests one worker short."""
    with two_process_cluster() as c:
        yield c
