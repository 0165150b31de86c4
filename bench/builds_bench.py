"""Two builds of the package side by side: CPU time of its hot calls, per call.

    python bench/builds_bench.py BEFORE_BUILD AFTER_BUILD [--keys 200000] [--rounds 9]

Each argument is a build folder (its ``python`` folder holds the package).
Every round runs one child process per build, alternating which goes first,
so that both see the same machine; each child times every call with the
process's CPU clock (a build's helper threads count too), which a busy
machine disturbs far less than the wall clock.  Printed: the median over rounds of each figure, for both builds, and
how much the second differs.  The calls: packing one object (the packer of
``VorlWriter.add``), ``add`` of one object, ``add_many_raw`` then ``build``
(per key), and ``get``, ``get_raw``, ``get_many`` (per key, batches of 100)
on one store of data set A that the second build writes.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable

HERE = os.path.dirname(os.path.abspath(__file__))


def cpu_ns(run: Callable[[], object], calls: int, repeat: int = 3) -> float:
    """The least process CPU ns per call of `repeat` runs of run(), which makes `calls` calls."""
    best = float("inf")
    for _ in range(repeat):
        start = time.process_time_ns()
        run()
        best = min(best, (time.process_time_ns() - start) / calls)
    return best


def child(store: str, n: int, lookups: int) -> dict[str, float]:
    import msgpack

    import vorlstore
    from vorlstore._codec import Packer
    from python_bench import make_a

    rng = random.Random(7)
    data = make_a(n, rng)
    if not os.path.exists(store):
        writer = vorlstore.VorlWriter()
        writer.add_many_raw(data.objects, data.keys)
        writer.build(store)
    objects = [msgpack.unpackb(o) for o in data.objects[:lookups]]
    keys = [b"user:%08d" % rng.randrange(n) for _ in range(lookups)]
    figures: dict[str, float] = {}

    pack = Packer().pack
    figures["pack one object"] = cpu_ns(lambda: [pack(o) for o in objects], len(objects))

    def add_each() -> None:
        writer = vorlstore.VorlWriter()
        for key, obj in zip(keys, objects):
            writer.add(obj, key)

    figures["add one object"] = cpu_ns(add_each, len(objects))

    def build() -> None:
        writer = vorlstore.VorlWriter()
        writer.add_many_raw(data.objects, data.keys)
        writer.build(os.path.join(os.path.dirname(store), "built.vrls"))

    figures["add_many_raw + build, per key"] = cpu_ns(build, n, repeat=2)

    reader = vorlstore.VorlReader(store)
    figures["get"] = cpu_ns(lambda: [reader.get(k) for k in keys], len(keys))
    figures["get_raw"] = cpu_ns(lambda: [reader.get_raw(k) for k in keys], len(keys))
    batches = [keys[i : i + 100] for i in range(0, len(keys), 100)]
    figures["get_many (100 keys)"] = cpu_ns(lambda: [reader.get_many(b) for b in batches], len(keys))
    reader.close()
    return figures


def run_child(build: str, store: str, n: int, lookups: int) -> dict[str, float]:
    root = os.path.abspath(build)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([f"{root}/python", f"{root}/python/vorlstore", HERE]))
    out = subprocess.run([sys.executable, __file__, "--child", store, "--keys", str(n), "--lookups", str(lookups)],
                         env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out)  # type: ignore[no-any-return]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("builds", nargs="*", help="the build folders: before, after")
    parser.add_argument("--keys", type=int, default=200_000)
    parser.add_argument("--lookups", type=int, default=20_000)
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(args.child, args.keys, args.lookups)))
        return
    if len(args.builds) != 2:
        parser.error("give two build folders: before and after")
    before, after = args.builds
    with tempfile.TemporaryDirectory(prefix="vorl-builds-bench-") as folder:
        store = os.path.join(folder, "a.vrls")
        run_child(after, store, args.keys, args.lookups)  # writes the store, warms the caches
        runs: dict[str, list[dict[str, float]]] = {before: [], after: []}
        for i in range(args.rounds):
            for build in (before, after) if i % 2 == 0 else (after, before):
                runs[build].append(run_child(build, store, args.keys, args.lookups))
    print(f"data set A, {args.keys:,} keys, {args.lookups:,} calls per figure; "
          f"CPU ns per call, median of {args.rounds} rounds")
    print(f"{'':<32}{'before':>10}{'after':>10}{'change':>9}")
    for name in runs[after][0]:
        old = statistics.median(r[name] for r in runs[before])
        new = statistics.median(r[name] for r in runs[after])
        print(f"{name:<32}{old:>10.0f}{new:>10.0f}{(new - old) / old:>+9.1%}")
    print(f"before: {before}\nafter:  {after}")


if __name__ == "__main__":
    main()
