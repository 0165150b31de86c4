"""Reference-leak check of the extension module; needs a debug interpreter.

Runs every entry point of the module thousands of times, on success and on
every kind of failure (argument errors, conversion errors, store errors,
borrow conflicts, internal faults), and checks that the interpreter's total
reference count and its number of allocated memory blocks stay flat.

    python3.14d tests/python/refleak_check.py [rounds]

Not collected by pytest (the file name does not start with test_); run by
tools/test.d/refleak.sh.
"""

import contextlib
import gc
import os
import pathlib
import sys
import tempfile

import _vorlstore

W = _vorlstore._VorlWriter
# Total references and blocks may move by a few after warm-up (interpreter
# caches filling late); a leak shows as a growth proportional to the rounds.
SLACK = 50


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Reenter:
    def __init__(self, action, swallow):
        self.action, self.swallow = action, swallow

    def __index__(self):
        try:
            self.action()
        except RuntimeError:
            if not self.swallow:
                raise
        return 0


class BadIter:
    def __getitem__(self, i):
        return 97

    def __iter__(self):
        raise KeyError("no")


class Seq:
    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return 97 + i


def expect(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call!r}{args!r} did not raise {error.__name__}")


GOOD_KEYS = ["ab", b"ab", bytearray(b"ab"), [97, 98], (97, 98), memoryview(b"ab"), range(97, 99), [], Seq(), "\u00e9"]
BAD_KEYS = [[256], [-1], ["a"], 5, None, {}, iter([1]), "\udc80", BadIter(), [2**70], 1.5]
BAD_IDS = [
    (OverflowError, 2**32),
    (OverflowError, -1),
    (OverflowError, 2**64),
    (TypeError, "0"),
    (TypeError, None),
    (TypeError, Index("x")),
    (ValueError, 99),
]


def writer_round(tmp):
    w = W()
    repr(w)
    for blob in (b"", b"x" * 100, b"\x92\x01\x02"):
        w.add_object_raw(blob)
    w.add_object_raw(raw_bytes=b"kw")
    for key in GOOD_KEYS:
        w.add_key(key, 1)
        w.add_key(key=key, obj_id=Index(2))
        w.add_key(obj_id=True, key=key)
    for key in BAD_KEYS:
        expect(ValueError, w.add_key, key, 0)
    for error, obj_id in BAD_IDS:
        expect(error, w.add_key, b"k", obj_id)
    for raw in (bytearray(b"x"), memoryview(b"x"), None, "s"):
        expect(TypeError, w.add_object_raw, raw)

    # Parsing failures.
    expect(TypeError, W, 1)
    expect(TypeError, W, x=1)
    expect(TypeError, w.add_key)
    expect(TypeError, w.add_key, b"k", 0, 1)
    expect(TypeError, w.add_key, b"k", key=b"k")
    expect(TypeError, w.add_key, b"k", nope=0)
    expect(TypeError, w.build, **{"\udc80": 1})
    expect(TypeError, W.add_key, object(), b"k", 0)

    # Borrow conflicts, swallowed and propagated.
    w.add_key(b"r", Reenter(lambda: repr(w), True))
    w.add_key(b"r", Reenter(lambda: w.add_object_raw(b"y"), True))
    expect(RuntimeError, w.add_key, b"r", Reenter(lambda: w.add_key(b"z", 0), False))

    # Builds: success and each kind of failure.
    w.build(str(tmp / "ok.vrls"))
    expect(OSError, w.build, str(tmp / "missing" / "x.vrls"))
    expect(OSError, w.build, str(tmp / "occupied"))
    expect(OSError, w.build, str(tmp / "nul\0.vrls"))
    expect(TypeError, w.build, tmp / "path.vrls")
    expect(TypeError, w.build, b"bytes.vrls")
    expect(UnicodeEncodeError, w.build, "\udc80.vrls")
    repr(w)


def panic_round(tmp):
    w = W()
    w.add_object_raw(b"x")
    w.add_key("k", 0)
    expect(BaseException, w.build, str(tmp / "panic.vrls"))


@contextlib.contextmanager
def descriptor_redirected(fd, path):
    saved = os.dup(fd)
    target = os.open(path, os.O_WRONLY)
    os.dup2(target, fd)
    os.close(target)
    try:
        yield
    finally:
        os.dup2(saved, fd)
        os.close(saved)


def measure(name, body, rounds, warmup=50):
    for _ in range(warmup):
        body()
    gc.collect()
    refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    for _ in range(rounds):
        body()
    gc.collect()
    refs, blocks = sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks
    return name, rounds, refs, blocks


def main():
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("refleak_check.py needs a debug interpreter (sys.gettotalrefcount)")
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    results = []
    with tempfile.TemporaryDirectory(dir=base) as tmp_name:
        tmp = pathlib.Path(tmp_name)
        (tmp / "occupied").mkdir()
        (tmp / "occupied" / "file").write_bytes(b"")
        # Summary lines go nowhere; a failing stdout makes every build panic
        # (its diagnostics go nowhere too).
        with descriptor_redirected(1, os.devnull):
            results.append(measure("writer", lambda: writer_round(tmp), rounds))
        with descriptor_redirected(1, "/dev/full"), descriptor_redirected(2, os.devnull):
            results.append(measure("panic", lambda: panic_round(tmp), rounds))
    failed = False
    for name, count, refs, blocks in results:
        ok = abs(refs) <= SLACK and abs(blocks) <= SLACK
        failed |= not ok
        print(f"refleak {name}: {count} rounds, total refcount delta {refs:+d}, "
              f"allocated blocks delta {blocks:+d} ({'ok' if ok else 'LEAK'})")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
