"""Compressed stores next to uncompressed ones, on two data sets from this machine.

    python bench/compress_bench.py [--packages N] [--lines N] [--lookups N] [--repeat 3]

Data sets: the Debian Packages index from the apt lists (one record per
package, its fields as a map, keyed by package name), and source lines of the
installed Python files (key ``path:line``, the record a map of path, line
number and text).  For each, a store built with ``compression=None`` and one
with ``compression="zstd"``, and LMDB holding the same MessagePack bytes
(when the lmdb module is there), side by side: file size and where its bytes
go (records, keys with their index entries, hash index, dictionary), the
record payloads' decoded/stored ratio, build time
(packing included) through VorlWriter and through the streaming
``vorlstore.build`` with its file size, ``get`` and ``get_many`` decoded per key (LMDB: its get
and msgpack's unpackb), ``get_raw`` per key, and a walk of ``items()`` per
item.  Figures are medians of --repeat runs, each of which measures the
uncompressed store and then the compressed one.  Builds are timed by the wall
clock (a compressed build compresses on every processor it may use, and
writes and syncs a file); lookups in CPU seconds of this process, since on a
machine shared with other work wall-clock figures measure the neighbours
(--wall-clock times them by the wall clock too).
"""

from __future__ import annotations

import argparse
import collections
import glob
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable

import msgpack

import vorlstore

try:
    import lmdb
except ImportError:
    lmdb = None


def packages(limit: int) -> dict[str, dict[str, str]]:
    """The apt lists' Packages indexes, one record per package name."""
    records: dict[str, dict[str, str]] = {}
    for path in sorted(glob.glob("/var/lib/apt/lists/*Packages*")):
        # apt keeps its lists compressed; its helper reads every format it writes.
        text = subprocess.run(["/usr/lib/apt/apt-helper", "cat-file", path], check=True,
                              capture_output=True, text=True).stdout
        for stanza in text.split("\n\n"):
            fields: dict[str, str] = {}
            name = None
            for line in stanza.splitlines():
                if line[:1] in (" ", "\t") and name is not None:
                    fields[name] += "\n" + line[1:]
                elif ":" in line:
                    name, _, value = line.partition(":")
                    fields[name] = value.strip()
            if "Package" in fields:
                records[fields["Package"]] = fields
                if len(records) >= limit:
                    return records
    return records


def source_lines(limit: int) -> dict[str, dict[str, object]]:
    """Lines of the installed Python files, keyed path:line."""
    records: dict[str, dict[str, object]] = {}
    roots = sorted({os.path.dirname(os.__file__), *glob.glob("/usr/lib/python3*")})
    for root in roots:
        for folder, _, files in sorted(os.walk(root)):
            for name in sorted(files):
                if not name.endswith(".py"):
                    continue
                path = os.path.join(folder, name)
                try:
                    with open(path, encoding="utf-8") as f:
                        lines = f.read().splitlines()
                except (OSError, UnicodeDecodeError):
                    continue
                for n, text in enumerate(lines, 1):
                    if text.strip():
                        records[f"{path}:{n}"] = {"path": path, "line": n, "text": text}
                        if len(records) >= limit:
                            return records
    return records


CLOCK = time.process_time


def median_time(fn: Callable[[], object], repeat: int, clock: Callable[[], float] | None = None) -> float:
    clock = clock or CLOCK
    times = []
    for _ in range(repeat):
        start = clock()
        fn()
        times.append(clock() - start)
    return statistics.median(times)


KINDS = (None, "zstd")


