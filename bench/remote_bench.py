"""Remote reads: rounds, requests and bytes per operation over HTTP and S3, side by side with a download.

Serves one store through nginx (HTTP) and moto's S3 server, each behind a
proxy that adds a fixed latency to every request, and prints for each, in
one table: open, a cold lookup, the same lookup warm, a warm lookup of
another key (one whose slots lie in a block the first lookup read), 100
cold lookups, get_many of 1,000 keys, a prefix scan of 1,000 keys, and the
whole-store download that the alternative costs.

    PYTHONPATH=build/python python bench/remote_bench.py --mb 1024 --latency-ms 20 [--compression zstd]
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

import vorlstore
from vorlstore import _engine
from vorlstore.remote.blocks import BLOCK

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
import servers  # noqa: E402
from proxy import Proxy  # noqa: E402

KEY = "k{:08d}"
DOWNLOAD = "download the whole store"
Row = tuple[str, int, int, int, float]


def build_store(path: str, megabytes: int, value_bytes: int, compression: str | None) -> int:
    n = max(10_000, megabytes * (1 << 20) // (value_bytes + 30))
    rng = random.Random(3)
    words = [f"{rng.getrandbits(40):010x}" for _ in range(2000)]
    with vorlstore.StoreBuilder(path, compression=compression) as b:
        for i in range(n):
            # Text of some variety: a compressed store then shrinks as real records do.
            b.add([i, " ".join(words[(i * 7 + j * 13) % 2000] for j in range(value_bytes // 11))], KEY.format(i))
    return n


def slot_blocks(store: Any, key: str) -> set[int]:
    """The cache blocks holding *key*'s run of slots."""
    lay = store._layout
    _, home, _ = _engine.ranged_probe(key, lay["seed"], lay["capacity"])
    first = lay["slots_offset"] + home * lay["slot_size"]
    last = first + min(lay["max_probe"], lay["capacity"] - home) * lay["slot_size"] - 1
    return set(range(first // BLOCK, last // BLOCK + 1))


def neighbour(store: Any, key: str, n: int, rng: random.Random) -> str:
    """Another key whose slots lie in blocks the lookup of *key* cached."""
    cached = slot_blocks(store, key)
    while True:
        other = KEY.format(rng.randrange(n))
        if other != key and slot_blocks(store, other) <= cached:
            return other


def measure(open_reader: Callable[[], vorlstore.VorlReader], n: int, rng: random.Random) -> list[Row]:
    rows: list[Row] = []

    def step(name: str, reader: vorlstore.VorlReader, call: Callable[[], object]) -> None:
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
    other = neighbour(r._engine, key, n, rng)
    step("warm lookup (another key)", r, lambda: r[other])
    fresh = open_reader()
    keys = [KEY.format(rng.randrange(n)) for _ in range(100)]
    step("100 cold lookups, one by one", fresh, lambda: [fresh[k] for k in keys])
    fresh = open_reader()
    many = [KEY.format(rng.randrange(n)) for _ in range(1000)]
    step("get_many(1,000)", fresh, lambda: fresh.get_many(many))
    fresh = open_reader()
    first = rng.randrange(n // 1000) * 1000 if n >= 2000 else 0
    prefix = KEY.format(first)[:-3]
    counted: list[int] = []
    step("prefix scan of 1,000 keys", fresh, lambda: counted.append(sum(1 for _ in fresh.prefix(prefix))))
    assert counted == [1000], counted
    whole = open_reader()
    step(DOWNLOAD, whole, lambda: sum(len(c) for c in whole._engine.source.chunks()))
    return rows


def table(results: dict[str, list[Row]]) -> None:
    servers_ = list(results)
    columns = [f"{s} {c}" for s in servers_ for c in ("rounds", "requests", "bytes", "ms")]
    head = "| operation | " + " | ".join(columns) + " | bytes vs download |"
    print(head)
    print("|---" * (2 + 4 * len(servers_)) + "|")
    first = results[servers_[0]]
    download = first[-1][3]
    for i, (name, *_rest) in enumerate(first):
        cells = []
        for server in servers_:
            _, rounds, requests, nbytes, ms = results[server][i]
            cells.append(f"{rounds} | {requests:,} | {nbytes:,} | {ms:,.0f}")
        nbytes = first[i][3]
        ratio = f"{download / nbytes:,.0f}x less" if nbytes and name != DOWNLOAD else ""
        print(f"| {name} | " + " | ".join(cells) + f" | {ratio} |")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mb", type=int, default=256, help="store size in MiB (default 256)")
    ap.add_argument("--value-bytes", type=int, default=200)
    ap.add_argument("--latency-ms", type=float, default=20.0)
    ap.add_argument("--servers", default="http,s3")
    ap.add_argument("--compression", choices=["zstd"], default=None)
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="vorl-remote-bench-")
    stoppers: list[Callable[[], None]] = []
    try:
        path = os.path.join(work, "store.vrls")
        t = time.perf_counter()
        n = build_store(path, args.mb, args.value_bytes, args.compression)
        size = os.path.getsize(path)
        with vorlstore.VorlReader(path) as local:
            packed = local.stats()["compression"]
        kind = f", zstd ({packed['dictionary_size']:,}-byte dictionary)" if packed else ""
        print(f"store: {n:,} keys, {size:,} bytes{kind}, built in {time.perf_counter() - t:.1f} s; "
              f"{args.latency_ms:g} ms added to every request\n")
        results: dict[str, list[Row]] = {}
        if "http" in args.servers:
            nginx = servers.Nginx(work)
            stoppers.append(nginx.stop)
            proxy = Proxy(nginx.port, args.latency_ms / 1000)
            stoppers.append(proxy.stop)
            url = f"{proxy.url}/store.vrls"
            results["HTTP"] = measure(lambda: vorlstore.VorlReader(url), n, random.Random(1))
        if "s3" in args.servers:
            moto = servers.Moto()
            stoppers.append(moto.stop)
            moto.client().create_bucket(Bucket="bench")
            moto.client().upload_file(path, "bench", "store.vrls")
            proxy = Proxy(moto.port, args.latency_ms / 1000)
            stoppers.append(proxy.stop)
            options = dict(moto.options, endpoint_url=proxy.url)
            results["S3"] = measure(
                lambda: vorlstore.VorlReader("s3://bench/store.vrls", storage_options=options), n, random.Random(1))
        table(results)
    finally:
        for stop in reversed(stoppers):
            stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
