"""Conversion of keys, object ids, blobs and paths."""

import array
import ctypes
import operator
import pathlib

import pytest

from callargs import (
    ByteArraySub, BytesSub, Index, IndexRaises, IntSub, IterRaisesKeyError, LenFails, OldStyleSequence, StrSub,
)
from storecodec import encode_store


class Outer:
    class Inner:
        pass


def build_bytes(w, path):
    w.build(str(path))
    return path.read_bytes()


KEY_FORMS = [
    ("ab", b"ab"),
    (b"ab", b"ab"),
    (bytearray(b"ab"), b"ab"),
    ([97, 98], b"ab"),
    ((97, 98), b"ab"),
    (memoryview(b"ab"), b"ab"),
    (range(97, 99), b"ab"),
    (StrSub("ab"), b"ab"),
    (BytesSub(b"ab"), b"ab"),
    (ByteArraySub(b"ab"), b"ab"),
    (array.array("B", b"ab"), b"ab"),
    ([Index(97), IntSub(98)], b"ab"),
    (OldStyleSequence(b"ab"), b"ab"),
    (LenFails(b"ab"), b"ab"),
    ([], b""),
    ("", b""),
    ([True, False, 0, 255], b"\x01\x00\x00\xff"),
    ("\u00e9\u20ac", "\u00e9\u20ac".encode()),
    ("a\0b", b"a\0b"),
]


@pytest.mark.parametrize("key, expected", KEY_FORMS, ids=[repr(k) for k, _ in KEY_FORMS])
def test_key_forms_address_the_same_key(writer, tmp_path, key, expected):
    writer.add_object_raw(b"zero")
    writer.add_object_raw(b"one")
    writer.add_key(expected, 0)
    writer.add_key(key, 1)
    assert repr(writer) == "_VorlWriter(objects=2, keys=1)"
    assert build_bytes(writer, tmp_path / "k.vrls") == encode_store([b"zero", b"one"], {expected: 1})


BAD_KEYS = [
    [256],
    [-1],
    ["a"],
    [1.0],
    [2**70],
    5,
    None,
    {},
    {97: 1},
    {97},
    1.5,
    object(),
    iter([97]),
    "\udc80",
    "a\ud800b",
    IterRaisesKeyError(),
    [Index(300)],
    [IndexRaises(KeyError("item"))],
]


@pytest.mark.parametrize("key", BAD_KEYS, ids=[repr(k) for k in BAD_KEYS])
def test_bad_keys(writer, key):
    writer.add_object_raw(b"x")
    with pytest.raises(ValueError) as info:
        writer.add_key(key, 0)
    assert type(info.value) is ValueError
    assert info.value.args == ("key must be str or bytes",)
    assert info.value.__cause__ is None and info.value.__context__ is None
    assert repr(writer) == "_VorlWriter(objects=1, keys=0)"


def _interpreter_u64_error(value):
    """The OverflowError the interpreter's own unsigned 64-bit conversion raises."""
    convert = ctypes.pythonapi.PyLong_AsUnsignedLongLong
    convert.restype, convert.argtypes = ctypes.c_ulonglong, [ctypes.py_object]
    with pytest.raises(OverflowError) as info:
        convert(value)
    return str(info.value)


def _index_error_text(obj):
    with pytest.raises(TypeError) as info:
        operator.index(obj)
    return str(info.value)


OUT_OF_RANGE = "out of range integral type conversion attempted"
OBJ_ID_ERRORS = [
    (2**32, OverflowError, OUT_OF_RANGE),
    (2**64 - 1, OverflowError, OUT_OF_RANGE),
    (Index(2**32), OverflowError, OUT_OF_RANGE),
    (-1, OverflowError, _interpreter_u64_error(-1)),
    (2**64, OverflowError, _interpreter_u64_error(2**64)),
    (Index(-5), OverflowError, _interpreter_u64_error(-5)),
    ("0", TypeError, "argument 'obj_id': 'str' object cannot be interpreted as an integer"),
    (1.0, TypeError, "argument 'obj_id': " + _index_error_text(1.0)),
    (None, TypeError, "argument 'obj_id': " + _index_error_text(None)),
    (Index("1"), TypeError, "argument 'obj_id': " + _index_error_text(Index("1"))),
    (IndexRaises(TypeError("bad index")), TypeError, "argument 'obj_id': bad index"),
    # Only TypeError itself is renamed.
    (IndexRaises(ValueError("boom")), ValueError, "boom"),
    (IndexRaises(type("TypeErrorSub", (TypeError,), {})("sub")), TypeError, "sub"),
]


