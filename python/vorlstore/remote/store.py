"""RangedStore: a store read by byte ranges, answering the calls VorlReader makes of its engine.

Open is one round: the file's first and last bytes give the header and the
hash index trailer.  An exact lookup reads the key's run of slots, then the
matching entry and, together with it, the record its slot hints at: two
rounds, and a batch of keys takes the same two rounds in parallel.  Ordered
walks read the index in key order through the section's order table with
read-ahead.  The engine decodes every piece (``_engine.ranged_*``) and
checks every record against its own CRC.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from typing import Any

from .. import _engine
from ..errors import from_engine
from .blocks import Blocks
from .source import Source

HEAD = 8192
TAIL = 8192
# Bytes read after a record's hinted line: small records come whole with their entry.
RECORD_GUESS = 1024 + 64
# Entries walked per round of an ordered walk.
BATCH = 512
_KEYS, _VALUES, _ITEMS = 0, 1, 2


class NoHashIndex(Exception):
    """The store has no usable hash index: it is read whole instead."""


class RangedStore:
    def __init__(self, source: Source) -> None:
        self.source = source
        self.name = source.name
        head, tail = source.open(HEAD, TAIL)
        self._layout: dict[str, int] = _engine.ranged_layout(head, tail, source.size, self.name)
        if "capacity" not in self._layout:
            raise NoHashIndex()
        self._blocks = Blocks(source)
        self._blocks.put(0, head)
        self._blocks.put(source.size - len(tail), tail)
        self._n = self._layout["num_keys"]
        self.decoder: Any = None
        self.closed = False

    # -- the engine's calls
    def __len__(self) -> int:
        self._check_open()
        return self._n

    def close(self) -> None:
        self.closed = True

    def get_raw(self, key: Any) -> bytes | None:
        return self.get_many_raw([key])[0]

    def contains(self, key: Any) -> bool:
        return self._find([key])[0][0] is not None

    def get(self, key: Any, missing: Any) -> Any:
        raw = self.get_raw(key)
        if raw is None:
            return missing
        return raw if self.decoder is None else self.decoder.decode(raw, key)

    def get_many_raw(self, keys: Iterable[Any]) -> list[bytes | None]:
        found = self._find(list(keys))
        return self._records([o for o, _ in found], {o: pre for o, pre in found if o is not None})

    def get_many(self, keys: Iterable[Any], missing: Any) -> list[Any]:
        keys = list(keys)
        raws = self.get_many_raw(keys)
        if self.decoder is None:
            return [missing if raw is None else raw for raw in raws]
        return self.decoder.decode_many(raws, keys, missing)

    def bounds(self, start: Any, stop: Any) -> tuple[int, int]:
        first = 0 if start is None else self._lower_bound(self._bytes(start))
        last = self._n if stop is None else self._lower_bound(self._bytes(stop))
        return first, max(first, last)

    def prefix_bounds(self, prefix: Any) -> tuple[int, int]:
        p = self._bytes(prefix)
        first = self._lower_bound(p)
        following = p.rstrip(b"\xff")
        if not following:
            return first, self._n
        last = self._lower_bound(following[:-1] + bytes([following[-1] + 1]))
        return first, max(first, last)

    def cursor(self, begin: int, end: int, reverse: bool = False, what: int = _ITEMS, decoder: Any = None,
               bytes_keys: bool = False) -> Iterator[Any]:
        self._check_open()
        return self._walk(begin, min(end, self._n), reverse, what, decoder, bytes_keys)

    def objects_raw(self) -> list[bytes]:
        seen: dict[int, None] = {}
        for lo in range(0, self._n, BATCH):
            for _, (_, offset) in self._live(lo, min(lo + BATCH, self._n)):
                seen.setdefault(offset)
        return [r for r in self._records(list(seen)) if r is not None]

    def stats(self) -> dict[str, Any]:
        self._check_open()
        crc = self._layout["file_crc32"]
        return {"path": self.name, "version": 2, "num_keys": self._n, "num_objects": self._layout["num_objects"],
                "index_offset": self._layout["index_offset"], "data_offset": 40, "file_size": self.source.size,
                "file_crc32": f"0x{crc:08x}", "hash_index": True,
                # A compressed store ends in its dictionary, not in a hash index
                # this reader can use, so it is downloaded and mapped instead.
                "compression": None}

    def verify(self) -> None:
        """The whole-file CRC over every byte after the header, streamed with parallel reads."""
        self._check_open()
        crc, skip = 0, 40
        for chunk in self.source.chunks():
            crc = _engine.ranged_crc(crc, chunk[skip:] if skip else chunk)
            skip = max(0, skip - len(chunk))
        stored = self._layout["file_crc32"]
        if crc != stored:
            raise self._corrupt(f"file CRC32 mismatch  stored=0x{stored:08x}  computed=0x{crc:08x}")

    # -- lookups
    def _find(self, keys: list[Any]) -> list[tuple[int | None, tuple[int, bytes]]]:
        """Each key's object offset (None when absent) and the bytes read at its record hint.

        Two rounds for the whole batch: the slots, then the entries with the hinted records.
        """
        self._check_open()
        lay = self._layout
        seed, capacity, width, slot_size = lay["seed"], lay["capacity"], lay["width"], lay["slot_size"]
        probes = [_engine.ranged_probe(k, seed, capacity) for k in keys]
        if self._n == 0:
            return [(None, (0, b""))] * len(keys)
        run = min(lay["max_probe"], capacity)
        spans = []
        for _, home, _ in probes:
            start = lay["slots_offset"] + home * slot_size
            straight = min(run, capacity - home)
            spans.append((start, start + straight * slot_size))
            wrapped = run - straight
            spans.append((lay["slots_offset"], lay["slots_offset"] + wrapped * slot_size))
        slots = self._blocks.read(spans)
        candidates = [_engine.ranged_slots(slots[2 * i] + slots[2 * i + 1], width, fp)
                      for i, (_, _, fp) in enumerate(probes)]
        index_offset, index_length = lay["index_offset"], lay["index_length"]
        wanted = []
        for (key, _, _), found in zip(probes, candidates):
            for position, hint in found:
                if position >= index_length or index_length - position < 10:
                    raise self._corrupt(f"hash index position {position} outside the index of "
                                        f"{index_length} bytes")
                wanted.append((index_offset + position, index_offset + min(index_length, position + 10 + len(key))))
                wanted.append((hint, hint + RECORD_GUESS))
        pieces = iter(self._blocks.read(wanted))
        out: list[tuple[int | None, tuple[int, bytes]]] = []
        for (key, _, _), found in zip(probes, candidates):
            offset, prefetched = None, (0, b"")
            for _, hint in found:
                entry, record = next(pieces), next(pieces)
                decoded = _engine.ranged_entry(entry, 0)
                if offset is None and decoded is not None and decoded[0] == key:
                    offset, prefetched = decoded[1], (hint, record)
            out.append((offset, prefetched))
        return out

    def _records(self, offsets: list[int | None],
                 prefetched: dict[int, tuple[int, bytes]] | None = None) -> list[bytes | None]:
        """The checked payload at each offset; *prefetched* maps an offset to bytes read from a start at or before it."""
        size = self.source.size
        got: dict[int, bytes] = {}
        need: dict[int, int] = {}
        for o in offsets:
            if o is None or o in got:
                continue
            start, buf = (prefetched or {}).get(o, (o + 1, b""))
            inside = start <= o <= start + len(buf)
            r = _engine.ranged_record(buf, o - start, o, size, self.name) if inside else RECORD_GUESS
            if isinstance(r, bytes):
                got[o] = r
            else:
                need[o] = max(r, RECORD_GUESS)
        while need:
            spans = [(o, o + n) for o, n in need.items()]
            bufs = self._blocks.read(spans)
            nxt = {}
            for (o, n), buf in zip(spans, bufs):
                r = _engine.ranged_record(buf, 0, o, size, self.name)
                if isinstance(r, int):
                    if r <= len(buf):  # cannot happen: the engine asked for what it had
                        raise self._corrupt(f"object at {o} cannot be read")
                    nxt[o] = r
                else:
                    got[o] = r
            need = nxt
        return [None if o is None else got[o] for o in offsets]

    # -- ordered walks
    def _bytes(self, key: Any) -> bytes:
        return _engine.ranged_probe(key, 0, 1)[0]

    def _positions(self, lo: int, hi: int) -> list[int]:
        """Index positions of entries [lo, hi) from the order table."""
        w = self._layout["width"]
        base = self._layout["order_offset"]
        raw = self._blocks.read([(base + lo * w, base + hi * w)])[0]
        return [int.from_bytes(raw[i : i + w], "big") for i in range(0, len(raw), w)]

    def _entries(self, lo: int, hi: int) -> list[tuple[bytes, int]]:
        """(key, object offset) of entries [lo, hi): one read of the order table, one of the entries."""
        if hi <= lo:
            return []
        lay = self._layout
        positions = self._positions(lo, min(hi + 1, self._n))
        end = positions[hi - lo] if hi < self._n else lay["index_length"]
        first = positions[0]
        if not (first <= end <= lay["index_length"]):
            raise self._corrupt(f"hash index position {first} outside the index of {lay['index_length']} bytes")
        region = self._blocks.read([(lay["index_offset"] + first, lay["index_offset"] + end)])[0]
        out = []
        for p in positions[: hi - lo]:
            decoded = _engine.ranged_entry(region, p - first) if first <= p < end else None
            if decoded is None:
                raise self._corrupt(f"index entry at {lay['index_offset'] + p} runs past the index")
            out.append((decoded[0], decoded[1]))
        return out

    def _live(self, lo: int, hi: int) -> list[tuple[int, tuple[bytes, int]]]:
        """Entries of [lo, hi) that lookups answer with: an entry followed by one of the same key is not."""
        entries = self._entries(lo, min(hi + 1, self._n))
        return [(lo + i, e) for i, e in enumerate(entries[: hi - lo])
                if i + 1 >= len(entries) or entries[i + 1][0] != e[0]]

    def _lower_bound(self, key: bytes) -> int:
        lo, hi = 0, self._n
        while lo < hi:
            mid = (lo + hi) // 2
            if self._entries(mid, mid + 1)[0][0] < key:
                lo = mid + 1
            else:
                hi = mid
        return lo

    def _walk(self, begin: int, end: int, reverse: bool, what: int, decoder: Any, bytes_keys: bool) -> Iterator[Any]:
        batches = range(begin, end, BATCH)
        for lo in reversed(batches) if reverse else batches:
            live = self._live(lo, min(lo + BATCH, end))
            if reverse:
                live.reverse()
            raws = self._records([o for _, (_, o) in live]) if what != _KEYS else [None] * len(live)
            for (_, (kb, _)), raw in zip(live, raws):
                key = kb if bytes_keys else kb.decode("utf-8", "surrogateescape")
                if what == _KEYS:
                    yield key
                    continue
                value = raw if decoder is None else decoder.decode(raw, key)
                yield value if what == _VALUES else (key, value)

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError("I/O operation on closed store")

    def _corrupt(self, message: str) -> Exception:
        return from_engine("corrupt", message, self.name, 0)
