"""VorlReader: a store file opened read-only, as a lazy mapping from key to object.

Keys are listed as ``str``: UTF-8 decoded with "surrogateescape", so bytes
that are not UTF-8 come back as lone surrogates and look up their own entry,
the convention of :func:`os.fsdecode`.  Lookups take ``str`` (encoded the
same way), ``bytes`` or ``bytearray``.  Iteration, the views, ``prefix`` and
``range`` walk the file lazily in key order (ascending bytes).
"""

from __future__ import annotations

import functools
import os
from collections.abc import Callable, ItemsView, Iterable, Iterator, KeysView, Mapping, ValuesView
from types import TracebackType
from typing import Any, Generic, Literal, TypedDict, TypeVar, cast, overload

from ._native import _engine
from ._codec import ExtHook, ObjectHook, make_unpack, why_unreadable
from ._paths import StrPath, fspath
from .errors import CorruptError, StoreChangedError, foreign_file
from .remote import StorageOptions, display, is_url

#: A key as lookups accept it: text (stored as UTF-8, surrogateescape) or bytes.
Key = str | bytes | bytearray

#: The bytes a key is stored, looked up and ordered by (the engine's rule):
#: InvalidKeyError for text with no byte form, TypeError for other types.
key_bytes: Callable[[Key], bytes] = _engine.key_bytes

_KEYS, _VALUES, _ITEMS = 0, 1, 2
_T = TypeVar("_T")
# What a lookup answers for an absent key, which no stored object can be.
_MISSING: Any = object()


class CompressionStats(TypedDict):
    """The compression of a store whose records are compressed."""

    codec: str
    dictionary_size: int
    #: Records stored compressed (the others did not shrink).
    compressed_objects: int
    #: The distinct records' bytes as stored, and as MessagePack.
    stored_bytes: int
    decoded_bytes: int
    #: decoded_bytes / stored_bytes
    ratio: float
    #: True when the figures are scaled from a sample of the records (a store
    #: of more than 4096 keys), so that stats never reads the whole file.
    estimated: bool


class StoreStats(TypedDict):
    """What :meth:`VorlReader.stats` reports about a store file."""

    path: str
    version: int
    num_keys: int
    num_objects: int
    index_offset: int
    data_offset: int
    file_size: int
    file_crc32: str
    #: True when lookups use an index stored in the file rather than one built at open.
    hash_index: bool
    #: None for a store of records as they are, else what its compression comes to.
    compression: CompressionStats | None


class _Walked(Generic[_T]):
    """The views' iteration: a walk of the whole index, of what `_what` names."""

    _mapping: VorlReader
    _what: int

    def __iter__(self) -> Iterator[_T]:
        return self._mapping._walk(self._what, 0, None)

    def __reversed__(self) -> Iterator[_T]:
        return self._mapping._walk(self._what, 0, None, reverse=True)


class _Keys(_Walked[str], KeysView[str]):
    _what = _KEYS


class _Items(_Walked[tuple[str, Any]], ItemsView[str, Any]):
    _what = _ITEMS


class _Values(_Walked[Any], ValuesView[Any]):
    _what = _VALUES


#: What pins a reader to one version of its file: the header's file CRC and the size.
FileIdentity = tuple[str, int]


def file_identity(stats: StoreStats) -> FileIdentity:
    """The identity of the file *stats* describe, read from its header: no pass over the file."""
    return stats["file_crc32"], stats["file_size"]


def check_identity(path: str, pinned: FileIdentity, found: FileIdentity) -> None:
    """Raise StoreChangedError when *found* is not the *pinned* file version at *path*."""
    if found != pinned:
        exc = StoreChangedError(
            f"{path}: the file changed since the reader was pinned to it "
            f"(file_crc32 {pinned[0]}, {pinned[1]} bytes; now {found[0]}, {found[1]} bytes)"
        )
        exc.filename = path
        raise exc


