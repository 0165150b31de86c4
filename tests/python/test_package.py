"""The `vorlstore` package: MessagePack wrappers over the native classes."""

from __future__ import annotations

import math
import os
import pathlib
import threading

import pytest
from hypothesis import given, settings, strategies as st

import vorlstore
from vorlstore import VorlReader, VorlWriter


def build(tmp_path, entries, name="s.vrls"):
    """Build a store from {key: obj}, one object per key; return its path."""
    w = VorlWriter()
    for key, obj in entries.items():
        w.add(obj, key)
    path = tmp_path / name
    w.build(path)
    return path


def test_package_exports_wrappers_and_version():
    assert vorlstore.__version__ == "0.2.0"
    assert {"VorlReader", "VorlWriter", "__version__"} <= set(vorlstore.__all__)


MSGPACK_VALUES = [
    None, True, False, 0, -1, 2**63 - 1, -(2**63), 2**64 - 1, 1.5, -0.0, math.inf,
    "", "text", "ünïcødé ✅", b"", b"\x00\xff", [], [1, [2, [3]]], {}, {"a": {"b": [None]}},
    {1: "int key"}, "x" * 70000, list(range(1000)),
]


@pytest.mark.parametrize("obj", MSGPACK_VALUES, ids=lambda o: type(o).__name__)
def test_every_msgpack_type_round_trips(tmp_path, obj):
    path = build(tmp_path, {"k": obj})
    with VorlReader(path) as r:
        assert r["k"] == obj
        assert type(r["k"]) is type(obj)


def test_tuples_come_back_as_lists(tmp_path):
    path = build(tmp_path, {"t": (1, 2)})
    assert VorlReader(path)["t"] == [1, 2]


def test_nan_round_trips(tmp_path):
    path = build(tmp_path, {"n": math.nan})
    assert math.isnan(VorlReader(path)["n"])


def test_unencodable_object_is_rejected_and_nothing_is_added(tmp_path):
    w = VorlWriter()
    with pytest.raises(TypeError):
        w.add(object(), "k")
    assert repr(w) == "VorlWriter(objects=0, keys=0)"


def test_add_returns_ids_and_maps_every_key(tmp_path):
    w = VorlWriter()
    assert w.add({"n": 1}, "a", b"b") == 0
    assert w.add("lonely") == 1
    w.add_key("c", 0)
    path = tmp_path / "ids.vrls"
    w.build(str(path))
    r = VorlReader(path)
    assert list(r) == ["a", "b", "c"]
    assert r["a"] == r["c"] == {"n": 1}
    assert r.objects() == [{"n": 1}]
    # The object no key reaches is not stored.
    assert r.stats()["num_objects"] == 1


def test_mapping_protocol(tmp_path):
    path = build(tmp_path, {"b": 2, "a": 1, "c": [3]})
    r = VorlReader(path)
    assert len(r) == 3
    assert list(r) == ["a", "b", "c"]
    assert list(r.keys()) == ["a", "b", "c"]
    assert list(r.values()) == [1, 2, [3]]
    assert list(r.items()) == [("a", 1), ("b", 2), ("c", [3])]
    assert dict(r) == {"a": 1, "b": 2, "c": [3]}
    assert "a" in r and b"a" in r and "z" not in r
    assert r.get("z") is None and r.get("z", 7) == 7 and r.get(b"b") == 2
    with pytest.raises(KeyError):
        r["z"]
    assert r == {"a": 1, "b": 2, "c": [3]}


def test_prefix_and_raw_access(tmp_path):
    path = build(tmp_path, {"user:1": "a", "user:2": "b", "users": "c", "x": "d"})
    r = VorlReader(path)
    assert list(r.prefix("user:")) == [("user:1", "a"), ("user:2", "b")]
    assert list(r.prefix_keys("user")) == ["user:1", "user:2", "users"]
    assert list(r.prefix(b"")) == list(r.items())
    assert r.get_raw("x") == b"\xa1d"
    assert r.get_raw("nope") is None


