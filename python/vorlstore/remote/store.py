"""RangedStore: a store read by byte ranges, answering the calls VorlReader makes of its engine.

Open is one round: the file's first and last bytes give the header and the
hash index trailer (a compressed store's, before its dictionary, may take
one request more).  An exact lookup reads the key's run of slots, then the
matching entry and, together with it, the record its slot hints at: two
rounds, and a batch of keys takes the same two rounds in parallel.  Ordered
searches and walks are `ordered.OrderedIndex`'s.  The engine decodes every
piece (``_engine.ranged_*``), checks every record against its own CRC and
decompresses a compressed store's records with its dictionary, which comes
with the open round when it fits there, else with the first read after it.
"""

from __future__ import annotations

import functools
from collections.abc import Iterable, Iterator, Sequence
from typing import Any

from .._native import _engine
from ..errors import from_engine
from .blocks import Blocks
from .figures import compression_figures
from .ordered import OrderedIndex
from .source import Source

# The open round: a header block and the rest of 64 KiB from the end, where
# the hash index trailer (and a small store's dictionary) lie.
HEAD = 4096
TAIL = (64 << 10) - HEAD
# Bytes read after a record's hinted line: small records come whole with their entry.
RECORD_GUESS = 1024 + 64
_KEYS, _VALUES, _ITEMS = 0, 1, 2


class NoHashIndex(Exception):
    """The store has no usable hash index: it is read whole instead."""


