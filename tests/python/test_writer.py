"""_VorlWriter: ids, keys, built files, the summary line, errors and docstrings."""

import errno
import inspect
import os

import pytest

from _vorlstore import _VorlWriter
from methoddocs import assert_method_doc
from processes import os_error_text, run_python
from storecodec import EXAMPLE_STORE, encode_store, summary_line


def test_ids_and_repr(writer):
    assert repr(writer) == "_VorlWriter(objects=0, keys=0)"
    assert [writer.add_object_raw(b) for b in (b"a", b"", b"c")] == [0, 1, 2]
    writer.add_key("a", 0)
    writer.add_key(b"a", 2)  # the same key: the later id wins
    writer.add_key(b"b", 2)
    assert repr(writer) == "_VorlWriter(objects=3, keys=2)"


def test_add_key_needs_the_object(writer):
    with pytest.raises(ValueError) as info:
        writer.add_key("k", 0)
    assert type(info.value) is ValueError
    assert info.value.args == ("VorlError: obj_id 0 out of range (have 0 objects)",)
    writer.add_object_raw(b"x")
    writer.add_key("k", 0)
    with pytest.raises(ValueError, match=r"^VorlError: obj_id 1 out of range \(have 1 objects\)$"):
        writer.add_key("other", 1)
    assert repr(writer) == "_VorlWriter(objects=1, keys=1)"


STORES = [
    ("empty", [], {}),
    ("example store", [b"\x92\x01\x02"], {"a": 0, "b": 0}),
    ("unreferenced objects", [b"one", b"", b"three", b"4"], {b"k": 2}),
    ("bytewise order", [b"x", b"y"], {b"b": 0, b"ab": 1, b"a\0": 0, b"a": 1, "\u00e9": 0, "z": 1}),
    ("empty and longest keys", [b"v"], {b"": 0, b"\xff" * 65535: 0}),
    ("last id wins", [b"p", b"q"], [("k", 0), (b"k", 1), (bytearray(b"k"), 0), ([107], 1)]),
]


@pytest.mark.parametrize("objects, keys", [s[1:] for s in STORES], ids=[s[0] for s in STORES])
def test_built_file_matches_the_layout(writer, tmp_path, objects, keys):
    pairs = keys.items() if isinstance(keys, dict) else keys
    expected_map = {}
    for blob in objects:
        writer.add_object_raw(blob)
    for key, obj_id in pairs:
        writer.add_key(key, obj_id)
        expected_map[key.encode() if isinstance(key, str) else bytes(key)] = obj_id
    target = tmp_path / "out.data"
    assert writer.build(str(target)) is None
    assert target.read_bytes() == encode_store(objects, expected_map)
    assert not (tmp_path / "out.vrls.tmp").exists()


def test_example_store_is_byte_exact(writer, tmp_path):
    writer.add_object_raw(b"\x92\x01\x02")
    writer.add_key("a", 0)
    writer.add_key("b", 0)
    writer.build(str(tmp_path / "w.vrls"))
    data = (tmp_path / "w.vrls").read_bytes()
    assert len(data) == 73
    for offset, hex_bytes, meaning in EXAMPLE_STORE:
        expected = bytes.fromhex(hex_bytes)
        assert data[offset:offset + len(expected)] == expected, meaning
    assert b"".join(bytes.fromhex(h) for _, h, _ in EXAMPLE_STORE) == data


def test_build_is_repeatable_and_sees_later_additions(writer, tmp_path):
    writer.add_object_raw(b"first")
    writer.add_key("k", 0)
    first, second, third = (tmp_path / n for n in ("1.vrls", "2.vrls", "3.vrls"))
    writer.build(str(first))
    writer.build(str(second))
    assert first.read_bytes() == second.read_bytes()
    writer.add_object_raw(b"second")
    writer.add_key("j", 1)
    writer.build(str(third))
    assert third.read_bytes() == encode_store([b"first", b"second"], {b"k": 0, b"j": 1})


