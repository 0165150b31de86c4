"""The package's behaviour families: lossless keys, laziness, exceptions, sound
writes, hooks, one-call builds and merges, the reader's lifecycle."""

from __future__ import annotations

import datetime as dt
import errno
import os
import pickle
import struct
import time

import msgpack
import pytest

import vorlstore
from vorlstore import VorlReader, VorlWriter

import storecodec
from processes import UNDER_ASAN, run_python


def store(tmp_path, pairs, name="s.vrls", **writer_args):
    path = tmp_path / name
    w = VorlWriter(**writer_args)
    for key, obj in pairs:
        w.add(obj, key)
    w.build(path)
    return path


# -- Keys: every listed key looks up its own object.

KEY_SETS = {
    "invalid-utf8-vs-replacement-char": [b"\xff\xfe", "\ufffd\ufffd"],
    "two-invalid-bytes": [b"\xfe", b"\xff"],
    "escaped-text-vs-bytes": ["caf\udce9", b"caf\xc3\xa9"],
    "empty-and-nul": [b"", b"\x00", "\x00\x00"],
}


@pytest.mark.parametrize("keys", KEY_SETS.values(), ids=KEY_SETS.keys())
def test_listing_is_lossless(tmp_path, keys):
    r = VorlReader(store(tmp_path, [(k, i) for i, k in enumerate(keys)]))
    assert len(r) == len(keys) == len(dict(r)) == len(dict(r.items()))
    assert sorted(r[k] for k in r) == list(range(len(keys)))
    assert all(os.fsencode(k) in [os.fsencode(x) if isinstance(x, str) else x for x in keys] for k in r)


@pytest.mark.parametrize(
    "key, error",
    [
        ("\ud800", r"lone surrogate U\+D800 at position 0"),
        ("a" * 65536, "key of 65536 bytes exceeds the limit of 65535 bytes"),
    ],
    ids=["lone-surrogate", "too-long"],
)
def test_keys_that_cannot_be_stored(key, error):
    w = VorlWriter()
    with pytest.raises(vorlstore.InvalidKeyError, match=error):
        w.add(1, "fine", key)
    assert (w.num_objects, w.num_keys) == (0, 0)


# -- Laziness: walks read the file as they go.

def damage_record(path, payload):
    """Makes the record holding *payload* claim more bytes than the file has."""
    data = bytearray(path.read_bytes())
    at = data.index(payload) - 8
    data[at:at + 4] = b"\xff\xff\xff\xff"
    path.write_bytes(bytes(data))


# Each walk meets the damaged record only at its far end: a walk that built
# its whole result first would fail before yielding anything.
@pytest.mark.parametrize(
    "walk, damaged",
    [
        (lambda r: r.items(), "last"),
        (lambda r: r.values(), "last"),
        (lambda r: r.prefix(""), "last"),
        (lambda r: r.range("k000", None), "last"),
        (lambda r: r.range(reverse=True), "first"),
        (lambda r: reversed(r.values()), "first"),
    ],
    ids=["items", "values", "prefix", "range", "reverse-range", "reverse-values"],
)
def test_walks_are_lazy(tmp_path, walk, damaged):
    pairs = [("a", "first")] + [(f"k{i:03d}", i) for i in range(300)] + [("zz", "last")]
    path = store(tmp_path, pairs)
    damage_record(path, msgpack.packb(damaged))
    r = VorlReader(path, verify=False)
    it = iter(walk(r))
    assert next(it) is not None
    with pytest.raises(vorlstore.CorruptError, match="extends beyond file end"):
        for _ in it:
            pass


def test_range_bounds_and_order(tmp_path):
    r = VorlReader(store(tmp_path, [(k, k) for k in ["a", "b", "ba", "c", b"\xff"]]))
    cases = {
        (None, None, False): ["a", "b", "ba", "c", "\udcff"],
        ("b", "c", False): ["b", "ba"],
        ("b", "c", True): ["ba", "b"],
        (b"\xff", None, False): ["\udcff"],
        ("c", "a", False): [],
        ("bb", None, True): ["\udcff", "c"],
    }
    for (start, stop, reverse), keys in cases.items():
        assert [k for k, _ in r.range(start, stop, reverse)] == keys, (start, stop, reverse)


# -- Exceptions: one base, OSError subclasses with errno and filename.

def make_corrupt(path):
    path.write_bytes(b"VRLS")


def make_version(path):
    path.write_bytes(b"VRLS\x09" + bytes(35))


