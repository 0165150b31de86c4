"""Callers whose own code gets in the way: arguments changed by hooks mid-call, hooks that
refer back to their reader, one writer fed by two threads, objects MessagePack cannot encode."""

from __future__ import annotations

import datetime as dt
import gc
import sys
import subprocess
import textwrap
import threading
import time
import weakref

import msgpack
import pytest

import vorlstore
from vorlstore import StoreBuilder, VorlReader, VorlWriter

from processes import child_env, run_python

# Each snippet changed an argument while the engine still read it (a crash,
# so each runs in a child), and prints what the call answered instead.
CHANGED_ARGUMENTS = {
    "get-many-hook-clears-keys": ("""
        import sys, vorlstore
        vorlstore.build(sys.argv[1], {f"k{i}": {"i": i} for i in range(300)})
        keys = [f"k{i}" for i in range(300)]
        def hook(d):
            keys.clear()
            return d
        got = vorlstore.VorlReader(sys.argv[1], object_hook=hook).get_many(keys)
        print(got == [{"i": i} for i in range(300)])
        """, "True"),
    "add-many-raw-keys-grow-objects": ("""
        import sys, msgpack, vorlstore
        objects = [msgpack.packb(1)]
        def keys():
            for i in range(2):
                objects.append(msgpack.packb(2))
                yield f"k{i}"
        w = vorlstore.VorlWriter()
        try:
            w.add_many_raw(objects, keys())
        except ValueError as e:
            print(e, w.num_objects)
        """, "objects and keys differ in length: 1 and 2 0"),
    "add-many-raw-check-shrinks-objects": ("""
        import sys, msgpack, vorlstore
        class Late:
            def __bytes__(self):
                objects.clear()
                return msgpack.packb("late")
        objects = [Late()] + [msgpack.packb(i) for i in range(50)]
        w = vorlstore.VorlWriter()
        w.add_many_raw(objects, [f"k{i}" for i in range(51)])
        w.build(sys.argv[1])
        r = vorlstore.VorlReader(sys.argv[1])
        print(len(r), r["k0"], r["k50"])
        """, "51 late 49"),
}


@pytest.mark.parametrize("code, printed", CHANGED_ARGUMENTS.values(), ids=CHANGED_ARGUMENTS.keys())
def test_arguments_changed_mid_call(tmp_path, code, printed):
    done = run_python(code, tmp_path / "s.vrls", text=True)
    assert (done.returncode, done.stdout.strip(), done.stderr) == (0, printed, "")


class Owner:
    """Owns a reader whose hooks are its own bound methods: a cycle through the engine."""

    def __init__(self, path, hold_walk):
        self.reader = VorlReader(path, object_hook=self.object_hook, ext_hook=self.ext_hook)
        if hold_walk:
            self.walk = iter(self.reader.items())
            next(self.walk)

    def object_hook(self, d):
        return d

    def ext_hook(self, code, data):
        return msgpack.ExtType(code, data)


@pytest.mark.parametrize("hold_walk", [False, True], ids=["reader", "reader-and-walk"])
def test_readers_in_cycles_are_collected(tmp_path, hold_walk):
    path = tmp_path / "s.vrls"
    vorlstore.build(path, {"a": {"x": 1}, "b": {"y": 2}})
    owners = [Owner(path, hold_walk) for _ in range(20)]
    refs = [weakref.ref(o) for o in owners]
    del owners
    gc.collect()
    assert sum(r() is not None for r in refs) == 0


def test_no_leak_report_at_exit_after_freeze(tmp_path):
    # A script that defines a class: its module's objects are the ones left alive.
    script = tmp_path / "freeze.py"
    script.write_text(textwrap.dedent("""
        import gc, sys, vorlstore
        class Hooks:
            def object_hook(self, d):
                return d
        path = sys.argv[1] + "/s.vrls"
        vorlstore.build(path, {"a": {"x": 1}})
        reader = vorlstore.VorlReader(path, object_hook=Hooks().object_hook)
        walk = iter(reader.items()); next(walk)
        writer = vorlstore.VorlWriter(); writer.add(1, "a")
        builder = vorlstore.StoreBuilder(sys.argv[1] + "/t.vrls")
        gc.freeze()
        """))
    done = subprocess.run([sys.executable, script, tmp_path], env=child_env(), capture_output=True, text=True,
                          timeout=120)
    assert (done.returncode, done.stderr) == (0, "")


