"""Argument parsing, receiver checks and the per-instance borrow."""

import pathlib

import pytest

from _vorlstore import _VorlReader
from _vorlstore import _VorlWriter as W
from callargs import Reenter, StrSub
from storecodec import write_store


PARSE_ERRORS = [
    (lambda w: W(1), "_VorlWriter.__new__() takes 0 positional arguments but 1 was given"),
    (lambda w: W(1, 2), "_VorlWriter.__new__() takes 0 positional arguments but 2 were given"),
    (lambda w: W.__new__(W, None), "_VorlWriter.__new__() takes 0 positional arguments but 1 was given"),
    (lambda w: W(path="x"), "_VorlWriter.__new__() got an unexpected keyword argument 'path'"),
    (lambda w: w.add_key(), "_VorlWriter.add_key() missing 2 required positional arguments: 'key' and 'obj_id'"),
    (lambda w: w.add_key(b"k"), "_VorlWriter.add_key() missing 1 required positional argument: 'obj_id'"),
    (lambda w: w.add_key(obj_id=0), "_VorlWriter.add_key() missing 1 required positional argument: 'key'"),
    (lambda w: w.add_key(b"k", 0, 1), "_VorlWriter.add_key() takes 2 positional arguments but 3 were given"),
    # Too many positional arguments is reported before any keyword.
    (lambda w: w.add_key(b"k", 0, 1, bogus=1), "_VorlWriter.add_key() takes 2 positional arguments but 3 were given"),
    (lambda w: w.add_key(b"k", key=b"k"), "_VorlWriter.add_key() got multiple values for argument 'key'"),
    (lambda w: w.add_key(b"k", 0, obj_id=0), "_VorlWriter.add_key() got multiple values for argument 'obj_id'"),
    (lambda w: w.add_key(b"k", obj_id=0, key=b"j"), "_VorlWriter.add_key() got multiple values for argument 'key'"),
    # Keywords are checked in the order given, before missing parameters.
    (lambda w: w.add_key(k=1), "_VorlWriter.add_key() got an unexpected keyword argument 'k'"),
    (lambda w: w.add_key(bogus=1, key=b"k", obj_id=0), "_VorlWriter.add_key() got an unexpected keyword argument 'bogus'"),
    (lambda w: w.add_key(b"k", **{"obj_id\0": 0}), "_VorlWriter.add_key() got an unexpected keyword argument 'obj_id\0'"),
    (lambda w: w.add_key(b"k", OBJ_ID=0), "_VorlWriter.add_key() got an unexpected keyword argument 'OBJ_ID'"),
    (lambda w: w.add_object_raw(), "_VorlWriter.add_object_raw() missing 1 required positional argument: 'raw_bytes'"),
    (lambda w: w.add_object_raw(b"", b""), "_VorlWriter.add_object_raw() takes 1 positional arguments but 2 were given"),
    (lambda w: w.build(), "_VorlWriter.build() missing 1 required positional argument: 'path'"),
    (lambda w: w.build(**{"p\u00e4th": "x"}), "_VorlWriter.build() got an unexpected keyword argument 'p\u00e4th'"),
    # A keyword without a UTF-8 form names no parameter.
    (lambda w: w.build(**{"\udc80": "x"}), "_VorlWriter.build() got an unexpected keyword argument '\udc80'"),
]


@pytest.mark.parametrize("call, message", PARSE_ERRORS, ids=[m for _, m in PARSE_ERRORS])
def test_parse_errors(writer, call, message):
    writer.add_object_raw(b"x")
    with pytest.raises(TypeError) as info:
        call(writer)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert repr(writer) == "_VorlWriter(objects=1, keys=0)"


@pytest.mark.parametrize(
    "call",
    [
        lambda w: w.add_key(b"k", 0),
        lambda w: w.add_key(key=b"k", obj_id=0),
        lambda w: w.add_key(obj_id=0, key=b"k"),
        lambda w: w.add_key(b"k", obj_id=0),
        lambda w: w.add_key(**{StrSub("key"): b"k", "obj_id": 0}),
    ],
)
def test_arguments_by_position_or_keyword(writer, call):
    assert writer.add_object_raw(raw_bytes=b"x") == 0
    assert call(writer) is None
    assert repr(writer) == "_VorlWriter(objects=1, keys=1)"


@pytest.mark.parametrize(
    "call",
    [
        lambda: W.add_key(object(), b"k", 0),
        lambda: W.add_object_raw("not a writer", b""),
        lambda: W.build(1, "x"),
        lambda: W.__repr__(object()),
    ],
)
def test_foreign_receiver_is_rejected(call):
    with pytest.raises(TypeError, match="_VorlWriter"):
        call()


NESTED_CALLS = [
    ("repr", lambda w, p: repr(w), "Already mutably borrowed"),
    ("build", lambda w, p: w.build(str(p)), "Already mutably borrowed"),
    ("add_key", lambda w, p: w.add_key(b"other", 0), "Already borrowed"),
    ("add_object_raw", lambda w, p: w.add_object_raw(b"other"), "Already borrowed"),
]


