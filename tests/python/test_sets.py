"""Store sets in one process: routing, publication and the set reader against a dict model."""

from __future__ import annotations

import json
import os
import pickle
import shutil
import types

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import vorlstore
from processes import run_python
from vorlstore.sets import publication
from vorlstore.sets import (
    MANIFEST,
    POINTER,
    HashRouting,
    Publication,
    RangeRouting,
    SetBuilder,
    StoreSet,
    build_shard,
    foreign_entries,
    is_store_set,
    key_bytes,
    key_sample,
    range_boundaries,
    write_store_set,
)

CORRUPT = vorlstore.CorruptError


def generation_dir(directory):
    return os.path.join(directory, open(os.path.join(directory, POINTER)).read().strip())


def model_of(items):
    """The sorted (key bytes, object) pairs a set of *items* must hold."""
    return sorted({key_bytes(k): v for k, v in items}.items())


# -- Routing


@pytest.mark.parametrize(
    "key, shards, shard",
    [
        # Known answers: every machine and every version must route these alike.
        (b"", 8, 4),
        ("user:1", 8, 4),
        ("user:1", 1000, 588),
        (b"\xff\x00", 8, 3),
        ("\udcff", 3, 1),  # a lone surrogate stands for the byte 0xFF
        ("日本", 16, 8),
    ],
)
def test_hash_routing_known_answers(key, shards, shard):
    assert HashRouting(shards).shard_of(key_bytes(key)) == shard


def test_str_and_bytes_of_one_key_route_alike():
    r = HashRouting(7)
    for key in ["a", "é", "\udc80x", "𝄞"]:
        assert r.shard_of(key_bytes(key)) == r.shard_of(key.encode("utf-8", "surrogateescape"))


@pytest.mark.parametrize("shards", [0, -1, 1.5, True, "8"])
def test_bad_shard_counts_are_refused(shards):
    with pytest.raises(ValueError, match="shards"):
        HashRouting(shards)


@pytest.mark.parametrize(
    "key, shard",
    [(b"", 0), (b"a", 0), (b"b", 1), (b"ba", 1), (b"d", 1), (b"d\x00", 2), (b"z", 2)],
)
def test_range_routing_puts_boundaries_in_the_upper_shard(key, shard):
    assert RangeRouting([b"b", b"d\x00"]).shard_of(key) == shard


@pytest.mark.parametrize(
    "start, stop, shards",
    [
        (None, None, [0, 1, 2, 3]),
        (b"b", None, [1, 2, 3]),
        (None, b"b", [0]),  # stop is exclusive: "b" itself lives in shard 1
        (b"b", b"c", [1]),
        (b"c", b"c\xff", [1, 2]),
        (b"a", b"a", [0]),
        (b"z", None, [3]),
    ],
)
def test_range_routing_span_covers_exactly_the_shards_in_reach(start, stop, shards):
    assert list(RangeRouting([b"b", b"c\x00", b"e"]).span(start, stop)) == shards


def test_range_boundaries_cut_a_weighted_sample_evenly():
    # Two partitions, one ten times larger: its sample must count ten times more.
    small = key_sample((f"a{i:03d}" for i in range(100)), 50)
    large = key_sample((f"b{i:04d}" for i in range(1000)), 50)
    bounds = range_boundaries([small, large], 4)
    assert len(bounds) == 3 and bounds == sorted(bounds)
    assert all(b.startswith(b"b") for b in bounds)


@pytest.mark.parametrize("samples", [[], [(0, [])], [(5, [b"k"] * 5)]])
def test_range_boundaries_with_too_few_distinct_keys_keep_the_shard_count(samples):
    bounds = range_boundaries(samples, 4)
    assert len(bounds) == 3 and bounds == sorted(bounds)


# -- Building and reading against a model

KEYS = st.one_of(
    st.text(alphabet=st.characters(codec="utf-8"), max_size=6),
    st.binary(max_size=6).filter(lambda b: _is_utf8(b)),
)


