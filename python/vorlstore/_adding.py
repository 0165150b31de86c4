"""The adding surface that VorlWriter and StoreBuilder share, over the engine's Adder.

Each call that adds checks everything it was given before it stores
anything, so a call that raises leaves the store as it was.  An object that
cannot be stored raises EncodeError or InvalidObjectError naming its keys
(and the file, once there is one).  One writer may be fed by several
threads: each object is packed on its own and each engine call is atomic.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from itertools import islice
from typing import Any, Generic, Literal, TypeVar

from ._native import _engine
from ._codec import DefaultHook, Packer, check_raw
from .reader import Key

#: What adding a key again does: the new object wins, the first one stays,
#: or DuplicateKeyError.
OnDuplicate = Literal["last", "first", "error"]

#: What update() and build() take: a mapping, or (key, object) pairs.
Pairs = Mapping[str, Any] | Mapping[bytes, Any] | Iterable[tuple[Key, Any]]

# update() packs and hands over pairs this many at a time, which bounds the
# extra memory of a long iterable.
_BATCH = 4096

_E = TypeVar("_E", bound=_engine.Adder)


def _check_object(raw: Any) -> bytes:
    """The engine's fallback for objects its native check cannot vouch for."""
    return check_raw(bytes(raw))


class Adding(Generic[_E]):
    """Adds objects and keys to the engine's writer or builder ``_engine``."""

    __slots__ = ("_engine", "_packer")

    def __init__(self, engine: _E, default: DefaultHook | None, datetime: bool) -> None:
        self._engine = engine
        self._packer = Packer(default, datetime)

    def _filename(self) -> str | None:
        """The file that errors name, when there is one yet."""
        return None

    def add(self, obj: Any, *keys: Key) -> int:
        """Store *obj* under *keys*; return its id.

        Raises EncodeError or InvalidObjectError when a reader could not read
        *obj* back (the message names the rule), InvalidKeyError for a key
        that cannot be stored; nothing is added then.
        """
        return self._engine.add(self._packer.pack(obj, keys, self._filename()), keys)

    def add_raw(self, raw: bytes | bytearray | memoryview, *keys: Key) -> int:
        """Like `add`, for an object that is already MessagePack bytes (exactly one object)."""
        return self._engine.add(check_raw(bytes(raw)), keys)

    def add_many_raw(self, objects: Iterable[bytes], keys: Iterable[Key]) -> int:
        """Store ``objects[i]`` under ``keys[i]``, all checked first; return the first id."""
        return self._engine.add_many_raw(objects, keys, _check_object)

    def add_key(self, key: Key, obj_id: int) -> None:
        """Map *key* to the object with id *obj_id*."""
        self._engine.add_key(key, obj_id)

    def update(self, items: Pairs, /) -> None:
        """Store each ``(key, obj)`` pair (or each item of a mapping), one object per key.

        Pairs are checked and added in batches: when one fails, the pairs of
        the batches before it stay added and none of its own batch is.
        """
        pairs: Iterable[tuple[Key, Any]] = items.items() if isinstance(items, Mapping) else items
        pack, filename = self._packer.pack, self._filename()
        it = iter(pairs)
        while batch := list(islice(it, _BATCH)):
            keys = [key for key, _ in batch]
            self._engine.add_many([pack(obj, (key,), filename) for key, obj in batch], keys)

    @property
    def num_objects(self) -> int:
        return self._engine.num_objects

    @property
    def num_keys(self) -> int:
        return self._engine.num_keys


__all__ = ["Adding", "OnDuplicate", "Pairs"]
