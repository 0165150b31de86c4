"""Scale benchmark: vorlstore with and without its on-disk hash index, beside LMDB.

Prints one table for stores of data set A's shape at the chosen sizes: keys
"user:%08d" in a scattered insertion order, each with its own 80-120 byte
MessagePack object.  Three stores per size, read side by side:

  section    built by vorlstore.StoreBuilder (hash_index=True), read by vorlstore.VorlReader
  no section the same data built with hash_index=False, read by the same class
             (which builds the in-memory index at open)
  LMDB       the python lmdb module, keys sorted and put with append=True (its fastest build)

    python bench/scale_bench.py --sizes 1M,10M          # stores cached under --dir
    python bench/scale_bench.py --sizes 100M --build-only
    python bench/scale_bench.py --sizes 1M,10M,100M --reuse   # one table of sizes measured apart
    python bench/scale_bench.py --clean                 # delete the cached stores and figures

Each measurement runs in a fresh child process; the three stores of a size
are measured in turn (interleaved) and the whole round repeated --repeat
times, the table showing medians.  Lookups and prefix scans are timed in CPU
time (other jobs move it less than wall time); opens in wall time, as the
median of as many as fit in a second.  Lookups use fresh key objects (no
cached hash) in random order after one warm-up pass over the same keys, so
the page cache holds what is read.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import random
import shutil
import statistics
import struct
import subprocess
import sys
import time
from collections.abc import Callable, Iterator

import lmdb

import vorlstore

KINDS = ("section", "plain", "lmdb")
TITLES = {"section": "vorlstore, section", "plain": "vorlstore, no section", "lmdb": "LMDB"}
BATCH = 100_000
PROBES = 300_000
PREFIX_COUNT = 1000
GOLDEN = 0x9E3779B97F4A7C15
MASK64 = (1 << 64) - 1
_SCORE = struct.Struct(">d")


# ---- data set A, generated in batches so that no size needs it all in memory ----


def coprime_step(n: int) -> int:
    """A step coprime to n: i * step % n visits every key once, scattered."""
    step = 2654435761 % max(n, 1)
    while n > 1 and math.gcd(step, n) != 1:
        step += 1
    return step or 1


def value_of(k: int) -> bytes:
    """Key k's object: {"id", "name", "score", "tags"}, 80-120 bytes, a pure function of k."""
    h = (k * GOLDEN) & MASK64
    pad = 80 + h % 41 - 41  # 41 bytes are fixed below
    return b"\x84\xa2id\xce%b\xa4name\xd9%c%b\xa5score\xcb%b\xa4tags\x92\xa1a\xa1b" % (
        k.to_bytes(4, "big"), pad, b"x" * pad, _SCORE.pack((h >> 11) / 2**53))


def batches(n: int, scattered: bool) -> Iterator[tuple[list[bytes], list[bytes]]]:
    """(keys, values) in batches: scattered order for vorlstore, sorted for LMDB."""
    step = coprime_step(n) if scattered else 1
    for start in range(0, n, BATCH):
        nums = [i * step % n for i in range(start, min(n, start + BATCH))]
        yield [b"user:%08d" % k for k in nums], [value_of(k) for k in nums]


# ---- /proc readings ----


def proc_fields(path: str, names: tuple[str, ...]) -> dict[str, int]:
    """Fields in kB from a /proc file such as smaps_rollup or status, as bytes."""
    out = dict.fromkeys(names, 0)
    with open(path) as f:
        for line in f:
            name, _, rest = line.partition(":")
            if name in out:
                out[name] = int(rest.split()[0]) * 1024
    return out


def anonymous() -> int:
    return proc_fields("/proc/self/smaps_rollup", ("Anonymous",))["Anonymous"]


def pss_of(pid: int) -> int:
    return proc_fields(f"/proc/{pid}/smaps_rollup", ("Pss",))["Pss"]


# ---- the stores ----


def open_store(kind: str, path: str, verify: bool = False):
    """A handle with get(key) -> bytes | None and close()."""
    if kind == "lmdb":
        return LmdbHandle(path)
    return VorlHandle(path, verify)