def _is_utf8(b):
    try:
        b.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


@pytest.mark.parametrize("partition", ["hash", "range"])
@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    items=st.lists(st.tuples(KEYS, st.integers(-(2**63), 2**64 - 1)), max_size=40),
    shards=st.integers(1, 5),
    probe=KEYS,
)
def test_set_answers_like_a_dict(tmp_path, partition, items, shards, probe):
    directory = tmp_path / partition
    shutil.rmtree(directory, ignore_errors=True)
    summary = write_store_set(directory, items, shards=shards, partition=partition)
    model = model_of(items)
    with StoreSet(directory) as s:
        assert len(s) == len(model) == summary["keys"]
        assert [key_bytes(k) for k in s] == [k for k, _ in model]
        assert [(key_bytes(k), v) for k, v in s.items()] == model
        assert list(s.values()) == [v for _, v in model]
        assert all(s[k] == v for k, v in model)
        assert s.get_many([k for k, _ in model] + [probe], "absent") == [v for _, v in model] + [
            dict(model).get(key_bytes(probe), "absent")
        ]
        p = key_bytes(probe)[:2]
        assert [(key_bytes(k), v) for k, v in s.prefix(p)] == [kv for kv in model if kv[0].startswith(p)]
        lo, hi = sorted([key_bytes(probe), p + b"\x7f"])
        in_range = [kv for kv in model if lo <= kv[0] < hi]
        assert [(key_bytes(k), v) for k, v in s.range(lo, hi)] == in_range
        assert [(key_bytes(k), v) for k, v in s.range(lo, hi, reverse=True)] == in_range[::-1]


@pytest.mark.parametrize("key", ["k", b"k", bytearray(b"k")])
def test_lookups_accept_str_and_bytes(tmp_path, key):
    write_store_set(tmp_path, [("k", 1), (b"\xff", 2)], shards=3)
    s = StoreSet(tmp_path)
    assert s[key] == 1 and key in s and s.get(key) == 1
    assert s[b"\xff"] == 2 and s["\udcff"] == 2  # the surrogate form of the same bytes


@pytest.mark.parametrize("probe, error", [("nope", KeyError), (b"", KeyError), (3, TypeError), (None, TypeError)])
def test_missing_and_unusable_keys(tmp_path, probe, error):
    write_store_set(tmp_path, [("k", 1)], shards=2)
    s = StoreSet(tmp_path)
    with pytest.raises(error):
        s[probe]
    assert probe not in s


def test_single_process_build_keeps_the_last_of_equal_keys(tmp_path):
    write_store_set(tmp_path, [("k", 1), (b"k", 2), ("j", 3)], shards=2)
    assert dict(StoreSet(tmp_path).items()) == {"j": 3, "k": 2}


class Untouchable:
    """Stands in for a shard that a query must not read."""

    def __getattr__(self, name):
        raise AssertionError(f"shard read: {name}")


@pytest.mark.parametrize(
    "query, expected",
    [
        (lambda s: s.prefix("c01"), [f"c{i:03d}" for i in range(10, 20)]),
        (lambda s: s.range("c010", "c012"), ["c010", "c011"]),
        (lambda s: s.range("c048", "d", reverse=True), ["c049", "c048"]),
    ],
)
def test_range_scans_read_only_the_shards_they_need(tmp_path, query, expected):
    write_store_set(tmp_path, [(f"{c}{i:03d}", i) for c in "abcd" for i in range(50)], shards=4, partition="range")
    s = StoreSet(tmp_path)
    assert [len(r) for r in s._live()] == [50, 50, 50, 50]
    s._readers = [Untouchable(), Untouchable(), s._readers[2], Untouchable()]
    assert [k for k, _ in query(s)] == expected


