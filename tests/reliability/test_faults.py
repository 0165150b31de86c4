"""Every system call of a build, made to fail in every way the fault library
offers, one at a time.

The driver (tools/faults/driver.cc) builds a store with the core while
tools/faults/vorl_faults.so counts and fails calls.  A clean traced run of
each data shape lists the injection points; the expected outcome of each
fault follows from the call's role in the publishing sequence (temporary
file, data write, fsync, rename, directory sync, close, summary line)
and from an independent model of the 8 KiB write buffer.

Run by tools/test.d/faults.sh; VORL_BUILD_DIR names the build folder.
"""

import dataclasses
import errno
import functools
import os
import pathlib
import shutil
import subprocess
import tempfile

import pytest

import storecodec

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = ROOT / os.environ.get("VORL_BUILD_DIR", "build")
DRIVER = BUILD / "tools/faults/vorl_fault_driver"
LIBRARY = BUILD / "tools/faults/vorl_faults.so"
SHAPES = ["empty", "small", "edge", "medium", "large"]
TARGET = "store.vrls"
TMP = "store.vrls.tmp"
OLD = b"the previous store, which a failed build must leave alone"
BUFFER = 8192

# Errors a real system gives for each call; each is injected at every point
# of that call, and so is a single EINTR.
ERRNOS = {
    "open": [errno.ENOSPC, errno.EACCES],
    "write": [errno.ENOSPC, errno.EIO],
    "fsync": [errno.EIO],
    "syncfs": [errno.EIO],
    "rename": [errno.EXDEV],
    "close": [errno.EIO],
    "stat": [errno.ENOENT],
}


@dataclasses.dataclass
class Run:
    rc: int
    status: str
    trace: list  # (call, ordinal, detail)
    leaks: list
    stdout: bytes
    target: bytes | None
    tmp: bytes | None
    names: list


def run_driver(shape, workdir, fault=None, trace=False, prefix=(), stdout=subprocess.PIPE):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VORL_FAULT")}
    env["LD_PRELOAD"] = str(LIBRARY)
    if fault:
        env["VORL_FAULT"] = fault
    if trace:
        env["VORL_FAULT_TRACE"] = "1"
    proc = subprocess.run(
        [*prefix, str(DRIVER), shape, TARGET],
        cwd=workdir, env=env, stdout=stdout, stderr=subprocess.PIPE, timeout=120,
    )
    status, steps, leaks = None, [], []
    for line in proc.stderr.decode(errors="replace").splitlines():
        if line.startswith("trace: "):
            call, ordinal, rest = line[7:].split(" ", 2)
            steps.append((call, int(ordinal), rest.rsplit(" -> ", 1)[0]))
        elif line.startswith("status: "):
            status = line[8:]
        elif line.startswith("leaked fd: "):
            leaks.append(line)
        else:
            leaks.append("unexpected stderr: " + line)
    workdir = pathlib.Path(workdir)
    return Run(
        proc.returncode, status, steps, leaks, proc.stdout or b"",
        storecodec.read(workdir / TARGET), storecodec.read(workdir / TMP), sorted(os.listdir(workdir)),
    )


def buffer_model(pieces):
    """The writes a build makes for header, object section and index:
    (length, 'buffered' or 'direct') in order."""
    writes, used = [], 0
    for n in pieces:
        if n < BUFFER - used:
            used += n
            continue
        if used:
            writes.append((used, "buffered"))
        used = 0
        if n >= BUFFER:
            writes.append((n, "direct"))
        else:
            used = n
    if used:
        writes.append((used, "buffered"))
    return writes


@dataclasses.dataclass(frozen=True)
class Point:
    shape: str
    call: str
    ordinal: int
    role: str
    offset: int = 0  # data writes: bytes written before this one
    kind: str = ""  # data writes: 'buffered' or 'direct'


@dataclasses.dataclass
class Baseline:
    data: bytes
    store: storecodec.Store
    run: Run
    points: list


@functools.cache
def baseline(shape):
    """A clean traced build: the reference file and the injection points."""
    with tempfile.TemporaryDirectory() as d:
        run = run_driver(shape, d, trace=True)
    assert run.rc == 0 and run.status == "OK", run
    store = storecodec.parse(run.target)
    model = buffer_model([storecodec.HEADER_SIZE, store.index_offset - storecodec.HEADER_SIZE,
                          store.size - store.index_offset])
    points, renamed, tmp_fd, written, data_writes = [], False, None, 0, 0
    for call, ordinal, detail in run.trace:
        if call == "fsync" and not renamed:
            tmp_fd = detail
        if call == "rename":
            renamed = True
            role = "rename"
        elif call in ("open", "openat") and renamed:
            role = f"{call} dir"
        elif call == "close":
            # The temporary file stays open (and locked) until the directory
            # has been synced.
            role = "close tmp" if detail == tmp_fd else "close dir"
        elif call == "write" and detail.startswith("fd=1 "):
            role = "summary"
        elif call == "write":
            length, kind = model[data_writes]
            data_writes += 1
            points.append(Point(shape, call, ordinal, "write", written, kind))
            written += length
            continue
        elif call == "stat":
            # Before the data: the check that the locked file still has the
            # temporary name.
            role = "stat tmp"
        else:
            role = f"{call} {'dir' if renamed else 'tmp'}"
        points.append(Point(shape, call, ordinal, role))
    return Baseline(run.target, store, run, points)


