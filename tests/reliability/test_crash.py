"""Kill a process that keeps republishing one store with SIGKILL at random
moments; the target must always be absent (nothing published yet) or a
complete store of the last generation the process reported, or of the one
it was publishing.

The driver (tools/faults/driver.cc, shape "crash") builds generation 0, 1,
2, ... of about 3 MB each over the same path and prints a summary line after
each successful build, so the number of complete lines in its output is the
number of generations known to be published.  Each store is checked by an
independent parser (tests/support/storecodec.py): header, whole-file and per-record CRC-32,
index bounds, key order.

Environment: VORL_BUILD_DIR (build folder), VORL_CRASH_TRIALS (default 200),
VORL_CRASH_SEED (default random; printed so that a failure can be replayed).
"""

import collections
import os
import pathlib
import random
import signal
import subprocess
import time

import storecodec

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = ROOT / os.environ.get("VORL_BUILD_DIR", "build")
DRIVER = BUILD / "tools/faults/vorl_fault_driver"
TRIALS = int(os.environ.get("VORL_CRASH_TRIALS", "200"))
TARGET = "crash.vrls"
TMP = "crash.vrls.tmp"


def generation_of(store):
    first = store.objects[storecodec.HEADER_SIZE]
    assert first.startswith(b"generation "), first[:32]
    gen = int(first.removeprefix(b"generation "))
    # The rest of the data depends on the generation too (crash shape).
    assert store.num_objects == 701 and store.num_keys == 901
    assert all(len(p) == 4096 + gen % 97 for off, p in store.objects.items() if off != storecodec.HEADER_SIZE)
    return gen


def kill_during_builds(workdir, delay):
    with open(workdir / "stdout", "wb") as out:
        child = subprocess.Popen([str(DRIVER), "crash", TARGET, "1000000"], cwd=workdir, stdout=out,
                                 stderr=subprocess.DEVNULL)
        time.sleep(delay)
        child.send_signal(signal.SIGKILL)
        child.wait()
    assert child.returncode == -signal.SIGKILL, "the driver stopped before it was killed"
    lines = (workdir / "stdout").read_bytes().split(b"\n")
    return len(lines) - 1  # complete lines only


def test_sigkill_never_leaves_a_partial_store(tmp_path):
    seed = int(os.environ.get("VORL_CRASH_SEED", random.randrange(1 << 32)))
    rng = random.Random(seed)
    tally = collections.Counter()
    started = time.monotonic()
    for trial in range(TRIALS):
        workdir = tmp_path / f"t{trial}"
        workdir.mkdir()
        # A quarter of the kills land early, around the first publish.
        delay = rng.uniform(0, 0.02) if trial % 4 == 0 else rng.uniform(0, 0.15)
        done = kill_during_builds(workdir, delay)
        data = storecodec.read(workdir / TARGET)
        context = f"seed {seed} trial {trial} delay {delay:.4f}s, {done} builds reported"
        if data is None:
            assert done == 0, context
            tally["absent"] += 1
        else:
            try:
                gen = generation_of(storecodec.parse(data))
            except storecodec.BadStore as e:
                raise AssertionError(f"{context}: target is not a complete store: {e}") from None
            assert gen in (done - 1, done), f"{context}: target holds generation {gen}"
            tally["previous" if gen == done - 1 else "new, not yet reported"] += 1
        if (workdir / TMP).exists():
            tally["temporary file left"] += 1
        tally["builds reported"] += done
        if trial % 10 == 0:
            # A leftover temporary file does not stop the next build.
            rerun = subprocess.run([str(DRIVER), "crash", TARGET], cwd=workdir, capture_output=True)
            assert rerun.returncode == 0, rerun.stderr
            assert generation_of(storecodec.parse(storecodec.read(workdir / TARGET))) == 0
            assert not (workdir / TMP).exists()
        for f in workdir.iterdir():
            f.unlink()
        workdir.rmdir()
    elapsed = time.monotonic() - started
    print(f"\ncrash trials: {TRIALS} (seed {seed}) in {elapsed:.1f}s, no bad outcome; "
          + ", ".join(f"{k}: {v}" for k, v in sorted(tally.items())))
    # Both sides of the rename were hit, or the kill moments did not spread.
    assert tally["absent"] > 0 and tally["previous"] > 0