def measure(items: dict, lookups: list[str], repeat: int, folder: str, decoded: int) -> dict:
    """Both stores' figures, keyed by compression.  Each repeat measures the
    uncompressed store and then the compressed one, so that the two see the
    same machine; a ratio of medians taken minutes apart would also measure
    what the neighbours did meanwhile."""
    paths = {c: os.path.join(folder, f"{c or 'plain'}.vrls") for c in KINDS}
    streamed = {c: os.path.join(folder, f"{c or 'plain'}-streamed.vrls") for c in KINDS}
    times: dict = {c: collections.defaultdict(list) for c in KINDS}

    def timed(fn: Callable[[], object], clock: Callable[[], float]) -> float:
        start = clock()
        fn()
        return clock() - start

    def build(c: str | None) -> None:
        writer = vorlstore.VorlWriter(compression=c)
        writer.update(items)
        writer.build(paths[c])

    # Builds are timed by the wall clock: a compressed build spreads the
    # compression over the processors, and CPU time would add them up.  The
    # streaming build sends records to the file as they come (compressed
    # ones at the commit, with a dictionary trained on a spread sample).
    wall = time.perf_counter
    for _ in range(repeat):
        for c in KINDS:
            times[c]["stream"].append(timed(lambda: vorlstore.build(streamed[c], items, compression=c), wall))
            times[c]["build"].append(timed(lambda: build(c), wall))
    n = len(lookups)
    batches = [lookups[i : i + 100] for i in range(0, n, 100)]
    def get(r: vorlstore.VorlReader) -> None:
        for key in lookups:
            r[key]

    def get_many(r: vorlstore.VorlReader) -> None:
        for batch in batches:
            r.get_many(batch)

    def get_raw(r: vorlstore.VorlReader) -> None:
        for key in lookups:
            r.get_raw(key)

    def walk(r: vorlstore.VorlReader) -> None:
        for _ in r.items():
            pass

    operations: dict[str, tuple[Callable[[vorlstore.VorlReader], None], int]] = {
        "get": (get, n), "get_many": (get_many, n), "get_raw": (get_raw, n), "items": (walk, len(items)),
    }
    readers = {c: vorlstore.VorlReader(paths[c]) for c in KINDS}
    try:
        for _ in range(repeat):
            for name, (operation, _count) in operations.items():
                for c in KINDS:
                    times[c][name].append(timed(lambda: operation(readers[c]), CLOCK))
        out = {}
        for c in KINDS:
            stats = readers[c].stats()
            figures = {name: statistics.median(values) for name, values in times[c].items()}
            for name, (_operation, count) in operations.items():
                figures[name] = figures[name] / count * 1e9
            figures["size"] = os.path.getsize(paths[c])
            figures["stream_size"] = os.path.getsize(streamed[c])
            compression = stats["compression"]
            figures["dictionary"] = compression["dictionary_size"] if compression else 0
            # Where the file's bytes go: the records (each with its 8-byte
            # header), the index entries (each key with 10 bytes), the hash
            # index, and the dictionary with its 32-byte trailer.
            figures["records"] = stats["index_offset"] - stats["data_offset"]
            figures["entries"] = sum(len(key.encode()) + 10 for key in items)
            dictionary = figures["dictionary"] + 32 if compression else 0
            figures["hash_index"] = stats["file_size"] - stats["index_offset"] - figures["entries"] - dictionary
            # Exact, where stats() estimates from a sample on a store this big.
            figures["ratio"] = decoded / (figures["records"] - 8 * stats["num_objects"])
            out[c] = figures
    finally:
        for r in readers.values():
            r.close()
    return out


