"""Store sets on a Dask LocalCluster against one process, and lookup() against a pandas merge.

    python bench/dask_bench.py                      # 2M rows, 8 shards, 2 workers
    python bench/dask_bench.py --rows 20000000 --lookups 1000000

Writes a Parquet data set of --rows rows (key "user:%010d", an integer, a
float, a 16-40 character string and a small list: about 90 bytes of
MessagePack per row) in --files files, then measures:

- build: the data set into one store in one process (the streaming builder),
  into a set of --shards shards in one process, and into the same set with `to_store_set` on a
  LocalCluster of --workers single-threaded worker processes (hash and range);
- the set: size per shard, open time with and without checksums;
- lookups of --lookups keys (90% present) with `lookup()` on the cluster,
  with `StoreSet.get_many` in this process, and with a pandas merge against
  the whole table read into memory (reading it counted apart).

Every step runs once (these are minutes-long jobs, not micro-benchmarks).
CPU time is the processes' user + system time (for Dask: the workers' and
this driver's, which hosts the scheduler); on a shared machine it moves much
less with the load than wall time.  Peak memory is each process's maximum
resident set size.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import warnings
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

warnings.filterwarnings("ignore", category=FutureWarning)

import vorlstore  # noqa: E402

KEY = "user:%010d"


def peak_rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def cpu_seconds() -> float:
    # Wall time on a shared machine moves with its load; CPU time much less.
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def make_parquet(directory: str, rows: int, files: int) -> None:
    os.makedirs(directory, exist_ok=True)
    rng = np.random.default_rng(7)
    per_file = -(-rows // files)
    words = np.array(["alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel"])
    for f in range(files):
        lo, hi = f * per_file, min(rows, (f + 1) * per_file)
        if lo >= hi:
            break
        ids = rng.permutation(np.arange(lo, hi))
        n = hi - lo
        name = words[rng.integers(0, 8, n)] + "-" + words[rng.integers(0, 8, n)] + "-" + ids.astype(str)
        table = pa.table({
            "key": np.char.add("user:", np.char.zfill(ids.astype(str), 10)),
            "n": ids.astype(np.int64),
            "score": rng.random(n),
            "name": name,
            "tags": pa.array([[int(a), int(b)] for a, b in rng.integers(0, 1000, (n, 2))]),
        })
        pq.write_table(table, os.path.join(directory, f"part-{f:04d}.parquet"), row_group_size=200_000)


def batches(parquet_dir: str) -> Any:
    for name in sorted(os.listdir(parquet_dir)):
        yield from pq.ParquetFile(os.path.join(parquet_dir, name)).iter_batches(batch_size=65_536)


def single_process(parquet_dir: str, out: str, shards: int) -> dict[str, Any]:
    """One process reads the data set and writes one store (shards=0) or a set."""
    t0 = time.perf_counter()
    if shards == 0:
        with vorlstore.StoreBuilder(out) as builder:
            for batch in batches(parquet_dir):
                for row in batch.to_pylist():
                    builder.add(row, row["key"])
        size = os.path.getsize(out)
    else:
        rows = (row for batch in batches(parquet_dir) for row in batch.to_pylist())
        size = vorlstore.write_store_set(out, ((row["key"], row) for row in rows), shards=shards)["bytes"]
    return {"seconds": time.perf_counter() - t0, "cpu": cpu_seconds(), "peak_mb": peak_rss_mb(), "bytes": size}


def in_child(*args: str) -> dict[str, Any]:
    # A fresh process, so that its peak memory is its own.
    done = subprocess.run([sys.executable, __file__, "--child", *args], capture_output=True, text=True, check=False)
    if done.returncode:
        sys.exit(f"child failed:\n{done.stderr}")
    result: dict[str, Any] = json.loads(done.stdout.strip().splitlines()[-1])
    return result


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=2_000_000)
    ap.add_argument("--lookups", type=int, default=200_000)
    ap.add_argument("--shards", type=int, default=8)
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--files", type=int, default=16, help="Parquet files (Dask partitions)")
    ap.add_argument("--shuffle", default="tasks", choices=["tasks", "p2p"], help="Dask shuffle method")
    ap.add_argument("--skip-single", action="store_true", help="skip the one-process builds")
    ap.add_argument("--dir", default=None, help="work folder (default: a temporary one, removed)")
    ap.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        parquet_dir, out, shards = args.child
        print(json.dumps(single_process(parquet_dir, out, int(shards))))
        return

    work = args.dir or tempfile.mkdtemp(prefix="vorl-dask-bench-")
    os.makedirs(work, exist_ok=True)
    try:
        run(args, work)
    finally:
        if args.dir is None:
            shutil.rmtree(work, ignore_errors=True)


def single_process_builds(args: argparse.Namespace, work: str, parquet_dir: str, report: Any) -> None:
    one = in_child(parquet_dir, os.path.join(work, "one.vrls"), "0")
    report("one process, one store", one["seconds"], one["cpu"], one["peak_mb"], one["bytes"])
    os.unlink(os.path.join(work, "one.vrls"))
    solo = in_child(parquet_dir, os.path.join(work, "solo-set"), str(args.shards))
    report(f"one process, set of {args.shards}", solo["seconds"], solo["cpu"], solo["peak_mb"], solo["bytes"])
    shutil.rmtree(os.path.join(work, "solo-set"))


def run(args: argparse.Namespace, work: str) -> None:
    import dask.dataframe as dd
    import pandas as pd
    from distributed import Client, LocalCluster

    from vorlstore.dask import lookup, to_store_set

    parquet_dir = os.path.join(work, "parquet")
    t0 = time.perf_counter()
    if not os.path.isdir(parquet_dir):
        make_parquet(parquet_dir, args.rows, args.files)
    parquet_mb = sum(os.path.getsize(os.path.join(parquet_dir, f)) for f in os.listdir(parquet_dir)) / 2**20
    print(f"data: {args.rows:,} rows, {parquet_mb:,.0f} MB of Parquet in {args.files} files "
          f"({time.perf_counter() - t0:.1f} s to write); shards written by StoreBuilder")

    def report(what: str, seconds: float, cpu: float, peak_mb: float, out_bytes: float) -> None:
        print(f"  {what:<44} {seconds:7.1f} s {args.rows / seconds / 1e3:6.0f} k rows/s  cpu {cpu:6.1f} s  "
              f"peak {peak_mb:6.0f} MB/process  out {out_bytes / 2**20:6.0f} MB", flush=True)

    print("build")
    if not args.skip_single:
        single_process_builds(args, work, parquet_dir, report)
    set_dir = os.path.join(work, "set")

    def cluster() -> Any:
        # A fresh cluster per job, so that worker peak memory is the job's own.
        return LocalCluster(n_workers=args.workers, processes=True, threads_per_worker=1,
                            dashboard_address=None, memory_limit=0)

    for partition in ("range", "hash"):  # hash last: the lookups below use it
        with cluster() as c, Client(c) as client:
            df = dd.read_parquet(parquet_dir)
            cpu0 = sum(client.run(cpu_seconds).values()) + cpu_seconds()
            t0 = time.perf_counter()
            summary = to_store_set(df, set_dir, key="key", shards=args.shards, partition=partition,
                                   shuffle_method=args.shuffle)
            seconds = time.perf_counter() - t0
            cpu = sum(client.run(cpu_seconds).values()) + cpu_seconds() - cpu0
            peak = max(client.run(peak_rss_mb).values())
        report(f"dask, {args.workers} workers, set of {args.shards} ({partition}, {args.shuffle})", seconds, cpu,
               peak, summary["bytes"])

    with cluster() as c, Client(c) as client:
        shard_mb = [s["bytes"] / 2**20 for s in summary["shards"]]
        print(f"set: {summary['keys']:,} keys, shards {min(shard_mb):.0f}-{max(shard_mb):.0f} MB, "
              f"{summary['bytes'] / summary['keys']:.0f} B/key")
        for verify in (False, True):
            t0 = time.perf_counter()
            s = vorlstore.StoreSet(set_dir, verify=verify)
            print(f"  open {'with' if verify else 'without'} checksums: {(time.perf_counter() - t0) * 1e3:8.1f} ms")
        rss_before = peak_rss_mb()

        rng = np.random.default_rng(3)
        ids = rng.integers(0, int(args.rows / 0.9), args.lookups)
        probes = pd.DataFrame({"id": [KEY % i for i in ids], "row": np.arange(args.lookups)})
        columns = {"n": "float64", "score": "float64", "name": object}
        print(f"lookups of {args.lookups:,} keys ({(ids < args.rows).mean():.0%} present)")
        pdf = dd.from_pandas(probes, npartitions=args.workers * 4)
        client.run(peak_rss_mb)
        t0 = time.perf_counter()
        joined = lookup(pdf, s, on="id", columns=columns).compute()
        t_lookup = time.perf_counter() - t0
        peak = max(client.run(peak_rss_mb).values())
        print(f"  dask lookup(), {args.workers} workers       {t_lookup:8.2f} s  {args.lookups / t_lookup / 1e3:8.0f} k keys/s"
              f"  worker peak {peak:6.0f} MB")

    t0 = time.perf_counter()
    found = s.get_many(probes.id.tolist())
    t_many = time.perf_counter() - t0
    print(f"  StoreSet.get_many, this process    {t_many:8.2f} s  {args.lookups / t_many / 1e3:8.0f} k keys/s")

    t0 = time.perf_counter()
    table = pd.read_parquet(parquet_dir, columns=["key", *columns])
    t_read = time.perf_counter() - t0
    t0 = time.perf_counter()
    merged = probes.merge(table, how="left", left_on="id", right_on="key")
    t_merge = time.perf_counter() - t0
    print(f"  pandas merge (table in memory)     {t_merge:8.2f} s  {args.lookups / t_merge / 1e3:8.0f} k keys/s"
          f"  + {t_read:.1f} s to read the table; peak {peak_rss_mb() - rss_before:+.0f} MB here")
    assert joined.sort_values("row").name.fillna("").tolist() == merged.sort_values("row").name.fillna("").tolist()
    assert sum(f is not None for f in found) == merged.key.notna().sum()


if __name__ == "__main__":
    main()
