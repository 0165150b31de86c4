"""Store sets built and joined on a real two-process LocalCluster."""

from __future__ import annotations

import math
import operator
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
db = pytest.importorskip("dask.bag")
pd = pytest.importorskip("pandas")
np = pytest.importorskip("numpy")

import helpers  # noqa: E402
from processes import child_env  # noqa: E402
import vorlstore  # noqa: E402
from vorlstore import StoreSet  # noqa: E402
from vorlstore.dask import lookup, to_store_set  # noqa: E402
from vorlstore.sets import POINTER, key_bytes  # noqa: E402

N = 600
KEYS = [f"k{i:04d}" if i % 7 else f"ключ-{i}" for i in range(N)]


def frame(n=N, partitions=4):
    data = pd.DataFrame({
        "k": KEYS[:n],
        "i": range(n),
        "x": [i / 2 if i % 5 else math.nan for i in range(n)],
        "s": [None if i % 3 == 0 else f"s{i}" for i in range(n)],
    })
    return data, dd.from_pandas(data, npartitions=partitions)


def rows_model(data):
    """{key bytes: stored row} with missing values as None."""
    rows = data.astype(object).where(data.notna(), None).to_dict("records")
    return {key_bytes(r["k"]): r for r in rows}


def assert_set_is(directory, model, routing_kind):
    with StoreSet(directory) as s:
        assert s.stats()["routing"]["kind"] == routing_kind
        assert len(s) == len(model)
        assert [(key_bytes(k), v) for k, v in s.items()] == sorted(model.items())
        gen = os.path.join(directory, s.generation)
        assert sorted(os.listdir(gen)) == ["manifest.json"] + [f"shard-{i:05d}.vrls" for i in range(len(s.shards))]
        return s.shards


def published(directory):
    return open(os.path.join(directory, POINTER)).read().strip()


@pytest.mark.parametrize("partition", ["hash", "range"])
def test_frame_round_trip_matches_the_model(client, tmp_path, partition):
    data, df = frame()
    summary = to_store_set(df, tmp_path, key="k", shards=3, partition=partition)
    shards = assert_set_is(tmp_path, rows_model(data), partition)
    assert summary["keys"] == N and [s.keys for s in shards] == [s["keys"] for s in summary["shards"]]
    assert all(s.keys > N / 6 for s in shards)  # no shard starved
    if partition == "range":
        # Each shard holds one key range: its keys sit between the boundaries around it.
        s = StoreSet(tmp_path)
        bounds = [None, *s.routing.boundaries, None]
        for i, reader in enumerate(s._live()):
            kbs = [key_bytes(k) for k in reader]
            assert all((bounds[i] is None or bounds[i] <= kb) and (bounds[i + 1] is None or kb < bounds[i + 1])
                       for kb in kbs)


@pytest.mark.parametrize("partition", ["hash", "range"])
def test_bag_round_trip_with_a_value_function(client, tmp_path, partition):
    items = [(b"b%05d" % (i * 7919 % 500), {"n": i}) for i in range(500)]
    bag = db.from_sequence(items, npartitions=5)
    to_store_set(bag, tmp_path, key=lambda t: t[0], value=lambda t: t[1]["n"], shards=4, partition=partition)
    assert_set_is(tmp_path, {k: v["n"] for k, v in items}, partition)


def test_empty_input_gives_empty_shards(client, tmp_path):
    data, df = frame(0, 1)
    to_store_set(df, tmp_path, key="k", shards=2)
    assert_set_is(tmp_path, {}, "hash")


CELLS = [
    # what, cells, stored, stored after a Parquet round trip (None: Parquet cannot hold them)
    ("list", [[1, 2], [], None], [[1, 2], [], None], [[1, 2], [], None]),
    ("bytes", [b"\x00\xff", b"", None], [b"\x00\xff", b"", None], [b"\x00\xff", b"", None]),
    ("dicts of differing keys", [{"a": 1}, {"b": [2]}, {}], [{"a": 1}, {"b": [2]}, {}],
     [{"a": 1, "b": None}, {"a": None, "b": [2]}, {"a": None, "b": None}]),
    ("mixed", [1, "one", 1.5], [1, "one", 1.5], None),
    ("nullable ints", pd.array([1, None, 3], dtype="Int64"), [1, None, 3], [1, None, 3]),
    ("floats with NaN", [0.5, math.nan, -0.0], [0.5, None, -0.0], [0.5, None, -0.0]),
    ("nested arrays", [np.array([np.array([1]), "x"], dtype=object), None, np.array([True])],
     [[[1], "x"], None, [True]], None),
]


