"""Key-order searches and walks over a store's index, read by byte ranges.

The index entries lie back to back in ascending key order, so the entries
of a run of ranks are one contiguous region that parses front to back; the
hash section's order table gives the position of any single rank.  A search
for the first rank at or after a key probes many ranks per step (one round
for their order-table cells, one for their entries) until the region left
is small enough to read whole; several searches go in the same rounds.  A
forward walk reads the region from its first entry on in chunks that grow
geometrically, fetching each chunk's records together with the next chunk.
"""

from __future__ import annotations

from collections.abc import Callable, Generator, Iterator
from typing import Any, TypeVar, cast

from .._native import _engine

# Ranks probed per search step: a step narrows the ranks left 65-fold.
PROBES = 64
# A region of at most this many bytes is read whole instead of probed.
SCAN_BYTES = 64 << 10
# Bytes read for one entry whose length is not known yet; longer ones take another read.
ENTRY_GUESS = 256
MAX_ENTRY = 2 + 65535 + 8
# A forward walk's first chunk of entries, and the most it grows to.
FIRST_CHUNK = 64 << 10
LAST_CHUNK = 4 << 20
# Ranks per batch of a backward walk, the first and the most.
FIRST_RANKS = 1024
LAST_RANKS = 65536

T = TypeVar("T")
Entry = tuple[bytes, int]  # key, object offset
Read = Callable[[list[tuple[int, int]]], list[bytes]]
Search = Generator[list[tuple[int, int]], list[bytes], tuple[int, int]]
Fetch = Callable[[list[Entry], list[tuple[int, int]]], list[bytes]]


