"""_VorlReader queries against a Python model of the store, on random stores written by
_VorlWriter and on indexes laid out by hand (duplicate keys, keys out of order)."""

import itertools

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from _vorlstore import _VorlReader
from storecodec import encode_entries, record_offsets, write_store

# A few bytes, some of them never valid UTF-8 on their own, so that keys share prefixes and
# decode with replacements.
key_bytes = st.lists(st.sampled_from(b"\x00ab\x7f\x80\xa9\xc3\xe2\xed\xf0\xff"), max_size=5).map(bytes)
blobs = st.binary(max_size=12)
SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


def text(key):
    return key.decode("utf-8", "replace")


def model_prefix(keys, prefix):
    """Positions listed by a prefix scan: the lower bound found by halving the whole index, then
    every following key that starts with the prefix.  Also defined for keys out of order."""
    if not keys:
        return []
    base, span = 0, len(keys)
    while span > 1:
        half = span // 2
        if keys[base + half] < prefix:
            base += half
        span -= half
    i = base + 1 if keys[base] < prefix else base
    found = []
    while i < len(keys) and keys[i].startswith(prefix):
        found.append(i)
        i += 1
    return found


def every_prefix(keys):
    return {k[:n] for k in keys for n in range(len(k) + 1)}


def check_against_model(r, entries, payload_at, probes):
    """entries: (key bytes, record offset) in index order; payload_at: offset -> bytes."""
    keys = [k for k, _ in entries]
    items = [(text(k), payload_at[o]) for k, o in entries]
    assert r.keys() == [text(k) for k in keys]
    assert r.items_raw() == items
    assert r.objects_raw() == [payload_at[o] for o in dict.fromkeys(o for _, o in entries)]
    last = dict(entries)  # the last entry of a key wins
    for probe in set(probes) | set(keys) | every_prefix(keys):
        expected = payload_at[last[probe]] if probe in last else None
        assert r.get_raw(probe) == expected
        assert r.exists(probe) is (probe in last)
        assert r.prefix_raw(probe) == [items[i] for i in model_prefix(keys, probe)]
    assert r.prefix_raw(b"") == r.prefix_raw("") == items


stores = st.lists(blobs, min_size=1, max_size=6).flatmap(
    lambda objects: st.tuples(
        st.just(objects),
        st.dictionaries(key_bytes, st.integers(0, len(objects) - 1), max_size=12),
        st.lists(st.booleans(), min_size=12, max_size=12),
    )
)


@SETTINGS
@given(stores, st.lists(key_bytes, max_size=5))
def test_written_stores_match_the_model(tmp_path_factory, store, probes):
    objects, keys, as_text = store
    path = tmp_path_factory.mktemp("model") / "m.vrls"
    # Keys that are valid UTF-8 are sometimes given as str; the stored bytes are the same.
    given_keys = []
    for (key, obj_id), use_text in zip(keys.items(), as_text):
        try:
            given_keys.append((key.decode() if use_text else key, obj_id))
        except UnicodeDecodeError:
            given_keys.append((key, obj_id))
    write_store(path, objects, given_keys)
    r = _VorlReader(str(path))
    offsets = record_offsets(objects)
    entries = [(k, offsets[keys[k]]) for k in sorted(keys)]
    check_against_model(r, entries, dict(zip(offsets, objects)), probes)
    stats = r.stats()
    assert (stats["num_keys"], stats["num_objects"]) == (len(keys), len(objects))
    assert r.verify() is True


# Hand-made indexes: (key, object id) entries in the order given, duplicates included.
entry_lists = st.lists(blobs, min_size=1, max_size=5).flatmap(
    lambda objects: st.tuples(
        st.just(objects), st.lists(st.tuples(key_bytes, st.integers(0, len(objects) - 1)), max_size=10)
    )
)


@pytest.mark.parametrize("order", ["sorted", "as drawn"])
@SETTINGS
@given(store=entry_lists, probes=st.lists(key_bytes, max_size=5))
def test_hand_made_indexes_match_the_model(tmp_path_factory, order, store, probes):
    objects, pairs = store
    if order == "sorted":
        pairs = sorted(pairs, key=lambda p: p[0])  # stable: duplicates keep their order
    offsets = record_offsets(objects)
    entries = [(k, offsets[i]) for k, i in pairs]
    path = tmp_path_factory.mktemp("hand") / "h.vrls"
    path.write_bytes(encode_entries(objects, entries))
    r = _VorlReader(str(path))
    check_against_model(r, entries, dict(zip(offsets, objects)), probes)
    assert r.verify() is True


