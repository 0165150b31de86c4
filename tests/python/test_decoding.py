"""The package reader's decoding against msgpack's: every read path, every kind of object, damaged bytes,
hooks, and the collector's state around bulk decodes."""

import datetime as dt
import functools
import gc
import math
import struct

import msgpack
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vorlstore
from processes import run_python
from storecodec import encode_store
from vorlstore import VorlReader, _engine
from vorlstore._codec import make_unpack
from vorlstore.reader import _decode

RULES = {"raw": False, "strict_map_key": False, "timestamp": 3}


def packed(obj, **kw):
    return msgpack.packb(obj, use_bin_type=True, **kw)


def ts(length, seconds, nanoseconds=0):
    """A timestamp extension of the given data length (4, 8 or 12)."""
    if length == 4:
        data = struct.pack(">I", seconds)
    elif length == 8:
        data = struct.pack(">Q", nanoseconds << 34 | seconds)
    else:
        data = struct.pack(">Iq", nanoseconds, seconds)
    header = {4: b"\xd6", 8: b"\xd7", 12: b"\xc7\x0c"}[length]
    return header + b"\xff" + data


def same(a, b):
    """Equal, with the same types throughout, dict order and float bits included."""
    pending = [(a, b)]
    while pending:
        a, b = pending.pop()
        if type(a) is not type(b):
            return False
        if isinstance(a, float):
            if struct.pack(">d", a) != struct.pack(">d", b) and not (math.isnan(a) and math.isnan(b)):
                return False
        elif isinstance(a, dict):
            if len(a) != len(b):
                return False
            pending.extend(zip(a.keys(), b.keys()))
            pending.extend(zip(a.values(), b.values()))
        elif isinstance(a, (list, tuple)):
            if len(a) != len(b):
                return False
            pending.extend(zip(a, b))
        elif isinstance(a, dt.datetime):
            if a != b or a.tzinfo != b.tzinfo:
                return False
        elif a != b:
            return False
    return True


def outcome(call):
    try:
        return "ok", call()
    except Exception as e:
        return "raised", e


# Objects in MessagePack, each at a boundary of its encoding.
GOOD = {
    "nil, bools": packed([None, True, False]),
    "fixints": packed([0, 127, -1, -32]),
    "ints 8..64": packed([128, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1, 2**64 - 1]),
    "negative ints": packed([-33, -128, -129, -32768, -32769, -2**31, -2**31 - 1, -2**63]),
    "float64": packed([0.0, -0.0, 1.5, math.inf, -math.inf, 1e308, 5e-324]),
    "float32": b"\x93\xca\x3f\xc0\x00\x00\xca\x7f\x80\x00\x00\xca\x00\x00\x00\x01",
    "nan": packed(math.nan),
    "str lengths": packed(["", "x" * 31, "x" * 32, "y" * 255, "y" * 256, "z" * 65536]),
    "non-ascii str": packed(["é", "\u2603 snow", "\U0001f600", "\x00nul"]),
    "str8 in a short form": b"\xd9\x03abc",
    "bin lengths": packed([b"", b"\x00" * 255, b"\x01" * 256, b"\x02" * 65536]),
    "nested": packed({"a": [1, {"b": [[], {}]}], "c": {"d": {"e": None}}}),
    "map keys of every scalar": packed({1: "i", -5: "n", None: "z", True: "t", 1.5: "f", b"k": "b", "s": "s"}),
    "key cache neighbours": packed([{"name": 1, "nbme": 2}, {"nbme": 3, "name": 4}, {"é": 5, "x" * 33: 6}]),
    "duplicate map keys": b"\x82\xa1a\x01\xa1a\x02",
    "array16 and map16": b"\x92\xdc\x00\x02\x01\x02\xde\x00\x01\xa1k\xc0",
    "array32 and map32": b"\x92\xdd\x00\x00\x00\x01\x07\xdf\x00\x00\x00\x01\x01\x02",
    "timestamp 32": ts(4, 1_700_000_000),
    "timestamp 64": ts(8, 1_700_000_000, 123_456_789),
    "timestamp 96, before the epoch": ts(12, -1, 999_999_999),
    "timestamp 96, year 1": ts(12, -62135596800),
    "datetime from the writer": packed(dt.datetime(2024, 5, 6, 7, 8, 9, 123456, tzinfo=dt.timezone.utc), datetime=True),
    "ext types": packed([msgpack.ExtType(n, b"x" * size) for n, size in
                         [(1, 1), (2, 2), (3, 4), (4, 8), (5, 16), (6, 3), (127, 0), (100, 300)]]),
    "deepest nesting msgpack reads": b"\x91" * 1023 + b"\x90",
    "list of maps": packed([{"id": i, "tags": ["a", "b"], "score": i / 3} for i in range(20)]),
}