def test_closed_set_refuses_use_and_pickles_by_generation(tmp_path):
    write_store_set(tmp_path, [("k", 1)], shards=2)
    s = StoreSet(tmp_path, verify=False)
    copy = pickle.loads(pickle.dumps(s))
    assert copy.generation == s.generation and copy["k"] == 1
    write_store_set(tmp_path, [("k", 2)], shards=2)
    assert pickle.loads(pickle.dumps(s))["k"] == 1  # the pickled generation, not the newest
    assert StoreSet(tmp_path)["k"] == 2
    s.close()
    for use in [lambda: s["k"], lambda: len(s), lambda: list(s), lambda: s.get_many(["k"]), s.stats]:
        with pytest.raises(ValueError, match="closed store set"):
            use()


def test_stats_and_verify_describe_every_shard(tmp_path):
    write_store_set(tmp_path, [(f"k{i}", i) for i in range(20)], shards=3)
    s = StoreSet(tmp_path)
    stats = s.stats()
    assert stats["num_keys"] == 20 and stats["routing"]["kind"] == "hash"
    assert sum(st["num_keys"] for st in stats["shards"]) == 20
    assert stats["bytes"] == sum(os.path.getsize(st["path"]) for st in stats["shards"])
    assert s.verify() is True


# -- Publication


def test_reader_of_the_old_set_keeps_answering_after_new_publications(tmp_path):
    write_store_set(tmp_path, [("k", "old")], shards=2)
    old = StoreSet(tmp_path)
    first = old.generation
    write_store_set(tmp_path, [("k", "mid")], shards=2)
    write_store_set(tmp_path, [("k", "new")], shards=3)
    assert not os.path.exists(tmp_path / first)  # older than the replaced one: removed
    assert old["k"] == "old" and list(old) == ["k"]
    assert StoreSet(tmp_path)["k"] == "new"
    assert len(os.listdir(tmp_path)) == 3  # CURRENT, the set and the one it replaced


class Boom(Exception):
    pass


def failing_items(n):
    for i in range(n):
        yield f"k{i}", i
    raise Boom


@pytest.mark.parametrize(
    "items, error",
    [
        (failing_items(10), Boom),
        ([("k", object())], TypeError),
        ([("k", 1), (5, 2)], TypeError),
    ],
    ids=["iterator fails", "object not encodable", "key not usable"],
)
def test_failed_build_publishes_nothing_and_leaves_nothing(tmp_path, items, error):
    write_store_set(tmp_path, [("k", "old")], shards=2)
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(error):
        write_store_set(tmp_path, items, shards=2)
    assert sorted(os.listdir(tmp_path)) == before
    assert StoreSet(tmp_path)["k"] == "old"


def rewrite_manifest(directory, change):
    path = os.path.join(generation_dir(directory), MANIFEST)
    doc = json.load(open(path))
    change(doc)
    with open(path, "w") as f:
        json.dump(doc, f)


def swap_shards(directory):
    gen = generation_dir(directory)
    a, b = os.path.join(gen, "shard-00000.vrls"), os.path.join(gen, "shard-00001.vrls")
    os.rename(a, a + ".x")
    os.rename(b, a)
    os.rename(a + ".x", b)


def write_text(name, text):
    def damage(directory):
        path = os.path.join(generation_dir(directory), name) if name == MANIFEST else os.path.join(directory, name)
        with open(path, "w") as f:
            f.write(text)

    return damage


