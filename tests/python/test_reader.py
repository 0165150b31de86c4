"""_VorlReader on sound stores: construction, lookups, listings, statistics, repr, the context
manager, docstrings, threads and re-entry."""

import array
import inspect
import pathlib
import sys
import threading

import pytest

from _vorlstore import _VorlReader
from callargs import BytesSub, CallingIndex, CallingKey, IterRaisesKeyError, OldStyleSequence, StrSub
from methoddocs import assert_method_doc
from storecodec import header, with_header, write_store

OBJECTS = [b"\x92\x01\x02", b"", b"two", b"unreferenced"]
# "a", "ab", "abc" and "b" for prefix scans; "\xff" is not UTF-8; "" is the empty key.
KEYS = {"a": 0, "ab": 2, "abc": 0, "b": 1, b"": 2, b"\xff": 2, "\u00e9": 0}
SORTED = sorted(k.encode() if isinstance(k, str) else k for k in KEYS)
VALUE = {k.encode() if isinstance(k, str) else k: OBJECTS[i] for k, i in KEYS.items()}
ITEMS = [(k.decode("utf-8", "replace"), VALUE[k]) for k in SORTED]


@pytest.fixture
def path(tmp_path):
    path = tmp_path / "r.vrls"
    write_store(path, OBJECTS, KEYS)
    return str(path)


@pytest.fixture
def reader(path):
    return _VorlReader(path)


def test_listings(reader):
    assert reader.keys() == ["", "a", "ab", "abc", "b", "\u00e9", "\ufffd"]
    assert reader.items_raw() == ITEMS
    # One element per distinct record, in order of the first key that refers to it.
    assert reader.objects_raw() == [b"two", b"\x92\x01\x02", b""]
    assert all(type(k) is str and type(v) is bytes for k, v in reader.items_raw())


def test_results_are_fresh_objects(reader):
    first, second = reader.items_raw(), reader.items_raw()
    assert first == second and first is not second
    # "a" and "abc" share one record, yet each pair has its own bytes object.
    (key_a, bytes_a), (key_abc, bytes_abc) = first[1], first[3]
    assert (key_a, key_abc) == ("a", "abc")
    assert bytes_a == bytes_abc == OBJECTS[0] and bytes_a is not bytes_abc
    assert reader.get_raw("a") is not reader.get_raw("a")


KEY_FORMS = [
    "ab", b"ab", bytearray(b"ab"), [97, 98], (97, 98), memoryview(b"ab"), range(97, 99),
    StrSub("ab"), BytesSub(b"ab"), array.array("B", b"ab"), OldStyleSequence(b"ab"),
]


@pytest.mark.parametrize("key", KEY_FORMS, ids=repr)
def test_key_forms_address_the_same_entry(reader, key):
    assert reader.get_raw(key) == OBJECTS[2]
    assert reader.get_raw(key=key) == OBJECTS[2]
    assert reader.exists(key) is True and reader.exists(key=key) is True
    assert reader.prefix_raw(key) == [("ab", OBJECTS[2]), ("abc", OBJECTS[0])]
    assert reader.prefix_raw(prefix=key) == reader.prefix_raw(key)


@pytest.mark.parametrize("key", ["", b"", [], (), bytearray(), range(0)], ids=repr)
def test_empty_key_and_prefix(reader, key):
    assert reader.get_raw(key) == OBJECTS[2]
    assert reader.exists(key) is True
    assert reader.prefix_raw(key) == reader.items_raw() == ITEMS


@pytest.mark.parametrize("key", ["z", b"a\0", "abcd", b"\xfe", "A", [0], "\ufffd"], ids=repr)
def test_absent_keys(reader, key):
    assert reader.get_raw(key) is None
    assert reader.exists(key) is False


def test_non_utf8_key_is_found_by_its_bytes_only(reader):
    assert reader.get_raw(b"\xff") == OBJECTS[2]
    assert reader.get_raw([255]) == OBJECTS[2]
    assert reader.get_raw("\ufffd") is None


PREFIXES = [
    ("a", ["a", "ab", "abc"]),
    ("ab", ["ab", "abc"]),
    ("abc", ["abc"]),
    ("abcd", []),
    ("b", ["b"]),
    ("c", []),
    (b"\xc3", ["\u00e9"]),
    (b"\xff", ["\ufffd"]),
    (b"\xff\x00", []),
    ("\u00e9", ["\u00e9"]),
    ("\x00", []),
]