# Bytes that msgpack refuses, or that the native path leaves to msgpack.
DAMAGED = {
    "empty": b"",
    "0xc1": b"\xc1",
    "truncated str": b"\xa5abc",
    "truncated map": b"\x82\xa1a\x01",
    "truncated int": b"\xcd\x01",
    "extra bytes": b"\x01\x02",
    "too deep": b"\x91" * 1024 + b"\x90",
    "too deep, maps": b"\x81\x01" * 1025 + b"\x01",
    "invalid utf-8": b"\xa2\xff\xfe",
    "invalid utf-8 key": b"\x81\xa2\xc3\x28\x01",
    "list as map key": b"\x81\x92\x01\x02\x03",
    "map as map key": b"\x81\x81\x01\x02\x03",
    "huge array count": b"\xdd\xff\xff\xff\xff\x01",
    "huge map count": b"\xdf\xff\xff\xff\xff\x01\x02",
    "huge str length": b"\xdb\xff\xff\xff\xff" + b"a" * 10,
    "timestamp of 3 bytes": b"\xc7\x03\xff\x00\x00\x01",
    "timestamp past year 9999": ts(12, 253402300800),
    "timestamp nanoseconds past a second": ts(8, 1, 1_000_000_000),
    "negative ext code": b"\xd4\x80\x00",
    "ext as map key": b"\x81\xd4\x01\x00\x01",
    "timestamp as map key": b"\x81" + ts(4, 7) + b"\x01",
}

# Debian ships msgpack's C extension for some interpreters only.  Its
# pure-Python fallback recurses in Python: it stops at the recursion limit
# rather than at the C parser's depth, and can overflow a small thread stack.
PURE_MSGPACK = msgpack.unpackb.__module__ == "msgpack.fallback"
if PURE_MSGPACK:
    del GOOD["deepest nesting msgpack reads"]
ALL = {**GOOD, **DAMAGED}


@pytest.fixture(scope="module")
def reader(tmp_path_factory):
    names = list(ALL)
    path = tmp_path_factory.mktemp("decoding") / "all.vrls"
    path.write_bytes(encode_store([ALL[n] for n in names], {n.encode(): i for i, n in enumerate(names)}))
    with VorlReader(path) as r:
        yield r


# Each read path, as a function of (reader, key) -> the object or the error.
PATHS = {
    "r[key]": lambda r, k: r[k],
    "get": lambda r, k: r.get(k),
    "get_many": lambda r, k: r.get_many([k, "absent"], default=...)[0],
    "items": lambda r, k: dict(r.prefix(k))[k],
    "values": lambda r, k: list(r.range(k, k + "\0"))[0][1],
}


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("name", ALL)
def test_every_read_path_decodes_as_msgpack(reader, path, name):
    raw = ALL[name]
    expected = outcome(lambda: msgpack.unpackb(raw, **RULES))
    got = outcome(lambda: PATHS[path](reader, name))
    if expected[0] == "ok":
        assert got[0] == "ok", got[1]
        assert same(got[1], expected[1])
    else:
        assert isinstance(got[1], vorlstore.CorruptError), got
        assert str(got[1]).startswith(f"{reader.path}: the object of key {name!r} cannot be read: ")


