"""Side-by-side benchmark of vorlstore against the stores a Python user reaches for.

Runs the same operations on the native module `_vorlstore`, the `vorlstore`
wrappers, an in-memory dict (and its pickle), LMDB, SQLite and dbm.gnu, and
prints one table per data set with medians and ratios to our figures.

    python bench/python_bench.py            # data sets A, B and C at full size
    python bench/python_bench.py --scale 0.1 --repeat 3   # a quicker look

Data set A: 1,000,000 keys "user:%08d", each with its own 80-120 byte
MessagePack object, inserted in random order.  B: 1,000,000 keys over 100,000
objects.  C: 10,000 objects of 64 KiB.  Timings are wall-clock medians with the
page cache warm; every store is built in the same temporary folder.

Set M (bulk calls) is data set A at --keys keys (default 1,000,000): the
package's add_many_raw builds (pre-encoded objects, fsync included) against
LMDB's, and get_many_raw in batches of 1,000 random existing keys against
dict.get and a loop of single get_raw calls, per key, with and without the
on-disk hash index.

    python bench/python_bench.py --sets M --keys 10000000   # the bulk rows at 10M keys
"""

from __future__ import annotations

import argparse
import dbm.gnu
import gc
import itertools
import os
import pickle
import random
import shutil
import sqlite3
import statistics
import sys
import tempfile
import time
from collections.abc import Callable

import msgpack

try:
    import lmdb
except ImportError:  # pragma: no cover - reported in the table
    lmdb = None

from vorlstore import StoreBuilder, VorlReader, VorlWriter
from vorlstore._vorlstore import _VorlReader, _VorlWriter


