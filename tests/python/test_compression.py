"""Compressed stores: round trips, the raw bytes, damage, merges."""

import datetime as dt
import os
import random

import msgpack
import pytest

import vorlstore
from processes import run_python
from vorlstore import CorruptError, StoreBuilder, UsageError, VorlReader, VorlWriter

UTC = dt.timezone.utc
EXT_TYPE = 0x5A  # the compressed records' extension type

# Records alike enough to train on, and one of each kind of object.
RECORDS = {f"pkg{i:05d}": {"Package": f"lib{i}", "Version": f"1.{i % 7}.{i % 13}", "Depends": ["libc6"] * (i % 3),
                           "Description": "a library for doing things " * (i % 5)} for i in range(3000)}
KINDS = {
    "none": None, "true": True, "int": -(2**63), "uint": 2**64 - 1, "float": 1.5, "str": "héllo" * 50,
    "bytes": b"\x00\xff" * 100, "list": [1, [2, [3]]], "dict": {"a": {"b": [None]}}, "empty": {},
    "ext": msgpack.ExtType(7, b"xyz"), "our_ext": msgpack.ExtType(EXT_TYPE, b"\x01\x02"),
    "time": dt.datetime(2026, 12, 7, tzinfo=UTC),
}


def build(path, items, how):
    if how == "writer":
        w = VorlWriter(compression="zstd", datetime=True)
        w.update(items)
        w.build(path)
    else:
        with StoreBuilder(path, compression="zstd", level=9, datetime=True) as b:
            b.update(items)


@pytest.mark.parametrize("how", ["writer", "builder"])
@pytest.mark.parametrize("extra", [{}, KINDS], ids=["records", "kinds"])
def test_round_trip(tmp_path, how, extra):
    items = {**RECORDS, **extra}
    path = tmp_path / "c.vrls"
    build(path, items, how)
    with VorlReader(path) as r:
        assert dict(r.items()) == items
        assert [r[k] for k in items] == list(items.values())
        assert r.get_many(list(items)) == list(items.values())
        assert [msgpack.unpackb(r.get_raw(k), timestamp=3) for k in extra] == list(extra.values())
        stats = r.stats()["compression"]
        assert stats["codec"] == "zstd" and stats["ratio"] > 2
        assert 0 < stats["stored_bytes"] < stats["decoded_bytes"]
        assert r.verify()


@pytest.mark.parametrize("compression", [None, "zstd"])
@pytest.mark.parametrize("hooks", [{}, {"object_hook": dict}, {"ext_hook": lambda code, data: (code, data)}],
                         ids=["native", "object_hook", "ext_hook"])
def test_get_many_answers_as_get(tmp_path, compression, hooks):
    # get_many decodes straight from the mapping (or the decompressed
    # record); what the native decoder leaves goes to the hooks afterwards.
    path = tmp_path / "c.vrls"
    vorlstore.build(path, {**RECORDS, **KINDS}, compression=compression, datetime=True)
    probes = [*KINDS, "pkg00001", "absent", "pkg02999", "none", "absent"]
    with VorlReader(path, **hooks) as r:
        assert r.get_many(iter(probes), "-") == [r.get(k, "-") for k in probes]
        assert r.get_many([]) == []