def measure_lmdb(items: dict, lookups: list[str], repeat: int, folder: str) -> dict:
    path = os.path.join(folder, "l.lmdb")

    def build() -> None:
        shutil.rmtree(path, ignore_errors=True)
        env = lmdb.open(path, map_size=1 << 36, subdir=True, sync=True, metasync=True)
        with env.begin(write=True) as txn:
            for key, value in items.items():
                txn.put(key.encode(), msgpack.packb(value))
        env.sync(True)
        env.close()

    out = {"build": median_time(build, repeat, time.perf_counter), "ratio": 1.0}
    env = lmdb.open(path, readonly=True, lock=False, subdir=True)
    out["size"] = (env.info()["last_pgno"] + 1) * env.stat()["psize"]
    keys = [k.encode() for k in lookups]
    batches = [keys[i : i + 100] for i in range(0, len(keys), 100)]
    unpack = msgpack.unpackb
    with env.begin(buffers=False) as txn:
        get = txn.get
        out["get"] = median_time(lambda: [unpack(get(k)) for k in keys], repeat) / len(keys) * 1e9
        out["get_many"] = median_time(lambda: [[unpack(get(k)) for k in b] for b in batches], repeat) / len(keys) * 1e9
        out["get_raw"] = median_time(lambda: [get(k) for k in keys], repeat) / len(keys) * 1e9
        out["items"] = median_time(lambda: [(k.decode(), unpack(v)) for k, v in txn.cursor()], repeat) / len(items) * 1e9
    env.close()
    return out


ROWS = [
    ("file size (MB)", "size", lambda v: f"{v / 1e6:.2f}"),
    ("  records with their headers (MB)", "records", lambda v: f"{v / 1e6:.2f}"),
    ("  keys with their index (MB)", "entries", lambda v: f"{v / 1e6:.2f}"),
    ("  hash index (MB)", "hash_index", lambda v: f"{v / 1e6:.2f}"),
    ("  dictionary (KiB)", "dictionary", lambda v: f"{v / 1024:.0f}"),
    ("record payloads, decoded/stored", "ratio", lambda v: f"{v:.2f}x"),
    ("build, VorlWriter (wall s)", "build", lambda v: f"{v:.3f}"),
    ("build, vorlstore.build (wall s)", "stream", lambda v: f"{v:.3f}"),
    ("  its file size (MB)", "stream_size", lambda v: f"{v / 1e6:.2f}"),
    ("get, decoded (ns/key)", "get", lambda v: f"{v:.0f}"),
    ("get_many, decoded (ns/key)", "get_many", lambda v: f"{v:.0f}"),
    ("get_raw (ns/key)", "get_raw", lambda v: f"{v:.0f}"),
    ("items() (ns/item)", "items", lambda v: f"{v:.0f}"),
]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packages", type=int, default=100_000, help="at most this many packages")
    parser.add_argument("--lines", type=int, default=300_000, help="at most this many source lines")
    parser.add_argument("--lookups", type=int, default=50_000, help="keys looked up per measurement")
    parser.add_argument("--repeat", type=int, default=3, help="runs per figure (the median is shown)")
    parser.add_argument("--wall-clock", action="store_true", help="time in wall-clock rather than CPU seconds")
    args = parser.parse_args()
    if args.wall_clock:
        global CLOCK
        CLOCK = time.perf_counter
    sets = [("Packages index", packages(args.packages)), ("Python source lines", source_lines(args.lines))]
    rng = random.Random(7)
    with tempfile.TemporaryDirectory() as folder:
        for name, items in sets:
            if not items:
                print(f"{name}: nothing found on this machine", file=sys.stderr)
                continue
            keys = list(items)
            lookups = [rng.choice(keys) for _ in range(args.lookups)]
            decoded = sum(len(vorlstore.VorlWriter()._packer.pack(v)) for v in items.values())
            mean = decoded / len(items)
            both = measure(items, lookups, args.repeat, folder, decoded)
            plain, zstd = both[None], both["zstd"]
            other = measure_lmdb(items, lookups, args.repeat, folder) if lmdb else None
            print(f"\n{name}: {len(items):,} records, mean record {mean:.0f} B")
            print(f"  {'':34} {'uncompressed':>13} {'zstd':>13} {'zstd/plain':>11} {'LMDB' if other else '':>13}")
            for label, field, fmt in ROWS:
                ratio = f"{zstd[field] / plain[field]:.2f}x" if plain[field] else "-"
                last = fmt(other[field]) if other and field in other else ""
                print(f"  {label:34} {fmt(plain[field]):>13} {fmt(zstd[field]):>13} {ratio:>11} {last:>13}")


if __name__ == "__main__":
    main()
