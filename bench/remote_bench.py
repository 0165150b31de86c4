"""Remote reads: requests, rounds and bytes per operation, side by side with downloading the store.

Serves one store through nginx (HTTP) and moto's S3 server, each behind a
proxy that adds a fixed latency to every request, and prints for each:
open, a cold lookup, the same lookup warm, a second key, 100 cold lookups,
get_many of 1,000 keys, a prefix scan of 1,000 keys, and the whole-store
download that the alternative costs.

    PYTHONPATH=build/python:tests/support python bench/remote_bench.py --mb 1024 --latency-ms 20
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import sys
import tempfile
import time

import vorlstore

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
import servers  # noqa: E402
from proxy import Proxy  # noqa: E402

KEY = "k{:08d}"


def build_store(path: str, megabytes: int, value_bytes: int) -> int:
    n = max(10_000, megabytes * (1 << 20) // (value_bytes + 30))
    pad = "v" * (value_bytes - 20)
    with vorlstore.StoreBuilder(path) as b:
        b.update((KEY.format(i), [i, pad]) for i in range(n))
    return n


def measure(open_reader, n: int, rng: random.Random):
    rows = []

    def step(name, reader, call):
        s = reader._engine.source
        before = (s.rounds, s.requests, s.bytes)
        t = time.perf_counter()
        call()
        ms = (time.perf_counter() - t) * 1000
        rows.append((name, s.rounds - before[0], s.requests - before[1], s.bytes - before[2], ms))

    t = time.perf_counter()
    r = open_reader()
    s = r._engine.source
    rows.append(("open", s.rounds, s.requests, s.bytes, (time.perf_counter() - t) * 1000))
    key = KEY.format(rng.randrange(n))
    step("cold lookup", r, lambda: r[key])
    step("warm lookup (same key)", r, lambda: r[key])
    other = KEY.format(rng.randrange(n))
    step("lookup of a second key", r, lambda: r[other])
    fresh = open_reader()
    keys = [KEY.format(rng.randrange(n)) for _ in range(100)]
    step("100 cold lookups (one by one)", fresh, lambda: [fresh[k] for k in keys])
    fresh = open_reader()
    many = [KEY.format(rng.randrange(n)) for _ in range(1000)]
    step("get_many(1,000)", fresh, lambda: fresh.get_many(many))
    fresh = open_reader()
    first = rng.randrange(n // 1000) * 1000 if n >= 2000 else 0
    prefix = KEY.format(first)[:-3]
    step(f"prefix scan ({prefix}*: 1,000 keys)", fresh, lambda: sum(1 for _ in fresh.prefix(prefix)))
    whole = open_reader()
    step("download the whole store", whole, lambda: sum(len(c) for c in whole._engine.source.chunks()))
    return rows


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mb", type=int, default=256, help="store size in MiB (default 256)")
    ap.add_argument("--value-bytes", type=int, default=200)
    ap.add_argument("--latency-ms", type=float, default=20.0)
    ap.add_argument("--servers", default="http,s3")
    args = ap.parse_args()
    rng = random.Random(7)
    work = tempfile.mkdtemp(prefix="vorl-remote-bench-")
    stoppers = []
    try:
        path = os.path.join(work, "store.vrls")
        t = time.perf_counter()
        n = build_store(path, args.mb, args.value_bytes)
        size = os.path.getsize(path)
        print(f"store: {n:,} keys, {size:,} bytes, built in {time.perf_counter() - t:.1f} s; "
              f"{args.latency_ms:g} ms added to every request\n")
        results = {}
        if "http" in args.servers:
            nginx = servers.Nginx(work)
            stoppers.append(nginx.stop)
            proxy = Proxy(nginx.port, args.latency_ms / 1000)
            stoppers.append(proxy.stop)
            url = f"{proxy.url}/store.vrls"
            results["HTTP (nginx)"] = measure(lambda: vorlstore.VorlReader(url), n, random.Random(1))
        if "s3" in args.servers:
            moto = servers.Moto()
            stoppers.append(moto.stop)
            moto.client().create_bucket(Bucket="bench")
            moto.client().upload_file(path, "bench", "store.vrls")
            proxy = Proxy(moto.port, args.latency_ms / 1000)
            stoppers.append(proxy.stop)
            options = dict(moto.options, endpoint_url=proxy.url)
            results["S3 (moto)"] = measure(
                lambda: vorlstore.VorlReader("s3://bench/store.vrls", storage_options=options), n, random.Random(1))
        for server, rows in results.items():
            print(f"== {server}")
            print(f"{'operation':<36} {'rounds':>6} {'requests':>8} {'bytes':>14} {'ms':>9} {'vs download':>12}")
            download = rows[-1][3]
            for name, rounds, requests, nbytes, ms in rows:
                ratio = f"{download / nbytes:,.0f}x less" if nbytes and name != "download the whole store" else ""
                print(f"{name:<36} {rounds:>6} {requests:>8} {nbytes:>14,} {ms:>9.1f} {ratio:>12}")
            print()
    finally:
        for stop in reversed(stoppers):
            stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
