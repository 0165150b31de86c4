"""Argument parsing, receiver checks and the per-instance borrow."""

import pytest

from _vorlstore import _VorlWriter as W


class NameSub(str):
    pass


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
        lambda w: w.add_key(**{NameSub("key"): b"k", "obj_id": 0}),
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


class Reenter:
    """An integer whose __index__ first calls back into a writer."""

    def __init__(self, action, swallow=True):
        self.action, self.swallow, self.error = action, swallow, None

    def __index__(self):
        try:
            self.action()
        except RuntimeError as e:
            self.error = e
            if not self.swallow:
                raise
        return 0


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