@pytest.mark.parametrize("nested, message", [c[1:] for c in NESTED_CALLS], ids=[c[0] for c in NESTED_CALLS])
def test_nested_call_meets_the_exclusive_borrow(writer, tmp_path, nested, message):
    writer.add_object_raw(b"x")
    target = tmp_path / "nested.vrls"
    obj_id = Reenter(lambda: nested(writer, target))
    writer.add_key(b"k", obj_id)
    assert type(obj_id.error) is RuntimeError and str(obj_id.error) == message
    # The nested call had no effect; the outer one completed.
    assert repr(writer) == "_VorlWriter(objects=1, keys=1)"
    assert not target.exists()


def test_borrow_error_propagates_and_the_writer_stays_usable(writer):
    writer.add_object_raw(b"x")
    with pytest.raises(RuntimeError) as info:
        writer.add_key(b"k", Reenter(lambda: repr(writer), swallow=False))
    assert str(info.value) == "Already mutably borrowed"
    assert repr(writer) == "_VorlWriter(objects=1, keys=0)"
    writer.add_key(b"k", 0)
    assert writer.add_object_raw(b"y") == 1
    assert repr(writer) == "_VorlWriter(objects=2, keys=1)"


def test_key_conversion_runs_under_the_borrow(writer):
    errors = []

    class Key:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError
            try:
                repr(writer)
            except RuntimeError as e:
                errors.append(str(e))
            return 97

    writer.add_object_raw(b"x")
    writer.add_key(Key(), 0)
    assert errors == ["Already mutably borrowed"]
    assert repr(writer) == "_VorlWriter(objects=1, keys=1)"


# ---- The reader's parameter lists and frame conversions

R = _VorlReader

