"""Two publisher processes and a reader of one store set, racing for a while.

Run by hand for the long figures (python tests/support/set_race.py DIR SECONDS);
the test suite runs it for a few seconds.  Prints one JSON object: opens and
failed opens of the reader, and per publisher the commits reported and the
commits lost (a commit that returned but whose set then did not open, or
whose generation was gone while CURRENT still named it).
"""

import json
import os
import subprocess
import sys
import time

PUBLISHER = r"""
import json, os, sys, time
import vorlstore
from vorlstore.sets import POINTER

directory, deadline, name = sys.argv[1], float(sys.argv[2]), sys.argv[3]
commits = lost = failed = 0
while time.time() < deadline:
    items = [(f"k{i}", f"{name}-{commits}") for i in range(50)]
    try:
        summary = vorlstore.write_store_set(directory, items, shards=3)
    except Exception as e:
        failed += 1
        print(f"{name}: commit failed: {e!r}", file=sys.stderr)
        continue
    commits += 1
    try:
        vorlstore.StoreSet(directory, verify=False).close()
        with open(os.path.join(directory, POINTER)) as f:
            if f.read().strip() == summary["generation"]:
                assert os.path.isdir(os.path.join(directory, summary["generation"]))
    except Exception as e:
        lost += 1
        print(f"{name}: set lost after a commit: {e!r}", file=sys.stderr)
print(json.dumps({"commits": commits, "lost": lost, "failed": failed}))
"""


def race(directory, seconds):
    import vorlstore

    vorlstore.write_store_set(directory, [("k0", "first")], shards=3)
    deadline = time.time() + seconds
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    publishers = [
        subprocess.Popen([sys.executable, "-c", PUBLISHER, directory, str(deadline), name],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        for name in ("a", "b")
    ]
    opens = failed_opens = 0
    errors = []
    while time.time() < deadline:
        try:
            with vorlstore.StoreSet(directory, verify=False) as s:
                s["k0"]
            opens += 1
        except Exception as e:
            failed_opens += 1
            errors.append(repr(e))
    figures = {"seconds": seconds, "opens": opens, "failed_opens": failed_opens, "reader_errors": errors[:5]}
    for name, p in zip("ab", publishers):
        out, err = p.communicate(timeout=seconds + 120)
        figures[name] = json.loads(out) if p.returncode == 0 else {"exit": p.returncode}
        figures[name]["errors"] = err.splitlines()[:5]
    figures["generations_left"] = sorted(n for n in os.listdir(directory) if n.startswith("g-"))
    return figures


if __name__ == "__main__":
    print(json.dumps(race(sys.argv[1], float(sys.argv[2])), indent=1))