def median_time(fn: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


class DataSet:
    def __init__(self, name: str, keys: list[bytes], object_of_key: list[int], objects: list[bytes]):
        self.name = name
        self.keys = keys                  # in insertion order
        self.object_of_key = object_of_key
        self.objects = objects            # MessagePack bytes
        self.payload = sum(len(o) for o in objects)

    def pairs(self):
        objs = self.objects
        return ((k, objs[i]) for k, i in zip(self.keys, self.object_of_key))


def make_a(n: int, rng: random.Random) -> DataSet:
    keys = [b"user:%08d" % i for i in range(n)]
    rng.shuffle(keys)
    objects = []
    for i in range(n):
        size = rng.randint(80, 120)
        obj = {"id": i, "name": "", "score": rng.random(), "tags": ["a", "b"]}
        # Pad the name so that the encoded object is about `size` bytes.
        obj["name"] = "x" * max(0, size - len(msgpack.packb(obj)) - 1)
        objects.append(msgpack.packb(obj))
    return DataSet("A", keys, list(range(n)), objects)


def make_b(n: int, rng: random.Random) -> DataSet:
    n_obj = max(1, n // 10)
    objects = [msgpack.packb({"group": i, "pad": "y" * rng.randint(40, 80)}) for i in range(n_obj)]
    keys = [b"item:%08d" % i for i in range(n)]
    rng.shuffle(keys)
    return DataSet("B", keys, [rng.randrange(n_obj) for _ in range(n)], objects)


def make_c(n: int, rng: random.Random) -> DataSet:
    objects = [msgpack.packb(rng.randbytes(65536 - 5)) for _ in range(n)]
    keys = [b"blob:%06d" % i for i in range(n)]
    return DataSet("C", keys, list(range(n)), objects)


# ---- stores: each returns a dict of operation -> seconds (or None) -------------


class Store:
    name = ""
    # The handle's methods that look a key up and test for one; a store
    # whose handle has no such method overrides getter or contains.
    get_method = "get"
    contains_method = "__contains__"

    def __init__(self, folder: str, ds: DataSet):
        self.folder = folder
        self.ds = ds

    def build(self) -> None: ...
    def open(self) -> object: ...

    def getter(self, handle) -> Callable[[bytes], object]:
        return getattr(handle, self.get_method)

    def contains(self, handle) -> Callable[[bytes], bool] | None:
        return getattr(handle, self.contains_method)

    def prefix(self, handle, start: bytes, count: int) -> list | None:
        return None  # no ordered scan

    def items(self, handle) -> list | None:
        return list(handle.items())


class Vorl(Store):
    name = "vorlstore"
    get_method = "get_raw"
    contains_method = "exists"

    def build(self):
        w = _VorlWriter()
        add_obj, add_key = w.add_object_raw, w.add_key
        ids = [add_obj(o) for o in self.ds.objects]
        for k, i in zip(self.ds.keys, self.ds.object_of_key):
            add_key(k, ids[i])
        self.path = os.path.join(self.folder, "v.vrls")
        devnull = os.open(os.devnull, os.O_WRONLY)
        saved = os.dup(1)
        os.dup2(devnull, 1)  # the summary line is not part of the figure
        try:
            w.build(self.path)
        finally:
            os.dup2(saved, 1)
            os.close(saved)
            os.close(devnull)

    def open(self):
        return _VorlReader(self.path)

    def prefix(self, r, start, count):
        return r.prefix_raw(start)[:count]

    def items(self, r):
        return r.items_raw()


class VorlWrapper(Store):
    name = "vorlstore.VorlReader"
    build = Vorl.build

    def open(self):
        return VorlReader(self.path)

    def prefix(self, r, start, count):
        return list(itertools.islice(r.prefix(start), count))


class Dict(Store):
    name = "dict (pickled)"

    def build(self):
        self.path = os.path.join(self.folder, "d.pickle")
        with open(self.path, "wb") as f:
            pickle.dump(dict(self.ds.pairs()), f, protocol=pickle.HIGHEST_PROTOCOL)
            f.flush()
            os.fsync(f.fileno())

    def open(self):
        with open(self.path, "rb") as f:
            return pickle.load(f)


class Lmdb(Store):
    name = "LMDB"

    def build(self):
        self.path = os.path.join(self.folder, "l.lmdb")
        env = lmdb.open(self.path, map_size=1 << 36, subdir=True, sync=True, metasync=True)
        with env.begin(write=True) as txn:
            for k, v in self.ds.pairs():
                txn.put(k, v)
        env.sync(True)
        env.close()

    def open(self):
        self.env = lmdb.open(self.path, readonly=True, lock=False, subdir=True)
        return self.env.begin(buffers=False)

    def contains(self, txn):
        get = txn.get
        return lambda k: get(k) is not None

    def prefix(self, txn, start, count):
        out = []
        cur = txn.cursor()
        if cur.set_range(start):
            for k, v in cur:
                if not k.startswith(start) or len(out) == count:
                    break
                out.append((k, v))
        return out

    def items(self, txn):
        return list(txn.cursor().iternext())


class Sqlite(Store):
    name = "SQLite"

    def build(self):
        self.path = os.path.join(self.folder, "s.sqlite")
        db = sqlite3.connect(self.path)
        db.execute("CREATE TABLE kv (k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID")
        with db:
            db.executemany("INSERT INTO kv VALUES (?, ?)", self.ds.pairs())
        db.close()

    def open(self):
        db = sqlite3.connect(f"file:{self.path}?immutable=1", uri=True, check_same_thread=False)
        db.execute("PRAGMA mmap_size=1073741824")
        return db

    def getter(self, db):
        cur = db.cursor()
        q = "SELECT v FROM kv WHERE k = ?"

        def get(k):
            row = cur.execute(q, (k,)).fetchone()
            return None if row is None else row[0]
        return get

    def contains(self, db):
        return None

    def prefix(self, db, start, count):
        end = start[:-1] + bytes([start[-1] + 1])
        return db.execute("SELECT k, v FROM kv WHERE k >= ? AND k < ? ORDER BY k LIMIT ?",
                          (start, end, count)).fetchall()

    def items(self, db):
        return db.execute("SELECT k, v FROM kv ORDER BY k").fetchall()


class Gdbm(Store):
    name = "dbm.gnu"

    def build(self):
        self.path = os.path.join(self.folder, "g.gdbm")
        db = dbm.gnu.open(self.path, "nf")
        for k, v in self.ds.pairs():
            db[k] = v
        db.sync()
        db.close()

    def open(self):
        return dbm.gnu.open(self.path, "r")

    def items(self, db):
        return None


def anon_rss() -> int:
    """Resident anonymous memory in bytes: what a store holds beyond mapped files."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    return 0


def open_memory_in_child(cls, path: str) -> float:
    """Anonymous memory (MB) a fresh process gains by opening the store at `path`."""
    import subprocess
    done = subprocess.run([sys.executable, __file__, "--measure-open", cls.__name__, path],
                          capture_output=True, text=True, check=True)
    return float(done.stdout) / 1e6


def measure_open(cls_name: str, path: str) -> int:
    s = globals()[cls_name](os.path.dirname(path), None)
    s.path = path
    gc.collect()
    before = anon_rss()
    handle = s.open()
    after = anon_rss()
    del handle
    print(after - before)
    return 0


def lookup_loop(fn, keys, clock: Callable[[], float] = time.perf_counter) -> float:
    t0 = clock()
    for k in keys:
        fn(k)
    return clock() - t0


def run_store(cls, folder, ds, args, probes, misses, prefix_start):
    sub = os.path.join(folder, cls.__name__)
    os.makedirs(sub)
    s = cls(sub, ds)
    out: dict[str, float | None] = {}
    out["build s"] = median_time(lambda: (shutil.rmtree(sub), os.makedirs(sub), s.build()), 1 if ds.name != "C" else 3)
    out["open ms"] = median_time(s.open, args.repeat) * 1e3
    out["open mem MB"] = open_memory_in_child(cls, s.path)
    h = s.open()
    get = s.getter(h)
    out["get ns"] = statistics.median(lookup_loop(get, probes) for _ in range(args.repeat)) / len(probes) * 1e9
    out["miss ns"] = statistics.median(lookup_loop(get, misses) for _ in range(args.repeat)) / len(misses) * 1e9
    has = s.contains(h)
    out["exists ns"] = (statistics.median(lookup_loop(has, probes) for _ in range(args.repeat)) / len(probes) * 1e9
                        if has else None)
    pre = s.prefix(h, prefix_start, 1000)
    out["prefix1000 us"] = (median_time(lambda: s.prefix(h, prefix_start, 1000), args.repeat) * 1e6
                            if pre is not None else None)
    its = s.items(h)
    out["items s"] = median_time(lambda: s.items(h), max(1, args.repeat // 2)) if its is not None else None
    del its, pre, get, has, h
    return out


# ---- set M: bulk calls -------------------------------------------------------


def median_of(fn: Callable[[], float], repeat: int) -> float:
    """Median of repeat calls of fn, each returning its own figure."""
    return statistics.median(fn() for _ in range(repeat))


def timed(fn: Callable[[], object]) -> tuple[float, float]:
    """Wall-clock and CPU seconds of fn()."""
    gc.collect()
    t0, c0 = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - t0, time.process_time() - c0


def median_pair(fn: Callable[[], tuple[float, float]], repeat: int) -> tuple[float, float]:
    runs = [fn() for _ in range(repeat)]
    return statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs)


def build_writer(path: str, ds: DataSet) -> None:
    w = VorlWriter()
    w.add_many_raw(ds.objects, ds.keys)
    w.build(path)


def build_streaming(path: str, ds: DataSet) -> None:
    with StoreBuilder(path) as b:
        b.add_many_raw(ds.objects, ds.keys)


def build_lmdb(path: str, ds: DataSet) -> None:
    env = lmdb.open(path, map_size=1 << 40, subdir=True, sync=True, metasync=True)
    with env.begin(write=True) as txn:
        for k, v in zip(ds.keys, ds.objects):
            txn.put(k, v)
    env.sync(True)
    env.close()


def run_bulk(args, rng: random.Random) -> None:
    n = args.keys
    ds = make_a(n, rng)
    batch = 1000
    # Fresh key objects, as a program that reads its keys from elsewhere has;
    # the dict is also asked with its own key objects, its best case.
    picks = [rng.randrange(n) for _ in range(min(n, 1_000_000) // batch * batch)]
    probes = [b"user:%08d" % i for i in picks]
    own = dict(zip(ds.keys, range(n)))
    own_keys = [ds.keys[own[k]] for k in probes]
    del own
    batches = [probes[i:i + batch] for i in range(0, len(probes), batch)]
    # On a machine shared with other work, CPU time keeps others' load out of
    # the lookup figures (builds are timed both ways: they wait for the disk).
    clock = time.process_time if args.cpu_time else time.perf_counter
    print(f"\n## Set M: bulk calls on data set A, {n:,} keys, {ds.payload / 1e6:.1f} MB payload "
          f"(builds median of 3, lookups median of {args.repeat}, per key, "
          f"{'CPU' if args.cpu_time else 'wall-clock'} time)")
    rows: list[tuple[str, float, str, float]] = []
    with tempfile.TemporaryDirectory(dir=args.dir) as folder:
        def fresh(name: str) -> str:
            path = os.path.join(folder, name)
            shutil.rmtree(path, ignore_errors=True)
            if os.path.exists(path):
                os.unlink(path)
            return path
        nan = (float("nan"), float("nan"))
        lmdb_s = (median_pair(lambda: timed(lambda: build_lmdb(fresh("l.lmdb"), ds)), 3)
                  if lmdb and not args.no_builds else nan)
        builds = [("VorlWriter.add_many_raw + build", build_writer),
                  ("StoreBuilder.add_many_raw + commit", build_streaming)]
        for name, build in builds if not args.no_builds else []:
            wall, cpu = median_pair(lambda: timed(lambda: build(fresh("b.vrls"), ds)), 3)
            rows.append((f"build: {name}, s", wall, "LMDB build", lmdb_s[0]))
            rows.append((f"build: {name}, CPU s", cpu, "LMDB build, CPU", lmdb_s[1]))
        dct = dict(zip(ds.keys, ds.objects))
        get = dct.get
        dict_fresh = median_of(lambda: lookup_loop(get, probes, clock), args.repeat) / len(probes) * 1e9
        dict_own = median_of(lambda: lookup_loop(get, own_keys, clock), args.repeat) / len(probes) * 1e9
        del dct, get
        for hash_index in (True, False):
            path = fresh(f"s{int(hash_index)}.vrls")
            w = VorlWriter()
            w.add_many_raw(ds.objects, ds.keys)
            w.build(path, hash_index=hash_index)
            del w
            r = VorlReader(path)
            many = r.get_many_raw
            single = r._engine.get_raw  # the engine's own call: no wrapper in the loop
            got = median_of(lambda: lookup_loop(many, batches, clock), args.repeat) / len(probes) * 1e9
            one = median_of(lambda: lookup_loop(single, probes, clock), args.repeat) / len(probes) * 1e9
            label = "hash index" if hash_index else "in-memory index"
            rows.append((f"get_many_raw x1000 ({label}), ns", got, "dict.get, fresh keys", dict_fresh))
            rows.append((f"get_many_raw x1000 ({label}), ns", got, "dict.get, its own keys", dict_own))
            rows.append((f"get_many_raw x1000 ({label}), ns", got, "get_raw loop, same store", one))
            r.close()
    print("| vorlstore | figure | against | figure | ratio |")
    print("|---|---|---|---|---|")
    def cell(v: float) -> str:
        return f"{v:,.0f}" if v >= 100 else f"{v:.3g}"
    for name, ours, other, theirs in rows:
        print(f"| {name} | {cell(ours)} | {other} | {cell(theirs)} | {ours / theirs:.2f}x |")
    print("(ratio) = our figure divided by the other's: below 1.0 means vorlstore is faster.")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--scale", type=float, default=1.0, help="fraction of the full data set sizes")
    ap.add_argument("--repeat", type=int, default=5, help="runs per figure (median)")
    ap.add_argument("--sets", default="ABCM", help="which data sets to run (M: the bulk calls)")
    ap.add_argument("--keys", type=int, default=1_000_000, help="keys of set M (e.g. 10000000)")
    ap.add_argument("--no-builds", action="store_true", help="set M: lookups only, no build rows")
    ap.add_argument("--cpu-time", action="store_true", help="set M: time lookups in CPU time (a busy machine)")
    ap.add_argument("--dir", default=None, help="folder for the store files (default: a temporary one)")
    ap.add_argument("--measure-open", nargs=2, metavar=("STORE", "PATH"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.measure_open:
        return measure_open(*args.measure_open)
    rng = random.Random(1234)
    makers = {"A": (make_a, 1_000_000), "B": (make_b, 1_000_000), "C": (make_c, 10_000)}
    stores = [Vorl, VorlWrapper, Dict, Sqlite, Gdbm] + ([Lmdb] if lmdb else [])
    for name in args.sets:
        if name == "M":
            run_bulk(args, rng)
            continue
        make, full = makers[name]
        n = max(100, int(full * args.scale))
        ds = make(n, rng)
        probes = rng.sample(ds.keys, min(len(ds.keys), 1_000_000))
        misses = [b"absent:%08d" % i for i in range(len(probes))]
        ordered = sorted(ds.keys)
        prefix_start = ordered[len(ordered) // 2][:-3]
        print(f"\n## Data set {name}: {len(ds.keys):,} keys, {len(ds.objects):,} objects, "
              f"{ds.payload / 1e6:.1f} MB payload (repeat {args.repeat}, median)")
        results = {}
        with tempfile.TemporaryDirectory(dir=args.dir) as folder:
            for cls in stores:
                try:
                    results[cls.name] = run_store(cls, folder, ds, args, probes, misses, prefix_start)
                except Exception as e:  # noqa: BLE001 - a peer's failure is reported, not fatal
                    print(f"  {cls.name}: failed: {e!r}", file=sys.stderr)
        cols = list(next(iter(results.values())).keys())
        ours = results.get("vorlstore", {})
        print("| store | " + " | ".join(cols) + " |")
        print("|---" * (len(cols) + 1) + "|")
        for store, row in results.items():
            cells = []
            for c in cols:
                v = row[c]
                if v is None:
                    cells.append("-")
                    continue
                cell = f"{v:,.1f}" if v >= 10 else f"{v:.3g}"
                base = ours.get(c)
                if store != "vorlstore" and base and v and c != "open mem MB":
                    cell += f" ({base / v:.2f}x)"
                cells.append(cell)
            print(f"| {store} | " + " | ".join(cells) + " |")
        print("(x) = our figure divided by this store's: below 1.0 means vorlstore is faster.")
        mem = ours.get("open mem MB")
        if mem is not None:
            print(f"vorlstore reader memory beyond the mapping: {mem * 1e6 / len(ds.keys):.1f} bytes per key")
    return 0


if __name__ == "__main__":
    sys.exit(main())
