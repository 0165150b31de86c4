"""MessagePack-level wrappers over the native `_VorlWriter` and `_VorlReader`.

The native classes move opaque bytes; these classes encode objects on the way
in and decode them on the way out.  Errors raised by the native layer pass
through unchanged.
"""

from __future__ import annotations

import os
from collections.abc import ItemsView, Iterator, KeysView, Mapping, ValuesView
from types import TracebackType
from typing import Any, Union, cast, overload

import msgpack

from ._vorlstore import _VorlReader, _VorlWriter

#: A key as the store accepts it: text (stored as UTF-8) or bytes.
Key = Union[str, bytes, bytearray]

_unpackb = msgpack.unpackb


def _encode(obj: Any) -> bytes:
    packed: bytes = msgpack.packb(obj, use_bin_type=True)
    return packed


def _decode(raw: bytes) -> Any:
    # Maps with integer or other non-text keys round-trip like everything else.
    return _unpackb(raw, raw=False, strict_map_key=False)


def _fspath(path: str | os.PathLike[str]) -> str:
    """The path as `str`; `bytes` paths are refused rather than guessed at."""
    p = os.fspath(path)
    if not isinstance(p, str):
        raise TypeError(f"path must be str or os.PathLike[str], not {type(p).__name__}")
    return p


class VorlWriter:
    """Collects objects and keys, then publishes them as one store file.

    Each object gets the next id (0, 1, 2, ...); any number of keys may refer
    to one object, and a key added again keeps its last object.  `build` may
    be called any number of times; it never changes the writer.
    """

    __slots__ = ("_raw",)

    def __init__(self) -> None:
        self._raw = _VorlWriter()

    def add(self, obj: Any, *keys: Key) -> int:
        """Store *obj* (MessagePack-encodable) under *keys*; return its id."""
        obj_id: int = self._raw.add_object_raw(_encode(obj))
        add_key = self._raw.add_key
        for key in keys:
            add_key(key, obj_id)
        return obj_id

    def add_raw(self, raw: bytes, *keys: Key) -> int:
        """Like `add`, for an object that is already MessagePack bytes."""
        obj_id: int = self._raw.add_object_raw(raw)
        for key in keys:
            self._raw.add_key(key, obj_id)
        return obj_id

    def add_key(self, key: Key, obj_id: int) -> None:
        """Map *key* to the object with id *obj_id*."""
        self._raw.add_key(key, obj_id)

    def build(self, path: str | os.PathLike[str]) -> None:
        """Write the store to *path* atomically (temporary file, fsync, rename)."""
        self._raw.build(_fspath(path))

    def __repr__(self) -> str:
        return repr(self._raw).replace("_VorlWriter", "VorlWriter", 1)


class _ReaderKeys(KeysView[str]):
    _mapping: VorlReader

    def __iter__(self) -> Iterator[str]:
        return iter(self._mapping._raw.keys())


class _ReaderItems(ItemsView[str, Any]):
    _mapping: VorlReader

    def __iter__(self) -> Iterator[tuple[str, Any]]:
        for key, raw in self._mapping._raw.items_raw():
            yield key, _decode(raw)


class _ReaderValues(ValuesView[Any]):
    _mapping: VorlReader

    def __iter__(self) -> Iterator[Any]:
        for _key, raw in self._mapping._raw.items_raw():
            yield _decode(raw)


class VorlReader(Mapping[str, Any]):
    """A store file opened read-only, as a mapping from key to object.

    Lookups accept `str` or `bytes` keys; listings return keys as `str`
    (invalid UTF-8 shown with U+FFFD) in sorted order.  The file is checked
    against its whole-file checksum on open unless ``verify=False``.  One
    instance may be shared by any number of threads.
    """

    __slots__ = ("_raw", "_len")

    def __init__(self, path: str | os.PathLike[str], *, verify: bool = True) -> None:
        self._raw = _VorlReader(_fspath(path), verify)
        self._len: int = self._raw.stats()["num_keys"]

    # -- Mapping protocol
    def __getitem__(self, key: Key) -> Any:
        raw = self._raw.get_raw(key)
        if raw is None:
            raise KeyError(key)
        return _decode(raw)

    @overload
    def get(self, key: Key, /) -> Any | None: ...
    @overload
    def get(self, key: Key, /, default: Any) -> Any: ...

    def get(self, key: Key, /, default: Any = None) -> Any:
        raw = self._raw.get_raw(key)
        return default if raw is None else _decode(raw)

    def __contains__(self, key: object) -> bool:
        # Unusable keys reach the native check, which raises its ValueError.
        return bool(self._raw.exists(cast(Key, key)))

    def __len__(self) -> int:
        return self._len

    def __iter__(self) -> Iterator[str]:
        return iter(self._raw.keys())

    def keys(self) -> KeysView[str]:
        return _ReaderKeys(self)

    def items(self) -> ItemsView[str, Any]:
        return _ReaderItems(self)

    def values(self) -> ValuesView[Any]:
        return _ReaderValues(self)

    # -- Store-specific queries
    def get_raw(self, key: Key) -> bytes | None:
        """The stored MessagePack bytes for *key*, or None."""
        raw: bytes | None = self._raw.get_raw(key)
        return raw

    def prefix(self, prefix: Key) -> list[tuple[str, Any]]:
        """Sorted ``(key, obj)`` pairs of every key that starts with *prefix*."""
        return [(key, _decode(raw)) for key, raw in self._raw.prefix_raw(prefix)]

    def prefix_keys(self, prefix: Key) -> list[str]:
        """Sorted keys that start with *prefix* (objects are not decoded)."""
        return [key for key, _raw in self._raw.prefix_raw(prefix)]

    def objects(self) -> list[Any]:
        """Every object that some key refers to, once each."""
        return [_decode(raw) for raw in self._raw.objects_raw()]

    def stats(self) -> dict[str, Any]:
        """File metadata: path, version, counts, offsets, size and checksum."""
        return dict(self._raw.stats())

    def verify(self) -> bool:
        """Check every checksum; True, or raise on the first mismatch."""
        return bool(self._raw.verify())

    def close(self) -> None:
        """Kept for symmetry with files; the mapping lives as long as the reader."""
        self._raw.close()

    def __enter__(self) -> VorlReader:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return repr(self._raw).replace("_VorlReader", "VorlReader", 1)
