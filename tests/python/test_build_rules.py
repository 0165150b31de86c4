"""The rules every build follows: duplicate keys, unreached objects, honest summaries, same bytes."""

from __future__ import annotations

import os
import time

import pytest

import vorlstore
from vorlstore import StoreBuilder, VorlReader, VorlWriter


def _with_writer(path, rule, adds):
    w = VorlWriter(on_duplicate=rule)
    for obj, keys in adds:
        w.add(obj, *keys)
    return w.build(path)


def _with_builder(path, rule, adds):
    with StoreBuilder(path, on_duplicate=rule) as b:
        for obj, keys in adds:
            b.add(obj, *keys)
    return b.last_build


def _with_build(path, rule, adds):
    return vorlstore.build(path, [(k, obj) for obj, keys in adds for k in keys], on_duplicate=rule)


BUILDERS = [_with_writer, _with_builder, _with_build]
ADDS = [("a1", ["a"]), ("b1", ["b"]), ("a2", ["a"]), ("c1", ["c"]), ("a3", ["a"])]


@pytest.mark.parametrize("make", BUILDERS)
@pytest.mark.parametrize(
    "rule, expected",
    [
        ("last", {"a": "a3", "b": "b1", "c": "c1"}),
        ("first", {"a": "a1", "b": "b1", "c": "c1"}),
    ],
)
def test_duplicate_rule_and_what_the_file_keeps(tmp_path, make, rule, expected):
    path = tmp_path / "s.vrls"
    summary = make(path, rule, ADDS)
    assert summary["duplicates"] == 2
    # The two objects no key reaches are not stored.
    assert summary["objects"] == 3 and summary["keys"] == 3
    with VorlReader(path, verify=True) as r:
        assert dict(r) == expected
        assert r.stats()["num_objects"] == 3
        assert sorted(r.objects()) == sorted(expected.values())


@pytest.mark.parametrize("make", BUILDERS)
def test_error_rule_names_the_key_and_publishes_nothing(tmp_path, make):
    path = tmp_path / "s.vrls"
    with pytest.raises(vorlstore.DuplicateKeyError, match="duplicate key 'a'") as caught:
        make(path, "error", ADDS)
    assert isinstance(caught.value, vorlstore.Error)
    assert not path.exists()


@pytest.mark.parametrize("kind", ["writer", "builder"])
@pytest.mark.parametrize(
    "call",
    [
        lambda w: w.add("x", "new", "a"),  # one key of the call present
        lambda w: w.add("x", "n", "n"),  # one call naming a key twice
        lambda w: w.add_many_raw([b"\xa1x", b"\xa1y"], ["m", "m"]),
        lambda w: w.add_key("a", 0),
        lambda w: w.update({"q": 1, "a": 2}),
    ],
)
def test_refused_duplicate_adds_store_nothing(tmp_path, kind, call):
    w = VorlWriter(on_duplicate="error") if kind == "writer" else StoreBuilder(tmp_path / "s", on_duplicate="error")
    w.add("first", "a")
    with pytest.raises(vorlstore.DuplicateKeyError):
        call(w)
    assert (w.num_objects, w.num_keys) == (1, 1)
    if kind == "builder":
        w.discard()


def test_unknown_rule_is_refused(tmp_path):
    for make in (lambda: VorlWriter(on_duplicate="newest"), lambda: StoreBuilder(tmp_path / "s", on_duplicate="x")):
        with pytest.raises(ValueError, match="on_duplicate must be 'last', 'first' or 'error'"):
            make()


@pytest.mark.parametrize("kind", ["writer", "builder"])
def test_seconds_is_the_wall_time_since_creation(tmp_path, kind):
    started = time.monotonic()
    w = VorlWriter() if kind == "writer" else StoreBuilder(tmp_path / "s.vrls")
    w.add("x", "k")
    time.sleep(0.2)  # time spent adding counts too
    summary = w.build(tmp_path / "s.vrls") if kind == "writer" else w.commit()
    assert 0.2 <= summary["seconds"] <= time.monotonic() - started
    assert w.last_build == summary