@dataclasses.dataclass
class Outcome:
    status: str
    target: bytes | None
    tmp: bytes | None
    stdout: bytes


def expected(point, action, base):
    """What a build with `action` injected at `point` must end in."""
    summary = base.store.summary_line(TARGET)
    ok = Outcome("OK", base.data, None, summary)

    def io(msg, target, tmp):
        return Outcome("io: " + msg, target, tmp, b"")

    def print_failed(msg):
        return Outcome("internal: failed printing to stdout: " + msg, base.data, None, b"")

    def errno_text(err):
        return f"errno {err} ({os.strerror(err)})"

    partial = base.data[: point.offset]
    role = point.role
    if action == "short":
        return ok
    if action == "zero":
        if role == "summary":
            return print_failed("failed to write whole buffer")
        if point.kind == "direct":
            return io("write: failed to write whole buffer", OLD, partial)
        return io("write: failed to write the buffered data", OLD, partial)
    err = errno.EINTR if action == "eintr" else int(action.removeprefix("errno="))
    # Interrupted calls are repeated, except rename (never interrupted on a
    # local file system) and the two whose failure is ignored anyway.
    if err == errno.EINTR and role not in ("rename", "close tmp", "close dir"):
        return ok
    match role:
        case "stat tmp":
            # The name looked gone: the build starts again with a new file.
            return ok
        case "open tmp":
            return io("open tmp: " + errno_text(err), OLD, None)
        case "write":
            return io("write: " + errno_text(err), OLD, partial)
        case "fsync tmp":
            return io("sync: " + errno_text(err), OLD, base.data)
        case "close tmp" | "close dir":
            return ok
        case "rename":
            return io("rename: " + errno_text(err), OLD, base.data)
        case "open dir":
            # The store is in place: the file system is synced instead.
            return ok
        case "fsync dir":
            return io("sync dir: " + errno_text(err), base.data, None)
        case "summary":
            if err == errno.EBADF:
                return Outcome("OK", base.data, None, b"")
            return print_failed(errno_text(err))
    raise AssertionError(role)


def cases():
    out = []
    for shape in SHAPES:
        for point in baseline(shape).points:
            actions = [f"errno={e}" for e in ERRNOS[point.call]] + ["eintr"]
            if point.call == "write":
                actions += ["zero", "short"]
            if point.role == "summary":
                actions.append(f"errno={errno.EBADF}")
            for action in actions:
                out.append(pytest.param(point, action, id=f"{shape}-{point.call}{point.ordinal}-{action}"))
    return out


@pytest.mark.parametrize("shape", SHAPES)
def test_publishing_sequence(shape):
    """Temporary file (opened, locked, checked), data, fsync, rename,
    directory sync, close and the summary line, in this order, with writes
    as the buffer model says; the summary's size is what was written, so no
    stat follows the rename."""
    base = baseline(shape)
    roles = [p.role for p in base.points]
    writes = roles.count("write")
    assert roles == ["open tmp", "stat tmp"] + ["write"] * writes + [
        "fsync tmp", "rename", "open dir", "fsync dir", "close dir", "close tmp", "summary"]
    store = base.store
    model = buffer_model([40, store.index_offset - 40, store.size - store.index_offset])
    lengths = [int(d.split("len=")[1]) for c, _, d in base.run.trace if c == "write" and "fd=1 " not in d]
    assert lengths == [n for n, _ in model]
    assert sum(lengths) == len(base.data)
    assert base.run.stdout == store.summary_line(TARGET)


def test_shapes_cover_every_buffer_path():
    kinds = set()
    for shape in SHAPES:
        for p in baseline(shape).points:
            kinds.add((p.kind, p.offset == 0))
    # The first write is buffered (header with what follows, or header
    # alone), later ones are direct or buffered.
    assert kinds >= {("buffered", True), ("buffered", False), ("direct", False)}


@pytest.mark.parametrize("point,action", cases())
def test_fault(point, action, tmp_path):
    base = baseline(point.shape)
    (tmp_path / TARGET).write_bytes(OLD)
    run = run_driver(point.shape, tmp_path, fault=f"{point.call}:{point.ordinal}:{action}")
    want = expected(point, action, base)
    assert run.leaks == []
    assert run.status == want.status
    assert run.rc == (0 if want.status == "OK" else 1)
    assert run.stdout == want.stdout
    assert run.target == want.target
    assert run.tmp == want.tmp
    assert run.names == sorted([TARGET] + ([TMP] if want.tmp is not None else []))


