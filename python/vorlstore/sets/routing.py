"""Which shard of a set holds a key: the routing rules and the one plan that picks them.

A rule is recorded in the set's manifest, so every reader routes as the
builder did: a hash of the key bytes (the same on every machine and
version) or sorted key ranges, which keep prefix and range scans to the
shards that can hold the keys.  `plan_routing` is how every builder (the
command line, `SetBuilder` users, `vorlstore.dask`) turns a partitioning
choice into a rule.
"""

from __future__ import annotations

import bisect
import hashlib
import itertools
import random
from collections.abc import Callable, Iterable, Sequence
from typing import Any

from ..errors import CorruptError
from ..reader import Key, key_bytes

HASH_NAME = "blake2b-64-le"
_HASH_RULE = (
    "shard = int.from_bytes(blake2b(key, digest_size=8).digest(), 'little') % shards; "
    "str keys are hashed as their UTF-8 bytes (surrogateescape)"
)
_RANGE_RULE = "shard = number of boundaries <= key, comparing key bytes; boundaries in hex"
#: The partitioning choices `plan_routing` knows.
PARTITIONS = ("hash", "range")
#: Keys each input partition contributes, per shard, to the sample that range boundaries are cut from.
SAMPLE_PER_SHARD = 64

#: How many keys a partition held and a sorted sample of their bytes.
KeySample = tuple[int, list[bytes]]


class HashRouting:
    """Keys spread evenly by a hash of their bytes; shards hold no key order."""

    ordered = False

    def __init__(self, shards: int) -> None:
        if not isinstance(shards, int) or isinstance(shards, bool) or shards < 1:
            raise ValueError(f"shards must be a positive integer, not {shards!r}")
        self.shards = shards

    def shard_of(self, key: bytes) -> int:
        digest = hashlib.blake2b(key, digest_size=8).digest()
        return int.from_bytes(digest, "little") % self.shards

    def span(self, start: bytes | None, stop: bytes | None) -> range:
        """Shards that may hold keys in [start, stop)."""
        return range(self.shards)

    def to_json(self) -> dict[str, Any]:
        return {"kind": "hash", "hash": HASH_NAME, "shards": self.shards, "rule": _HASH_RULE}


class RangeRouting:
    """Shard i holds the keys in [boundaries[i-1], boundaries[i]), in byte order."""

    ordered = True

    def __init__(self, boundaries: Sequence[bytes]) -> None:
        self.boundaries = [bytes(b) for b in boundaries]
        if any(a > b for a, b in itertools.pairwise(self.boundaries)):
            raise ValueError("range boundaries must be sorted")
        self.shards = len(self.boundaries) + 1

    def shard_of(self, key: bytes) -> int:
        return bisect.bisect_right(self.boundaries, key)

    def span(self, start: bytes | None, stop: bytes | None) -> range:
        first = 0 if start is None else bisect.bisect_right(self.boundaries, start)
        last = self.shards - 1 if stop is None else bisect.bisect_left(self.boundaries, stop)
        return range(first, max(first, last + 1))

    def to_json(self) -> dict[str, Any]:
        return {"kind": "range", "boundaries": [b.hex() for b in self.boundaries], "rule": _RANGE_RULE}


Routing = HashRouting | RangeRouting


def plan_routing(partition: str, shards: int,
                 samples: Callable[[int], Iterable[KeySample]] | None = None) -> Routing:
    """The routing of a new set of *shards* shards partitioned by *partition*.

    ``"hash"`` needs nothing more; ``"range"`` calls ``samples(limit)`` once
    for one `key_sample` of at most *limit* keys per input partition, and
    cuts the keys into shards of about equal weight.
    """
    if partition not in PARTITIONS:
        raise ValueError(f"partition must be 'hash' or 'range', not {partition!r}")
    hashed = HashRouting(shards)  # refuses a bad shard count before any sampling
    if partition == "hash":
        return hashed
    if samples is None:
        raise ValueError("range partitioning needs a sample of the keys")
    return RangeRouting(range_boundaries(samples(SAMPLE_PER_SHARD * shards), shards))


def routing_from_json(doc: Any, where: str) -> Routing:
    """The routing a manifest describes; refuses rules this version does not know."""
    try:
        if doc["kind"] == "hash" and doc["hash"] == HASH_NAME:
            return HashRouting(doc["shards"])
        if doc["kind"] == "range":
            return RangeRouting([bytes.fromhex(b) for b in doc["boundaries"]])
    except (KeyError, TypeError, ValueError) as e:
        raise CorruptError(f"{where}: bad routing: {e!r}") from None
    raise CorruptError(f"{where}: unknown routing {doc!r}")


def key_sample(keys: Iterable[Key], limit: int) -> KeySample:
    """How many keys there were and a sorted uniform sample of at most *limit* of them."""
    sample: list[bytes] = []
    rng = random.Random(0)
    count = 0
    for count, key in enumerate(keys, 1):  # noqa: B007 - count survives the loop
        kb = key_bytes(key)
        if len(sample) < limit:
            sample.append(kb)
        else:
            j = rng.randrange(count)
            if j < limit:
                sample[j] = kb
    sample.sort()
    return count, sample


def range_boundaries(samples: Iterable[KeySample], shards: int) -> list[bytes]:
    """*shards* - 1 boundaries cutting the sampled keys into parts of about equal weight.

    Each sample stands for its partition's count, so large partitions weigh more.
    """
    if shards < 1:
        raise ValueError(f"shards must be a positive integer, not {shards!r}")
    weighted = sorted((kb, count / len(sample)) for count, sample in samples if sample for kb in sample)
    total = sum(w for _kb, w in weighted)
    boundaries: list[bytes] = []
    seen = 0.0
    for kb, w in weighted:
        if len(boundaries) == shards - 1:
            break
        if seen >= total * (len(boundaries) + 1) / shards:
            boundaries.append(kb)
        seen += w
    # Few distinct keys leave the last shards empty rather than changing their number.
    last = weighted[-1][0] + b"\x00" if weighted else b""
    boundaries += [last] * (shards - 1 - len(boundaries))
    return boundaries