READER_PARSE_ERRORS = [
    (lambda r, p: R(), "_VorlReader.__new__() missing 1 required positional argument: 'path'"),
    (lambda r, p: R(verify=False), "_VorlReader.__new__() missing 1 required positional argument: 'path'"),
    (lambda r, p: R("f", True, 1), "_VorlReader.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda r, p: R(5, 6, 7, 8), "_VorlReader.__new__() takes from 1 to 2 positional arguments but 4 were given"),
    (lambda r, p: R(p, path=p), "_VorlReader.__new__() got multiple values for argument 'path'"),
    (lambda r, p: R(p, False, verify=True), "_VorlReader.__new__() got multiple values for argument 'verify'"),
    (lambda r, p: R(p, mode="r"), "_VorlReader.__new__() got an unexpected keyword argument 'mode'"),
    (lambda r, p: R(p, **{"\udc80": 1}), "_VorlReader.__new__() got an unexpected keyword argument '\udc80'"),
    (lambda r, p: r.get_raw(), "_VorlReader.get_raw() missing 1 required positional argument: 'key'"),
    (lambda r, p: r.get_raw(b"k", key=b"k"), "_VorlReader.get_raw() got multiple values for argument 'key'"),
    (lambda r, p: r.get_raw(k=b"k"), "_VorlReader.get_raw() got an unexpected keyword argument 'k'"),
    (lambda r, p: r.get_raw(5, 6), "_VorlReader.get_raw() takes 1 positional arguments but 2 were given"),
    (lambda r, p: r.exists(), "_VorlReader.exists() missing 1 required positional argument: 'key'"),
    (lambda r, p: r.exists(prefix=b""), "_VorlReader.exists() got an unexpected keyword argument 'prefix'"),
    (lambda r, p: r.prefix_raw(), "_VorlReader.prefix_raw() missing 1 required positional argument: 'prefix'"),
    (lambda r, p: r.prefix_raw(key=b""), "_VorlReader.prefix_raw() got an unexpected keyword argument 'key'"),
    (lambda r, p: r.__exit__(),
     "_VorlReader.__exit__() missing 3 required positional arguments: '_exc_type', '_exc_val', and '_exc_tb'"),
    (lambda r, p: r.__exit__(1),
     "_VorlReader.__exit__() missing 2 required positional arguments: '_exc_val' and '_exc_tb'"),
    (lambda r, p: r.__exit__(1, _exc_tb=3),
     "_VorlReader.__exit__() missing 1 required positional argument: '_exc_val'"),
    (lambda r, p: r.__exit__(1, 2, 3, 4), "_VorlReader.__exit__() takes 3 positional arguments but 4 were given"),
    (lambda r, p: r.__exit__(1, 2, 3, _exc_type=1),
     "_VorlReader.__exit__() got multiple values for argument '_exc_type'"),
    (lambda r, p: r.__exit__(None, None, None, exc=1),
     "_VorlReader.__exit__() got an unexpected keyword argument 'exc'"),
    # Methods without parameters are rejected by the interpreter itself.
    (lambda r, p: r.keys(1), "_VorlReader.keys() takes no arguments (1 given)"),
    (lambda r, p: r.verify(True), "_VorlReader.verify() takes no arguments (1 given)"),
    (lambda r, p: r.close(x=1), "_VorlReader.close() takes no keyword arguments"),
    (lambda r, p: r.__enter__(None), "_VorlReader.__enter__() takes no arguments (1 given)"),
]


@pytest.fixture
def reader_path(tmp_path):
    path = tmp_path / "frame.vrls"
    write_store(path, [b"x"], {"k": 0})
    return str(path)


@pytest.mark.parametrize("call, message", READER_PARSE_ERRORS, ids=[m for _, m in READER_PARSE_ERRORS])
def test_reader_parse_errors(reader_path, call, message):
    r = R(reader_path)
    with pytest.raises(TypeError) as info:
        call(r, reader_path)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert r.items_raw() == [("k", b"x")]


def fake_numpy_bool(name, **namespace):
    return type(name, (), {"__module__": "numpy", **namespace})


NumpyTrue = fake_numpy_bool("bool_", __bool__=lambda self: True)
NumpyFalse = fake_numpy_bool("bool", __bool__=lambda self: False)
NumpyNoTruth = fake_numpy_bool("bool_")


def raise_value_error(self):
    raise ValueError("no truth")


NumpyFailing = fake_numpy_bool("bool_", __bool__=raise_value_error)
NumpyInt = fake_numpy_bool("int_", __bool__=lambda self: False)

CONVERSION_ERRORS = [
    ((123,), {}, TypeError, "argument 'path': 'int' object is not an instance of 'str'"),
    ((None,), {}, TypeError, "argument 'path': 'None' is not an instance of 'str'"),
    ((b"f.vrls",), {}, TypeError, "argument 'path': 'bytes' object is not an instance of 'str'"),
    ((pathlib.Path("f.vrls"),), {}, TypeError, "argument 'path': 'PosixPath' object is not an instance of 'str'"),
    ((), {"path": bytearray(b"f")}, TypeError, "argument 'path': 'bytearray' object is not an instance of 'str'"),
    (("f", 1), {}, TypeError, "argument 'verify': 'int' object is not an instance of 'bool'"),
    (("f",), {"verify": 0}, TypeError, "argument 'verify': 'int' object is not an instance of 'bool'"),
    (("f",), {"verify": None}, TypeError, "argument 'verify': 'None' is not an instance of 'bool'"),
    (("f",), {"verify": "yes"}, TypeError, "argument 'verify': 'str' object is not an instance of 'bool'"),
    (("f",), {"verify": 1.0}, TypeError, "argument 'verify': 'float' object is not an instance of 'bool'"),
    (("f",), {"verify": NumpyInt()}, TypeError, "argument 'verify': 'int_' object is not an instance of 'bool'"),
    (("f",), {"verify": NumpyNoTruth()}, TypeError,
     "argument 'verify': object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
    (("f",), {"verify": NumpyFailing()}, ValueError, "no truth"),
    # path is converted before verify.
    ((123,), {"verify": 1}, TypeError, "argument 'path': 'int' object is not an instance of 'str'"),
    (("\udc80.vrls",), {"verify": 1}, UnicodeEncodeError, None),
]


@pytest.mark.parametrize(
    "args, kwargs, error, message", CONVERSION_ERRORS, ids=[repr(c[:2]) for c in CONVERSION_ERRORS]
)
def test_reader_constructor_conversions(tmp_path, monkeypatch, args, kwargs, error, message):
    # "f" is a missing file: a conversion error instead of OSError shows that open never ran.
    monkeypatch.chdir(tmp_path)
    with pytest.raises(BaseException) as info:
        R(*args, **kwargs)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("flag, opens", [(True, False), (False, True), (NumpyTrue(), False), (NumpyFalse(), True)],
                         ids=["True", "False", "numpy True", "numpy False"])
def test_verify_flag_forms(tmp_path, flag, opens):
    path = tmp_path / "damaged.vrls"
    data = bytearray(write_store(path, [b"payload"], {"k": 0}))
    data[48] ^= 1
    path.write_bytes(bytes(data))
    if opens:
        assert R(str(path), verify=flag).get_raw("k") == b"qayload"
        assert R(str(path), flag).get_raw("k") == b"qayload"
    else:
        with pytest.raises(RuntimeError, match="^VorlCorruptError: file CRC32 mismatch  stored="):
            R(str(path), verify=flag)


@pytest.mark.parametrize(
    "call",
    [
        lambda r: R.get_raw(object(), b"k"),
        lambda r: R.exists(W(), b"k"),
        lambda r: R.prefix_raw("not a reader", b""),
        lambda r: R.keys(W()),
        lambda r: R.stats(1),
        lambda r: R.__exit__(None, None, None, None),
        lambda r: R.__repr__(W()),
        lambda r: W.build(r, "x"),
    ],
)
def test_reader_foreign_receiver_is_rejected(reader_path, call):
    r = R(reader_path)
    with pytest.raises(TypeError, match="_VorlReader|_VorlWriter"):
        call(r)
    assert r.keys() == ["k"]