@pytest.mark.parametrize("name", GOOD)
def test_plain_objects_need_no_fallback(name):
    calls = []

    def fallback(key, raw):
        calls.append(raw)
        return msgpack.unpackb(raw, **RULES)

    assert same(_engine.Decoder(fallback).decode(GOOD[name]), msgpack.unpackb(GOOD[name], **RULES))
    # Extension types other than the timestamp are msgpack's to build.
    assert bool(calls) == (name == "ext types")


def test_values_and_objects_of_a_whole_store(reader):
    expected = {n: outcome(lambda n=n: msgpack.unpackb(ALL[n], **RULES)) for n in ALL}
    good = [n for n in sorted(ALL) if expected[n][0] == "ok"]
    with pytest.raises(vorlstore.CorruptError, match="a stored object cannot be read"):
        list(reader.values())
    with pytest.raises(vorlstore.CorruptError, match="a stored object cannot be read"):
        reader.objects()
    assert all(same(reader[n], expected[n][1]) for n in good)


@pytest.mark.parametrize("name", ["datetime from the writer", "ext types", "nested", "list of maps"])
def test_hooks_see_what_msgpack_gives_them(reader, name):
    hooks = {"object_hook": lambda d: ("map", sorted(d, key=repr)), "ext_hook": lambda code, data: ("ext", code, data)}
    hooked = VorlReader(reader.path, **hooks)
    expected = msgpack.unpackb(ALL[name], **RULES, **hooks)
    for path in PATHS.values():
        assert same(path(hooked, name), expected)


# -- The collector around bulk decodes.

BULK_READS = {
    "get_many": lambda r: r.get_many(["nested", "list of maps"]),
    "prefix": lambda r: list(r.prefix("list of")),
    "range": lambda r: [*r.range("key cache", "key d"), *r.range("list of", "m", reverse=True)],
}
DAMAGED_BULK_READS = {
    "items": lambda r: list(r.items()),
    "values": lambda r: list(r.values()),
    "objects": lambda r: r.objects(),
    "get_many": lambda r: r.get_many(["nested", "0xc1"]),
}


@pytest.fixture(params=[True, False], ids=["enabled", "disabled"])
def collector(request):
    was = gc.isenabled()
    (gc.enable if request.param else gc.disable)()
    yield request.param
    (gc.enable if was else gc.disable)()


@pytest.mark.parametrize("read", BULK_READS)
def test_collector_state_is_kept_after_a_bulk_read(reader, collector, read):
    assert BULK_READS[read](reader)
    assert gc.isenabled() == collector


@pytest.mark.parametrize("read", DAMAGED_BULK_READS)
def test_collector_state_is_kept_after_damage(reader, collector, read):
    with pytest.raises(vorlstore.CorruptError):
        DAMAGED_BULK_READS[read](reader)
    assert gc.isenabled() == collector


class Boom(Exception):
    pass


@pytest.mark.parametrize("read", BULK_READS)
def test_hooks_run_with_the_collector_as_the_caller_left_it(reader, collector, read):
    seen = []

    def hook(d):
        seen.append(gc.isenabled())
        if len(seen) == 3:
            raise Boom()
        return d

    with pytest.raises(Boom):
        BULK_READS[read](VorlReader(reader.path, object_hook=hook))
    assert gc.isenabled() == collector
    assert seen == [collector] * 3


def test_a_hook_that_disables_the_collector_keeps_it_disabled(reader):
    hooked = VorlReader(reader.path, object_hook=lambda d: gc.disable() or d)
    assert gc.isenabled()
    try:
        hooked.get_many(["nested", "list of maps"])
        assert not gc.isenabled()
    finally:
        gc.enable()


# -- Any bytes: the native path answers only where msgpack gives the same object.