@pytest.mark.parametrize("shape", SHAPES)
def test_every_write_short_still_gives_identical_file(shape, tmp_path):
    run = run_driver(shape, tmp_path, fault="write:0:short", trace=True)
    assert (run.rc, run.status, run.leaks) == (0, "OK", [])
    assert run.target == baseline(shape).data
    assert run.stdout == baseline(shape).store.summary_line(TARGET)
    # Halving every write takes more calls than the clean run.
    assert sum(c == "write" for c, _, _ in run.trace) > sum(c == "write" for c, _, _ in baseline(shape).run.trace)


@pytest.mark.parametrize("shape", ["edge", "medium", "large"])
def test_zero_after_a_short_write_names_the_piece_being_written(shape, tmp_path):
    """A short write is continued; when the continuation writes nothing, the
    message still says whether a piece or the buffer was being written."""
    base = baseline(shape)
    store = base.store
    writes = buffer_model([40, store.index_offset - 40, store.size - store.index_offset])
    data_points = [p for p in base.points if p.role == "write"]
    for p, (length, kind) in zip(data_points, writes, strict=True):
        (tmp_path / TARGET).write_bytes(OLD)
        (tmp_path / TMP).unlink(missing_ok=True)
        run = run_driver(shape, tmp_path, fault=f"write:{p.ordinal}:short,write:{p.ordinal + 1}:zero")
        what = "failed to write whole buffer" if kind == "direct" else "failed to write the buffered data"
        assert (run.status, run.leaks) == ("io: write: " + what, []), p
        assert run.tmp == base.data[: p.offset + length // 2]
        assert run.target == OLD


def test_missing_directory_creates_nothing(tmp_path):
    env = dict(os.environ, LD_PRELOAD=str(LIBRARY))
    proc = subprocess.run([str(DRIVER), "small", str(tmp_path / "absent/x.vrls")], env=env,
                          capture_output=True, timeout=60)
    assert proc.returncode == 1
    assert proc.stderr.decode() == f"status: io: open tmp: errno {errno.ENOENT} ({os.strerror(errno.ENOENT)})\n"
    assert os.listdir(tmp_path) == []


def test_closed_stdout_drops_the_line(tmp_path):
    run = run_driver("medium", tmp_path, prefix=("sh", "-c", 'exec "$@" >&-', "sh"), stdout=None)
    assert (run.rc, run.status, run.leaks) == (0, "OK", [])
    assert run.target == baseline("medium").data
    assert run.names == [TARGET]


def test_full_stdout_fails_after_publishing(tmp_path):
    with open("/dev/full", "wb") as full:
        run = run_driver("medium", tmp_path, stdout=full)
    assert run.rc == 1
    assert run.status == f"internal: failed printing to stdout: errno {errno.ENOSPC} ({os.strerror(errno.ENOSPC)})"
    assert run.leaks == []
    assert run.target == baseline("medium").data
    assert run.names == [TARGET]


VALGRIND_CASES = [
    ("large", None),
    ("large", "write:2:errno=28"),
    ("large", "write:3:zero"),
    ("large", "rename:1:errno=18"),
    ("large", "open:2:errno=13,syncfs:1:errno=5"),
    ("medium", "write:0:short"),
    ("small", "write:2:errno=28"),
]


@pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind is not installed")
@pytest.mark.parametrize("shape,fault", VALGRIND_CASES)
def test_no_leak_under_valgrind(shape, fault, tmp_path):
    prefix = ("valgrind", "-q", "--leak-check=full", "--show-leak-kinds=definite,indirect,possible",
              "--errors-for-leak-kinds=definite,indirect,possible", "--error-exitcode=99")
    run = run_driver(shape, tmp_path, fault=fault, prefix=prefix)
    assert run.leaks == []
    assert run.rc in (0, 1), run
    assert (run.rc == 0) == (fault in (None, "write:0:short"))


@pytest.mark.parametrize("fault,status", [
    # The directory cannot be opened (no read permission): the file system
    # is synced through the new file instead and the build succeeds.
    (f"open:2:errno={errno.EACCES}", "OK"),
    (f"open:2:errno={errno.EMFILE}", "OK"),
    # A sync that really fails is still reported, with the store in place.
    (f"open:2:errno={errno.EACCES},syncfs:1:errno={errno.EIO}", f"io: sync dir: errno {errno.EIO} ({os.strerror(errno.EIO)})"),
    (f"open:2:errno={errno.EACCES},syncfs:1:eintr", "OK"),
])
def test_directory_that_cannot_be_opened_falls_back_to_syncing_the_file_system(fault, status, tmp_path):
    base = baseline("medium")
    (tmp_path / TARGET).write_bytes(OLD)
    run = run_driver("medium", tmp_path, fault=fault, trace=True)
    assert (run.status, run.leaks) == (status, [])
    syncs = [d for c, _, d in run.trace if c == "syncfs"]
    tmp_fd = next(d for c, _, d in run.trace if c == "fsync")
    assert syncs and set(syncs) == {tmp_fd}, "syncfs must go through the published file"
    assert run.target == base.data
    assert run.names == [TARGET]
    assert run.stdout == (base.store.summary_line(TARGET) if status == "OK" else b"")