class RangedStore:
    def __init__(self, source: Source) -> None:
        self.source = source
        self.name = source.name
        head, tail = source.open(HEAD, TAIL)
        self._blocks = Blocks(source)
        self._blocks.put(0, head)
        self._blocks.put(source.size - len(tail), tail)
        lay = _engine.ranged_layout(head, tail, source.size, self.name)
        if "section_trailer" in lay:  # a dictionary too large for the open round lies between
            piece = self._blocks.read([(lay["section_trailer"], lay["dict_offset"])])[0]
            lay.update(_engine.ranged_section(head, piece, lay["dict_offset"], source.size, self.name))
        if "capacity" not in lay:
            raise NoHashIndex()
        self._layout: dict[str, int] = lay
        self._n = lay["num_keys"]
        self._index = OrderedIndex(self._read, lay, self._corrupt)
        self._expander: Any = None
        # The dictionary's span while it is still to be read.
        self._dictionary: tuple[int, int] | None = None
        if "dict_offset" in lay:
            start = lay["dict_offset"]
            self._dictionary = (start, start + lay["dict_length"])
            tail_start = source.size - len(tail)
            if start >= tail_start:
                self._prepare(tail[start - tail_start : start - tail_start + lay["dict_length"]])
        self._figures: dict[str, Any] | None = None
        self.decoder: Any = None
        self.closed = False

    def _read(self, spans: list[tuple[int, int]]) -> list[bytes]:
        """The bytes of *spans* in one round, which also brings the dictionary while it is missing."""
        wanted = self._dictionary
        if wanted is None:
            return self._blocks.read(spans)
        *pieces, dictionary = self._blocks.read([*spans, wanted])
        self._prepare(dictionary)
        return pieces

    def _prepare(self, dictionary: bytes) -> None:
        if self._dictionary is not None:
            self._expander = _engine.RangedExpander(dictionary, self._layout["dict_crc"], self.name)
            self._dictionary = None

    # -- the engine's calls
    def __len__(self) -> int:
        self._check_open()
        return self._n

    def close(self) -> None:
        self.closed = True

    def get_raw(self, key: Any) -> bytes | None:
        return self.get_many_raw([key])[0]

    def get_stored(self, key: Any) -> bytes | None:
        return self._lookup([key], expand=False)[0]

    def contains(self, key: Any) -> bool:
        return self._find([key])[0][0] is not None

    def get(self, key: Any, missing: Any) -> Any:
        raw = self.get_raw(key)
        if raw is None:
            return missing
        return raw if self.decoder is None else self.decoder.decode(raw, key)

    def get_many_raw(self, keys: Iterable[Any]) -> list[bytes | None]:
        return self._lookup(list(keys), expand=True)

    def _lookup(self, keys: list[Any], expand: bool) -> list[bytes | None]:
        found = self._find(keys)
        return self._records([o for o, _ in found], {o: pre for o, pre in found if o is not None}, expand)

    def get_many(self, keys: Iterable[Any], missing: Any) -> list[Any]:
        keys = list(keys)
        raws = self.get_many_raw(keys)
        if self.decoder is None:
            return [missing if raw is None else raw for raw in raws]
        decoded: list[Any] = self.decoder.decode_many(raws, keys, missing)
        return decoded

    def bounds(self, start: Any, stop: Any) -> tuple[int, int]:
        targets = [self._bytes(k) for k in (start, stop) if k is not None]
        found = iter(self._index.lower_bounds(targets))
        first = 0 if start is None else next(found)
        last = self._n if stop is None else next(found)
        return first, max(first, last)

    def prefix_bounds(self, prefix: Any) -> tuple[int, int]:
        p = self._bytes(prefix)
        following = p.rstrip(b"\xff")
        if not following:
            return self._index.lower_bounds([p])[0], self._n
        first, last = self._index.lower_bounds([p, following[:-1] + bytes([following[-1] + 1])])
        return first, max(first, last)

    def cursor(self, begin: int, end: int, reverse: bool = False, what: int = _ITEMS, decoder: Any = None,
               bytes_keys: bool = False) -> Iterator[Any]:
        self._check_open()
        return self._walk(begin, min(end, self._n), reverse, what, decoder, bytes_keys)

    def objects_raw(self) -> list[bytes]:
        return [r for r in self._records(self._all_offsets()) if r is not None]

    def _all_offsets(self) -> list[int]:
        """Every record some key refers to, once each, in key order of their first key."""
        self._check_open()
        seen: dict[int, None] = {}
        for batch in self._index.forward(0, self._n, None):
            for _, offset in batch:
                seen.setdefault(offset)
        return list(seen)

    def stats(self) -> dict[str, Any]:
        self._check_open()
        crc = self._layout["file_crc32"]
        return {"path": self.name, "version": 2, "num_keys": self._n, "num_objects": self._layout["num_objects"],
                "index_offset": self._layout["index_offset"], "data_offset": 40, "file_size": self.source.size,
                "file_crc32": f"0x{crc:08x}", "hash_index": True,
                "compression": None if self._layout.get("dict_offset") is None else self._compression()}

    def _compression(self) -> dict[str, Any]:
        # Measured once: the version read is pinned, and repr and pickling ask for stats too.
        if self._figures is None:
            stored = functools.partial(self._records, expand=False)
            self._figures = compression_figures(self._index, self._layout, stored, self._ready_expander())
        return dict(self._figures)

    def _ready_expander(self) -> Any:
        if self._dictionary is not None:
            self._read([])
        return self._expander

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
        slots = self._read(spans)
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
        pieces = iter(self._read(wanted))
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

    def _records(self, offsets: Sequence[int | None], prefetched: dict[int, tuple[int, bytes]] | None = None,
                 expand: bool = True, ahead: list[tuple[int, int]] | None = None) -> list[Any]:
        """The checked payload at each offset (expanded in a compressed store unless *expand* is false).

        *prefetched* maps an offset to bytes read from a start at or before
        it; the spans *ahead* are read in the first round and their bytes
        appended to the result.
        """
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
        extra = list(ahead or [])
        while need or extra:
            spans = [(o, o + n) for o, n in need.items()]
            bufs = self._read(spans + extra)
            extra_pieces, extra = bufs[len(spans):], []
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
        expander = self._ready_expander() if expand else None
        if expander is not None:
            got = {o: expander.expand(r) for o, r in got.items()}
        out: list[Any] = [None if o is None else got[o] for o in offsets]
        return out + extra_pieces if ahead is not None else out

    # -- ordered walks
    def _bytes(self, key: Any) -> bytes:
        return _engine.ranged_probe(key, 0, 1)[0]

    def _walk(self, begin: int, end: int, reverse: bool, what: int, decoder: Any, bytes_keys: bool) -> Iterator[Any]:
        fetched: list[Any] = []

        def fetch(live: list[tuple[bytes, int]], ahead: list[tuple[int, int]]) -> list[bytes]:
            # A batch's records come in the round that reads the next chunk of entries.
            got = self._records([o for _, o in live], ahead=ahead)
            fetched[:] = got[: len(live)]
            return got[len(live) :]

        if reverse:
            batches = self._index.backward(begin, end)
        else:
            batches = self._index.forward(begin, end, None if what == _KEYS else fetch)
        for live in batches:
            if what == _KEYS:
                raws: list[Any] = [None] * len(live)
            else:
                raws = self._records([o for _, o in live]) if reverse else list(fetched)
            for (kb, _), raw in zip(live, raws):
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