@pytest.mark.parametrize(
    "prepare, name, classes, text",
    [
        (None, "missing.vrls", (vorlstore.StoreFileNotFoundError, FileNotFoundError), "No such file"),
        (os.mkdir, "dir.vrls", (vorlstore.StoreOSError,), ""),
        (make_corrupt, "c.vrls", (vorlstore.CorruptError,), "file too small for header"),
        (make_version, "v.vrls", (vorlstore.VersionError,), "unsupported version 9"),
    ],
    ids=["missing", "directory", "corrupt", "version"],
)
def test_open_failures(tmp_path, prepare, name, classes, text):
    path = tmp_path / name
    if prepare:
        prepare(path)
    with pytest.raises(vorlstore.Error) as e:
        VorlReader(path)
    assert isinstance(e.value, classes)
    assert e.value.filename == str(path) and str(path) in str(e.value)
    assert text in str(e.value)
    if isinstance(e.value, OSError):
        assert e.value.errno in (errno.ENOENT, errno.EISDIR, errno.ENODEV, errno.EINVAL)


def test_build_into_missing_directory(tmp_path):
    w = VorlWriter()
    w.add(1, "k")
    target = tmp_path / "no" / "s.vrls"
    with pytest.raises(FileNotFoundError) as e:
        w.build(target)
    assert isinstance(e.value, vorlstore.Error) and e.value.errno == errno.ENOENT
    assert e.value.filename == str(target)


GROW_FAILS = """
    import resource, signal, sys, vorlstore
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG instead
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))
    b = vorlstore.StoreBuilder(sys.argv[1])
    try:
        for i in range(100):
            b.add(b"x" * 100_000, f"k{i}")
    except vorlstore.StoreOSError as e:
        print(e.errno, e.filename == sys.argv[1], sys.argv[1] in str(e))
"""


def test_builder_add_that_cannot_grow_the_file_names_it(tmp_path):
    target = tmp_path / "big.vrls"
    proc = run_python(GROW_FAILS, target)
    assert proc.stdout.decode().split() == [str(errno.EFBIG), "True", "True"], proc.stderr.decode()


# -- Sound writes: a call that raises adds nothing.

BAD_ADDS = {
    "bad-key-after-good": (lambda w: w.add({"v": 1}, "good", None), TypeError),
    "unreadable-map-key": (lambda w: w.add({(1, 2): "x"}, "k"), vorlstore.InvalidObjectError),
    "int-beyond-64-bits": (lambda w: w.add(2**64, "k"), vorlstore.InvalidObjectError),
    "surrogate-in-text": (lambda w: w.add("\ud800", "k"), vorlstore.InvalidObjectError),
    "naive-datetime": (lambda w: w.add(dt.datetime(2020, 1, 1), "k"), ValueError),
    "raw-invalid-byte": (lambda w: w.add_raw(b"\xc1", "k"), vorlstore.InvalidObjectError),
    "raw-two-objects": (lambda w: w.add_raw(b"\x01\x02", "k"), vorlstore.InvalidObjectError),
    "raw-truncated": (lambda w: w.add_raw(b"\x92\x01", "k"), vorlstore.InvalidObjectError),
    "raw-bad-key": (lambda w: w.add_raw(b"\x01", "good", 3), TypeError),
    "many-mismatched": (lambda w: w.add_many_raw([b"\x01", b"\x02"], ["a"]), ValueError),
    "many-bad-last-key": (lambda w: w.add_many_raw([b"\x01", b"\x02"], ["a", "\ud800"]), vorlstore.InvalidKeyError),
    "update-bad-object": (lambda w: w.update([("a", 1), ("b", object())]), TypeError),
}


@pytest.mark.parametrize("call, error", BAD_ADDS.values(), ids=BAD_ADDS.keys())
def test_failed_adds_store_nothing(tmp_path, call, error):
    w = VorlWriter(datetime=True)
    w.add("kept", "kept")
    with pytest.raises(error):
        call(w)
    assert repr(w) == "VorlWriter(objects=1, keys=1)"
    w.build(tmp_path / "s.vrls")
    assert dict(VorlReader(tmp_path / "s.vrls")) == {"kept": "kept"}


def test_rejections_say_which_rule():
    w = VorlWriter()
    with pytest.raises(vorlstore.InvalidObjectError, match=r"cannot be a dict key.*unhashable type: 'list'"):
        w.add({(1, 2): "x"}, "k")
    with pytest.raises(vorlstore.InvalidObjectError, match=r"not valid MessagePack \(a byte that starts no"):
        w.add_raw(b"\xc1", "k")


# -- Hooks.

class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y


def test_hooks_round_trip(tmp_path):
    def default(obj):
        if isinstance(obj, Point):
            return msgpack.ExtType(7, struct.pack(">ii", obj.x, obj.y))
        raise TypeError(type(obj).__name__)

    aware = dt.datetime(2024, 5, 6, 7, 8, 9, 123456, tzinfo=dt.timezone(dt.timedelta(hours=-5)))
    path = store(tmp_path, [("p", Point(1, -2)), ("t", aware), ("m", {"a": 1})], default=default, datetime=True)
    plain = VorlReader(path)
    assert plain["t"] == aware and plain["t"].tzinfo == dt.timezone.utc
    assert plain["p"] == msgpack.ExtType(7, struct.pack(">ii", 1, -2))
    hooked = VorlReader(path, object_hook=lambda d: sorted(d), ext_hook=lambda c, b: (c, struct.unpack(">ii", b)))
    assert hooked["p"] == (7, (1, -2)) and hooked["m"] == ["a"]
    assert dict(hooked.items())["p"] == (7, (1, -2))


