"""Reading a published set: `StoreSet`, one read-only mapping over its shards.

Opening reads the pointer, then that generation's manifest, then every
shard, checking each against its manifest entry.  Two publications between
reading the pointer and opening its shards can remove the generation: the
open then starts again from the pointer, which names a newer one.
"""

from __future__ import annotations

import heapq
import itertools
import os
from collections.abc import Callable, ItemsView, Iterable, Iterator, Mapping, Sequence, ValuesView
from types import TracebackType
from typing import Any

from .._paths import StrPath, fspath
from ..errors import CorruptError, StoreChangedError
from ..reader import Key, VorlReader, key_bytes
from ..remote import StorageOptions
from .manifest import FORMAT, MANIFEST, POINTER, VERSION, ShardInfo, decode_manifest
from .publication import LocalStorage, current_generation

# Each retry follows a pointer that moved on twice while the open read one
# generation: a run of failures needs publications faster than opens.
_OPEN_ATTEMPTS = 10


def _merged(sources: Sequence[Iterable[Any]], ordered: bool, key: Callable[[Any], bytes],
            reverse: bool = False) -> Iterator[Any]:
    # Range shards are already in key order one after another; hashed ones interleave.
    if ordered:
        return itertools.chain.from_iterable(reversed(sources) if reverse else sources)
    return heapq.merge(*sources, key=key, reverse=reverse)


def _pair_key(pair: tuple[str, Any]) -> bytes:
    return key_bytes(pair[0])


def _prefix_end(prefix: bytes) -> bytes | None:
    """The smallest key above every key that starts with *prefix*, or None."""
    stripped = prefix.rstrip(b"\xff")
    if not stripped:
        return None
    return stripped[:-1] + bytes([stripped[-1] + 1])


_MISSING = object()


class StoreSet(Mapping[str, Any]):
    """A published store set opened read-only, as one mapping from key to object.

    Opens the generation that CURRENT names (or *generation*) and every shard
    in it, checking each shard against its manifest entry (from the shard's
    header, in O(1)); each read checks the CRC of the records it reads, as
    VorlReader's do.  With ``verify=True`` every shard's whole-file checksum
    is checked too.  Later publications do not change an open set.  Pickles
    pinned to its generation, so a copy sent to another process reads the
    same set, or raises StoreChangedError when that generation is gone.
    """

    def __init__(self, directory: StrPath, *, verify: bool = False, generation: str | None = None,
                 storage_options: StorageOptions | None = None) -> None:
        self.directory = fspath(directory)
        # A set by URL (s3://bucket/set) reads its pointer, manifest and shards remotely.
        self._options = storage_options
        # Imported here: the S3 storage itself imports the set layout from this package.
        from ..remote.set_storage import storage_for

        self._storage = storage_for(self.directory, storage_options)
        storage = self._storage or LocalStorage(self.directory)
        self._verify = verify
        self._readers: list[VorlReader] | None = None
        pinned = generation is not None
        for _attempt in range(_OPEN_ATTEMPTS):
            if generation is None:
                generation = current_generation(storage)
                if generation is None:
                    raise FileNotFoundError(2, "no store set published here", os.path.join(self.directory, POINTER))
            try:
                self._open(generation)
                return
            except FileNotFoundError:
                # Two publications between reading the pointer and opening its
                # generation removed it; the pointer names a newer one.
                if pinned or current_generation(storage) == generation:
                    raise
                generation = None
        raise CorruptError(f"{self.directory}: the published generation kept changing while opening")

    def _open(self, generation: str) -> None:
        where = os.path.join(self.directory, generation, MANIFEST)
        if self._storage is not None:
            self.routing, self.shards = decode_manifest(self._storage.read_manifest(generation), where)
        else:
            with open(where, "rb") as f:
                self.routing, self.shards = decode_manifest(f.read(), where)
        readers: list[VorlReader] = []
        try:
            for info in self.shards:
                path = os.path.join(self.directory, generation, info.file)
                readers.append(VorlReader(path, verify=self._verify, storage_options=self._options))
                _check_shard(readers[-1], info, path)
        except BaseException:
            for r in readers:
                r.close()
            raise
        self.generation = generation
        self._len = sum(s.keys for s in self.shards)
        self._readers = readers

    def _live(self) -> list[VorlReader]:
        if self._readers is None:
            raise ValueError("I/O operation on closed store set")
        return self._readers

    def _reader_for(self, kb: bytes) -> VorlReader:
        return self._live()[self.routing.shard_of(kb)]

    # -- Mapping protocol; shards are asked by key bytes, which every key has.
    def __getitem__(self, key: Key) -> Any:
        kb = key_bytes(key)
        value = self._reader_for(kb).get(kb, _MISSING)
        if value is _MISSING:
            raise KeyError(key)
        return value

    def get(self, key: Key, /, default: Any = None) -> Any:
        kb = key_bytes(key)
        return self._reader_for(kb).get(kb, default)

    def __contains__(self, key: object) -> bool:
        if not isinstance(key, (str, bytes, bytearray)):
            return False
        kb = key_bytes(key)
        return self._reader_for(kb).get_raw(kb) is not None

    def __len__(self) -> int:
        self._live()
        return self._len

    def __iter__(self) -> Iterator[str]:
        return _merged(self._live(), self.routing.ordered, key_bytes)

    def items(self) -> _SetItems:
        return _SetItems(self)

    def values(self) -> _SetValues:
        return _SetValues(self)

    # -- Queries across shards
    def get_many(self, keys: Iterable[Key], default: Any = None) -> list[Any]:
        """The object of each key, in order; one batched lookup per shard over its keys."""
        encoded = [key_bytes(k) for k in keys]
        by_shard: dict[int, list[int]] = {}
        shard_of = self.routing.shard_of
        for i, kb in enumerate(encoded):
            by_shard.setdefault(shard_of(kb), []).append(i)
        readers = self._live()
        out: list[Any] = [default] * len(encoded)
        for shard, positions in by_shard.items():
            found = readers[shard].get_many([encoded[i] for i in positions], default)
            for i, value in zip(positions, found):
                out[i] = value
        return out

    def prefix(self, prefix: Key) -> Iterator[tuple[str, Any]]:
        """(key, object) pairs of every key starting with *prefix*, in key order."""
        p = key_bytes(prefix)
        readers = self._live()
        shards = self.routing.span(p, _prefix_end(p))
        return _merged([_lazy(readers[s].prefix, p) for s in shards], self.routing.ordered, _pair_key)

    def prefix_keys(self, prefix: Key) -> Iterator[str]:
        """Keys starting with *prefix*, in key order (objects are not read)."""
        p = key_bytes(prefix)
        readers = self._live()
        shards = self.routing.span(p, _prefix_end(p))
        return _merged([_lazy(readers[s].prefix_keys, p) for s in shards], self.routing.ordered, key_bytes)

    def range(self, start: Key | None = None, stop: Key | None = None,
              reverse: bool = False) -> Iterator[tuple[str, Any]]:
        """(key, object) pairs with start <= key < stop, in key order (or reversed)."""
        lo = None if start is None else key_bytes(start)
        hi = None if stop is None else key_bytes(stop)
        readers = self._live()
        sources = [_shard_range(readers[s], lo, hi, reverse) for s in self.routing.span(lo, hi)]
        return _merged(sources, self.routing.ordered, _pair_key, reverse)

    def stats(self) -> dict[str, Any]:
        """The set's routing and totals, and each shard's own statistics."""
        readers = self._live()
        return {
            "directory": self.directory,
            "generation": self.generation,
            "format": FORMAT,
            "version": VERSION,
            "routing": self.routing.to_json(),
            "num_keys": self._len,
            "num_objects": sum(s.objects for s in self.shards),
            "bytes": sum(s.bytes for s in self.shards),
            "shards": [r.stats() for r in readers],
        }

    def verify(self) -> bool:
        """Check every shard's checksums, its manifest entry and that its keys route to it; True, or raise."""
        shard_of = self.routing.shard_of
        for i, (reader, info) in enumerate(zip(self._live(), self.shards, strict=True)):
            reader.verify()
            path = str(reader.stats()["path"])
            _check_shard(reader, info, path)
            for key in reader:
                if shard_of(key_bytes(key)) != i:
                    raise CorruptError(f"{path}: key {key!r} belongs in shard {shard_of(key_bytes(key))}, "
                                       f"not in shard {i}: the shards do not match the routing")
        return True

    # -- Lifecycle
    def close(self) -> None:
        """Release every shard; later calls raise ValueError."""
        readers, self._readers = self._readers, None
        for r in readers or ():
            r.close()

    def __enter__(self) -> StoreSet:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    def __reduce__(self) -> tuple[Any, ...]:
        return (_reopen, (self.directory, self.generation, self._verify, tuple(self.shards), self._options))

    def __repr__(self) -> str:
        state = "closed" if self._readers is None else f"{self.routing.shards} shards, {self._len} keys"
        return f"StoreSet({self.directory!r}, generation={self.generation!r}, {state})"