@pytest.mark.parametrize("prefix, keys", PREFIXES, ids=[repr(p) for p, _ in PREFIXES])
def test_prefix_scan(reader, prefix, keys):
    assert reader.prefix_raw(prefix) == [item for item in ITEMS if item[0] in keys]
    assert [k for k, _ in reader.prefix_raw(prefix)] == keys


BAD_KEYS = [5, None, {}, {97: 1}, 1.5, [256], [-1], ["a"], [2**70], "\udc80", "a\udc80", iter([97]),
            IterRaisesKeyError(), object(), pathlib.PurePath("a")]


@pytest.mark.parametrize("key", BAD_KEYS, ids=repr)
@pytest.mark.parametrize("method", ["get_raw", "exists", "prefix_raw"])
def test_bad_keys(reader, method, key):
    with pytest.raises(ValueError) as info:
        getattr(reader, method)(key)
    assert type(info.value) is ValueError and info.value.args == ("key must be str or bytes",)
    assert info.value.__cause__ is None and info.value.__context__ is None
    assert reader.get_raw("a") == OBJECTS[0]


def test_empty_store(tmp_path):
    path = tmp_path / "empty.vrls"
    write_store(path, [], {})
    r = _VorlReader(str(path))
    assert r.get_raw("") is None and r.get_raw("k") is None
    assert r.exists("") is False
    assert r.keys() == r.items_raw() == r.objects_raw() == r.prefix_raw("") == r.prefix_raw("k") == []
    assert r.verify() is True
    assert repr(r) == f"_VorlReader('{path}', keys=0, objects=0)"
    assert r.stats()["file_size_kb"] == 40 / 1024
    assert r.stats()["file_crc32"] == "0x00000000"


def test_bad_key_is_rejected_even_on_an_empty_store(tmp_path):
    path = tmp_path / "empty.vrls"
    write_store(path, [], {})
    with pytest.raises(ValueError, match="^key must be str or bytes$"):
        _VorlReader(str(path)).get_raw(5)


def test_longest_key(tmp_path):
    path = tmp_path / "long.vrls"
    key = b"k" * 65535
    write_store(path, [b"v"], {key: 0, b"k": 0})
    r = _VorlReader(str(path))
    assert r.get_raw(key) == b"v" and r.get_raw(key + b"k") is None
    assert r.keys() == ["k", "k" * 65535]
    assert [k for k, _ in r.prefix_raw(key[:1000])] == ["k" * 65535]


# ---- Construction


@pytest.mark.parametrize(
    "open_reader",
    [
        lambda p: _VorlReader(p),
        lambda p: _VorlReader(p, True),
        lambda p: _VorlReader(p, False),
        lambda p: _VorlReader(path=p),
        lambda p: _VorlReader(path=p, verify=False),
        lambda p: _VorlReader(verify=True, path=p),
        lambda p: _VorlReader(p, verify=False),
        lambda p: _VorlReader(StrSub(p)),
        lambda p: _VorlReader.__new__(_VorlReader, p),
    ],
    ids=["positional", "verify positional", "no verify", "keyword", "keywords", "keywords reversed",
         "mixed", "str subclass", "__new__"],
)
def test_constructor_forms(path, open_reader):
    r = open_reader(path)
    assert type(r) is _VorlReader
    assert r.items_raw() == ITEMS
    assert r.stats()["path"] == path and type(r.stats()["path"]) is str


def test_relative_path_is_kept_as_given(tmp_path, monkeypatch):
    (tmp_path / "data").mkdir()
    write_store(tmp_path / "data" / "x.vrls", [b"1", b"2"], {"a": 0, "b": 1, "c": 1})
    monkeypatch.chdir(tmp_path)
    r = _VorlReader("data/x.vrls")
    assert repr(r) == "_VorlReader('data/x.vrls', keys=3, objects=2)"
    assert r.stats()["path"] == "data/x.vrls"
    # The reader needs neither the name nor the working directory after open.
    monkeypatch.chdir("/")
    assert r.get_raw("b") == b"2"


@pytest.mark.parametrize("name", ["it's.vrls", 'q"uote.vrls', "back\\slash.vrls", "\u00e9t\u00e9 \u2603.vrls",
                                  "new\nline.vrls", "100%s {}.vrls"])
def test_repr_shows_the_path_unescaped(tmp_path, name):
    path = str(tmp_path / name)
    write_store(tmp_path / name, OBJECTS, KEYS)
    r = _VorlReader(path)
    assert repr(r) == "_VorlReader('" + path + "', keys=7, objects=4)"
    assert str(r) == repr(r)