def test_a_hooks_own_error_passes_through(tmp_path):
    def hook(d):
        raise LookupError("from the hook")

    r = VorlReader(store(tmp_path, [("m", {"a": 1})]), object_hook=hook)
    with pytest.raises(LookupError, match="from the hook"):
        r["m"]
    with pytest.raises(LookupError, match="from the hook"):
        list(r.values())


def test_stored_bytes_no_reader_can_read(tmp_path):
    path = tmp_path / "bad.vrls"
    path.write_bytes(storecodec.encode_store([b"\xc1"], {b"bad": 0}))
    r = VorlReader(path)
    for read in (lambda: r["bad"], lambda: list(r.items()), lambda: r.objects(), lambda: r.get_many(["bad"])):
        with pytest.raises(vorlstore.CorruptError, match=f"^{path}: .* cannot be read: not valid MessagePack"):
            read()


def test_duplicate_entries_list_once_with_the_last_object(tmp_path):
    # No writer makes such a file, but a reader must stay a mapping on one.
    objects = [b"\x01", b"\x02", b"\x03"]
    offsets = storecodec.record_offsets(objects)
    path = tmp_path / "dup.vrls"
    path.write_bytes(storecodec.encode_entries(objects, [(b"a", offsets[0]), (b"a", offsets[1]), (b"b", offsets[2])]))
    r = VorlReader(path)
    assert list(r.items()) == [("a", 2), ("b", 3)] and list(reversed(r.keys())) == ["b", "a"]
    assert r["a"] == 2 and dict(r) == {"a": 2, "b": 3}
    vorlstore.merge(tmp_path / "m.vrls", path)
    assert VorlReader(tmp_path / "m.vrls").stats()["num_keys"] == 2


# -- One call, update, merge.

def test_build_update_and_merge(tmp_path):
    first = tmp_path / "a.vrls"
    summary = vorlstore.build(first, {"a": 1, "b": 2, b"\xff": 3})
    assert summary["path"] == str(first) and summary["objects"] == summary["keys"] == 3
    assert summary["bytes"] == first.stat().st_size and summary["seconds"] >= 0
    assert summary["crc32"] == int(VorlReader(first).stats()["file_crc32"], 16)
    w = VorlWriter()
    shared = w.add({"shared": True}, "x", "y", "b")
    w.update([("c", 4)])
    w.add_key("z", shared)
    second = tmp_path / "b.vrls"
    w.build(second)
    merged = tmp_path / "m.vrls"
    result = vorlstore.merge(merged, first, second)
    r = VorlReader(merged)
    assert dict(r) == {"a": 1, "b": {"shared": True}, "\udcff": 3, "c": 4, "x": {"shared": True},
                       "y": {"shared": True}, "z": {"shared": True}}
    assert result["objects"] == r.stats()["num_objects"] == 4  # a, \xff, the shared one, c
    vorlstore.merge(first, second, first)  # the target may be a source
    assert VorlReader(first)["b"] == 2


# -- Lifecycle.

CLOSED_CALLS = {
    "getitem": lambda r: r["k"],
    "get": lambda r: r.get("k"),
    "contains": lambda r: "k" in r,
    "len": len,
    "iter": lambda r: list(r),
    "prefix": lambda r: r.prefix("k"),
    "range": lambda r: r.range(),
    "stats": lambda r: r.stats(),
    "verify": lambda r: r.verify(),
    "get_raw": lambda r: r.get_raw("k"),
    "get_many": lambda r: r.get_many(["k"]),
    "pickle": pickle.dumps,
    "with": lambda r: r.__enter__(),
}


@pytest.mark.parametrize("call", CLOSED_CALLS.values(), ids=CLOSED_CALLS.keys())
def test_closed_reader_refuses_every_call(tmp_path, call):
    with VorlReader(store(tmp_path, [("k", 1)])) as r:
        pass
    assert r.closed
    with pytest.raises(ValueError, match=r"^I/O operation on closed store$"):
        call(r)
    r.close()  # closing again is harmless


def test_open_cursor_stops_at_close(tmp_path):
    r = VorlReader(store(tmp_path, [(f"k{i}", i) for i in range(50)]))
    it = iter(r.items())
    next(it)
    r.close()
    with pytest.raises(ValueError, match="closed store"):
        next(it)