class VorlHandle:
    def __init__(self, path: str, verify: bool):
        self.reader = vorlstore.VorlReader(path, verify=verify)
        self.get = self.reader.get_raw

    def prefix(self, start: bytes, count: int) -> list[tuple[bytes, bytes]]:
        # Raw keys and values, as LMDB gives them: the package's cursor
        # without decoding (VorlReader.prefix decodes each object).
        engine = self.reader._engine
        begin, end = engine.prefix_bounds(start)
        return list(engine.cursor(begin, min(end, begin + count), False, 2, None, None, True))

    def close(self) -> None:
        self.reader.close()


class LmdbHandle:
    def __init__(self, path: str):
        self.env = lmdb.open(path, readonly=True, lock=False, subdir=True)
        self.txn = self.env.begin(buffers=False)
        self.get = self.txn.get

    def prefix(self, start: bytes, count: int) -> list[tuple[bytes, bytes]]:
        out = []
        cur = self.txn.cursor()
        if cur.set_range(start):
            for k, v in cur:
                if len(out) == count or not k.startswith(start):
                    break
                out.append((k, v))
        return out

    def close(self) -> None:
        self.txn.abort()
        self.env.close()


def build(kind: str, n: int, path: str) -> dict[str, float]:
    """Builds one store and returns the time spent in the store's own calls
    (data generation excluded) and the peak memory above the start."""
    gc.collect()
    base = proc_fields("/proc/self/status", ("VmRSS",))["VmRSS"]
    spent = 0.0
    t0 = time.perf_counter()
    if kind == "lmdb":
        tmp = path + ".tmp"
        shutil.rmtree(tmp, ignore_errors=True)
        env = lmdb.open(tmp, map_size=1 << 38, subdir=True, sync=True, metasync=True)
        for keys, values in batches(n, scattered=False):
            t = time.perf_counter()
            with env.begin(write=True) as txn:
                put = txn.put
                for k, v in zip(keys, values):
                    put(k, v, append=True)
            spent += time.perf_counter() - t
        t = time.perf_counter()
        env.sync(True)
        env.close()
        os.rename(tmp, path)
        spent += time.perf_counter() - t
    else:
        if kind == "writer":
            target = vorlstore.VorlWriter()
        else:
            target = vorlstore.StoreBuilder(path, hash_index=kind != "plain")
        for keys, values in batches(n, scattered=True):
            t = time.perf_counter()
            target.add_many_raw(values, keys)
            spent += time.perf_counter() - t
        t = time.perf_counter()
        if kind == "writer":
            target.build(path, hash_index=True)
        else:
            target.commit()
        spent += time.perf_counter() - t
    total = time.perf_counter() - t0
    peak = proc_fields("/proc/self/status", ("VmHWM",))["VmHWM"]
    return {"store s": spent, "total s": total, "peak B/key": (peak - base) / n, "peak MB": (peak - base) / 1e6}


# ---- child processes: one measurement each, printed as JSON ----


def child_open(kind: str, path: str, verify: bool) -> dict[str, float]:
    """Median open time over as many opens as fit in about a second (1 to 500)."""
    times: list[float] = []
    deadline = time.perf_counter() + 1.0
    while not times or (len(times) < 500 and time.perf_counter() < deadline):
        gc.collect()
        t0 = time.perf_counter()
        h = open_store(kind, path, verify)
        times.append(time.perf_counter() - t0)
        h.close()
        del h
    return {"ms": statistics.median(times) * 1e3, "opens": len(times)}


def child_memory(kind: str, path: str) -> dict[str, float]:
    gc.collect()
    before = anonymous()
    h = open_store(kind, path)
    after = anonymous()
    h.get(b"user:00000000")
    return {"MB": (after - before) / 1e6}


def probe_numbers(n: int, seed: int) -> list[int]:
    rng = random.Random(seed)
    return [rng.randrange(n) for _ in range(min(n, PROBES))]


def timed_pass(fn: Callable[[bytes], object], keys: list[bytes]) -> float:
    # CPU time, not wall time: a pass takes about a second, long enough for
    # other jobs on a shared machine to take the core away several times.
    gc.collect()
    t0 = time.thread_time()
    for k in keys:
        fn(k)
    return (time.thread_time() - t0) / len(keys) * 1e9