@pytest.mark.parametrize("make", BUILDERS)
def test_same_input_same_bytes(tmp_path, make):
    adds = [({"n": i, "s": "x" * (i % 7)}, [f"key:{i * 7919 % 1000}"]) for i in range(1000)]
    first, second = tmp_path / "1.vrls", tmp_path / "2.vrls"
    make(first, "last", adds)
    make(second, "last", adds)
    assert first.read_bytes() == second.read_bytes()
    with VorlReader(first, verify=True) as r:
        assert r.stats()["hash_index"] and len(r) == 1000


def test_explicit_seed_gives_another_file_that_reads_the_same(tmp_path):
    adds = [(i, [str(i)]) for i in range(100)]
    for seed in (None, 1, 2):
        w = VorlWriter()
        for obj, keys in adds:
            w.add(obj, *keys)
        w.build(tmp_path / f"{seed}.vrls", seed=seed)
    images = [(tmp_path / f"{seed}.vrls").read_bytes() for seed in (None, 1, 2)]
    assert len(set(images)) == 3
    with StoreBuilder(tmp_path / "b.vrls", seed=1) as b:
        for obj, keys in adds:
            b.add(obj, *keys)
    assert (tmp_path / "b.vrls").read_bytes() == images[1]
    for seed in (None, 1, 2):
        with VorlReader(tmp_path / f"{seed}.vrls", verify=True) as r:
            assert [r[str(i)] for i in range(100)] == list(range(100))


def _store_with_shared_objects(path, groups):
    """One object per group, shared by the group's keys."""
    w = VorlWriter()
    for obj, keys in groups:
        w.add(obj, *keys)
    return w.build(path)


@pytest.mark.parametrize(
    "changes, delete, expected",
    [
        # A changed object for one key of a shared group; the rest stay shared.
        ([("v2", ["a1"])], [], {"a1": "v2", "a2": "A", "a3": "A", "b1": "B", "b2": "B", "c": "C"}),
        # Deleting every key of a group drops its object; absent keys are ignored.
        ([], ["b1", "b2", "nope"], {"a1": "A", "a2": "A", "a3": "A", "c": "C"}),
        ([("C2", ["c"]), ("D", ["d1", "d2"])], ["a2"], {"a1": "A", "a3": "A", "b1": "B", "b2": "B", "c": "C2",
                                                        "d1": "D", "d2": "D"}),
    ],
)
def test_merge_updates_and_deletes_at_the_size_of_a_fresh_build(tmp_path, changes, delete, expected):
    base, update = tmp_path / "base.vrls", tmp_path / "update.vrls"
    _store_with_shared_objects(base, [("A" * 500, ["a1", "a2", "a3"]), ("B" * 500, ["b1", "b2"]), ("C", ["c"])])
    _store_with_shared_objects(update, changes)
    summary = vorlstore.merge(base, base, update, delete=iter(delete))
    with VorlReader(base, verify=True) as r:
        got = {k: v[:1] if len(v) == 500 else v for k, v in r.items()}
    assert got == expected
    # A fresh build of the same content, sharing objects the same way.
    groups: dict[str, list[str]] = {}
    with VorlReader(base) as r:
        for key in r:
            groups.setdefault(r[key], []).append(key)
    fresh = _store_with_shared_objects(tmp_path / "fresh.vrls", list(groups.items()))
    assert (summary["objects"], summary["keys"], summary["bytes"]) == (
        fresh["objects"], fresh["keys"], fresh["bytes"])


@pytest.mark.parametrize("rule, expected", [("last", 3), ("first", 1)])
def test_store_sets_follow_the_duplicate_rule(tmp_path, rule, expected):
    from vorlstore import StoreSet, write_store_set

    pairs = [("k", 1), ("j", 0), ("k", 2), ("k", 3)]
    summary = write_store_set(tmp_path, pairs, shards=3, on_duplicate=rule)
    assert summary["duplicates"] == 2
    with StoreSet(tmp_path) as s:
        assert dict(s) == {"j": 0, "k": expected}


def test_store_set_error_rule_publishes_nothing(tmp_path):
    from vorlstore import write_store_set

    with pytest.raises(vorlstore.DuplicateKeyError, match="duplicate key b'k'"):
        write_store_set(tmp_path, [("k", 1), ("k", 2)], shards=2, on_duplicate="error")
    assert os.listdir(tmp_path) == []