def test_repr_shows_the_header_counts(tmp_path):
    path = tmp_path / "h.vrls"
    # num_objects is not checked
    path.write_bytes(with_header(write_store(path, [b"x"], {"k": 0}), num_objects=2**32 - 1))
    assert repr(_VorlReader(str(path))) == f"_VorlReader('{path}', keys=1, objects=4294967295)"


def test_stats(reader, path):
    stats = reader.stats()
    size = pathlib.Path(path).stat().st_size
    assert list(stats) == ["path", "version", "num_keys", "num_objects", "index_offset", "data_offset",
                           "file_size_kb", "file_crc32"]
    assert stats == {
        "path": path,
        "version": 2,
        "num_keys": 7,
        "num_objects": 4,
        "index_offset": 40 + sum(8 + len(o) for o in OBJECTS),
        "data_offset": 40,
        "file_size_kb": size / 1024,
        "file_crc32": f"0x{header(pathlib.Path(path).read_bytes()).file_crc32:08x}",
    }
    assert [type(v) for v in stats.values()] == [str, int, int, int, int, int, float, str]
    assert len(stats["file_crc32"]) == 10 and stats["file_crc32"] == stats["file_crc32"].lower()
    assert reader.stats() == stats and reader.stats() is not stats


@pytest.mark.parametrize("size, kib", [(1000, 0.9765625), (1536, 1.5), (1024, 1.0), (59, 59 / 1024)])
def test_file_size_kb_is_not_rounded(tmp_path, size, kib):
    # One object and the key "k" take 59 bytes besides the payload.
    path = tmp_path / "sized.vrls"
    write_store(path, [b"p" * (size - 59)], {"k": 0})
    assert path.stat().st_size == size
    assert _VorlReader(str(path)).stats()["file_size_kb"] == kib


def test_close_changes_nothing(reader):
    before = (reader.get_raw("a"), reader.keys(), reader.stats(), repr(reader))
    assert reader.close() is None
    assert reader.close() is None
    assert (reader.get_raw("a"), reader.keys(), reader.stats(), repr(reader)) == before
    assert reader.verify() is True


def test_with_statement(path):
    opened = _VorlReader(path)
    with opened as r:
        assert r is opened
        assert r.get_raw("b") == b""
    assert r.items_raw() == ITEMS
    with pytest.raises(KeyError, match="inside"):
        with r:
            raise KeyError("inside")
    assert r.keys()[1] == "a"
    assert r.__enter__() is r


@pytest.mark.parametrize(
    "args, kwargs",
    [((None, None, None), {}), ((1, 2, 3), {}), ((KeyError, KeyError("x"), None), {}),
     ((), {"_exc_type": None, "_exc_val": None, "_exc_tb": None}), ((None,), {"_exc_tb": 1, "_exc_val": 2})],
)
def test_exit_returns_false(reader, args, kwargs):
    assert reader.__exit__(*args, **kwargs) is False
    assert reader.keys()[0] == ""


def test_verify_returns_true(reader):
    assert reader.verify() is True
    assert reader.verify() is True


# ---- Docstrings and signatures

CLASS_DOC = (
    "Low-level reader \u2014 returns raw msgpack bytes.\n"
    "**Use `vorlstore.VorlReader` (Python wrapper) instead of this directly.**\n"
    "\n"
    "Thread-safe for reads: the index is immutable after construction and the\n"
    "mmap is read-only.  Share one instance freely across threads."
)

# (method, text signature, signature of the bound method, docstring body or None when empty)
METHOD_DOCS = [
    ("get_raw", "($self, key)", "(key)", "O(1) exact-match lookup. Returns raw msgpack bytes or `None`."),
    ("exists", "($self, key)", "(key)", "Key presence check \u2014 no I/O beyond the in-memory hash index."),
    ("prefix_raw", "($self, prefix)", "(prefix)", "Sorted prefix scan. Returns `list[tuple[str, bytes]]`."),
    ("keys", "($self)", "()", "All keys in sorted order."),
    ("items_raw", "($self)", "()", "All `(key, raw_bytes)` pairs in sorted key order."),
    ("objects_raw", "($self)", "()", "Unique objects only (deduplicated by file offset)."),
    ("stats", "($self)", "()", "Return file metadata as a `dict`."),
    ("verify", "($self)", "()", "Deep CRC32 integrity check (whole-file + per-object)."),
    ("close", "($self)", "()", None),
    ("__enter__", "($self)", "()", None),
    ("__exit__", "($self, _exc_type, _exc_val, _exc_tb)", "(_exc_type, _exc_val, _exc_tb)", None),
]