class OrderedIndex:
    def __init__(self, read: Read, layout: dict[str, int], corrupt: Callable[[str], Exception]) -> None:
        self._read = read
        self._n = layout["num_keys"]
        self._base = layout["index_offset"]
        self._length = layout["index_length"]
        self._order = layout["order_offset"]
        self._width = layout["width"]
        self._corrupt = corrupt
        # Positions of ranks that searches ended at: where walks from them start.
        self._known: dict[int, int] = {0: 0, self._n: self._length}

    # -- searches
    def lower_bounds(self, targets: list[bytes]) -> list[int]:
        """The first rank whose key is not below each target, all searched in the same rounds."""
        if len(self._known) > 256:
            self._known = {0: 0, self._n: self._length}
        searches = [self._search(t) for t in targets]
        found = [0] * len(targets)
        asked: dict[int, list[tuple[int, int]]] = {}
        for i, s in enumerate(searches):
            self._advance(s, None, i, asked, found)
        while asked:
            order = list(asked)
            pieces = iter(self._read([span for i in order for span in asked[i]]))
            answers = {i: [next(pieces) for _ in asked[i]] for i in order}
            asked = {}
            for i in order:
                self._advance(searches[i], answers[i], i, asked, found)
        return found

    def _advance(self, search: Search, answer: list[bytes] | None, i: int,
                 asked: dict[int, list[tuple[int, int]]], found: list[int]) -> None:
        try:
            asked[i] = search.send(answer) if answer is not None else next(search)
        except StopIteration as done:
            rank, position = done.value
            found[i] = rank
            self._known[rank] = position

    def _search(self, target: bytes) -> Search:
        """Yields the spans it needs and receives their bytes; returns (rank, position) of the bound."""
        lo, hi, p_lo, p_hi = 0, self._n, 0, self._length
        while lo < hi:
            if not 0 <= p_lo <= p_hi <= self._length:
                raise self._corrupt(f"index positions {p_lo} and {p_hi} out of order")
            if p_hi - p_lo <= SCAN_BYTES:
                (region,) = yield [(self._base + p_lo, self._base + p_hi)]
                at = 0
                for rank in range(lo, hi):
                    key, _, after = self._entry(region, at, p_lo)
                    if key >= target:
                        return rank, p_lo + at
                    at = after
                return hi, p_hi
            ranks = sorted({lo + (hi - lo) * j // (PROBES + 1) for j in range(PROBES + 1)})
            cells = (yield [self._cell(r) for r in ranks[1:]]) if len(ranks) > 1 else []
            positions = [p_lo] + [int.from_bytes(c, "big") for c in cells]
            entries = yield from self._entries_at(positions)
            j = next((j for j, (key, _, _) in enumerate(entries) if key >= target), len(ranks))
            if j == 0:
                return lo, p_lo
            lo, p_lo = ranks[j - 1] + 1, entries[j - 1][2]
            if j < len(ranks):
                hi, p_hi = ranks[j], positions[j]
        return lo, p_lo

    def _entries_at(self, positions: list[int]) -> Generator[list[tuple[int, int]], list[bytes], list[tuple[bytes, int, int]]]:
        """(key, offset, next position) of the entry at each index position: one round, two for long keys."""
        for p in positions:
            if p >= self._length:
                raise self._corrupt(f"hash index position {p} outside the index of {self._length} bytes")
        spans = [(self._base + p, self._base + min(self._length, p + ENTRY_GUESS)) for p in positions]
        pieces = yield spans
        out: list[Any] = [_engine.ranged_entry(piece, 0) for piece in pieces]
        long = [i for i, e in enumerate(out) if e is None]
        if long:
            need = [(self._base + positions[i], self._base + min(self._length, positions[i] + MAX_ENTRY))
                    for i in long]
            for i, piece in zip(long, (yield need)):
                out[i] = self._entry(piece, 0, positions[i])
        return [(k, o, positions[i] + after) for i, (k, o, after) in enumerate(out)]

    def _entry(self, region: bytes, at: int, start: int) -> tuple[bytes, int, int]:
        decoded = _engine.ranged_entry(region, at)
        if decoded is None:
            raise self._corrupt(f"index entry at {self._base + start + at} runs past the index")
        return decoded

    def _cell(self, rank: int) -> tuple[int, int]:
        return self._order + rank * self._width, self._order + (rank + 1) * self._width

    def positions(self, ranks: list[int]) -> list[int]:
        """The index position of each rank's entry: known from a search, else read from the order table in one round."""
        known = self._known  # another thread's search may replace it meanwhile
        found = {r: known[r] for r in ranks if r in known}
        unknown = sorted({r for r in ranks if r not in found})
        for r, cell in zip(unknown, self._read([self._cell(r) for r in unknown]) if unknown else []):
            found[r] = known[r] = int.from_bytes(cell, "big")
        return [found[r] for r in ranks]

    def entries(self, ranks: list[int]) -> list[tuple[bytes, int, bool]]:
        """(key, object offset, whether live) of each rank's entry: two rounds for any number of ranks."""
        following = [r + 1 for r in ranks if r + 1 < self._n]
        found = dict(zip(ranks + following, self._run(self._entries_at(self.positions(ranks + following)))))
        return [(found[r][0], found[r][1], r + 1 >= self._n or found[r + 1][0] != found[r][0]) for r in ranks]

    def _run(self, steps: Generator[list[tuple[int, int]], list[bytes], T]) -> T:
        """What a generator of reads returns, its reads done one round each."""
        try:
            spans = next(steps)
            while True:
                spans = steps.send(self._read(spans))
        except StopIteration as done:
            return cast(T, done.value)

    def _follows(self, region: bytes, at: int, position: int, key: bytes) -> bool:
        """Whether the entry at *position* (at *at* of *region*, if it reaches that far) has *key*."""
        if position >= self._length:
            return False
        want = len(key).to_bytes(2, "big") + key
        if len(region) - at < len(want):
            region, at = self._read([(self._base + position, self._base + min(self._length, position + len(want)))])[0], 0
        return region[at : at + len(want)] == want

    # -- walks
    def forward(self, begin: int, end: int, fetch: Fetch | None) -> Iterator[list[Entry]]:
        """Live entries of [begin, end) in batches.

        *fetch(entries, spans)* reads a batch's records in the round that
        reads *spans* (the next chunk of entries) and returns those spans' bytes.
        """
        if begin >= end:
            return
        (pos,) = self.positions([begin])
        # Past the end's entry, when a search found it, only the next entry's key is wanted.
        cap = self._known.get(end, self._length) + ENTRY_GUESS
        rank, chunk, need, held = begin, FIRST_CHUNK, ENTRY_GUESS, None
        region = self._read([self._span(pos, chunk, cap, need)])[0]
        while True:
            at, batch = 0, [held] if held is not None else []
            while rank < end:
                decoded = _engine.ranged_entry(region, at)
                if decoded is None:
                    break
                batch.append((decoded[0], decoded[1]))
                at, rank = decoded[2], rank + 1
            done = rank >= end
            # An entry longer than the chunk: the next read takes all one can hold.
            need = MAX_ENTRY if not done and at == 0 else ENTRY_GUESS
            if need == MAX_ENTRY and pos + len(region) >= self._length:
                raise self._corrupt(f"index entry at {self._base + pos} runs past the index")
            live = [e for e, following in zip(batch, batch[1:]) if following[0] != e[0]]
            held = batch[-1] if batch else None
            if done and held is not None and not self._follows(region, at, pos + at, held[0]):
                live.append(held)
            pos += at
            chunk = min(chunk * 2, LAST_CHUNK)
            ahead = [] if done else [self._span(pos, chunk, cap, need)]
            pieces = fetch(live, ahead) if fetch is not None else self._read(ahead) if ahead else []
            yield live
            if done:
                return
            region = pieces[0]

    def _span(self, start: int, chunk: int, cap: int, need: int) -> tuple[int, int]:
        end = max(min(start + chunk, cap), start + need)
        return self._base + start, self._base + min(self._length, end)

    def backward(self, begin: int, end: int) -> Iterator[list[Entry]]:
        """Live entries of [begin, end), last first, in batches that grow geometrically."""
        hi, ranks, after = end, FIRST_RANKS, None
        while hi > begin:
            lo = max(begin, hi - ranks)
            first, last = self.positions([lo, hi])
            if not first <= last <= self._length:
                raise self._corrupt(f"index positions {first} and {last} out of order")
            region = self._read([(self._base + first, self._base + min(self._length, last + ENTRY_GUESS))])[0]
            entries, at = [], 0
            for _ in range(lo, hi):
                key, offset, at = self._entry(region, at, first)
                entries.append((key, offset))
            live = [e for e, following in zip(entries, entries[1:]) if following[0] != e[0]]
            final = entries[-1]
            if not (final[0] == after if after is not None else self._follows(region, at, last, final[0])):
                live.append(final)
            live.reverse()
            yield live
            hi, ranks, after = lo, min(ranks * 2, LAST_RANKS), entries[0][0]