@pytest.mark.parametrize("obj_id, error, message", OBJ_ID_ERRORS, ids=[repr(c[0]) for c in OBJ_ID_ERRORS])
def test_bad_obj_ids(writer, obj_id, error, message):
    writer.add_object_raw(b"x")
    with pytest.raises(error) as info:
        writer.add_key(b"k", obj_id)
    assert str(info.value) == message
    if error is OverflowError:
        assert type(info.value) is OverflowError
    assert repr(writer) == "_VorlWriter(objects=1, keys=0)"


def test_renamed_type_error_keeps_the_cause(writer):
    cause = LookupError("root")
    original = TypeError("bad index")
    original.__cause__ = cause
    with pytest.raises(TypeError) as info:
        writer.add_key(b"k", IndexRaises(original))
    assert str(info.value) == "argument 'obj_id': bad index"
    assert info.value is not original and info.value.__cause__ is cause


@pytest.mark.parametrize("obj_id", [True, IntSub(1), Index(1), 1])
def test_obj_id_forms(writer, tmp_path, obj_id):
    for blob in (b"a", b"b"):
        writer.add_object_raw(blob)
    writer.add_key(b"k", obj_id)
    assert build_bytes(writer, tmp_path / "i.vrls") == encode_store([b"a", b"b"], {b"k": 1})


CHECK_ORDER = [
    # obj_id is converted in the frame, the key inside the operation.
    (lambda w: w.add_key(5, "0"), TypeError, "argument 'obj_id': 'str' object cannot be interpreted as an integer"),
    (lambda w: w.add_key(5, 2**32), OverflowError, OUT_OF_RANGE),
    # The key is converted before the core checks the id.
    (lambda w: w.add_key(5, 99), ValueError, "key must be str or bytes"),
    (lambda w: w.add_key("k", 0), ValueError, "VorlError: obj_id 0 out of range (have 0 objects)"),
]


@pytest.mark.parametrize("call, error, message", CHECK_ORDER)
def test_first_fault_is_reported(writer, call, error, message):
    with pytest.raises(error) as info:
        call(writer)
    assert str(info.value) == message


RAW_BYTES_ERRORS = [
    (bytearray(b"x"), "'bytearray' object is not an instance of 'bytes'"),
    (memoryview(b"x"), "'memoryview' object is not an instance of 'bytes'"),
    ("x", "'str' object is not an instance of 'bytes'"),
    (None, "'None' is not an instance of 'bytes'"),
    (5, "'int' object is not an instance of 'bytes'"),
    (Outer.Inner(), "'Outer.Inner' object is not an instance of 'bytes'"),
]


@pytest.mark.parametrize("raw, message", RAW_BYTES_ERRORS, ids=[m for _, m in RAW_BYTES_ERRORS])
def test_raw_bytes_must_be_bytes(writer, raw, message):
    with pytest.raises(TypeError) as info:
        writer.add_object_raw(raw)
    assert str(info.value) == "argument 'raw_bytes': " + message
    assert repr(writer) == "_VorlWriter(objects=0, keys=0)"


def test_bytes_subclass_is_a_blob(writer, tmp_path):
    assert writer.add_object_raw(BytesSub(b"sub")) == 0
    assert build_bytes(writer, tmp_path / "b.vrls") == encode_store([b"sub"], {})


PATH_ERRORS = [
    (pathlib.Path("x.vrls"), TypeError, "argument 'path': 'PosixPath' object is not an instance of 'str'"),
    (b"x.vrls", TypeError, "argument 'path': 'bytes' object is not an instance of 'str'"),
    (None, TypeError, "argument 'path': 'None' is not an instance of 'str'"),
    (5, TypeError, "argument 'path': 'int' object is not an instance of 'str'"),
    (Outer.Inner(), TypeError, "argument 'path': 'Outer.Inner' object is not an instance of 'str'"),
    ("x\udc80.vrls", UnicodeEncodeError, None),
    ("a\0b.vrls", OSError, "VorlIOError: open tmp: file name contained an unexpected NUL byte"),
]


@pytest.mark.parametrize("path, error, message", PATH_ERRORS, ids=[repr(c[0]) for c in PATH_ERRORS])
def test_bad_paths(writer, tmp_path, monkeypatch, path, error, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error) as info:
        writer.build(path)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    assert list(tmp_path.iterdir()) == []


def test_str_subclass_is_a_path(writer, tmp_path):
    writer.build(StrSub(tmp_path / "s.vrls"))
    assert (tmp_path / "s.vrls").read_bytes() == encode_store([], {})
