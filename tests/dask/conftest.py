import logging
import pathlib
import sys
import warnings

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))

# The toolchain's Dask has only its classic DataFrame, which warns on import.
warnings.filterwarnings("ignore", category=FutureWarning, module="dask.dataframe")


@pytest.fixture(scope="module")
def client():
    """A real two-process cluster, one per test module."""
    distributed = pytest.importorskip("distributed")
    import cloudpickle

    import helpers

    # Workers do not have the tests folder on their path: ship the helpers by value.
    cloudpickle.register_pickle_by_value(helpers)
    with (
        distributed.LocalCluster(
            n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
            silence_logs=logging.ERROR,
        ) as cluster,
        distributed.Client(cluster) as c,
    ):
        yield c
    cloudpickle.unregister_pickle_by_value(helpers)
