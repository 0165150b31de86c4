"""A store set written to S3 by a cluster whose workers share no disk, and joined against."""

import pandas as pd
import pytest
import servers
import vorlstore
import vorlstore.dask as vd

dd = pytest.importorskip("dask.dataframe")


@pytest.fixture(scope="module")
def moto():
    with servers.moto_with_bucket("vorl-sets") as server:
        yield server


@pytest.mark.parametrize("partition", ["hash", "range"])
def test_workers_upload_shards_and_lookup_reads_them(partition, client, moto):
    scratch = client.run(lambda dask_worker: dask_worker.local_directory)
    assert len(set(scratch.values())) == 2  # each worker stages in its own directory
    frame = pd.DataFrame({"id": [f"u{i:04d}" for i in range(400)], "n": range(400)})
    ddf = dd.from_pandas(frame, npartitions=4)
    url = f"s3://vorl-sets/users-{partition}"
    summary = vd.to_store_set(ddf, url, key="id", shards=3, partition=partition, storage_options=moto.options)
    assert summary["keys"] == 400 and len(summary["shards"]) == 3
    s = vorlstore.StoreSet(url, storage_options=moto.options)
    probe = dd.from_pandas(pd.DataFrame({"id": ["u0007", "u0399", "nope"]}), npartitions=2)
    joined = vd.lookup(probe, s, on="id", columns={"n": "float64"}).compute()
    found = joined.set_index("id")["n"]
    assert (found["u0007"], found["u0399"]) == (7.0, 399.0) and pd.isna(found["nope"])
