"""A store rewritten in place under an open reader, and SIGBUS handling.

Another program truncates the file a reader has mapped: touching a vanished
page raises SIGBUS.  The reader must turn that into the corrupt error of the
read and keep the process alive, while a SIGBUS that is not about its own
mapping still reaches whatever handled it before.  Each case runs in a child
interpreter, since the failure being guarded against ends the process.
"""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

# Writes a store of four 10,000-byte objects (keys k0..k3), opens it, cuts
# the file to 100 bytes and runs one call; the object of k3 lies pages past
# the new end.
TRUNCATED = textwrap.dedent("""
    import os, sys, _vorlstore
    path, call = sys.argv[1], sys.argv[2]
    w = _vorlstore._VorlWriter()
    for i in range(4):
        w.add_key(f"k{i}", w.add_object_raw(bytes([65 + i]) * 10000))
    w.build(path)
    r = _vorlstore._VorlReader(path)
    os.truncate(path, 100)
    for attempt in (call, call, "get_raw('k0')"):
        try:
            result = eval("r." + attempt)
            print("no error:", type(result).__name__)
        except RuntimeError as e:
            print(e)
    print("alive")
""")

CHANGED = "VorlCorruptError: file changed while open: offset "


@pytest.mark.parametrize("call", ["get_raw('k3')", "items_raw()", "objects_raw()", "prefix_raw('k')",
                                  "verify()"])
def test_read_of_a_truncated_store_fails_and_the_process_survives(tmp_path, call):
    child = run_child(TRUNCATED, str(tmp_path / "t.vrls"), call)
    lines = child.stdout.decode().splitlines()
    assert child.returncode == 0, child.stderr.decode(errors="replace")[-2000:]
    assert lines[0].startswith("\u2705")  # the build's summary line
    # The failing read, the same read again, then a read of an intact page:
    # the file is no longer the one opened, so all three fail.
    assert [line.startswith(CHANGED) and line.endswith(" can no longer be read") for line in lines[1:4]] == \
        [True] * 3, lines
    assert lines[4] == "alive"


# A SIGBUS that is not a fault on a reader's mapping, after a reader has
# installed its handler: sent by the process itself, or a fault on a mapping
# the reader does not own (a Python mmap of a file cut short).
FOREIGN = textwrap.dedent("""
    import mmap, os, signal, sys, _vorlstore
    path, previous, source = sys.argv[1], sys.argv[2], sys.argv[3]
    if previous == "python":
        signal.signal(signal.SIGBUS, lambda *a: print("previous handler ran", flush=True))
    w = _vorlstore._VorlWriter()
    w.add_key("k", w.add_object_raw(b"x" * 10000))
    w.build(path)
    r = _vorlstore._VorlReader(path)
    if source == "sent":
        signal.raise_signal(signal.SIGBUS)
    else:
        with open(path + ".other", "wb") as f:
            f.write(b"y" * 20000)
        with open(path + ".other", "rb") as f:
            m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        os.truncate(path + ".other", 10)
        m[15000]
    print("survived", r.get_raw("k") == b"x" * 10000, flush=True)
""")


@pytest.mark.parametrize("previous, source, outcome", [
    ("python", "sent", ["previous handler ran", "survived True"]),
    ("default", "sent", "killed"),
    ("default", "fault", "killed"),
])
def test_other_sigbus_reaches_the_previous_handler(tmp_path, previous, source, outcome):
    child = run_child(FOREIGN, str(tmp_path / "f.vrls"), previous, source)
    lines = child.stdout.decode().splitlines()[1:]  # after the summary line
    if outcome == "killed":
        # The default action ends the process by the signal; the sanitizer's
        # own handler, which was there first, ends it with its report.
        assert child.returncode == (1 if UNDER_ASAN else -signal.SIGBUS), child.stderr[-2000:]
        assert lines == []
    else:
        assert child.returncode == 0, child.stderr[-2000:]
        assert lines == outcome


def run_child(code, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop("PYTHONFAULTHANDLER", None)
    return subprocess.run([sys.executable, "-c", code, *args], env=env, capture_output=True, timeout=120)