DAMAGE = [
    ("pointer names no generation", write_text(POINTER, "../elsewhere\n"), CORRUPT, "not a generation name"),
    ("pointer to a missing generation", write_text(POINTER, "g-00000000000000000001-00000000\n"),
     FileNotFoundError, "manifest"),
    ("manifest not JSON", write_text(MANIFEST, "{"), CORRUPT, "not JSON"),
    ("manifest of another format", lambda d: rewrite_manifest(d, lambda m: m.update(format="x")), CORRUPT,
     "not a store set manifest"),
    ("newer set version", lambda d: rewrite_manifest(d, lambda m: m.update(version=2)), CORRUPT, "set version 2"),
    ("unknown hash", lambda d: rewrite_manifest(d, lambda m: m["routing"].update(hash="md5")), CORRUPT,
     "unknown routing"),
    ("routing without shard count", lambda d: rewrite_manifest(d, lambda m: m["routing"].pop("shards")), CORRUPT,
     "bad routing"),
    ("shard count differs from routing", lambda d: rewrite_manifest(d, lambda m: m["shards"].pop()), CORRUPT,
     "2 shards for a routing of 3"),
    ("shard entry missing a field", lambda d: rewrite_manifest(d, lambda m: m["shards"][0].pop("crc32")), CORRUPT,
     "bad shard list"),
    ("shard outside its generation", lambda d: rewrite_manifest(d, lambda m: m["shards"][0].update(file="../x")),
     CORRUPT, "leaves the generation"),
    ("shards swapped", swap_shards, CORRUPT, "the manifest says"),
    ("shard key count differs", lambda d: rewrite_manifest(d, lambda m: m["shards"][1].update(keys=0)), CORRUPT,
     "the manifest says"),
    ("shard missing", lambda d: os.unlink(os.path.join(generation_dir(d), "shard-00002.vrls")), OSError,
     "shard-00002"),
]


@pytest.mark.parametrize("damage, error, message", [d[1:] for d in DAMAGE], ids=[d[0] for d in DAMAGE])
def test_damaged_sets_are_refused_with_a_clear_error(tmp_path, damage, error, message):
    write_store_set(tmp_path, [(f"k{i}", i) for i in range(30)], shards=3)
    damage(tmp_path)
    with pytest.raises(error, match=message):
        StoreSet(tmp_path)


def test_a_damaged_pointer_is_replaced_by_the_next_publication(tmp_path):
    write_store_set(tmp_path, [("k", 1)], shards=2)
    write_text(POINTER, "\xff garbage")(tmp_path)
    write_store_set(tmp_path, [("k", 2)], shards=2)
    assert StoreSet(tmp_path)["k"] == 2


def test_directory_without_a_set(tmp_path):
    with pytest.raises(FileNotFoundError) as e:
        StoreSet(tmp_path)
    assert e.value.filename == os.path.join(str(tmp_path), POINTER)


