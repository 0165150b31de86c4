"""Builds and opens in a hostile directory: links, FIFOs and NUL bytes where
the store expects plain files, a build stuck behind another build's lock,
and a checksum pass over a file far larger than what may stay resident."""

import fcntl
import os
import pathlib
import signal
import struct
import subprocess
import sys
import zlib

import pytest

from _vorlstore import _VorlReader, _VorlWriter
from processes import UNDER_ASAN, run_python

NUL_TEXT = "file name contained an unexpected NUL byte"


def plant_symlink(tmp, d):
    os.symlink(d / "v.txt", tmp)


def plant_dangling_symlink(tmp, d):
    os.symlink(d / "made-by-build", tmp)


def plant_fifo(tmp, d):
    os.mkfifo(tmp)


@pytest.mark.parametrize("plant,message", [
    (plant_symlink, f"open tmp: {os.strerror(40)} (os error 40)"),
    (plant_dangling_symlink, f"open tmp: {os.strerror(40)} (os error 40)"),
    (plant_fifo, "open tmp: not a regular file"),
])
def test_temporary_path_that_is_not_a_plain_file(tmp_path, plant, message):
    (tmp_path / "v.txt").write_bytes(b"precious")
    plant(tmp_path / "t.vrls.tmp", tmp_path)
    # A child, so that a build that blocks on the FIFO fails the test
    # instead of hanging it.
    child = run_python("""
        import sys
        from _vorlstore import _VorlWriter
        w = _VorlWriter(); w.add_object_raw(b"store"); w.add_key("k", 0)
        try:
            w.build(sys.argv[1])
        except OSError as e:
            print(type(e).__name__, e.args[0])
    """, tmp_path / "t.vrls", timeout=30)
    assert child.stdout.decode().strip() == f"OSError VorlIOError: {message}"
    assert (tmp_path / "v.txt").read_bytes() == b"precious"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["t.vrls.tmp", "v.txt"]


@pytest.mark.parametrize("name,message,left", [
    ("x.vrls\0", f"rename: {NUL_TEXT}", ["x.vrls.tmp"]),
    ("x.vrls\0garbage", f"rename: {NUL_TEXT}", ["x.vrls.tmp"]),
    ("x\0y.vrls", f"open tmp: {NUL_TEXT}", []),
])
def test_nul_in_target_publishes_nothing(tmp_path, capfd, name, message, left):
    w = _VorlWriter()
    w.add_object_raw(b"store")
    with pytest.raises(OSError) as info:
        w.build(f"{tmp_path}/{name}")
    assert info.value.args == (f"VorlIOError: {message}",)
    assert sorted(p.name for p in tmp_path.iterdir()) == left
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("make", ["fifo", "fifo with writer", "char device"])
def test_reader_refuses_files_that_are_not_regular(tmp_path, make):
    path = tmp_path / "x.vrls"
    keep = None
    if make == "char device":
        os.symlink("/dev/null", path)
    else:
        os.mkfifo(path)
        if make == "fifo with writer":
            r = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
            keep = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
            os.close(r)
    try:
        child = run_python("""
            import sys
            from _vorlstore import _VorlReader
            try:
                _VorlReader(sys.argv[1])
            except OSError as e:
                print(type(e).__name__, e.args[0])
        """, path, timeout=30)
    finally:
        if keep is not None:
            os.close(keep)
    assert child.stdout.decode().strip() == f"OSError VorlIOError: cannot open {path}: not a regular file"


def test_interrupt_while_waiting_for_the_lock_publishes_nothing(tmp_path):
    target = tmp_path / "t.vrls"
    target.write_bytes(b"old")
    with open(tmp_path / "t.vrls.tmp", "wb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)  # another build of the same target
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        child = subprocess.Popen([sys.executable, "-c", """if True:
            import sys
            from _vorlstore import _VorlWriter
            w = _VorlWriter(); w.add_object_raw(b"new")
            print("ready", flush=True)
            try:
                w.build(sys.argv[1])
                print("built")
            except BaseException as e:
                print(type(e).__name__)
            """, str(target)], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            assert child.stdout.readline() == b"ready\n"
            # Interrupt only once the child holds the temporary file open,
            # that is, while it waits for the lock.
            fds = pathlib.Path(f"/proc/{child.pid}/fd")
            while not any(os.path.realpath(fd) == str(tmp_path / "t.vrls.tmp") for fd in fds.iterdir()):
                assert child.poll() is None
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=30)
        finally:
            child.kill()
    assert (out, err) == (b"KeyboardInterrupt\n", b"")
    assert target.read_bytes() == b"old"


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's shadow memory dwarfs the figure")
def test_checksum_pass_keeps_resident_memory_bounded(tmp_path):
    """A 512 MiB store of zeros (sparse on disk): opening with verification
    and verify() must not keep the whole file resident."""
    size = 512 << 20
    path = tmp_path / "big.vrls"
    crc, zeros = 0, bytes(64 << 20)
    for done in range(40, size, len(zeros)):
        crc = zlib.crc32(memoryview(zeros)[: min(len(zeros), size - done)], crc)
    header = b"VRLS\x02\0\0\0" + struct.pack(">IIQQI", 0, 0, size, 40, crc) + bytes(4)
    with open(path, "wb") as f:
        f.write(header)
        f.truncate(size)
    # VmHWM, not ru_maxrss: the latter carries over the high-water mark of
    # the process that started the child.
    child = run_python("""
        import sys
        from _vorlstore import _VorlReader
        r = _VorlReader(sys.argv[1])
        assert r.verify()
        with open("/proc/self/status") as status:
            print(next(line.split()[1] for line in status if line.startswith("VmHWM:")))
    """, path)
    assert child.returncode == 0, child.stderr
    peak_kib = int(child.stdout)
    assert peak_kib < (size >> 10) // 2, f"peak resident {peak_kib} KiB for a {size >> 20} MiB file"
