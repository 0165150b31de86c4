"""Stores with and without the on-disk hash index answer alike; StoreBuilder and `vorlstore index`."""

from __future__ import annotations

import os
import struct
import zlib

import msgpack
import pytest

import vorlstore
from vorlstore import StoreBuilder, VorlReader, VorlWriter
from vorlstore._vorlstore import _VorlReader, _VorlWriter
from vorlstore.cli import main

MODEL = {f"k{i:03d}": {"n": i, "s": "x" * (i % 7)} for i in range(200)}
MODEL.update({"": 0, "a": [1, 2], "ab": None, "ab\xff": b"\x00", "k": "short"})


def writer_build(path, hash_index):
    w = VorlWriter()
    w.update(MODEL)
    return w.build(path, hash_index=hash_index)


def builder_build(path, hash_index):
    with StoreBuilder(path, hash_index=hash_index) as b:
        b.update(MODEL)
    return b


def one_call_build(path, hash_index):
    return vorlstore.build(path, MODEL, hash_index=hash_index)


def merge_build(path, hash_index):
    half = sorted(MODEL)
    vorlstore.build(str(path) + ".1", {k: MODEL[k] for k in half[:100]}, hash_index=False)
    vorlstore.build(str(path) + ".2", {k: MODEL[k] for k in half[100:]}, hash_index=False)
    return vorlstore.merge(path, str(path) + ".1", str(path) + ".2", hash_index=hash_index)


BUILDS = [writer_build, builder_build, one_call_build, merge_build]


def answers(r):
    """Everything the reader can be asked, in a comparable form."""
    probes = ["k000", "k199", "missing", "", "ab", "ab\xff", "k0", "l"]
    return {
        "len": len(r),
        "items": list(r.items()),
        "keys": list(r.keys()),
        "reverse": list(r.range(reverse=True)),
        "prefix": [list(r.prefix(p)) for p in ["", "k0", "ab", "z", "k19"]],
        "range": [list(r.range(a, b)) for a, b in [("k01", "k05"), (None, "b"), ("k190", None), ("z", "a")]],
        "get_many": r.get_many(probes, default="-"),
        "contains": [p in r for p in probes],
        "objects": sorted(map(repr, r.objects())),
        "verify": r.verify(),
    }


def expected():
    ordered = sorted(MODEL.items(), key=lambda kv: kv[0].encode("utf-8", "surrogateescape"))
    return ordered


@pytest.mark.parametrize("build", BUILDS)
@pytest.mark.parametrize("hash_index", [True, False])
def test_both_layouts_answer_like_the_model(tmp_path, build, hash_index):
    path = tmp_path / "s.vrls"
    build(path, hash_index)
    with VorlReader(path) as r:
        assert r.stats()["hash_index"] is hash_index
        got = answers(r)
    assert got["items"] == expected()
    assert got["get_many"] == [MODEL.get(p, "-") for p in ["k000", "k199", "missing", "", "ab", "ab\xff", "k0", "l"]]
    other = tmp_path / "o.vrls"
    build(other, not hash_index)
    with VorlReader(other) as r:
        assert answers(r) == got


def plain_bytes(tmp_path, model):
    """The store as the byte-exact low-level writer lays it out (no section)."""
    w = _VorlWriter()
    for k, v in model.items():
        w.add_key(k, w.add_object_raw(msgpack.packb(v, use_bin_type=True)))
    path = tmp_path / "plain.vrls"
    w.build(str(path))
    return path.read_bytes()


def stale_trailer(tmp_path, data):
    # Another store's bytes followed by the section this store had.
    other = plain_bytes(tmp_path, {"other": 1, "keys": 2})
    return other + data[len(plain_bytes(tmp_path, MODEL)):]


def damaged_trailer(tmp_path, data):
    return data[:-1] + bytes([data[-1] ^ 0x5A])


def cut_trailer(tmp_path, data):
    return data[:-3]


@pytest.mark.parametrize("damage", [stale_trailer, damaged_trailer, cut_trailer])
def test_a_section_that_does_not_match_is_ignored(tmp_path, capfd, damage):
    path = tmp_path / "s.vrls"
    vorlstore.build(path, MODEL)
    data = path.read_bytes()
    assert len(data) > len(plain_bytes(tmp_path, MODEL))
    path.write_bytes(damage(tmp_path, data))
    capfd.readouterr()
    with VorlReader(path, verify=False) as r:
        assert r.stats()["hash_index"] is False
        model = {"other": 1, "keys": 2} if damage is stale_trailer else MODEL
        assert dict(r.items()) == model
        assert r.get_many(list(model) + ["nope"]) == list(model.values()) + [None]