class Tag:
    def __init__(self, text):
        self.text = text


def slow_default(obj):
    # Python code mid-pack that gives the other thread its turn.
    time.sleep(0)
    return {"tag": obj.text}


@pytest.mark.parametrize("make", [lambda p: VorlWriter(default=slow_default),
                                  lambda p: StoreBuilder(p, default=slow_default)], ids=["writer", "builder"])
def test_one_writer_fed_by_two_threads(tmp_path, make):
    path = tmp_path / "s.vrls"
    target = make(path)
    errors = []

    def feed(name):
        try:
            for i in range(300):
                key = f"{name}-{i}"
                if i % 2:
                    target.add([key, Tag(key), "x" * (i % 7)], key)
                else:
                    target.update([(key, [key, Tag(key), "x" * (i % 7)])])
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=feed, args=(name,)) for name in "ab"]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    target.build(path) if isinstance(target, VorlWriter) else target.commit()
    stored = dict(VorlReader(path))
    assert len(stored) == 600
    assert [k for k, v in stored.items() if v != [k, {"tag": k}, "x" * (int(k[2:]) % 7)]] == []


nested = []
for _ in range(1500):
    nested = [nested]


def refuse_tags(obj):
    raise TypeError(f"no way to store {type(obj).__name__}")


# object, writer options, the classes callers may catch, what the message says
UNENCODABLE = {
    "deep-nesting": (nested, {}, (ValueError,), "recursion limit exceeded"),
    "unknown-type": (object(), {}, (TypeError,), "serialize"),
    "naive-datetime": (dt.datetime(2020, 1, 1), {"datetime": True}, (ValueError,), "where tzinfo=None"),
    "default-refuses": (Tag("t"), {"default": refuse_tags}, (TypeError,), "no way to store Tag"),
}


@pytest.mark.parametrize("streamed", [False, True], ids=["writer", "builder"])
@pytest.mark.parametrize("obj, options, classes, text", UNENCODABLE.values(), ids=UNENCODABLE.keys())
def test_unencodable_objects_raise_package_errors(tmp_path, streamed, obj, options, classes, text):
    path = tmp_path / "s.vrls"
    target = StoreBuilder(path, **options) if streamed else VorlWriter(**options)
    place = f"(key 'k1'; file {path})" if streamed else "(key 'k1')"
    for call, where in [(lambda: target.add(obj, "k1"), place),
                        (lambda: target.update([("k0", 0), ("k1", obj)]), place)]:
        with pytest.raises(vorlstore.EncodeError) as e:
            call()
        assert isinstance(e.value, (vorlstore.InvalidObjectError, *classes))
        assert text in str(e.value) and str(e.value).endswith(where)
    assert (target.num_objects, target.num_keys) == (0, 0)


@pytest.mark.parametrize(
    "key, answer",
    [("abc", b"abc"), ("é", "é".encode()), ("\udcff", b"\xff"), (b"\x00b", b"\x00b"), (bytearray(b"x"), b"x"),
     ("\ud800", vorlstore.InvalidKeyError), (3, TypeError)],
    ids=["ascii", "utf8", "escaped-byte", "bytes", "bytearray", "lone-surrogate", "int"])
def test_key_bytes_is_the_rule_the_store_keeps(tmp_path, key, answer):
    w = VorlWriter()
    if isinstance(answer, bytes):
        assert vorlstore.key_bytes(key) == answer
        w.add(1, key)
        w.build(tmp_path / "s.vrls")
        assert VorlReader(tmp_path / "s.vrls").get_raw(answer) == b"\x01"
        return
    with pytest.raises(answer) as refused:
        vorlstore.key_bytes(key)
    with pytest.raises(answer) as stored:
        w.add(1, key)
    assert str(refused.value) == str(stored.value)
