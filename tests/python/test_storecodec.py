"""The tests' own store codec: it must agree with the writer and reject every damage, or the tests
that lean on it (byte-exact builds, crash and fault outcomes) would pass on bad files."""

import pathlib
import re

import pytest
from hypothesis import given, settings, strategies as st

import storecodec
from storecodec import (
    EXAMPLE_STORE, BadStore, encode_entries, encode_store, parse, put, record_offsets, with_file_crc, with_header,
)

OBJECTS = [b"\x92\x01\x02", b"", b"unreferenced"]
KEYS = {b"a": 0, b"b": 0, b"c": 1}
SOUND = encode_store(OBJECTS, KEYS)
OFFSETS = record_offsets(OBJECTS)
FORMAT_DOC = pathlib.Path(__file__).resolve().parents[2] / "docs" / "format.md"

# Files a build never writes; each must fail the strict parse.
DAMAGES = [
    ("39 bytes", lambda d: d[:39]),
    ("magic", lambda d: with_header(d, magic=b"VRLs")),
    ("version 3", lambda d: with_header(d, version=3)),
    ("data_offset 41", lambda d: with_header(d, data_offset=41)),
    ("reserved byte 5", lambda d: with_header(d, reserved_5=b"\0\0\1")),
    ("reserved byte 39", lambda d: with_header(d, reserved_36=b"\0\0\0\1")),
    ("payload byte", lambda d: put(d, OFFSETS[0] + 8, ">B", 0)),
    ("payload byte, resealed", lambda d: with_file_crc(put(d, OFFSETS[0] + 8, ">B", 0))),
    ("record crossing the index", lambda d: with_file_crc(put(d, OFFSETS[2], ">I", 13))),
    ("num_objects one more", lambda d: with_header(d, num_objects=4)),
    ("num_keys one fewer", lambda d: with_header(d, num_keys=2)),
    ("num_keys one more", lambda d: with_header(d, num_keys=4)),
    ("index_offset past the end", lambda d: with_header(d, index_offset=len(d) + 1)),
    ("last entry cut", lambda d: with_file_crc(d[:-1])),
    ("trailing byte", lambda d: with_file_crc(d + b"\0")),
    ("offset inside a record", lambda d: with_file_crc(put(d, len(d) - 8, ">Q", OFFSETS[0] + 1))),
    ("keys out of order", lambda d: encode_entries(OBJECTS, [(b"b", 40), (b"a", 40)])),
    ("duplicate key", lambda d: encode_entries(OBJECTS, [(b"a", 40), (b"a", 40)])),
]


@pytest.mark.parametrize("damage", [d[1] for d in DAMAGES], ids=[d[0] for d in DAMAGES])
def test_parse_rejects_what_a_build_never_writes(damage):
    with pytest.raises(BadStore):
        parse(damage(SOUND))


def test_parse_reads_back_the_encoding():
    store = parse(SOUND)
    assert (store.num_keys, store.num_objects, store.size) == (3, 3, len(SOUND))
    assert store.entries == [(b"a", 40), (b"b", 40), (b"c", OFFSETS[1])]
    assert list(store.objects) == OFFSETS and list(store.objects.values()) == OBJECTS
    assert store.summary_line("s.vrls") == storecodec.summary_line("s.vrls", 3, 3, len(SOUND))


@settings(max_examples=100, deadline=None)
@given(st.binary(min_size=40, max_size=40))
def test_any_header_round_trips(raw):
    assert storecodec.Header.unpack(raw).pack() == raw
    assert with_header(raw + b"tail") == raw + b"tail"


@settings(max_examples=100, deadline=None)
@given(st.lists(st.binary(max_size=20), min_size=1, max_size=5).flatmap(
    lambda objects: st.tuples(st.just(objects),
                              st.dictionaries(st.binary(max_size=6), st.integers(0, len(objects) - 1)))))
def test_encoded_stores_parse_to_what_went_in(store):
    objects, keys = store
    parsed = parse(encode_store(objects, keys))
    assert {k: parsed.objects[o] for k, o in parsed.entries} == {k: objects[i] for k, i in keys.items()}
    assert [k for k, _ in parsed.entries] == sorted(keys)
    assert list(parsed.objects.values()) == objects


def test_format_doc_shows_the_example_store_the_writer_tests_pin():
    text = FORMAT_DOC.read_text()
    section = text[:text.index("## Limits")]
    rows = re.findall(r"^\| (\d+) \| `([0-9A-F ]+)` \|", section, re.MULTILINE)
    assert [(int(o), h) for o, h in rows] == [(o, h) for o, h, _ in EXAMPLE_STORE]
    assert encode_store([b"\x92\x01\x02"], {b"a": 0, b"b": 0}) == b"".join(bytes.fromhex(h) for _, h in rows)
