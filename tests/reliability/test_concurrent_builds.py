"""Several processes publishing the same target at once.

Builds of one target share its temporary name.  Each build must still
publish only its own complete store: a reader opening the target with
checksum verification at any moment sees one of the stores, never a mix,
and no build fails because another one got in its way.
"""

import os
import subprocess
import sys

from _vorlstore import _VorlReader
from processes import child_env

BUILDERS = "ABC"
ROUNDS = 60

BUILDER = r"""
import os, sys
from _vorlstore import _VorlWriter
tag, rounds, target = sys.argv[1].encode(), int(sys.argv[2]), sys.argv[3]
w = _VorlWriter()
for i in range(2000):
    w.add_key(b"k%d" % i, w.add_object_raw(tag * (50 + i % 50)))
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the summary lines
for _ in range(rounds):
    w.build(target)
"""


def test_racing_builds_publish_only_complete_stores(tmp_path):
    target = str(tmp_path / "shared.vrls")
    builders = [
        subprocess.Popen([sys.executable, "-c", BUILDER, tag, str(ROUNDS), target], env=child_env(),
                         stderr=subprocess.PIPE)
        for tag in BUILDERS
    ]
    opened = 0
    seen = set()
    while any(b.poll() is None for b in builders):
        try:
            reader = _VorlReader(target)  # raises RuntimeError on a mixed file
        except OSError:
            continue  # nothing published yet
        opened += 1
        seen.add(reader.get_raw(b"k0")[:1])
    for b in builders:
        assert b.wait() == 0, b.stderr.read().decode()
    final = _VorlReader(target)
    assert final.verify() is True
    assert final.get_raw(b"k0")[:1] in {t.encode() for t in BUILDERS}
    assert not os.path.exists(str(tmp_path / "shared.vrls.tmp"))
    print(f"\nracing builds: {len(BUILDERS)} processes x {ROUNDS} builds, {opened} verified opens, "
          f"stores seen: {sorted(seen)}")
