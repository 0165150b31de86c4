"""Bulk calls answer as their one-at-a-time forms: get_many_raw as get_raw per key,
on both index kinds; add_many_raw's native object check as add_raw's."""

from __future__ import annotations

import os

import msgpack
import pytest
from hypothesis import given, settings, strategies as st

import vorlstore
from vorlstore import StoreBuilder, VorlReader, VorlWriter
from vorlstore import _engine

import storecodec
from processes import UNDER_ASAN, run_python


def outcome(call):
    try:
        return ("ok", call())
    except Exception as e:  # noqa: BLE001 - the outcome is what is compared
        return (type(e), str(e))


# -- get_many_raw through either index, on files the writer never lays out.

OBJECTS = [msgpack.packb(v) for v in ("x", {"y": 1}, [3], b"")]
OFFSETS = storecodec.record_offsets(OBJECTS)
# "k" three times (the last entry wins), keys out of order, one object shared.
ENTRIES = [(b"k", OFFSETS[0]), (b"b", OFFSETS[1]), (b"k", OFFSETS[2]), (b"a", OFFSETS[1]),
           (b"k", OFFSETS[1]), (b"\xff", OFFSETS[3])]
PROBES = [b"k", b"a", "a", bytearray(b"b"), b"", b"missing", "\udcff", b"k", b"zz" * 40]


@pytest.fixture(params=[False, True], ids=["in-memory", "hash-index"])
def odd_store(request, tmp_path):
    path = tmp_path / "odd.vrls"
    path.write_bytes(storecodec.encode_entries(OBJECTS, ENTRIES))
    if request.param:
        _engine.add_hash_index(os.fsencode(path))
    r = VorlReader(path)
    assert r.stats()["hash_index"] is request.param
    yield r
    r.close()


@pytest.mark.parametrize("batch", [PROBES, [], [b"k"], PROBES * 300, iter(PROBES), tuple(PROBES)],
                         ids=["mixed", "empty", "one", "long", "iterator", "tuple"])
def test_get_many_raw_answers_as_get_raw(odd_store, batch):
    batch = list(batch)
    assert odd_store.get_many_raw(iter(batch)) == [odd_store.get_raw(k) for k in batch]
    assert odd_store.get_many(batch, "-") == [odd_store.get(k, "-") for k in batch]


@pytest.mark.parametrize("bad", [3, 1.5, ("k",), memoryview(b"k")], ids=repr)
def test_get_many_raw_rejects_keys_as_get_raw(odd_store, bad):
    single = outcome(lambda: odd_store.get_raw(bad))
    assert single[0] is TypeError
    assert outcome(lambda: odd_store.get_many_raw([b"k", bad, b"a"])) == single
    assert outcome(lambda: odd_store.get_many_raw(["\ud800"])) == outcome(lambda: odd_store.get_raw("\ud800"))


def test_get_many_raw_refuses_what_is_not_iterable(odd_store):
    with pytest.raises(TypeError, match="keys must be iterable"):
        odd_store.get_many_raw(5)


# The hash index section damaged where its slots lie, the checksum skipped:
# the batch fails with the error of the first key whose get_raw fails, or
# gives get_raw's answers.
@pytest.mark.parametrize("back", range(80, 200, 7))
def test_damaged_section_answers_as_get_raw(tmp_path, back):
    path = tmp_path / "d.vrls"
    vorlstore.build(path, {f"key{i}": i for i in range(12)})
    data = bytearray(path.read_bytes())
    data[len(data) - back] ^= 0xA5
    path.write_bytes(bytes(data))
    r = VorlReader(path, verify=False)
    probes = [f"key{i}" for i in range(14)] * 2
    singles = [outcome(lambda k=k: r.get_raw(k)) for k in probes]
    failed = [s for s in singles if s[0] != "ok"]
    want = failed[0] if failed else ("ok", [s[1] for s in singles])
    assert outcome(lambda: r.get_many_raw(probes)) == want


TRUNCATED = """
    import os, sys, vorlstore
    path, hash_index = sys.argv[1], sys.argv[2] == "True"
    vorlstore.build(path, {f"k{i}": bytes([65 + i]) * 10000 for i in range(4)}, hash_index=hash_index)
    r = vorlstore.VorlReader(path)
    os.truncate(path, 100)
    try:
        r.get_many_raw(["k3", "k0", "nope"])
        print("no error")
    except vorlstore.CorruptError as e:
        print(type(e).__name__, e.filename == path, e)
    print("alive")
"""


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer runtime takes SIGBUS for itself")
@pytest.mark.parametrize("hash_index", [False, True])
def test_get_many_raw_of_a_store_truncated_in_place_fails_cleanly(tmp_path, hash_index):
    done = run_python(TRUNCATED, tmp_path / "t.vrls", str(hash_index))
    lines = done.stdout.decode().splitlines()
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-2000:]
    assert lines[0].startswith("CorruptError True ") and "file changed while open" in lines[0], lines
    assert lines[1] == "alive"


