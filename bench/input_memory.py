"""Peak memory of building a store: build() against StoreBuilder, and the command line per input format.

    python bench/input_memory.py [--records 200000] [--dir DIR]

Each figure is the peak resident set of a fresh child process that does one
build (``VmHWM``), so imports count alike in every row.  The records look
like a package index: a dozen fields, several of them often absent (null in
Parquet, left out in JSON Lines).  Rows, side by side:

- the same pairs through ``VorlWriter`` (everything in memory until the write),
  ``vorlstore.build()`` and ``StoreBuilder``;
- ``vorlstore build`` from JSON Lines, gzip-compressed JSON Lines, CSV, and
  Parquet (with and without ``--omit-nulls``), with the store size each gives.
"""

from __future__ import annotations

import argparse
import csv
import gzip
import json
import os
import random
import subprocess
import sys
import tempfile

OPTIONAL = ("Depends", "Recommends", "Suggests", "Breaks", "Homepage", "Multi-Arch", "Tag")


def records(n: int) -> list[dict[str, object]]:
    rng = random.Random(7)
    words = [f"w{i}" for i in range(5000)]
    out = []
    for i in range(n):
        r: dict[str, object] = {
            "Package": f"pkg-{i:07d}", "Version": f"{rng.randint(0, 9)}.{rng.randint(0, 99)}-{rng.randint(1, 9)}",
            "Architecture": rng.choice(("amd64", "all")), "Installed-Size": rng.randint(1, 100000),
            "Maintainer": f"Maintainer {rng.randint(0, 3000)} <m{rng.randint(0, 3000)}@example.org>",
            "Section": rng.choice(("libs", "utils", "python", "devel", "doc")),
            "Description": " ".join(rng.choices(words, k=rng.randint(10, 80))),
            "SHA256": f"{rng.getrandbits(256):064x}", "Size": rng.randint(1000, 10**7),
        }
        for field in OPTIONAL:
            r[field] = " ".join(rng.choices(words, k=rng.randint(1, 12))) if rng.random() < 0.3 else None
        out.append(r)
    return out


def child(code: str, *args: str) -> tuple[float, float]:
    """Peak MiB and seconds of a child running *code* (which gets *args* as sys.argv[1:])."""
    # VmHWM, not ru_maxrss: the latter keeps the peak of the forking parent.
    probe = ("import sys, time\nstarted = time.perf_counter()\n" + code + "\nseconds = time.perf_counter() - started\n"
             "hwm = next(l for l in open('/proc/self/status') if l.startswith('VmHWM:')).split()[1]\n"
             "print(hwm, seconds)\n")
    done = subprocess.run([sys.executable, "-c", probe, *args], capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"child failed: {done.stderr.strip()}")
    peak_kib, seconds = done.stdout.split()[-2:]
    return int(peak_kib) / 1024, float(seconds)


PAIRS = """
import json
def pairs():
    with open(sys.argv[1], "rb") as f:
        for line in f:
            r = json.loads(line)
            yield r["Package"], r
"""

HOW = {
    "VorlWriter (in memory)": "w = vorlstore.VorlWriter(); w.update(pairs()); w.build(sys.argv[2])",
    "vorlstore.build()": "vorlstore.build(sys.argv[2], pairs())",
    "StoreBuilder": "with vorlstore.StoreBuilder(sys.argv[2]) as b: b.update(pairs())",
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records", type=int, default=200_000)
    parser.add_argument("--dir", help="where to write the inputs and stores (default: a temporary directory)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        data = records(args.records)
        jsonl = os.path.join(tmp, "in.jsonl")
        with open(jsonl, "w", encoding="utf-8") as f:
            for r in data:
                f.write(json.dumps({k: v for k, v in r.items() if v is not None}) + "\n")
        with open(jsonl, "rb") as f, gzip.open(jsonl + ".gz", "wb", compresslevel=6) as g:
            g.write(f.read())
        with open(os.path.join(tmp, "in.csv"), "w", encoding="utf-8", newline="") as f:
            writer = csv.DictWriter(f, fieldnames=list(data[0]))
            writer.writeheader()
            writer.writerows({k: ("" if v is None else v) for k, v in r.items()} for r in data)
        import pyarrow as pa
        import pyarrow.parquet as pq

        pq.write_table(pa.Table.from_pylist(data), os.path.join(tmp, "in.parquet"))
        del data
        size = lambda name: os.path.getsize(os.path.join(tmp, name)) / 2**20  # noqa: E731

        print(f"{args.records:,} records; JSON Lines input {size('in.jsonl'):.1f} MiB")
        print(f"{'pairs from JSON Lines through':<28} {'peak RSS MiB':>12} {'seconds':>8} {'store MiB':>10}")
        for name, code in HOW.items():
            out = os.path.join(tmp, "api.vrls")
            peak, seconds = child("import vorlstore\n" + PAIRS + code, jsonl, out)
            print(f"{name:<28} {peak:>12.0f} {seconds:>8.2f} {os.path.getsize(out) / 2**20:>10.1f}")

        print(f"\n{'vorlstore build from':<28} {'input MiB':>9} {'peak RSS MiB':>12} {'seconds':>8} {'store MiB':>10}")
        cli = "from vorlstore.cli import main\nassert main(sys.argv[1:]) == 0"
        for name, extra in (("in.jsonl", []), ("in.jsonl.gz", []), ("in.csv", []), ("in.parquet", []),
                            ("in.parquet", ["--omit-nulls"])):
            out = os.path.join(tmp, "cli.vrls")
            peak, seconds = child(cli, "build", os.path.join(tmp, name), out, "--key", "Package", *extra)
            label = " ".join([name, *extra])
            print(f"{label:<28} {size(name):>9.1f} {peak:>12.0f} {seconds:>8.2f} {os.path.getsize(out) / 2**20:>10.1f}",
                  flush=True)


if __name__ == "__main__":
    main()