def test_records_growing_and_shrinking_read_back_through_one_reader(tmp_path):
    # A reader decompresses into one buffer that grows when a record does
    # not fit it; frames over 128 KiB hold several blocks.
    sizes = [10, 300, 5000, 70000, 300000, 40, 140000]
    big = {f"s{n}": {"n": n, "text": "words and more words " * (n // 21)} for n in sizes}
    path = tmp_path / "c.vrls"
    build(path, {**RECORDS, **big}, "writer")
    with VorlReader(path) as r:
        for order in (sizes, sorted(sizes, reverse=True)):
            keys = [f"s{n}" for n in order]
            assert [r[k] for k in keys] == r.get_many(keys) == [big[k] for k in keys]
            assert [r.get_raw(k) for k in keys] == [msgpack.packb(big[k]) for k in keys]
        assert all(r.get_stored(k) != r.get_raw(k) for k in big if big[k]["n"] >= 300)


@pytest.mark.parametrize("n, estimated", [(4000, False), (12000, True)])
def test_stats_of_a_big_store_come_from_a_sample(tmp_path, n, estimated):
    items = {f"k{i:06d}": {"i": i, "text": "some words " * (i % 9)} for i in range(n)}
    path = tmp_path / "c.vrls"
    vorlstore.build(path, items, compression="zstd")
    with VorlReader(path) as r:
        c = r.stats()["compression"]
        stored = [len(r.get_stored(k)) for k in items]
        decoded = [len(r.get_raw(k)) for k in items]
        compressed = sum(r.get_stored(k) != r.get_raw(k) for k in items)
    rel = 0.02 if estimated else 0
    assert c["estimated"] == estimated and c["stored_bytes"] == sum(stored)
    assert c["decoded_bytes"] == pytest.approx(sum(decoded), rel=rel)
    assert c["compressed_objects"] == pytest.approx(compressed, rel=rel)
    assert c["ratio"] == pytest.approx(sum(decoded) / sum(stored), rel=rel)


def test_small_or_incompressible_records_stay_raw(tmp_path):
    w = VorlWriter(compression="zstd")
    w.update(RECORDS)
    w.build(tmp_path / "c.vrls")
    # Added after the dictionary was trained (by the first build), so the
    # noise cannot be in it.
    items = {**RECORDS, "tiny": 1, "noise": random.Random(1).randbytes(700)}
    w.update({"tiny": 1, "noise": items["noise"]})
    w.build(tmp_path / "c.vrls")
    with VorlReader(tmp_path / "c.vrls") as r:
        assert r.get_stored("tiny") == r.get_raw("tiny") == msgpack.packb(1)
        assert r.get_stored("noise") == r.get_raw("noise")
        assert r.get_stored("pkg00004") != r.get_raw("pkg00004")
        assert r["noise"] == items["noise"]


@pytest.mark.parametrize("items", [{}, {"only": {"a": 1}}, {f"k{i}": i for i in range(5)}])
def test_too_little_to_train_gives_a_plain_store(tmp_path, items):
    vorlstore.build(tmp_path / "c.vrls", items, compression="zstd")
    with VorlReader(tmp_path / "c.vrls") as r:
        assert dict(r.items()) == items
        assert r.stats()["compression"] is None


def test_low_level_reader_returns_the_stored_bytes(tmp_path):
    path = tmp_path / "c.vrls"
    vorlstore.build(path, RECORDS, compression="zstd")
    _vorlstore = pytest.importorskip("_vorlstore")  # not built on CPython 3.11
    low = _vorlstore._VorlReader(str(path))
    with VorlReader(path) as r:
        stored = low.get_raw("pkg00004")
        assert stored == r.get_stored("pkg00004")
        ext = msgpack.unpackb(stored)
        assert isinstance(ext, msgpack.ExtType) and ext.code == EXT_TYPE
    assert low.verify() is True


def damage(path, offset):
    data = bytearray(path.read_bytes())
    data[offset] ^= 0x40
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("verify", [True, False])
@pytest.mark.parametrize("where", ["dictionary", "trailer"])
def test_damaged_dictionary(tmp_path, verify, where):
    path = tmp_path / "c.vrls"
    vorlstore.build(path, RECORDS, compression="zstd")
    size = path.stat().st_size
    damage(path, size - 32 - 100 if where == "dictionary" else size - 12)
    with pytest.raises(CorruptError):
        VorlReader(path, verify=verify)


@pytest.mark.parametrize("at", [0, 1, 3, 5, 20, -1])
def test_damaged_compressed_record(tmp_path, at):
    path = tmp_path / "c.vrls"
    vorlstore.build(path, {"a": RECORDS["pkg00004"], **RECORDS}, compression="zstd")
    with VorlReader(path) as r:
        stored = r.get_stored("a")
    data = path.read_bytes()
    start = data.index(stored)
    damage(path, start + (at % len(stored)))
    with VorlReader(path, verify=False) as r:
        for read in (lambda: r["a"], lambda: r.get_raw("a"), lambda: r.get_many(["a"]), lambda: dict(r.items())):
            with pytest.raises(CorruptError):
                read()


@pytest.mark.parametrize("first", [None, "zstd"])
@pytest.mark.parametrize("second", [None, "zstd"])
@pytest.mark.parametrize("target", [None, "zstd"])
def test_merge(tmp_path, first, second, target):
    half = list(RECORDS.items())
    a = dict(half[:2000])
    b = {k: {"changed": v} for k, v in half[1000:]}
    vorlstore.build(tmp_path / "a.vrls", a, compression=first)
    vorlstore.build(tmp_path / "b.vrls", b, compression=second)
    vorlstore.merge(tmp_path / "m.vrls", tmp_path / "a.vrls", tmp_path / "b.vrls", compression=target)
    with VorlReader(tmp_path / "m.vrls") as m, VorlReader(tmp_path / "a.vrls") as ra:
        assert dict(m.items()) == {**a, **b}
        assert (m.stats()["compression"] is not None) == (target is not None)
        if target and first:  # the first store's dictionary is taken over, its records copied as stored
            assert m.get_stored("pkg00004") == ra.get_stored("pkg00004")


def test_hash_index_added_later_keeps_the_dictionary(tmp_path):
    path = tmp_path / "c.vrls"
    w = VorlWriter(compression="zstd")
    w.update(RECORDS)
    w.build(path, hash_index=False)
    from vorlstore import _engine
    _engine.add_hash_index(bytes(path))
    with VorlReader(path) as r:
        assert r.stats()["hash_index"] and r.stats()["compression"]["codec"] == "zstd"
        assert r["pkg00004"] == RECORDS["pkg00004"]


@pytest.mark.parametrize("kwargs", [{"compression": "lz4"}, {"level": 3}, {"compression": "zstd", "level": 0},
                                    {"compression": "zstd", "level": True}])
def test_bad_arguments(kwargs):
    with pytest.raises(UsageError):
        VorlWriter(**kwargs)


@pytest.mark.parametrize("shards", [None, 3])
def test_command_line_build_compress_and_stats(tmp_path, shards):
    import json
    import subprocess
    import sys

    source = tmp_path / "r.jsonl"
    source.write_text("".join(json.dumps({"id": k, **v}) + "\n" for k, v in RECORDS.items()))
    out = tmp_path / ("set" if shards else "c.vrls")
    more = ["--shards", shards] if shards else []
    run = lambda *a: subprocess.run([sys.executable, "-m", "vorlstore", *map(str, a)], capture_output=True, text=True)
    done = run("build", "--compress", "--key", "id", source, out, *more)
    assert done.returncode == 0, done.stderr
    stats = run("stats", out, "--json")
    shard_stats = json.loads(stats.stdout)["shards"] if shards else [json.loads(stats.stdout)]
    assert len(shard_stats) == (shards or 1)
    text = run("stats", out).stdout
    assert text.count("-byte dictionary") == len(shard_stats) and "zstd: " in text
    # Every shard trains its own dictionary.
    assert all(s["compression"]["ratio"] > 2 for s in shard_stats)
    reader = vorlstore.StoreSet(out) if shards else VorlReader(out)
    with reader as r:
        assert r["pkg00004"] == {"id": "pkg00004", **RECORDS["pkg00004"]}


def test_streaming_builder_samples_the_whole_stream(tmp_path):
    # 10 MiB of records in two families, the second met only after the first
    # 6 MiB: a dictionary trained on the stream's start would know nothing of
    # it.  The streaming build's sample spans both, as the writer's does,
    # and keys given before, between and after the records keep their order.
    words = random.Random(5).choices(["alpha", "beta", "gamma", "delta", "omega", "sigma", "kappa"], k=4000)
    records = {f"a{i:06d}": {"text": f"line {i} of a long file, " * 9} for i in range(24000)}
    records |= {f"b{i:06d}": {"Package": f"lib{i}", "Tags": words[i % 3000:i % 3000 + 60]} for i in range(8000)}
    w = VorlWriter(compression="zstd")
    w.update(records)
    written = w.build(tmp_path / "w.vrls")
    streamed = vorlstore.build(tmp_path / "s.vrls", records, compression="zstd")
    with VorlReader(tmp_path / "s.vrls") as r:
        assert r["a000007"] == records["a000007"] and r["b007999"] == records["b007999"]
    assert streamed["bytes"] < 1.05 * written["bytes"]
    path = tmp_path / "c.vrls"
    with StoreBuilder(path, compression="zstd") as b:
        b.add_key("early", b.add({"x": 0}))
        b.update(records)
        b.add_key("alias", 7)
        b.add_key("early", 1)
    with StoreBuilder(tmp_path / "d.vrls", compression="zstd") as b:
        b.add_key("never", b.add({"x": 1}))
        b.add_key("never", b.add({"x": 2}))  # a later id for the key wins
    with VorlReader(path) as r, VorlReader(tmp_path / "d.vrls") as d:
        assert r["alias"] == records["a000006"] and r["early"] == records["a000000"]
        assert d["never"] == {"x": 2}


PROCESSORS_BUILD = """
import os, sys
import vorlstore
if sys.argv[3] == "one":
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
records = {f"r{i:06d}": {"line": i, "text": f"call {i % 97}(" + "arg, " * (i % 11) + ")"} for i in range(60000)}
if sys.argv[2] == "writer":
    w = vorlstore.VorlWriter(compression="zstd")
    w.update(records)
    w.build(sys.argv[1])
else:
    vorlstore.build(sys.argv[1], records, compression="zstd")
"""


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two processors")
@pytest.mark.parametrize("how", ["writer", "builder"])
def test_compressing_on_several_processors_writes_the_same_bytes(tmp_path, how):
    # About 2 MiB of records: compressed in runs shared by threads, or by
    # one thread when the process may use one processor.
    for cpus in ("all", "one"):
        done = run_python(PROCESSORS_BUILD, tmp_path / f"{cpus}.vrls", how, cpus)
        assert done.returncode == 0, done.stderr
    assert (tmp_path / "all.vrls").read_bytes() == (tmp_path / "one.vrls").read_bytes()
    with VorlReader(tmp_path / "all.vrls") as r:
        assert r["r059999"]["text"] == "call 53(" + "arg, " * 5 + ")"
        assert r.stats()["compression"]["ratio"] > 2


@pytest.mark.parametrize("rule, expected", [("first", 1), ("last", 2), ("error", None)])
def test_duplicate_rules_hold_while_records_wait_for_the_dictionary(tmp_path, rule, expected):
    w = VorlWriter(compression="zstd", on_duplicate=rule)
    w.update(RECORDS)
    w.add(1, "dup")
    if expected is None:
        with pytest.raises(vorlstore.DuplicateKeyError):
            w.add(2, "dup")
        return
    w.add(2, "dup")
    w.build(tmp_path / "c.vrls")
    with VorlReader(tmp_path / "c.vrls") as r:
        assert r["dup"] == expected