# -- add_many_raw checks objects natively where it can, and as add_raw does everywhere.

RAW = {
    "ascii-map": msgpack.packb({"id": 1, "name": "x" * 40, "tags": ["a", "b"], "f": 1.5}),
    "utf8-text": msgpack.packb({"név": "ő€𝄞"}),
    "all-scalars": msgpack.packb([None, True, False, -1, -33, 2**64 - 1, -(2**63), 0.5, b"\x00", ""]),
    "overlong-utf8": b"\xa2\xc0\x80",
    "surrogate-utf8": b"\xa3\xed\xa0\x80",
    "past-u10ffff": b"\xa4\xf4\x90\x80\x80",
    "cut-utf8": b"\xa2\xe2\x82",
    "lone-continuation": b"\xa1\x80",
    "list-key": b"\x81\x90\x01",
    "map-key": b"\x81\x80\x01",
    "ext-key": b"\x81\xd4\x05\x01\x01",
    "bin-key": b"\x81\xc4\x01a\x01",
    "nil-key": b"\x81\xc0\x01",
    "timestamp": b"\xd6\xff\x00\x00\x00\x01",
    "bad-timestamp": b"\xc7\x03\xff\x00\x00\x01",
    "ext": b"\xd5\x07\x01\x02",
    "depth-64": b"\x91" * 64 + b"\xc0",
    "depth-65": b"\x91" * 65 + b"\xc0",
    "depth-2000": b"\x91" * 2000 + b"\xc0",
    "never-used-byte": b"\xc1",
    "two-objects": b"\x01\x02",
    "cut-array": b"\x92\x01",
    "str32-past-end": b"\xdb\xff\xff\xff\xff" + b"a",
    "array32-huge": b"\xdd\xff\xff\xff\xff\x01",
    "empty": b"",
    "bytearray": bytearray(b"\x93\x01\x02\x03"),
    "memoryview": memoryview(b"\xa1a"),
    "not-bytes": 7,
}


def add_outcomes(tmp_path, raw):
    """What add_raw and add_many_raw make of `raw`, on the writer and the builder."""
    out = []
    names = iter(range(4))
    for make in (VorlWriter, lambda: StoreBuilder(tmp_path / f"b{next(names)}.vrls")):
        single, many = make(), make()
        out.append((outcome(lambda: single.add_raw(raw, "k")), outcome(lambda: many.add_many_raw([raw], ["k"]))))
        for w in (single, many):
            if isinstance(w, StoreBuilder):
                w.discard()
    return out


@pytest.mark.parametrize("raw", RAW.values(), ids=RAW.keys())
def test_add_many_raw_checks_objects_as_add_raw(tmp_path, raw):
    for single, many in add_outcomes(tmp_path, raw):
        assert many[0] == single[0]
        if single[0] != "ok":
            assert many == single


INTS = st.integers(-(2**63), 2**64 - 1)


@settings(max_examples=300, deadline=None)
@given(st.recursive(st.none() | st.booleans() | INTS | st.floats() | st.text() | st.binary(),
                    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text() | INTS, inner, max_size=4),
                    max_leaves=12),
       st.lists(st.tuples(st.integers(0, 200), st.integers(0, 255)), max_size=3), st.integers(0, 8))
def test_add_many_raw_agrees_with_add_raw_on_damaged_bytes(obj, flips, cut):
    raw = bytearray(msgpack.packb(obj))
    for pos, value in flips:
        if raw:
            raw[pos % len(raw)] = value
    raw = bytes(raw[: max(0, len(raw) - cut)] if cut < 8 else raw)
    single, many = VorlWriter(), VorlWriter()
    expected = outcome(lambda: single.add_raw(raw, "k"))
    got = outcome(lambda: many.add_many_raw([raw], ["k"]))
    assert got[0] == expected[0]
    if expected[0] != "ok":
        assert got == expected
        assert many.num_objects == 0


def test_add_many_raw_checks_every_object_before_adding(tmp_path):
    w = VorlWriter()
    with pytest.raises(vorlstore.InvalidObjectError, match="cannot be read back"):
        w.add_many_raw([b"\x01", b"\xa1\xff", b"\x02"], ["a", "b", "c"])
    assert (w.num_objects, w.num_keys) == (0, 0)
    assert w.add_many_raw((raw for raw in [b"\x01", b"\xa1a"]), ["a", "b"]) == 0
    w.build(tmp_path / "s.vrls")
    assert dict(VorlReader(tmp_path / "s.vrls")) == {"a": 1, "b": "a"}