class Stop(BaseException):
    pass


@pytest.mark.parametrize("leave", ["commit", "exit", "discard", "error", "ctrl-c", "bad-key"])
def test_store_builder_publishes_whole_or_not_at_all(tmp_path, leave):
    path = tmp_path / "t.vrls"
    vorlstore.build(path, {"old": 1})
    before = path.read_bytes()
    raised = {"error": ValueError, "ctrl-c": KeyboardInterrupt, "bad-key": TypeError}
    try:
        with StoreBuilder(path) as b:
            first = b.add({"v": 1}, "a", "b")
            b.add_key("c", first)
            assert b.add_many_raw([msgpack.packb(2), msgpack.packb(3)], ["d", "e"]) == 1
            if leave == "commit":
                assert b.commit()["keys"] == 5
            elif leave == "discard":
                b.discard()
            elif leave == "bad-key":
                b.add(4, "f", 7)  # the second key is refused, so "f" is not stored either
            elif leave in raised:
                raise raised[leave]("stop")
    except tuple(raised.values()):
        pass
    assert os.listdir(tmp_path) == ["t.vrls"]
    if leave in ("commit", "exit"):
        with VorlReader(path) as r:
            assert dict(r.items()) == {"a": {"v": 1}, "b": {"v": 1}, "c": {"v": 1}, "d": 2, "e": 3}
            assert r.stats()["hash_index"] is True
    else:
        assert path.read_bytes() == before


@pytest.mark.parametrize("call", [lambda b: b.add(1, "x"), lambda b: b.commit(), lambda b: b.add_key("x", 0)])
def test_a_finished_builder_refuses_further_calls(tmp_path, call):
    with StoreBuilder(tmp_path / "t.vrls") as b:
        b.add(0, "k")
        b.commit()
        with pytest.raises(ValueError, match="finished"):
            call(b)


@pytest.mark.parametrize("output", [None, "copy.vrls"])
def test_index_command_adds_the_section(tmp_path, capsys, output):
    path = tmp_path / "s.vrls"
    vorlstore.build(path, MODEL, hash_index=False)
    args = ["index", str(path)] + (["--output", str(tmp_path / output)] if output else [])
    assert main(args) == 0
    target = tmp_path / (output or "s.vrls")
    assert capsys.readouterr().out.startswith(f"{target}: ")
    with VorlReader(target) as r:
        assert r.stats()["hash_index"] is True and dict(r.items()) == MODEL
    assert main(["index", str(tmp_path / "missing.vrls")]) != 0
    assert "missing.vrls" in capsys.readouterr().err


def _swap_first_two_positions(slots, capacity, order):
    first, second = bytes(order[0:4]), bytes(order[4:8])
    order[0:4], order[4:8] = second, first


def _free_first_slot(slots, capacity, order):
    used = next(i for i in range(capacity) if slots[i * 10 + 2 : i * 10 + 6] != bytes(4))
    slots[used * 10 + 2 : used * 10 + 6] = bytes(4)


@pytest.mark.parametrize("damage", [_swap_first_two_positions, _free_first_slot])
def test_deep_verify_finds_a_section_that_disagrees_with_the_index(tmp_path, damage):
    path = tmp_path / "s.vrls"
    vorlstore.build(path, MODEL, hash_index=True)
    data = bytearray(path.read_bytes())
    trailer = len(data) - 72
    (section,) = struct.unpack_from(">Q", data, trailer + 8)
    (capacity,) = struct.unpack_from(">Q", data, trailer + 48)
    assert data[trailer + 5] == 4  # 4-byte positions: 10-byte slots
    start = section + (-section) % 64
    slots = memoryview(data)[start : start + capacity * 10]
    order = memoryview(data)[start + capacity * 10 :]
    damage(slots, capacity, order)
    slots.release()
    order.release()
    struct.pack_into(">I", data, 32, zlib.crc32(data[40:]))  # the whole-file CRC matches again
    path.write_bytes(data)
    with VorlReader(path) as r:
        with pytest.raises(vorlstore.CorruptError, match="hash index"):
            r.verify()
    assert _VorlReader(str(path)).verify()  # its in-memory index is sound