def _reopen(directory: str, generation: str, verify: bool, shards: Sequence[ShardInfo] | None = None,
            storage_options: StorageOptions | None = None) -> StoreSet:
    try:
        found = StoreSet(directory, verify=verify, generation=generation, storage_options=storage_options)
    except FileNotFoundError:
        raise _changed(directory, generation) from None
    if shards is not None and list(found.shards) != list(shards):
        found.close()
        raise _changed(directory, generation)
    return found


def _changed(directory: str, generation: str) -> StoreChangedError:
    exc = StoreChangedError(f"{directory}: generation {generation} of the store set it was pinned to is gone")
    exc.filename = directory
    return exc


def _check_shard(reader: VorlReader, info: ShardInfo, path: str) -> None:
    stats = reader.stats()
    found = (int(stats["num_keys"]), int(stats["num_objects"]), int(stats["file_crc32"], 16),
             int(stats["file_size"]))
    expected = (info.keys, info.objects, info.crc32, info.bytes)
    if found != expected:
        raise CorruptError(f"{path}: keys, objects, checksum, size are {found}, the manifest says {expected}")


def _lazy(query: Callable[..., Iterable[Any]], *args: Any) -> Iterator[Any]:
    # Deferred so that a merge starts each shard's scan only when it reaches it.
    yield from query(*args)


def _shard_range(reader: VorlReader, lo: bytes | None, hi: bytes | None, reverse: bool) -> Iterator[tuple[str, Any]]:
    native = getattr(reader, "range", None)
    if native is not None:
        yield from native(lo, hi, reverse=reverse)
        return
    pairs = (kv for kv in reader.items()
             if (lo is None or key_bytes(kv[0]) >= lo) and (hi is None or key_bytes(kv[0]) < hi))
    yield from (reversed(list(pairs)) if reverse else pairs)


class _SetItems(ItemsView[str, Any]):
    _mapping: StoreSet

    def __iter__(self) -> Iterator[tuple[str, Any]]:
        s = self._mapping
        return _merged([_lazy(r.items) for r in s._live()], s.routing.ordered, _pair_key)


class _SetValues(ValuesView[Any]):
    _mapping: StoreSet

    def __iter__(self) -> Iterator[Any]:
        return (obj for _key, obj in _SetItems(self._mapping))