def test_duplicate_key_reads_the_last_entry(tmp_path):
    objects = [b"first", b"second", b"third"]
    o = record_offsets(objects)
    entries = [(b"a", o[2]), (b"k", o[0]), (b"k", o[1]), (b"z", o[0])]
    path = tmp_path / "dup.vrls"
    path.write_bytes(encode_entries(objects, entries))
    r = _VorlReader(str(path))
    assert r.get_raw("k") == b"second" and r.exists("k")
    assert r.keys() == ["a", "k", "k", "z"]
    assert r.items_raw() == [("a", b"third"), ("k", b"first"), ("k", b"second"), ("z", b"first")]
    assert r.prefix_raw("k") == [("k", b"first"), ("k", b"second")]
    assert r.objects_raw() == [b"third", b"first", b"second"]
    assert r.stats()["num_keys"] == 4
    assert repr(r) == f"_VorlReader('{path}', keys=4, objects=3)"


def test_equal_payloads_at_different_offsets_are_distinct_objects(tmp_path):
    path = tmp_path / "same.vrls"
    write_store(path, [b"same", b"same", b"unused"], {"x": 1, "y": 0, "z": 1})
    r = _VorlReader(str(path))
    assert r.objects_raw() == [b"same", b"same"]
    assert r.stats()["num_objects"] == 3


# Ill-formed UTF-8 sequences and the text a key made of them lists as.
UTF8_CASES = [
    (b"\xff", "\ufffd"),
    (b"\x80\x80", "\ufffd\ufffd"),
    (b"\xc0\xaf", "\ufffd\ufffd"),  # overlong lead bytes are never valid
    (b"\xc3", "\ufffd"),
    (b"\xc3(", "\ufffd("),
    (b"\xe2\x82", "\ufffd"),  # one maximal subpart
    (b"\xe2\x82\xac\xe2", "\u20ac\ufffd"),
    (b"\xe0\x80\x80", "\ufffd\ufffd\ufffd"),  # overlong three-byte form
    (b"\xed\xa0\x80", "\ufffd\ufffd\ufffd"),  # surrogate
    (b"\xed\x9f\xbf", "\ud7ff"),
    (b"\xf0\x9f\x98", "\ufffd"),
    (b"\xf0\x9f\x98\x80", "\U0001f600"),
    (b"\xf4\x8f\xbf\xbf", "\U0010ffff"),
    (b"\xf4\x90\x80\x80", "\ufffd\ufffd\ufffd\ufffd"),  # past U+10FFFF
    (b"\xf5\x80", "\ufffd\ufffd"),
    (b"abcdefgh\xffabcdefgh", "abcdefgh\ufffdabcdefgh"),
]


def test_invalid_utf8_keys_list_with_replacement_characters(tmp_path):
    path = tmp_path / "utf8.vrls"
    keys = {k: 0 for k, _ in UTF8_CASES}
    write_store(path, [b"v"], keys)
    r = _VorlReader(str(path))
    expected = dict(UTF8_CASES)
    assert r.keys() == [expected[k] for k in sorted(keys)]
    assert all(expected[k] == text(k) for k in keys)
    assert [k for k, _ in r.items_raw()] == r.keys()
    for key, listed in UTF8_CASES:
        assert r.get_raw(key) == b"v"
        if listed.encode("utf-8", "surrogatepass") != key:
            assert r.get_raw(listed) is None


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.sets(st.binary(max_size=12), max_size=20))
def test_key_listing_decodes_like_python(tmp_path_factory, keys):
    path = tmp_path_factory.mktemp("text") / "t.vrls"
    write_store(path, [b""], {k: 0 for k in keys})
    r = _VorlReader(str(path))
    listed = [text(k) for k in sorted(keys)]
    assert r.keys() == listed
    assert r.prefix_raw(b"") == [(k, b"") for k in listed]


def test_prefix_scan_stops_at_the_first_non_match(tmp_path):
    # Keys out of order: the scan starts at the lower bound and ends at the first key that does
    # not start with the prefix, so later matches are not listed.
    objects = [b"x"]
    entries = [(k, 40) for k in (b"a", b"b1", b"c", b"b2", b"b3")]
    path = tmp_path / "disorder.vrls"
    path.write_bytes(encode_entries(objects, entries))
    r = _VorlReader(str(path))
    assert [k for k, _ in r.prefix_raw("b")] == ["b1"]
    assert [k for k, _ in r.prefix_raw("")] == ["a", "b1", "c", "b2", "b3"]
    keys = [k for k, _ in entries]
    for probe in every_prefix(keys) | {b"b2", b"b3", b"d"}:
        assert [k for k, _ in r.prefix_raw(probe)] == [text(keys[i]) for i in model_prefix(keys, probe)]


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 7, 8, 9, 16, 17])
def test_prefix_lower_bound_for_every_size(tmp_path, n):
    keys = [bytes([97 + i]) for i in range(n)]
    path = tmp_path / "sizes.vrls"
    write_store(path, [b"v"], {k: 0 for k in keys})
    r = _VorlReader(str(path))
    for probe in itertools.chain([b"", b"`", b"{"], keys, (k + b"\0" for k in keys)):
        assert [k for k, _ in r.prefix_raw(probe)] == [text(keys[i]) for i in model_prefix(keys, probe)]