def lookup_figures(get: Callable[[bytes], object], n: int, passes: int) -> dict[str, float]:
    nums = probe_numbers(n, 7)
    hits = []
    misses = []
    timed_pass(get, [b"user:%08d" % k for k in nums])  # warm-up: the page cache holds these pages
    for _ in range(passes):
        # Fresh key objects each pass, so no key carries a cached hash.
        hits.append(timed_pass(get, [b"user:%08d" % k for k in nums]))
        misses.append(timed_pass(get, [b"miss:%08d" % k for k in nums]))
    return {"hit ns": statistics.median(hits), "miss ns": statistics.median(misses)}


def child_lookups(kind: str, path: str, n: int, passes: int) -> dict[str, float]:
    h = open_store(kind, path)
    out = lookup_figures(h.get, n, passes)
    assert h.get(b"user:%08d" % (n // 2)) == value_of(n // 2), "wrong value read back"
    start = b"user:%08d" % (n // 2)
    start = start[:-3]  # 1,000 keys share it
    rows = h.prefix(start, PREFIX_COUNT)
    assert len(rows) == PREFIX_COUNT and rows[0][0].startswith(start), "prefix scan"
    times = []
    for _ in range(200):
        t0 = time.thread_time()
        h.prefix(start, PREFIX_COUNT)
        times.append(time.thread_time() - t0)
    out["prefix us"] = statistics.median(times) * 1e6
    h.close()
    return out


def child_dict(n: int, passes: int) -> dict[str, float]:
    d = dict.fromkeys(b"user:%08d" % k for k in range(n))
    return {"dict miss ns": lookup_figures(d.get, n, passes)["miss ns"]}


def child_reader(kind: str, path: str, n: int) -> int:
    """One of the processes of the shared-memory run: waits, opens, looks up, waits."""
    sys.stdout.write("ready\n")
    sys.stdout.flush()
    sys.stdin.readline()
    h = open_store(kind, path)
    get = h.get
    for k in probe_numbers(n, os.getpid()):
        get(b"user:%08d" % k)
    sys.stdout.write("done\n")
    sys.stdout.flush()
    sys.stdin.readline()
    h.close()
    return 0


def run_child(*args: str) -> dict[str, float]:
    done = subprocess.run([sys.executable, __file__, "--child", *args], capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"child {args} failed:\n{done.stderr}")
    return json.loads(done.stdout.splitlines()[-1])


def shared_pss(kind: str, path: str, n: int, procs: int) -> dict[str, float]:
    """Total PSS of `procs` readers after random lookups, and above the same processes idle."""
    children = [subprocess.Popen([sys.executable, __file__, "--child", "reader", kind, path, str(n)],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                for _ in range(procs)]
    try:
        for c in children:
            assert c.stdout.readline() == "ready\n"
        idle = sum(pss_of(c.pid) for c in children)
        for c in children:
            c.stdin.write("go\n")
            c.stdin.flush()
        for c in children:
            assert c.stdout.readline() == "done\n"
        busy = sum(pss_of(c.pid) for c in children)
    finally:
        for c in children:
            c.stdin.close()
        for c in children:
            c.wait()
    return {"PSS MB": busy / 1e6, "PSS net MB": (busy - idle) / 1e6}


# ---- the cached stores ----


def size_label(n: int) -> str:
    return f"{n // 1_000_000}M" if n % 1_000_000 == 0 else f"{n // 1000}k"


def parse_size(text: str) -> int:
    mult = {"k": 1000, "M": 1_000_000}
    return int(float(text[:-1]) * mult[text[-1]]) if text[-1] in mult else int(text)


def store_path(folder: str, kind: str, n: int) -> str:
    return os.path.join(folder, f"A-{size_label(n)}-{kind}" + (".lmdb" if kind == "lmdb" else ".vrls"))


def ensure_store(folder: str, kind: str, n: int) -> dict[str, float]:
    """Builds the store unless a finished one is cached; returns its build figures."""
    path = store_path(folder, kind, n)
    info = path + ".json"
    if os.path.exists(path) and os.path.exists(info):
        with open(info) as f:
            return json.load(f)
    log(f"building {kind} at {size_label(n)}")
    figures = run_child("build", kind, str(n), path)
    with open(info, "w") as f:
        json.dump(figures, f)
    return figures


def section_bytes(path: str) -> int:
    with open(path, "rb") as f:
        f.seek(-72, os.SEEK_END)
        trailer = f.read(72)
    assert trailer[:4] == b"VRLX", "the store has no hash index"
    return int.from_bytes(trailer[16:24], "big")


def file_bytes(path: str) -> int:
    if os.path.isdir(path):
        return sum(os.path.getsize(os.path.join(path, f)) for f in os.listdir(path))
    return os.path.getsize(path)


def log(text: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')} load {os.getloadavg()[0]:.1f}] {text}", file=sys.stderr, flush=True)


# ---- the table ----


class Table:
    """Rows of (figure, size) with one cell per store; each cell a list of samples."""

    def __init__(self) -> None:
        self.rows: dict[tuple[str, str], dict[str, list[float]]] = {}
        self.goals: dict[str, str] = {}

    def add(self, figure: str, size: str, column: str, value: float) -> None:
        self.rows.setdefault((figure, size), {}).setdefault(column, []).append(value)

    def save(self, path: str) -> None:
        rows = [[figure, size, cells] for (figure, size), cells in self.rows.items()]
        with open(path + ".part", "w") as f:
            json.dump(rows, f)
        os.replace(path + ".part", path)

    def load(self, path: str) -> None:
        with open(path) as f:
            for figure, size, cells in json.load(f):
                for column, samples in cells.items():
                    for v in samples:
                        self.add(figure, size, column, v)

    def print(self, columns: list[str], note: str) -> None:
        print("| figure | keys | " + " | ".join(TITLES.get(c, c) for c in columns) + " | goal |")
        print("|---" * (len(columns) + 3) + "|")
        # Each figure's sizes together, figures in the order first measured.
        figures = list(dict.fromkeys(figure for figure, _ in self.rows))
        ordered = sorted(self.rows.items(), key=lambda row: figures.index(row[0][0]))
        for (figure, size), cells in ordered:
            texts = []
            for c in columns:
                samples = cells.get(c)
                texts.append("-" if not samples else fmt(statistics.median(samples)))
            print(f"| {figure} | {size} | " + " | ".join(texts) + f" | {self.goals.get(figure, '')} |")
        print(note)


def fmt(v: float) -> str:
    if v >= 100:
        return f"{v:,.0f}"
    if v >= 10:
        return f"{v:.1f}"
    return f"{v:.3g}"


def measure_size(folder: str, n: int, args, table: Table) -> None:
    size = size_label(n)
    paths = {kind: store_path(folder, kind, n) for kind in KINDS}
    builds = {kind: ensure_store(folder, kind, n) for kind in KINDS}
    if args.build_only:
        return
    for rep in range(args.repeat):
        log(f"{size}: round {rep + 1} of {args.repeat}")
        table.add("load average (1 min) at each round", size, "reference", os.getloadavg()[0])
        for kind in KINDS:
            path = paths[kind]
            table.add("open, no checksum (ms)", size, kind, run_child("open", kind, path, "0")["ms"])
            if kind != "lmdb" and n <= args.checksum_max:
                table.add("open with checksum (ms)", size, kind, run_child("open", kind, path, "1")["ms"])
            table.add("anonymous memory after open (MB)", size, kind, run_child("memory", kind, path)["MB"])
            got = run_child("lookups", kind, path, str(n), str(args.passes))
            table.add("get_raw hit (ns)", size, kind, got["hit ns"])
            table.add("get_raw miss (ns)", size, kind, got["miss ns"])
            table.add(f"prefix scan of {PREFIX_COUNT:,} keys (us)", size, kind, got["prefix us"])
        core = core_lookups(args, paths["section"])
        for column, (hit, miss) in core.items():
            table.add("core FindObject hit (ns)", size, column, hit)
            table.add("core FindObject miss (ns)", size, column, miss)
        if n <= args.dict_max:
            table.add("dict.get miss (ns)", size, "reference", run_child("dict", str(n), str(args.passes))["dict miss ns"])
        if n == args.pss_size:
            for kind in KINDS:
                got = shared_pss(kind, paths[kind], n, args.procs)
                table.add(f"{args.procs} readers, total PSS (MB)", size, kind, got["PSS MB"])
                table.add(f"{args.procs} readers, PSS above idle (MB)", size, kind, got["PSS net MB"])
        # What a run stopped between rounds has measured: --reuse prints it.
        table.save(os.path.join(folder, f"figures-{size}.partial.json"))
    for kind in KINDS:
        table.add("store size (MB)", size, kind, file_bytes(paths[kind]) / 1e6)
    table.add("section bytes per key", size, "section", section_bytes(paths["section"]) / n)
    for kind in KINDS:
        if "store s" in builds[kind]:  # absent for a store made some other way
            table.add("build: time in store calls (s)", size, kind, builds[kind]["store s"])
            table.add("build: peak memory (B/key)", size, kind, builds[kind]["peak B/key"])
    if n <= args.writer_max:
        # A build of 10M keys takes minutes on a busy machine: larger sizes
        # get --build-repeat rounds.
        rounds = args.repeat if n < 10_000_000 else args.build_repeat
        for rep in range(rounds):
            log(f"{size}: builders, round {rep + 1} of {rounds}")
            for kind in ("writer", "section"):
                scratch = os.path.join(folder, f"scratch-{kind}.vrls")
                got = run_child("build", kind, str(n), scratch)
                os.remove(scratch)
                column = "in-memory writer" if kind == "writer" else "section"
                table.add("builder: keys/s in store calls (M)", size, column, n / got["store s"] / 1e6)
                table.add("builder: peak memory (B/key)", size, column, got["peak B/key"])


def core_lookups(args, path: str) -> dict[str, tuple[float, float]]:
    """The engine alone (vorl_lookup_latency, CPU time): the section file read
    through its section, and through the in-memory index built from it."""
    program = os.path.join(args.build_dir, "bench", "vorl_lookup_latency")
    done = subprocess.run([program, path, str(PROBES), str(args.passes)], capture_output=True, text=True,
                          check=True)
    out = {}
    for line in done.stdout.splitlines():
        words = line.split()
        out["section" if words[0] == "section" else "plain"] = (float(words[2]), float(words[5]))
    return out


def big_objects(folder: str, args, table: Table) -> None:
    """The C++ streaming build of args.big_keys x 1 KiB objects (a ~10 GB store)."""
    program = os.path.join(args.build_dir, "bench", "vorl_stream_memory")
    log(f"{args.big_keys:,} x 1 KiB objects through {program}")
    done = subprocess.run([program, str(args.big_keys), "1024", os.path.join(folder, "big.vrls")],
                          capture_output=True, text=True, check=True)
    print(done.stdout.strip(), file=sys.stderr)
    words = done.stdout.split()
    size = size_label(args.big_keys) + " x 1 KiB"
    table.add("StreamBuilder (C++): peak memory (B/key)", size, "section", float(words[words.index("B/key") - 1]))
    table.add("StreamBuilder (C++): file (MB)", size, "section", float(words[words.index("file") + 1]))
    table.add("StreamBuilder (C++): build (s)", size, "section", float(words[words.index("build") + 1]))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="1M,10M,100M", help="comma-separated key counts, e.g. 1M,10M")
    ap.add_argument("--dir", default=os.path.join(os.environ.get("TMPDIR", "/tmp"), "vorl-scale"),
                    help="folder of the cached stores (default /tmp/vorl-scale)")
    ap.add_argument("--repeat", type=int, default=3, help="interleaved rounds per size (medians)")
    ap.add_argument("--build-repeat", type=int, default=1, help="builder rounds from 10M keys on")
    ap.add_argument("--passes", type=int, default=3, help="lookup passes per round (median)")
    ap.add_argument("--procs", type=int, default=8, help="reader processes of the shared-memory run")
    ap.add_argument("--pss-size", default="10M", help="the size the shared-memory run uses")
    ap.add_argument("--writer-max", default="10M", help="largest size the builders are compared at")
    ap.add_argument("--checksum-max", default="10M",
                    help="largest size opened with the checksum (larger stores outgrow the page cache)")
    ap.add_argument("--dict-max", default="10M", help="largest size a dict is built for its miss figure")
    ap.add_argument("--big-keys", default="10M", help="keys of the 1 KiB object build (0: skip it)")
    ap.add_argument("--build-dir", default="build-pybench",
                    help="where vorl_stream_memory and vorl_lookup_latency were built")
    ap.add_argument("--build-only", action="store_true", help="build and cache the stores, measure nothing")
    ap.add_argument("--reuse", action="store_true",
                    help="print the figures saved by an earlier run for the sizes it measured")
    ap.add_argument("--partial", action="store_true",
                    help="with --reuse, print the finished rounds of a size whose run was stopped")
    ap.add_argument("--clean", action="store_true", help="delete the cached stores and figures, and exit")
    ap.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        what, *rest = args.child
        if what == "reader":
            return child_reader(rest[0], rest[1], int(rest[2]))
        result = {
            "build": lambda: build(rest[0], int(rest[1]), rest[2]),
            "open": lambda: child_open(rest[0], rest[1], rest[2] == "1"),
            "memory": lambda: child_memory(rest[0], rest[1]),
            "lookups": lambda: child_lookups(rest[0], rest[1], int(rest[2]), int(rest[3])),
            "dict": lambda: child_dict(int(rest[0]), int(rest[1])),
        }[what]()
        print(json.dumps(result))
        return 0
    if args.clean:
        shutil.rmtree(args.dir, ignore_errors=True)
        return 0
    os.makedirs(args.dir, exist_ok=True)
    for name in ("pss_size", "writer_max", "checksum_max", "dict_max", "big_keys"):
        setattr(args, name, parse_size(getattr(args, name)))
    table = Table()
    table.goals = {
        "open, no checksum (ms)": "<= 1",
        "open with checksum (ms)": "<= 100 at 10M",
        "anonymous memory after open (MB)": "<= 1",
        "get_raw hit (ns)": "section <= 1.15x no section at 10M",
        "core FindObject hit (ns)": "(same, engine alone)",
        "get_raw miss (ns)": "section <= dict miss",
        f"prefix scan of {PREFIX_COUNT:,} keys (us)": "<= 1.0x LMDB",
        f"{args.procs} readers, total PSS (MB)": "about one copy of the index",
        "section bytes per key": "<= 20",
        "builder: peak memory (B/key)": "<= 64 + 64 MiB",
        "builder: keys/s in store calls (M)": ">= in-memory writer",
        "StreamBuilder (C++): peak memory (B/key)": "<= 64 + 64 MiB",
    }
    started = time.time()
    loads = [os.getloadavg()[0]]
    measured = False
    parts = [(size_label(n), lambda t, n=n: measure_size(args.dir, n, args, t))
             for n in sorted(parse_size(s) for s in args.sizes.split(","))]
    if args.big_keys and not args.build_only:
        parts.append((f"{size_label(args.big_keys)}-1KiB", lambda t: big_objects(args.dir, args, t)))
    for name, measure in parts:
        # Each part's figures are kept, so that --reuse can print a table of
        # sizes measured in separate runs (the 100M rows take hours).
        saved = os.path.join(args.dir, f"figures-{name}.json")
        partial = os.path.join(args.dir, f"figures-{name}.partial.json")
        if args.reuse and (os.path.exists(saved) or args.partial and os.path.exists(partial)):
            table.load(saved if os.path.exists(saved) else partial)
            continue
        part = Table()
        measured = True
        measure(part)
        if not args.build_only:
            part.save(saved)
            table.load(saved)
        loads.append(os.getloadavg()[0])
    if args.build_only:
        return 0
    note = (f"Medians of {args.repeat} interleaved rounds ({args.passes} lookup passes of up to {PROBES:,} random "
            f"keys each); page cache warm; lookups and scans in CPU time, opens in wall time.\n"
            f"get_raw through vorlstore.VorlReader and lmdb's Transaction.get, both returning bytes.  The "
            f"core FindObject rows: the engine alone\n(bench/lookup_latency.cc) on the section's file, through "
            f"the section and through the in-memory index built from the same file.\n"
            f"LMDB is built from sorted keys with put(append=True), its fastest build; vorlstore from the same "
            f"data in scattered order.\nBuilder rows: {args.repeat} rounds below 10M keys, {args.build_repeat} from 10M on.  "
            f"Build figures: time in the store's own calls (data generation "
            f"excluded), peak RSS above the start of a fresh process.")
    if measured:
        note += (f"\nLoad average (1 min) seen in this run: {min(loads):.1f} to {max(loads):.1f}; "
                 f"{(time.time() - started) / 60:.0f} min.")
    columns = ["section", "plain", "lmdb", "reference", "in-memory writer"]
    used = [c for c in columns if any(c in cells for cells in table.rows.values())]
    table.print(used, note)
    return 0


if __name__ == "__main__":
    sys.exit(main())