@pytest.mark.parametrize("via_parquet", [False, True], ids=["pandas", "parquet"])
@pytest.mark.parametrize("cells, stored, from_parquet", [c[1:] for c in CELLS], ids=[c[0] for c in CELLS])
def test_cells_are_stored_as_they_are(client, tmp_path, cells, stored, from_parquet, via_parquet):
    data = pd.DataFrame({"k": ["a", "b", "c"], "c": cells})
    # Dask's default would turn object columns into text before we see them.
    with dask.config.set({"dataframe.convert-string": False}):
        if not via_parquet:
            df = dd.from_pandas(data, npartitions=2)
        elif from_parquet is None:
            pytest.skip("Parquet cannot hold this column")
        else:
            data.to_parquet(tmp_path / "in.parquet")
            df, stored = dd.read_parquet(tmp_path / "in.parquet"), from_parquet
    to_store_set(df, tmp_path / "set", key="k", shards=2)
    s = StoreSet(tmp_path / "set")
    assert [s[k]["c"] for k in "abc"] == stored


REFUSED = [
    ("duplicate key", lambda df: dict(collection=dd.concat([df, df.head(1, compute=False)]), key="k",
                                      on_duplicate="error"), vorlstore.DuplicateKeyError, "duplicate key b'"),
    ("no such column", lambda df: dict(collection=df, key="nope"), KeyError, "nope"),
    ("integer keys", lambda df: dict(collection=df, key="i"), TypeError, "key must be str or bytes"),
    ("bad partition", lambda df: dict(collection=df, key="k", partition="round-robin"), ValueError, "partition"),
    ("bad shard count", lambda df: dict(collection=df, key="k", shards=0), ValueError, "shards"),
    ("not a collection", lambda df: dict(collection=[("a", 1)], key="k"), TypeError, "dask DataFrame or Bag"),
    ("bag key not callable", lambda df: dict(collection=db.from_sequence([1]), key="k"), TypeError, "function"),
    ("a task fails", lambda df: dict(collection=df, key="k", value=helpers.fail_at("k0043")), RuntimeError,
     "refusing k0043"),
]


@pytest.mark.parametrize("make, error, message", [r[1:] for r in REFUSED], ids=[r[0] for r in REFUSED])
def test_failed_jobs_publish_nothing(client, tmp_path, make, error, message):
    data, df = frame()
    to_store_set(df, tmp_path, key="k", shards=2)
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(error, match=message):
        to_store_set(directory=tmp_path, **make(df))
    assert sorted(os.listdir(tmp_path)) == before
    assert_set_is(tmp_path, rows_model(data), "hash")


@pytest.mark.parametrize("rule, winner", [("last", "again"), ("first", "first")])
@pytest.mark.parametrize("kind", ["frame", "bag"])
def test_duplicate_rule_follows_the_collection_order(client, tmp_path, rule, winner, kind):
    rows = [{"k": f"k{i}", "v": "first"} for i in range(40)] + [{"k": f"k{i}", "v": "again"} for i in range(0, 40, 2)]
    if kind == "frame":
        collection, key = dd.from_pandas(pd.DataFrame(rows), npartitions=3, sort=False), "k"
    else:
        collection, key = db.from_sequence(rows, npartitions=3), operator.itemgetter("k")
    summary = to_store_set(collection, tmp_path / "s", key=key, shards=2, on_duplicate=rule)
    assert summary["duplicates"] == 20
    s = StoreSet(tmp_path / "s")
    assert [s[f"k{i}"]["v"] for i in range(40)] == [winner if i % 2 == 0 else "first" for i in range(40)]