def test_class_doc_and_signature():
    assert _VorlReader.__doc__ == CLASS_DOC
    assert _VorlReader.__text_signature__ == "(path, verify=True)"
    sig = inspect.signature(_VorlReader)
    assert str(sig) == "(path, verify=True)"
    assert [p.kind for p in sig.parameters.values()] == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 2
    assert sig.parameters["verify"].default is True


def test_method_table_order():
    assert [m for m in vars(_VorlReader) if m not in ("__new__", "__repr__", "__doc__", "__module__")] == [
        name for name, *_ in METHOD_DOCS
    ]


@pytest.mark.parametrize("name, text_signature, signature, doc", METHOD_DOCS, ids=[d[0] for d in METHOD_DOCS])
def test_method_docs(reader, name, text_signature, signature, doc):
    assert_method_doc(_VorlReader, reader, name, text_signature, signature, doc)


def test_repr_slot_has_no_docstring_of_its_own():
    assert _VorlReader.__repr__.__doc__ == object.__repr__.__doc__


# ---- Threads and re-entry


def all_answers(r, keys):
    return (
        [r.get_raw(k) for k in keys],
        [r.exists(k) for k in keys],
        [r.prefix_raw(k[:2]) for k in keys[::17]],
        r.keys(),
        r.items_raw(),
        r.objects_raw(),
        r.stats(),
        r.verify(),
        repr(r),
    )


def test_threads_share_one_reader(tmp_path):
    objects = [bytes([i]) * (i % 50) for i in range(200)]
    keys = {f"k{i:04d}".encode(): i % 200 for i in range(600)}
    path = tmp_path / "threads.vrls"
    write_store(path, objects, keys)
    r = _VorlReader(str(path))
    probes = list(keys) + [b"absent", b"k", b"k99999"]
    expected = all_answers(r, probes)
    barrier = threading.Barrier(8)
    results, errors = [], []

    def work():
        try:
            barrier.wait()
            for _ in range(5):
                results.append(all_answers(r, probes))
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []
    assert len(results) == 40
    assert all(result == expected for result in results)


NESTED = [
    ("get_raw", lambda r: r.get_raw("b"), b""),
    ("exists", lambda r: r.exists("zz"), False),
    ("prefix_raw", lambda r: r.prefix_raw("ab"), [("ab", b"two"), ("abc", b"\x92\x01\x02")]),
    ("keys", lambda r: r.keys(), ["", "a", "ab", "abc", "b", "\u00e9", "\ufffd"]),
    ("items_raw", lambda r: r.items_raw(), ITEMS),
    ("objects_raw", lambda r: r.objects_raw(), [b"two", b"\x92\x01\x02", b""]),
    ("stats", lambda r: r.stats()["num_keys"], 7),
    ("verify", lambda r: r.verify(), True),
    ("close", lambda r: r.close(), None),
    ("with", lambda r: r.__exit__(None, None, None) if r.__enter__() is r else None, False),
    ("repr", lambda r: repr(r).startswith("_VorlReader('"), True),
    ("nested key", lambda r: r.get_raw(CallingKey(b"ab", lambda: r.exists("a"))), b"two"),
]


@pytest.mark.parametrize("action, result", [n[1:] for n in NESTED], ids=[n[0] for n in NESTED])
@pytest.mark.parametrize("method", ["get_raw", "exists", "prefix_raw"])
def test_reentry_through_a_key_sequence(reader, method, action, result):
    key = CallingKey(b"ab", lambda: action(reader))
    outer = getattr(reader, method)(key)
    assert key.seen == [result]
    assert outer == {"get_raw": b"two", "exists": True,
                     "prefix_raw": [("ab", b"two"), ("abc", b"\x92\x01\x02")]}[method]


@pytest.mark.parametrize("action, result", [n[1:] for n in NESTED], ids=[n[0] for n in NESTED])
def test_reentry_through_an_item_index(reader, action, result):
    item = CallingIndex(98, lambda: action(reader))
    assert reader.get_raw([97, item]) == b"two"
    assert item.seen == [result]


def test_reentry_error_inside_key_conversion_is_replaced(reader):
    def fail():
        reader.get_raw(5)

    with pytest.raises(ValueError) as info:
        reader.get_raw(CallingKey(b"ab", fail))
    assert info.value.__context__ is None
    assert reader.get_raw("ab") == b"two"
