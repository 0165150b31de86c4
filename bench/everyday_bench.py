"""What everyday use costs: the default open, the per-read record check, an update by merge.

    python bench/everyday_bench.py [--keys 1000000 10000000] [--lookups 200000] [--repeat 5] [--dir DIR]

Prints, side by side in one run:
  * opening a store with the package's defaults (structure only, O(1) through the
    on-disk hash index) against opening with verify=True (the whole-file CRC), at
    each size of --keys (stores shaped like data set A, streamed through StoreBuilder);
  * get_raw on existing keys with the per-read CRC check (the default) and without
    it (check_reads=False), runs alternated so that both see the same machine;
  * updating a store of the first size shaped like data set B (ten keys per shared
    object): merge(target, base, changes, delete=gone) against rebuilding the new
    content from its objects through StoreBuilder, time and file size.
--dir keeps the stores between runs (they are rebuilt only when missing).
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import tempfile
import time

import msgpack

import vorlstore
from vorlstore import StoreBuilder, VorlReader

_BATCH = 100_000


def build_a(path: str, n: int) -> None:
    """n keys "user:%08d" in random order, each with its own 80-120 byte object."""
    rng = random.Random(n)
    order = list(range(n))
    rng.shuffle(order)
    with StoreBuilder(path) as b:
        for start in range(0, n, _BATCH):
            ids = order[start : start + _BATCH]
            objects = [msgpack.packb({"id": i, "name": "x" * rng.randint(40, 80), "tags": ["a", "b"]}) for i in ids]
            b.add_many_raw(objects, [b"user:%08d" % i for i in ids])


def open_ms(path: str, repeat: int, **options: bool) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        r = VorlReader(path, **options)
        times.append(time.perf_counter() - start)
        r.close()
    return statistics.median(times) * 1e3


def get_raw_ns(paths: dict[str, str], keys: list[bytes], repeat: int) -> dict[str, float]:
    readers = {name: VorlReader(path, check_reads=(name == "checked")) for name, path in paths.items()}
    runs: dict[str, list[float]] = {name: [] for name in readers}
    for _ in range(repeat):
        for name, reader in readers.items():
            get = reader.get_raw
            start = time.perf_counter_ns()
            for key in keys:
                get(key)
            runs[name].append((time.perf_counter_ns() - start) / len(keys))
    for reader in readers.values():
        reader.close()
    return {name: statistics.median(values) for name, values in runs.items()}


def merge_against_rebuild(folder: str, n: int, repeat: int) -> None:
    rng = random.Random(11)
    n_obj = max(1, n // 10)
    objects = [msgpack.packb({"group": i, "pad": "y" * rng.randint(40, 80)}) for i in range(n_obj)]
    key_object = [rng.randrange(n_obj) for _ in range(n)]
    keys = [b"item:%08d" % i for i in range(n)]
    base = os.path.join(folder, f"b-{n}.vrls")
    w = vorlstore.VorlWriter()
    for obj in objects:
        w.add_raw(obj)
    for key, obj in zip(keys, key_object):
        w.add_key(key, obj)
    w.build(base)

    # 1% of the keys get new objects of their own, 1% are deleted.
    picked = rng.sample(range(n), max(2, n // 50))
    changed, gone = picked[: len(picked) // 2], picked[len(picked) // 2 :]
    changes = os.path.join(folder, "changes.vrls")
    new_objects = {i: msgpack.packb({"changed": i, "pad": "z" * 60}) for i in changed}
    vorlstore.build(changes, ((keys[i], msgpack.unpackb(o)) for i, o in new_objects.items()))
    gone_keys = [keys[i] for i in gone]
    gone_set = set(gone)

    def merged() -> dict:
        return vorlstore.merge(os.path.join(folder, "merged.vrls"), base, changes, delete=gone_keys)

    def rebuilt() -> dict:
        # The new content from its source: each shared object once, its keys pointing at it.
        with StoreBuilder(os.path.join(folder, "rebuilt.vrls")) as b:
            ids = [b.add_raw(obj) for obj in objects]
            for i, (key, obj) in enumerate(zip(keys, key_object)):
                if i in gone_set:
                    continue
                if i in new_objects:
                    b.add_raw(new_objects[i], key)
                else:
                    b.add_key(key, ids[obj])
        return b.last_build

    results = {}
    for name, run in (("merge", merged), ("rebuild", rebuilt)):
        times = []
        for _ in range(repeat):
            start = time.perf_counter()
            summary = run()
            times.append(time.perf_counter() - start)
        results[name] = (statistics.median(times), summary)
    print(f"\nupdate of a {n:,}-key store with {n_obj:,} shared objects: "
          f"{len(changed):,} keys changed, {len(gone):,} deleted (medians of {repeat})")
    print(f"{'':10} {'seconds':>9} {'objects':>10} {'keys':>10} {'MiB':>9}")
    for name, (seconds, summary) in results.items():
        mib = summary["bytes"] / 2**20
        print(f"{name:10} {seconds:9.2f} {summary['objects']:10,} {summary['keys']:10,} {mib:9.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--keys", type=int, nargs="+", default=[1_000_000, 10_000_000])
    parser.add_argument("--lookups", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--dir", help="keep the stores here between runs")
    args = parser.parse_args()
    folder = args.dir or tempfile.mkdtemp(prefix="vorl-everyday-")
    os.makedirs(folder, exist_ok=True)

    paths = {}
    for n in args.keys:
        paths[n] = os.path.join(folder, f"a-{n}.vrls")
        if not os.path.exists(paths[n]):
            start = time.perf_counter()
            build_a(paths[n], n)
            print(f"built {paths[n]} in {time.perf_counter() - start:.1f} s")

    print(f"\nopen (median of {max(args.repeat, 20)}, page cache warm)")
    print(f"{'keys':>12} {'MiB':>9} {'default ms':>11} {'verify=True ms':>15}")
    for n, path in paths.items():
        default = open_ms(path, max(args.repeat, 20))
        verified = open_ms(path, args.repeat, verify=True)
        print(f"{n:12,} {os.path.getsize(path) / 2**20:9.1f} {default:11.3f} {verified:15.1f}")

    n = args.keys[0]
    rng = random.Random(5)
    keys = [b"user:%08d" % rng.randrange(n) for _ in range(args.lookups)]
    got = get_raw_ns({"checked": paths[n], "unchecked": paths[n]}, keys, args.repeat)
    print(f"\nget_raw on {n:,} keys, {args.lookups:,} random hits (median of {args.repeat}, runs alternated)")
    print(f"{'check_reads=True ns':>20} {'check_reads=False ns':>21} {'cost':>7}")
    print(f"{got['checked']:20.0f} {got['unchecked']:21.0f} {got['checked'] / got['unchecked'] - 1:7.1%}")

    merge_against_rebuild(folder, n, args.repeat)


if __name__ == "__main__":
    main()