@pytest.mark.parametrize("shuffle_method", ["tasks", "p2p"])
def test_a_killed_worker_is_retried_without_a_partial_shard(own_client, tmp_path, shuffle_method):
    marker = tmp_path / "killed"
    data, df = frame()
    own_client.register_plugin(helpers.KillFirstShardBuild(str(marker)))
    to_store_set(df, tmp_path / "set", key="k", shards=3, shuffle_method=shuffle_method)
    assert marker.exists()
    assert_set_is(tmp_path / "set", rows_model(data), "hash")


def test_a_killed_driver_publishes_nothing(client, tmp_path):
    data, df = frame()
    out = tmp_path / "set"
    to_store_set(df, out, key="k", shards=2)
    before = published(out)
    marker = tmp_path / "started"
    code = textwrap.dedent(f"""
        import cloudpickle, dask.dataframe as dd, pandas as pd, distributed, helpers
        from vorlstore.dask import to_store_set
        cloudpickle.register_pickle_by_value(helpers)
        distributed.Client({client.scheduler.address!r})
        df = dd.from_pandas(pd.DataFrame({{"k": [f"x{{i}}" for i in range(400)]}}), npartitions=2)
        to_store_set(df, {str(out)!r}, key="k", shards=2, value=helpers.slow_after_marking({str(marker)!r}))
    """)
    job = subprocess.Popen([sys.executable, "-W", "ignore", "-c", code], env=child_env())
    try:
        deadline = time.monotonic() + 60
        while not marker.exists():
            assert job.poll() is None and time.monotonic() < deadline, "the job never started a shard"
            time.sleep(0.05)
    finally:
        job.send_signal(signal.SIGKILL)
        job.wait()
    assert published(out) == before
    assert_set_is(out, rows_model(data), "hash")


def test_reader_of_the_old_set_is_unaffected_by_new_publications(client, tmp_path):
    data, df = frame()
    to_store_set(df, tmp_path, key="k", shards=2)
    old = StoreSet(tmp_path)
    for shards in (3, 4):  # the second publication removes the first generation
        to_store_set(df.assign(i=df.i + shards), tmp_path, key="k", shards=shards)
    assert not os.path.exists(tmp_path / old.generation)
    assert old["k0001"]["i"] == 1 and len(old) == N
    assert StoreSet(tmp_path)["k0001"]["i"] == 5


@pytest.mark.parametrize(
    "how, columns",
    [("left", None), ("inner", None), ("left", {"i": "float64", "s": object}), ("inner", ["i", "x"])],
)
def test_lookup_matches_a_pandas_merge(client, tmp_path, how, columns):
    data, df = frame()
    to_store_set(df, tmp_path, key="k", shards=3)
    probes = pd.DataFrame({"id": [KEYS[i] for i in range(0, N, 7)] + ["missing", "k9999"], "n": range(88)})
    joined = lookup(dd.from_pandas(probes, npartitions=3), StoreSet(tmp_path), on="id", how=how,
                    columns=columns).compute()
    model = rows_model(data)
    expected = probes if how == "left" else probes[[key_bytes(k) in model for k in probes.id]]
    assert joined.id.tolist() == expected.id.tolist()
    for i, key in enumerate(joined.id):
        row = model.get(key_bytes(key))
        if columns is None:
            assert joined.value.iloc[i] == row
        else:
            for c in columns:
                got, want = joined[c].iloc[i], None if row is None else row[c]
                assert (want is None and pd.isna(got)) or got == want


@pytest.mark.parametrize("args, error", [
    (dict(on="nope"), KeyError),
    (dict(on="id", how="outer"), ValueError),
    (dict(on="id", columns=["id"]), ValueError),
])
def test_lookup_refuses_bad_arguments(tmp_path, args, error):
    from vorlstore.sets import write_store_set

    write_store_set(tmp_path, [("a", 1)], shards=1)
    with pytest.raises(error):
        lookup(dd.from_pandas(pd.DataFrame({"id": ["a"]}), npartitions=1), StoreSet(tmp_path), **args)
