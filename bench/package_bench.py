"""The package's reader next to the low-level one: call overhead, first item, memory.

    python bench/package_bench.py [--keys 1000000] [--repeat 5]

Prints, side by side, lookups through the package's engine (`vorlstore._engine`,
bound with nanobind) and through `_vorlstore` (the hand-written call frame), the
decoded lookup, and what taking the first item of a listing costs in time and
memory: `_vorlstore` builds whole lists, the package walks the file lazily.
"""

from __future__ import annotations

import argparse
import os
import random
import resource
import statistics
import tempfile
import time
import tracemalloc
from collections.abc import Callable

import msgpack

import vorlstore
from vorlstore import _engine
from vorlstore._vorlstore import _VorlReader


def per_call_ns(fn: Callable[[bytes], object], keys: list[bytes], repeat: int) -> float:
    def once() -> float:
        start = time.perf_counter_ns()
        for key in keys:
            fn(key)
        return (time.perf_counter_ns() - start) / len(keys)

    return statistics.median(once() for _ in range(repeat))


def first_item(make: Callable[[], object]) -> tuple[float, float]:
    """Microseconds and traced MiB to get the first item of make()'s result."""
    tracemalloc.start()
    start = time.perf_counter()
    result = make()
    first = next(iter(result))  # type: ignore[call-overload]
    elapsed = time.perf_counter() - start
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    del first, result
    return elapsed * 1e6, peak / 2**20


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--keys", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="vorl-pkg-bench-")
    path = os.path.join(folder, "a.vrls")
    rng = random.Random(7)
    order = list(range(args.keys))
    rng.shuffle(order)
    writer = vorlstore.VorlWriter()
    batch = 50_000
    for lo in range(0, args.keys, batch):
        ids = order[lo:lo + batch]
        writer.add_many_raw([msgpack.packb({"id": i, "pad": "x" * (60 + i % 40)}) for i in ids],
                            [b"user:%08d" % i for i in ids])
    summary = writer.build(path)
    print(f"store: {summary['keys']:,} keys, {summary['bytes'] / 2**20:.1f} MiB, built in {summary['seconds']:.2f} s")

    low = _VorlReader(path)
    engine = _engine.Reader(os.fsencode(path), True)
    reader = vorlstore.VorlReader(path)
    hits = [b"user:%08d" % rng.randrange(args.keys) for _ in range(100_000)]
    misses = [b"nobody:%08d" % i for i in range(100_000)]
    model = {k: None for k in hits}

    rows = [
        ("get_raw hit", per_call_ns(low.get_raw, hits, args.repeat), per_call_ns(engine.get_raw, hits, args.repeat)),
        ("get_raw miss", per_call_ns(low.get_raw, misses, args.repeat),
         per_call_ns(engine.get_raw, misses, args.repeat)),
        ("exists / contains hit", per_call_ns(low.exists, hits, args.repeat),
         per_call_ns(engine.contains, hits, args.repeat)),
    ]
    print(f"\n{'per call, ns (median of ' + str(args.repeat) + ')':<34}{'_vorlstore':>12}{'_engine':>12}{'ratio':>8}")
    for name, old, new in rows:
        print(f"{name:<34}{old:>12.1f}{new:>12.1f}{new / old:>8.2f}")
    print(f"{'dict.get hit':<34}{per_call_ns(model.get, hits, args.repeat):>12.1f}")
    print(f"{'VorlReader[key] (decoded) hit':<34}{'':>12}{per_call_ns(reader.__getitem__, hits, args.repeat):>12.1f}")

    print(f"\n{'first item of':<26}{'_vorlstore (list)':>24}{'vorlstore (lazy)':>24}")
    for name, old, new in [
        ("keys", low.keys, lambda: iter(reader)),
        ("items", low.items_raw, reader.items),
        ("prefix 'user:'", lambda: low.prefix_raw("user:"), lambda: reader.prefix("user:")),
    ]:
        (t_old, m_old), (t_new, m_new) = first_item(old), first_item(new)
        print(f"{name:<26}{t_old:>12,.0f} us{m_old:>8.1f} MiB{t_new:>12,.1f} us{m_new:>8.3f} MiB")

    start = time.perf_counter()
    count = sum(1 for _ in reader.items())
    per_item = (time.perf_counter() - start) / count * 1e9
    print(f"\nlist of all items, decoded: {per_item:,.0f} ns per item; peak RSS {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:,.0f} MiB")


if __name__ == "__main__":
    main()