def test_package_and_sets_work_without_dask_or_pandas(tmp_path):
    blocked = ("dask", "distributed", "pandas", "pyarrow", "numpy")
    code = (
        f"import sys\nfor m in {blocked!r}: sys.modules[m] = None\n"
        "import vorlstore\n"
        "vorlstore.write_store_set(sys.argv[1], [('k', 1)], shards=2)\n"
        "assert vorlstore.StoreSet(sys.argv[1])['k'] == 1\n"
        "try:\n    import vorlstore.dask\nexcept ImportError:\n    print('no dask')\n"
    )
    done = run_python(code, tmp_path, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[-1] == "no dask"


def test_publication_drops_temporary_files_of_killed_attempts(tmp_path):
    with Publication(tmp_path) as pub:
        infos = [build_shard(pub.shard_path(i), [(b"k%d" % i, i)]) for i in range(2)]
        with open(pub.shard_path(1) + ".tmp", "wb") as f:  # what a killed first attempt leaves
            f.write(b"VRLS partial")
        pub.publish(HashRouting(2), infos)
    assert sorted(os.listdir(pub.path)) == [MANIFEST, "shard-00000.vrls", "shard-00001.vrls"]


@pytest.mark.parametrize(
    "shards, files, error",
    [
        (3, ["shard-00000.vrls", "shard-00001.vrls"], "2 shards built for a routing of 3"),
        (2, ["shard-00000.vrls", "shard-00000.vrls"], "expected 'shard-00001.vrls'"),
    ],
)
def test_publication_refuses_a_shard_list_that_does_not_fit(tmp_path, shards, files, error):
    with pytest.raises(ValueError, match=error):
        with Publication(tmp_path) as pub:
            infos = [build_shard(os.path.join(pub.path, f), [(b"k", 1)]) for f in files]
            pub.publish(HashRouting(shards), infos)
    assert os.listdir(tmp_path) == []


# -- SetBuilder: objects under several keys, failures midway


def test_set_builder_stores_an_object_in_every_shard_its_keys_reach(tmp_path):
    records = [({"n": i}, [f"id{i}", f"mail{i}", f"alt{i}"]) for i in range(40)]
    routing = HashRouting(4)
    with SetBuilder(tmp_path / "s", routing) as builder:
        for obj, keys in records:
            builder.add(obj, *keys)
        builder.add({"lost": True})  # no keys: nothing to store
    expected = {key: obj for obj, keys in records for key in keys}
    with StoreSet(tmp_path / "s") as s:
        assert dict(s.items()) == expected
        per_shard = [{routing.shard_of(key_bytes(k)) for k in keys} for _, keys in records]
        assert [st["num_objects"] for st in s.stats()["shards"]] == [
            sum(i in shards for shards in per_shard) for i in range(4)]


@pytest.mark.parametrize("first_ok", [True, False], ids=["second-shard-fails", "first-shard-fails"])
def test_set_builder_refuses_to_publish_after_an_add_failed_halfway(tmp_path, first_ok):
    routing = HashRouting(2)
    good = next(k for k in (f"k{i}" for i in range(100)) if routing.shard_of(key_bytes(k)) == 0)
    long_key = next(b"%d" % i + b"x" * 70000 for i in range(100) if routing.shard_of(b"%d" % i + b"x" * 70000) == 1)
    builder = SetBuilder(tmp_path / "s", routing)
    keys = (good, long_key) if first_ok else (long_key, good)
    with pytest.raises(ValueError):
        builder.add("obj", *keys)
    if first_ok:  # "obj" is under `good` but not under the long key: the set would lie
        with pytest.raises(vorlstore.UsageError, match="failed halfway"):
            builder.add("next", "k")
        with pytest.raises(vorlstore.UsageError, match="failed halfway"):
            builder.commit()
        assert not os.path.exists(tmp_path / "s")
    else:  # nothing was stored: the build goes on
        builder.add("next", good)
        builder.commit()
        assert dict(StoreSet(tmp_path / "s").items()) == {good: "next"}


@pytest.mark.parametrize("exists", [False, True], ids=["created", "existing-empty"])
def test_a_failed_build_removes_only_the_directory_it_created(tmp_path, exists):
    target = tmp_path / "s"
    if exists:
        target.mkdir()
    with pytest.raises(Boom):
        write_store_set(target, failing_items(5), shards=2)
    assert target.exists() == exists and (not exists or os.listdir(target) == [])


def test_an_interrupt_after_the_pointer_swap_leaves_the_set_published(tmp_path, monkeypatch):
    write_store_set(tmp_path, [("k", "old")], shards=2)
    real_sync = publication._sync_dir

    def sync(path):
        real_sync(path)
        if path == str(tmp_path):  # CURRENT has just been renamed into place
            raise KeyboardInterrupt

    monkeypatch.setattr(publication, "_sync_dir", sync)
    builder = SetBuilder(tmp_path, HashRouting(3))
    builder.add("new", "k")
    with pytest.raises(KeyboardInterrupt):
        builder.commit()
    monkeypatch.undo()
    assert builder.summary is not None and builder.summary["generation"] == builder.generation
    assert StoreSet(tmp_path)["k"] == "new" and StoreSet(tmp_path).generation == builder.generation


@pytest.mark.parametrize(
    "names, foreign",
    [
        ([], []),
        ([POINTER, "g-00000000000000000001-0000abcd", ".abandoned-g-1", POINTER + ".1a2b3c4d.tmp"], []),
        ([POINTER, "notes.txt", "g-1"], ["g-1", "notes.txt"]),
        (["CURRENT.tmp", "MANIFEST-000001"], ["CURRENT.tmp", "MANIFEST-000001"]),
    ],
)
def test_foreign_entries_are_what_no_publication_writes(tmp_path, names, foreign):
    for name in names:
        (tmp_path / name).write_text("")
    assert foreign_entries(tmp_path) == foreign
    assert is_store_set(tmp_path) == (POINTER in names)


@pytest.mark.parametrize("partition", ["hash", "range"])
def test_prefix_keys_match_prefix_without_reading_objects(tmp_path, partition):
    items = [(f"{c}{i:02d}", i) for c in "abc" for i in range(30)] + [("\udcff", 0), ("b", 1)]
    write_store_set(tmp_path, items, shards=4, partition=partition)
    with StoreSet(tmp_path) as s:
        for p in ["", "b", "b1", "\udcff", "z"]:
            assert list(s.prefix_keys(p)) == [k for k, _ in s.prefix(p)]


# -- Overlapping publications: the later commit wins; nothing current or being written goes


def backwards_clock():
    now = [2_000_000_000_000_000_000]

    def time_ns():
        now[0] -= 1_000_000_000  # every generation is named a second before the last
        return now[0]

    return types.SimpleNamespace(time_ns=time_ns)


@pytest.mark.parametrize("clock", ["forward", "backward"])
@pytest.mark.parametrize(
    "events, winner",
    [
        ("start a, start b, commit b, commit a", "a"),  # started first, finished last
        ("start a, start b, commit a, commit b", "b"),
        ("start a, commit a, start b, start c, commit c, commit b", "b"),
        ("start a, start b, start c, commit a, commit b, commit c", "c"),
    ],
)
def test_overlapping_publications_keep_every_commit_and_every_job(tmp_path, monkeypatch, clock, events, winner):
    if clock == "backward":
        monkeypatch.setattr(publication, "time", backwards_clock())
    builders = {}
    for event in events.split(", "):
        verb, name = event.split()
        if verb == "start":
            builders[name] = SetBuilder(tmp_path, HashRouting(2))
            builders[name].add(name, "k")
            continue
        assert builders[name].commit()["generation"] == builders[name].generation
        with StoreSet(tmp_path) as s:  # the commit that just returned is the set
            assert s["k"] == name and s.generation == builders[name].generation
        for other in builders.values():  # jobs still writing keep their folders
            assert other.summary is not None or os.path.isdir(tmp_path / other.generation)
    assert StoreSet(tmp_path)["k"] == winner
    assert len([n for n in os.listdir(tmp_path) if n.startswith("g-")]) <= 2  # the set and the one it replaced


def test_two_publisher_processes_and_a_reader_lose_nothing(tmp_path):
    from set_race import race

    figures = race(str(tmp_path / "s"), 3.0)
    assert figures["failed_opens"] == 0, figures
    assert figures["opens"] > 0
    for name in "ab":
        assert figures[name]["commits"] > 0 and figures[name]["lost"] == 0 and figures[name]["failed"] == 0, figures


def swap_shards_and_their_entries(directory):
    def swap_entries(manifest):
        a, b = manifest["shards"][:2]
        manifest["shards"][:2] = [dict(b, file=a["file"]), dict(a, file=b["file"])]

    swap_shards(directory)
    rewrite_manifest(directory, swap_entries)


@pytest.mark.parametrize("partition", ["hash", "range"])
def test_verify_finds_shards_that_do_not_match_the_routing(tmp_path, partition):
    write_store_set(tmp_path, [(f"k{i:03d}", i) for i in range(200)], shards=3, partition=partition)
    swap_shards_and_their_entries(tmp_path)
    with StoreSet(tmp_path) as s:  # each shard matches its manifest entry
        assert len(s) == 200
        with pytest.raises(CORRUPT, match=r"shard-0000[01]\.vrls: key '.*' belongs in shard [01], not in shard [01]"):
            s.verify()