@pytest.mark.parametrize("make_path", [str, pathlib.Path], ids=["str", "Path"])
def test_paths_may_be_str_or_pathlike(tmp_path, make_path):
    w = VorlWriter()
    w.add(1, "k")
    target = make_path(tmp_path / "p.vrls")
    w.build(target)
    with VorlReader(target) as r:
        assert r["k"] == 1
        assert r.stats()["path"] == os.fspath(target)


def test_bytes_paths_get_a_clear_type_error(tmp_path):
    w = VorlWriter()
    with pytest.raises(TypeError, match="path must be str or os.PathLike"):
        w.build(os.fsencode(tmp_path / "b.vrls"))
    with pytest.raises(TypeError, match="path must be str or os.PathLike"):
        VorlReader(os.fsencode(tmp_path / "b.vrls"))


def test_engine_errors_become_package_exceptions(tmp_path):
    with pytest.raises(vorlstore.StoreFileNotFoundError) as e:
        VorlReader(tmp_path / "missing.vrls")
    assert str(e.value) == f"[Errno 2] No such file or directory: '{tmp_path / 'missing.vrls'}'"
    w = VorlWriter()
    with pytest.raises(vorlstore.UsageError, match=r"^obj_id 3 out of range \(have 0 objects\)$"):
        w.add_key("k", 3)
    with pytest.raises(TypeError, match="^key must be str or bytes, not int$"):
        w.add(1, 5)


def test_verify_flag_and_reprs(tmp_path):
    path = build(tmp_path, {"k": "v"})
    data = bytearray(path.read_bytes())
    data[48] ^= 0xFF  # first payload byte
    path.write_bytes(bytes(data))
    with pytest.raises(vorlstore.CorruptError, match=f"^{path}: file CRC32 mismatch"):
        VorlReader(path, verify=True)
    r = VorlReader(path)
    assert repr(r) == f"VorlReader('{path}', keys=1, objects=1)"
    with pytest.raises(vorlstore.CorruptError, match="file CRC32 mismatch"):
        r.verify()
    r.close()
    assert repr(r) == f"VorlReader('{path}', closed)"


def test_one_reader_shared_by_threads(tmp_path):
    entries = {f"k{i:04d}": {"i": i} for i in range(500)}
    r = VorlReader(build(tmp_path, entries))
    errors = []

    def work():
        try:
            for key, obj in entries.items():
                assert r[key] == obj
            assert list(r.prefix("k00")) == [(k, v) for k, v in entries.items() if k.startswith("k00")]
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


keys_st = st.one_of(st.text(max_size=8), st.binary(max_size=8))
objs_st = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.text(max_size=10) | st.binary(max_size=10),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=4), inner, max_size=4),
    max_leaves=10,
)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(keys_st, objs_st), max_size=30), st.lists(keys_st, max_size=10))
def test_reader_matches_a_dict_model(tmp_path_factory, pairs, probes):
    model = {}
    w = VorlWriter()
    for key, obj in pairs:
        w.add(obj, key)
        model[key.encode() if isinstance(key, str) else key] = obj
    path = tmp_path_factory.mktemp("model") / "m.vrls"
    w.build(path)
    r = VorlReader(path)
    ordered = sorted(model)
    assert len(r) == len(model)
    assert list(r) == [os.fsdecode(k) for k in ordered]
    assert [v for _, v in r.items()] == [model[k] for k in ordered]
    assert list(reversed(r.items())) == [(os.fsdecode(k), model[k]) for k in reversed(ordered)]
    assert all(r[key] == model[os.fsencode(key)] for key in r)
    lookups = list(model) + [p.encode() if isinstance(p, str) else p for p in probes]
    for key in lookups:
        assert r.get(key, "<absent>") == model.get(key, "<absent>")
        assert (key in r) == (key in model)
    assert r.get_many(iter(lookups), "<absent>") == [model.get(key, "<absent>") for key in lookups]
    assert r.get_many_raw(lookups) == [r.get_raw(key) for key in lookups]
