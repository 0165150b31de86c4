"""Internal faults surface as PanicException (observed in child processes)."""

import json
import os
import re
import signal

import pytest

from processes import UNDER_ASAN, run_python
from storecodec import encode_store

# Builds a store while descriptor 1 cannot be written, and reports what it saw.
BUILD_WITH_BROKEN_STDOUT = """
    import json, sys, _vorlstore
    report_path, target = sys.argv[1], sys.argv[2]
    w = _vorlstore._VorlWriter()
    w.add_object_raw(b"\\x92\\x01\\x02")
    w.add_key("a", 0)
    report = {}
    try:
        try:
            w.build(target)
        except Exception as e:
            report["caught_as_exception"] = repr(e)
    except BaseException as e:
        first = type(e)
        report.update(
            name=first.__name__,
            bases=[b.__name__ for b in first.__bases__],
            args=list(e.args),
            doc_mentions_base=("BaseException" in first.__doc__),
            importable=hasattr(_vorlstore, first.__name__),
        )
        try:
            w.build(target)
        except BaseException as e2:
            report["same_class_again"] = type(e2) is first
        report["repr_after"] = repr(w)
    with open(report_path, "w") as f:
        json.dump(report, f)
"""


def _broken_stdouts():
    def dev_full():
        return open("/dev/full", "wb"), "No space left on device (os error 28)"

    def closed_pipe():
        read_end, write_end = os.pipe()
        os.close(read_end)
        return os.fdopen(write_end, "wb"), "Broken pipe (os error 32)"

    return [pytest.param(dev_full, id="dev-full"), pytest.param(closed_pipe, id="closed-pipe")]


@pytest.mark.parametrize("open_stdout", _broken_stdouts())
def test_failed_summary_print_raises_panic_exception(tmp_path, open_stdout):
    stdout, error_text = open_stdout()
    target, report_path = tmp_path / "s.vrls", tmp_path / "report.json"
    with stdout:
        child = run_python(BUILD_WITH_BROKEN_STDOUT, report_path, target, stdout=stdout, stderr=-1, capture_output=False)
    assert child.returncode == 0, child.stderr
    report = json.loads(report_path.read_text())
    message = "failed printing to stdout: " + error_text
    assert report == {
        "name": "PanicException",
        "bases": ["BaseException"],
        "args": [message],
        "doc_mentions_base": True,
        "importable": False,
        "same_class_again": True,
        "repr_after": "_VorlWriter(objects=1, keys=1)",
    }
    # The diagnostic names the thread and the source location.
    stderr = child.stderr.decode()
    assert re.search(r"thread .*src/python/\w+\.cc:\d+.*" + re.escape(message), stderr), stderr
    # The store was published before the print failed.
    assert target.read_bytes() == encode_store([b"\x92\x01\x02"], {b"a": 0})
    assert not (tmp_path / "s.vrls.tmp").exists()


def test_uncaught_panic_ends_the_interpreter(tmp_path):
    code = """
        import sys, _vorlstore
        w = _vorlstore._VorlWriter()
        try:
            w.build(sys.argv[1])
        except Exception:
            sys.exit(3)
    """
    with open("/dev/full", "wb") as full:
        child = run_python(code, tmp_path / "x.vrls", stdout=full, stderr=-1, capture_output=False)
    assert child.returncode == 1
    assert "PanicException: failed printing to stdout" in child.stderr.decode()


def test_failed_sequence_lookup_is_an_internal_fault_then_retried():
    code = """
        import json, sys, _vorlstore
        w = _vorlstore._VorlWriter()
        w.add_object_raw(b"x")
        saved = sys.modules["collections.abc"]
        sys.modules["collections.abc"] = None
        out = []
        try:
            w.add_key(5, 0)
        except BaseException as e:
            out.append([type(e).__name__, str(e)])
        sys.modules["collections.abc"] = saved
        try:
            w.add_key(5, 0)
        except ValueError as e:
            out.append(["ValueError", str(e)])
        out.append(repr(w))
        print(json.dumps(out))
    """
    child = run_python(code)
    assert child.returncode == 0, child.stderr
    assert json.loads(child.stdout) == [
        ["PanicException", "failed to look up collections.abc.Sequence"],
        ["ValueError", "key must be str or bytes"],
        "_VorlWriter(objects=1, keys=0)",
    ]
    # The import error was reported, not lost.
    assert "ModuleNotFoundError" in child.stderr.decode()


def test_first_key_lookups_from_many_threads():
    code = """
        import threading, _vorlstore
        results, start = [], threading.Barrier(8)
        def work():
            w = _vorlstore._VorlWriter()
            w.add_object_raw(b"x")
            start.wait()
            try:
                w.add_key(object(), 0)
            except ValueError as e:
                results.append(str(e))
        threads = [threading.Thread(target=work) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(results.count("key must be str or bytes"))
    """
    child = run_python(code, timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == b"8"


# Each fills most of the memory left under an address-space limit, then asks
# for a copy of a 96 MiB argument.
EXHAUSTING_CALLS = [
    pytest.param("w.add_object_raw(b'0'); w.add_key(big, 0)", id="key-copy"),
    pytest.param("w.add_object_raw(blob)", id="blob-copy"),
]


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's allocator reports exhaustion itself")
@pytest.mark.parametrize("call", EXHAUSTING_CALLS)
def test_memory_exhaustion_aborts_with_the_requested_size(call):
    code = f"""
        import resource, _vorlstore
        big = bytearray(96 << 20)
        blob = bytes(big)
        w = _vorlstore._VorlWriter()
        limit = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (48 << 20), limit[1]))
        {call}
    """
    child = run_python(code)
    assert child.returncode == -signal.SIGABRT, child.stderr
    assert re.fullmatch(rb"memory allocation of \d+ bytes failed\n", child.stderr), child.stderr
