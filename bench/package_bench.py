"""The package's reader next to the low-level one: call overhead, first item, memory, decoding.

    python bench/package_bench.py [--keys 1000000] [--repeat 5]

Prints, side by side, lookups through the package's engine (`vorlstore._engine`,
bound with nanobind) and through `_vorlstore` (the hand-written call frame), what
taking the first item of a listing costs in time and memory (`_vorlstore` builds
whole lists, the package walks the file lazily), and the decoded reads: the
engine's own MessagePack decoding against msgpack's (a reader given msgpack's
default ext_hook decodes through msgpack, as every reader did before), next to a
dict holding the decoded objects.  Data set A of python_bench.py.
"""

from __future__ import annotations

import argparse
import gc
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

from python_bench import DataSet, make_a


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
    data = make_a(args.keys, rng)
    writer = vorlstore.VorlWriter()
    writer.add_many_raw(data.objects, data.keys)
    summary = writer.build(path)
    print(f"store: {summary['keys']:,} keys, {summary['bytes'] / 2**20:.1f} MiB, built in {summary['seconds']:.2f} s")

    low = _VorlReader(path)
    engine = _engine.Reader(os.fsencode(path), True)
    reader = vorlstore.VorlReader(path)
    # Fresh key objects, as a program reading its keys from elsewhere has.
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

    decoded_reads(path, data, hits, args.repeat)
    print(f"\npeak RSS {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:,.0f} MiB")


def cpu_ns_per_item(make: Callable[[], list[object]], repeat: int, collector: bool = True) -> float:
    """Median CPU ns per item of make()'s list, with the cyclic collector on or off while it runs.

    CPU time of this process rather than wall-clock time: on a machine shared
    with other work the wall clock mostly measures the wait for a core."""

    def once() -> float:
        gc.collect()
        was = gc.isenabled()
        (gc.enable if collector else gc.disable)()
        try:
            start = time.process_time_ns()
            items = make()
            elapsed = time.process_time_ns() - start
        finally:
            (gc.enable if was else gc.disable)()
        return elapsed / max(1, len(items))

    return statistics.median(once() for _ in range(repeat))


def decoded_reads(path: str, data: DataSet, hits: list[bytes], repeat: int) -> None:
    native = vorlstore.VorlReader(path)
    # Given msgpack's own default ext_hook, a reader hands every object to msgpack.
    through_msgpack = vorlstore.VorlReader(path, ext_hook=msgpack.ExtType)
    batches = [hits[i:i + 1000] for i in range(0, len(hits), 1000)]
    starts = [k[:-3] for k in hits[:200]]

    def get_many(r: vorlstore.VorlReader) -> list[object]:
        return [x for batch in batches for x in r.get_many(batch)]

    def prefixes(r: vorlstore.VorlReader) -> list[object]:
        return [x for start in starts for x in r.prefix(start)]

    def row(name: str, read: Callable[[vorlstore.VorlReader], list[object]], collector: bool = True,
            dict_ns: float | None = None) -> None:
        old, new = (cpu_ns_per_item(lambda: read(r), repeat, collector) for r in (through_msgpack, native))
        tail = f"{dict_ns:>10.1f}{new / dict_ns:>9.2f}" if dict_ns else ""
        print(f"{name:<44}{old:>10.1f}{new:>10.1f}{new / old:>8.2f}{tail}")

    print(f"\n{'decoded, CPU ns per object (median of ' + str(repeat) + ')':<44}{'msgpack':>10}{'engine':>10}"
          f"{'ratio':>8}{'dict':>10}{'vs dict':>9}")
    # The listings first, while the process holds nothing else: a heap of
    # other objects makes every full collection dearer, whoever triggers it.
    row("list(r.items()), collector on", lambda r: list(r.items()))
    row("list(r.items()), collector off", lambda r: list(r.items()), collector=False)
    row("list(r.values()), collector on", lambda r: list(r.values()))
    row("prefix of 1,000 keys", prefixes)
    model = {k: msgpack.unpackb(o, raw=False, strict_map_key=False) for k, o in data.pairs()}
    dict_ns = cpu_ns_per_item(lambda: [model.get(k) for k in hits], repeat)
    row("r[key] hit", lambda r: [r[k] for k in hits], dict_ns=dict_ns)
    row("get_many, batches of 1,000", get_many, dict_ns=dict_ns)
    print("msgpack: a reader that decodes through msgpack, as every reader did before the engine decoded.\n"
          "dict: a dict holding every decoded object, looked up with the same fresh key objects.")


if __name__ == "__main__":
    main()