objects = st.recursive(
    st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | st.floats() | st.text() | st.binary()
    | st.datetimes(timezones=st.just(dt.timezone.utc)),
    lambda inner: st.lists(inner, max_size=5)
    | st.dictionaries(st.text(max_size=8) | st.integers(-2**63, 2**64 - 1) | st.binary(max_size=4), inner,
                      max_size=5),
    max_leaves=30,
)


def check_against_msgpack(raw):
    calls = []

    def fallback(key, data):
        calls.append(data)
        return _decode(make_unpack(None, None), "p", key, data)

    expected = outcome(lambda: msgpack.unpackb(raw, **RULES))
    got = outcome(lambda: _engine.Decoder(fallback).decode(raw))
    if not calls:  # the native path answered
        assert expected[0] == "ok" and got[0] == "ok", (expected, got)
    if expected[0] == "ok":
        assert same(got[1], expected[1])
    else:
        assert isinstance(got[1], vorlstore.CorruptError)
    return calls


@settings(max_examples=400, deadline=None)
@given(objects)
def test_packed_objects_decode_natively_as_msgpack(obj):
    raw = packed(obj, datetime=True)
    assert check_against_msgpack(raw) == []


@settings(max_examples=400, deadline=None)
@given(objects, st.data())
def test_damaged_bytes_decode_as_msgpack(obj, data):
    raw = bytearray(packed(obj, datetime=True))
    for _ in range(data.draw(st.integers(1, 3))):
        i = data.draw(st.integers(0, len(raw)))
        op = data.draw(st.sampled_from(["flip", "cut", "insert"]))
        if op == "cut":
            del raw[i:]
        elif op == "insert":
            raw[i:i] = bytes([data.draw(st.integers(0, 255))])
        elif i < len(raw):
            raw[i] = data.draw(st.integers(0, 255))
    check_against_msgpack(bytes(raw))


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=40))
def test_any_bytes_decode_as_msgpack(raw):
    check_against_msgpack(raw)


def test_decoder_fallback_gets_the_key():
    decoder = _engine.Decoder(functools.partial(_decode, make_unpack(None, None), "s.vrls"))
    with pytest.raises(vorlstore.CorruptError, match=r"^s.vrls: the object of key 'k' cannot be read: .*extra bytes"):
        decoder.decode(b"\x01\x02", "k")
    assert decoder.decode_many([b"\x01", None, b"\xa1a"], None, "gone") == [1, "gone", "a"]


@pytest.mark.skipif(PURE_MSGPACK, reason="msgpack's C extension is not installed")
def test_deep_nesting_in_a_thread_with_a_small_stack():
    # The native parser recurses; on a small stack it must hand over to msgpack rather than overflow.
    done = run_python("""
        import threading, msgpack
        from vorlstore import _engine
        raw = b"\\x91" * 1023 + b"\\x90"
        out = []
        def work():
            out.append(_engine.Decoder(lambda key, data: msgpack.unpackb(data)).decode(raw))
        threading.stack_size(64 * 1024)
        worker = threading.Thread(target=work)
        worker.start()
        worker.join()
        print(out == [msgpack.unpackb(raw)])
    """, text=True)
    assert done.returncode == 0 and done.stdout.strip() == "True", done.stderr


@pytest.mark.parametrize("use", [lambda e: setattr(e, "decoder", 5), lambda e: e.cursor(0, 1, False, 1, "x")])
def test_engine_refuses_a_decoder_of_another_type(reader, use):
    engine = _engine.Reader(reader.path.encode(), True)
    with pytest.raises(TypeError, match="decoder must be a Decoder or None"):
        use(engine)


def test_writer_refuses_a_timestamp_no_datetime_holds():
    with pytest.raises(vorlstore.InvalidObjectError, match="cannot be read back: a value outside the range"):
        vorlstore.VorlWriter().add_raw(ts(12, 253402300800), "k")
