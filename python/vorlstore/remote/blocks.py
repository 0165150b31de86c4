"""Blocks: the pieces of a remote object read so far, and the reads that fill them.

Bytes are kept in aligned blocks in a small LRU cache, so a warm lookup
finds its slot (and often its entry and record) without a request.  A read
of several spans asks only for the blocks it lacks, merges neighbouring
runs into one request each, and sends them all in one parallel round.
"""

from __future__ import annotations

import threading
from collections import OrderedDict

from .source import Source

BLOCK = 4096
# Runs of missing blocks closer than this go in one request: a few KiB more
# costs less than a round trip of its own.
GAP_BLOCKS = 1
CACHE_BYTES = 16 << 20


class Blocks:
    def __init__(self, source: Source, limit: int = CACHE_BYTES) -> None:
        self.source = source
        self._limit_blocks = max(16, limit // BLOCK)
        self._cache: OrderedDict[int, bytes] = OrderedDict()
        self._lock = threading.Lock()

    def put(self, start: int, data: bytes) -> None:
        """Keeps the whole blocks among *data*, which holds the object's bytes from *start*."""
        size = self.source.size
        end = start + len(data)
        first = -(-start // BLOCK)
        with self._lock:
            for block in range(first, (end - 1) // BLOCK + 1 if end else 0):
                lo = block * BLOCK
                hi = min(lo + BLOCK, size)
                if hi <= end:
                    self._store(block, data[lo - start : hi - start])

    def read(self, spans: list[tuple[int, int]]) -> list[bytes]:
        """The bytes of each ``(start, end)`` (cut at the object's end), in at most one round of requests."""
        size = self.source.size
        spans = [(min(s, size), min(e, size)) for s, e in spans]
        wanted = sorted({b for s, e in spans if e > s for b in range(s // BLOCK, (e - 1) // BLOCK + 1)})
        with self._lock:
            have = {b: self._cache[b] for b in wanted if b in self._cache}
            for b in have:
                self._cache.move_to_end(b)
        missing = [b for b in wanted if b not in have]
        if missing:
            runs: list[list[int]] = [[missing[0], missing[0]]]
            for b in missing[1:]:
                if b - runs[-1][1] <= GAP_BLOCKS + 1:
                    runs[-1][1] = b
                else:
                    runs.append([b, b])
            ranges = [(lo * BLOCK, min((hi + 1) * BLOCK, size)) for lo, hi in runs]
            for (lo, _), data in zip(ranges, self.source.read(ranges)):
                for i in range(0, len(data), BLOCK):
                    have[(lo + i) // BLOCK] = data[i : i + BLOCK]
                self.put(lo, data)
        out = []
        for s, e in spans:
            pieces = [have[b] for b in range(s // BLOCK, (e - 1) // BLOCK + 1)] if e > s else []
            joined = b"".join(pieces)
            skip = s - (s // BLOCK) * BLOCK
            out.append(joined[skip : skip + e - s])
        return out

    def _store(self, block: int, data: bytes) -> None:
        self._cache[block] = data
        self._cache.move_to_end(block)
        while len(self._cache) > self._limit_blocks:
            self._cache.popitem(last=False)