def _reopen(
    path: str,
    verify: bool,
    object_hook: ObjectHook | None,
    ext_hook: ExtHook | None,
    identity: FileIdentity | None = None,
    check_reads: bool = True,
    storage_options: StorageOptions | None = None,
    cache: Any = None,
) -> VorlReader:
    reader = VorlReader(path, verify=verify, object_hook=object_hook, ext_hook=ext_hook, check_reads=check_reads,
                        storage_options=storage_options, cache=cache)
    if identity is not None:
        try:
            check_identity(path, identity, file_identity(reader.stats()))
        except StoreChangedError:
            reader.close()
            raise
    return reader


class VorlReader(Mapping[str, Any]):
    """A store file opened read-only, as a mapping from key to object.

    Opening checks the file's structure (header, index bounds, and the hash
    index's trailer when there is one) and costs O(1) with the on-disk hash
    index; every read then checks the CRC-32 of each record it reads, so a
    damaged record raises CorruptError rather than giving a wrong object.
    ``verify=True`` adds the whole-file CRC at open (a pass over the file),
    as ``verify()`` does at any time; ``check_reads=False`` drops the
    per-read check.  ``object_hook`` and ``ext_hook`` are passed to
    MessagePack as they are.  ``close()`` (or leaving a ``with`` block)
    releases the file; later use raises ``ValueError``.  A reader pickles
    pinned to its file: unpickling reopens the path and raises
    StoreChangedError when it now holds another version (by the header's
    file CRC and the size).  One instance may be shared by threads.

    *path* may be a URL (``s3://bucket/key``, ``http(s)://...`` or any URL
    fsspec knows), with ``storage_options`` for its credentials and endpoint.
    A URL is read by byte ranges (each record checked against its own CRC;
    ``verify()`` checks the whole file), or, with ``cache=DIR`` (``True``
    for the package's cache directory), downloaded once and mapped.
    """

    __slots__ = ("_engine", "_path", "_url", "_verify", "_check_reads", "_object_hook", "_ext_hook", "_decoder",
                 "_options", "_cache")

    def __init__(
        self,
        path: StrPath,
        *,
        verify: bool = False,
        check_reads: bool = True,
        object_hook: ObjectHook | None = None,
        ext_hook: ExtHook | None = None,
        storage_options: StorageOptions | None = None,
        cache: StrPath | bool | None = None,
    ) -> None:
        self._url = fspath(path)
        # Messages and reprs show a URL without its credentials.
        self._path = display(self._url) if is_url(self._url) else self._url
        self._options = storage_options
        self._cache = cache
        self._verify = verify
        self._check_reads = check_reads
        self._object_hook = object_hook
        self._ext_hook = ext_hook
        # The engine decodes plain objects itself; hooks, and bytes it leaves
        # to msgpack, go through the fallback.
        fallback = functools.partial(_decode, make_unpack(object_hook, ext_hook), self._path)
        self._decoder = _engine.Decoder(fallback, object_hook is None and ext_hook is None)
        if is_url(self._url):
            from .remote.opening import open_engine

            self._engine = cast(_engine.Reader, open_engine(self._url, storage_options, verify, cache))
        else:
            try:
                self._engine = _engine.Reader(os.fsencode(self._path), verify, check_reads)
            except CorruptError as e:
                raise foreign_file(e, self._path) from None
        self._engine.decoder = self._decoder

    # -- Mapping protocol
    def __getitem__(self, key: Key) -> Any:
        obj = self._engine.get(key, _MISSING)
        if obj is _MISSING:
            raise KeyError(key)
        return obj

    @overload
    def get(self, key: Key, /) -> Any | None: ...
    @overload
    def get(self, key: Key, /, default: Any) -> Any: ...

    def get(self, key: Key, /, default: Any = None) -> Any:
        return self._engine.get(key, default)

    def __contains__(self, key: object) -> bool:
        return self._engine.contains(cast(Key, key))

    def __len__(self) -> int:
        return len(self._engine)

    def __iter__(self) -> Iterator[str]:
        return self._walk(_KEYS, 0, None)

    def __reversed__(self) -> Iterator[str]:
        return self._walk(_KEYS, 0, None, reverse=True)

    def keys(self) -> KeysView[str]:
        return _Keys(self)

    def items(self) -> ItemsView[str, Any]:
        return _Items(self)

    def values(self) -> ValuesView[Any]:
        return _Values(self)

    # -- Store-specific queries
    def get_raw(self, key: Key) -> bytes | None:
        """The MessagePack bytes for *key* (decompressed in a compressed store), or None."""
        return self._engine.get_raw(key)

    def get_stored(self, key: Key) -> bytes | None:
        """The bytes stored for *key* as they lie in the file (compressed or not), or None."""
        return self._engine.get_stored(key)

    def get_many_raw(self, keys: Iterable[Key]) -> list[bytes | None]:
        """The stored MessagePack bytes (or None) for each of *keys*, in order."""
        return self._engine.get_many_raw(keys)

    def get_many(self, keys: Iterable[Key], default: Any = None) -> list[Any]:
        """The object (or *default*) for each of *keys*, in order."""
        return self._engine.get_many(keys, default)

    def prefix(self, prefix: Key) -> Iterator[tuple[str, Any]]:
        """``(key, obj)`` pairs of every key that starts with *prefix*, in key order, lazily."""
        begin, end = self._engine.prefix_bounds(prefix)
        return self._walk(_ITEMS, begin, end)

    def prefix_keys(self, prefix: Key) -> Iterator[str]:
        """Keys that start with *prefix*, in key order, lazily (objects are not read)."""
        begin, end = self._engine.prefix_bounds(prefix)
        return self._walk(_KEYS, begin, end)

    def range(
        self, start: Key | None = None, stop: Key | None = None, reverse: bool = False
    ) -> Iterator[tuple[str, Any]]:
        """``(key, obj)`` pairs with ``start <= key < stop`` (by bytes), lazily; None leaves a side open."""
        begin, end = self._engine.bounds(start, stop)
        return self._walk(_ITEMS, begin, end, reverse=reverse)

    def objects(self) -> list[Any]:
        """Every object that some key refers to, once each."""
        return self._decoder.decode_many(self._engine.objects_raw(), None, None)

    def stats(self) -> StoreStats:
        """File metadata: path, version, counts, offsets, size and checksum."""
        return cast(StoreStats, self._engine.stats())

    def verify(self) -> Literal[True]:
        """Check every checksum; True, or raise CorruptError on the first mismatch."""
        self._engine.verify()
        return True

    @property
    def path(self) -> str:
        return self._path

    @property
    def closed(self) -> bool:
        return self._engine.closed

    def close(self) -> None:
        """Release the file.  Later calls raise ValueError; closing again does nothing."""
        self._engine.close()

    def __enter__(self) -> VorlReader:
        if self._engine.closed:
            raise ValueError("I/O operation on closed store")
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    def __reduce__(self) -> tuple[Callable[..., VorlReader], tuple[Any, ...]]:
        if self._engine.closed:
            raise ValueError("I/O operation on closed store")
        identity = file_identity(self.stats())
        if self._url is not self._path:
            return _reopen, (self._url, self._verify, self._object_hook, self._ext_hook, identity, self._check_reads,
                             self._options, self._cache)
        return _reopen, (self._path, self._verify, self._object_hook, self._ext_hook, identity, self._check_reads)

    def __repr__(self) -> str:
        if self._engine.closed:
            return f"VorlReader({self._path!r}, closed)"
        stats = self._engine.stats()
        return f"VorlReader({self._path!r}, keys={stats['num_keys']}, objects={stats['num_objects']})"

    # -- Internals
    def _walk(self, what: int, begin: int, end: int | None, reverse: bool = False) -> Iterator[Any]:
        stop = len(self._engine) if end is None else end
        decoder = None if what == _KEYS else self._decoder
        return cast(Iterator[Any], self._engine.cursor(begin, stop, reverse, what, decoder))


def _decode(unpack: Callable[[bytes], Any], path: str, key: Key | None, raw: bytes) -> Any:
    """msgpack's reading of *raw*; bytes no reader can decode raise CorruptError naming *key*."""
    try:
        return unpack(raw)
    except Exception:
        why = why_unreadable(raw)
        if why is None:  # a hook's own error passes through
            raise
        where = f"the object of key {key!r}" if key is not None else "a stored object"
        exc = CorruptError(f"{path}: {where} cannot be read: {why}")
        exc.filename = path
        raise exc from None