def test_pickle_reopens_by_path_with_its_options(tmp_path):
    path = store(tmp_path, [("m", {"a": 1})])
    r = VorlReader(path, verify=False, object_hook=dict)
    copy = pickle.loads(pickle.dumps(r))
    assert copy is not r and copy.path == str(path) and copy["m"] == {"a": 1}
    stats = copy.stats()
    assert set(stats) == set(vorlstore.StoreStats.__annotations__)
    assert stats["hash_index"] is True and stats["file_size"] == path.stat().st_size


def test_build_prints_nothing(tmp_path):
    done = run_python(
        """
        import sys, vorlstore
        w = vorlstore.VorlWriter()
        w.add(1, "k")
        s = w.build(sys.argv[1])
        vorlstore.build(sys.argv[1], {"a": 1})
        vorlstore.merge(sys.argv[1], sys.argv[1])
        """,
        tmp_path / "q.vrls",
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")


@pytest.mark.parametrize(
    "prefix, keys",
    [
        ("", ["", "a", "a\udcff", "a\udcff\x00", "a\udcff\udcff", "b", "\udcff", "\udcff\udcff"]),
        ("a", ["a", "a\udcff", "a\udcff\x00", "a\udcff\udcff"]),
        (b"a\xff", ["a\udcff", "a\udcff\x00", "a\udcff\udcff"]),
        (b"a\xff\xff", ["a\udcff\udcff"]),
        (b"\xff", ["\udcff", "\udcff\udcff"]),
        (b"\xff\xff\xff", []),
        ("c", []),
    ],
    ids=["empty", "a", "a-ff", "a-ff-ff", "ff", "ff-ff-ff", "absent"],
)
def test_prefix_runs_end_where_the_prefix_ends(tmp_path, prefix, keys):
    stored = [b"", b"a", b"a\xff", b"a\xff\xff", b"a\xff\x00", b"b", b"\xff", b"\xff\xff"]
    r = VorlReader(store(tmp_path, [(k, k) for k in stored]))
    assert list(r.prefix_keys(prefix)) == keys
    assert [v for _, v in r.prefix(prefix)] == [os.fsencode(k) for k in keys]


# -- Ctrl-C during a build: stopped before the rename, target untouched.

@pytest.mark.parametrize("entry", ["api", "cli"])
def test_ctrl_c_while_a_build_waits_leaves_the_target_untouched(tmp_path, entry):
    import fcntl
    import signal
    import subprocess
    import sys

    from processes import child_env

    target = tmp_path / "t.vrls"
    vorlstore.build(target, {"old": 1})
    before = target.read_bytes()
    source = tmp_path / "in.jsonl"
    source.write_text('{"id": "new"}\n', encoding="utf-8")
    if entry == "api":
        command = [sys.executable, "-c", "import sys, vorlstore\nw = vorlstore.VorlWriter()\nw.add(2, 'new')\n"
                   "print('building', flush=True)\nw.build(sys.argv[1])", str(target)]
    else:
        command = [sys.executable, "-c", "import sys\nfrom vorlstore.cli import main\nprint('building', flush=True)\n"
                   "sys.exit(main(sys.argv[1:]))", "build", str(source), str(target), "--key", "id"]
    # Another build holds the temporary file, so this one waits in the lock.
    with open(tmp_path / "t.vrls.tmp", "wb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env())
        try:
            assert child.stdout.readline() == "building\n"
            time.sleep(0.5)
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=60)
        finally:
            child.kill()
    assert target.read_bytes() == before
    if entry == "api":
        assert child.returncode != 0 and err.rstrip().endswith("KeyboardInterrupt")
    else:
        assert (child.returncode, err, out) == (130, "vorlstore: interrupted\n", "")


# -- A store truncated in place under an open reader: an error, not a crash.

TRUNCATED = """
    import os, sys, vorlstore
    path, call = sys.argv[1], sys.argv[2]
    vorlstore.build(path, {f"k{i}": bytes([65 + i]) * 10000 for i in range(4)})
    r = vorlstore.VorlReader(path)
    os.truncate(path, 100)
    try:
        eval(call)
        print("no error")
    except vorlstore.CorruptError as e:
        print(type(e).__name__, e.filename == path, e)
    print("alive")
"""


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer runtime takes SIGBUS for itself")
@pytest.mark.parametrize("call", ["r['k3']", "r.get_many(['k3'])", "list(r.items())", "r.objects()",
                                  "list(r.prefix('k'))", "r.verify()"])
def test_reads_of_a_store_truncated_in_place_fail_cleanly(tmp_path, call):
    done = run_python(TRUNCATED, tmp_path / "t.vrls", call)
    lines = done.stdout.decode().splitlines()
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-2000:]
    assert lines[0].startswith("CorruptError True ") and "file changed while open" in lines[0], lines
    assert lines[1] == "alive"