# Stores whose sizes exercise the one-decimal rounding of the summary line:
# 40 bytes (0.0), 256 (0.25 -> 0.2), 1024 (1.0) and 1126 (~1.0996 -> 1.1).
SUMMARY_SIZES = [40, 256, 1024, 1126]


@pytest.mark.parametrize("size", SUMMARY_SIZES)
def test_summary_line_on_stdout(tmp_path, size):
    # One object with one key takes 40 + 8 + 10 + 1 bytes besides its payload.
    payload_len = 0 if size == 40 else size - 59
    target = str(tmp_path / "s\u00e9 'q'.vrls")
    code = """
        import sys, _vorlstore
        w = _vorlstore._VorlWriter()
        n = int(sys.argv[2])
        if n:
            w.add_object_raw(b"p" * n)
            w.add_key("k", 0)
        w.build(sys.argv[1])
    """
    child = run_python(code, target, payload_len)
    assert child.returncode == 0, child.stderr
    objects = keys = 0 if size == 40 else 1
    assert os.path.getsize(target) == size
    assert child.stdout == summary_line(target, objects, keys, size)


def test_build_into_missing_directory(writer, tmp_path):
    target = tmp_path / "missing" / "x.vrls"
    with pytest.raises(OSError) as info:
        writer.build(str(target))
    error = info.value
    assert type(error) is OSError
    assert error.args == ("VorlIOError: open tmp: No such file or directory (os error 2)",)
    assert error.errno is None and error.strerror is None and error.filename is None
    assert list(tmp_path.iterdir()) == []


def test_failed_rename_leaves_the_complete_temporary_file(writer, tmp_path):
    target = tmp_path / "store.vrls"
    target.mkdir()
    (target / "occupant").write_bytes(b"")
    writer.add_object_raw(b"blob")
    writer.add_key("k", 0)
    with pytest.raises(OSError) as info:
        writer.build(str(target))
    assert type(info.value) is OSError and info.value.errno is None
    assert str(info.value) == f"VorlIOError: rename: {os_error_text(errno.EISDIR)}"
    assert (tmp_path / "store.vrls.tmp").read_bytes() == encode_store([b"blob"], {b"k": 0})


@pytest.mark.parametrize("handler", [RuntimeError, ValueError])
def test_io_errors_are_not_caught_as_other_kinds(writer, tmp_path, handler):
    with pytest.raises(OSError):
        try:
            writer.build(str(tmp_path / "missing" / "x.vrls"))
        except handler:
            pytest.fail("caught by the wrong class")


def test_other_errors_are_not_caught_as_os_errors(writer):
    with pytest.raises(ValueError):
        try:
            writer.add_key("k", 0)
        except OSError:
            pytest.fail("caught as OSError")


DOCS = [
    ("add_object_raw", "($self, raw_bytes)", "(raw_bytes)", "Store pre-encoded *raw_bytes* (msgpack). Returns the object ID."),
    ("add_key", "($self, key, obj_id)", "(key, obj_id)", "Map *key* (str or bytes) to *obj_id*."),
    ("build", "($self, path)", "(path)", "Atomically write the `.vrls` file: tmp \u2192 fsync \u2192 rename."),
]


@pytest.mark.parametrize("name, text_signature, signature, doc", DOCS, ids=[d[0] for d in DOCS])
def test_method_docs(writer, name, text_signature, signature, doc):
    assert_method_doc(_VorlWriter, writer, name, text_signature, signature, doc)


def test_class_doc():
    assert _VorlWriter.__text_signature__ == "()"
    assert str(inspect.signature(_VorlWriter)) == "()"
    assert _VorlWriter.__doc__ == (
        "Low-level writer \u2014 accepts pre-serialised msgpack bytes per object.\n"
        "**Use `vorlstore.VorlWriter` (Python wrapper) instead of this directly.**"
    )
    assert [m for m in vars(_VorlWriter) if not m.startswith("__")] == ["add_object_raw", "add_key", "build"]
