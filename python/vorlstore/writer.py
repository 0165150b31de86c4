"""VorlWriter and the one-call helper merge().

A writer collects objects (encoded as MessagePack when added) and keys in
memory and publishes them as one store file.  Each call that adds checks
everything it was given before it stores anything, so a call that raises
leaves the writer as it was.  Nothing here prints: a build returns its
summary.
"""

from __future__ import annotations

import os
import tempfile
from collections.abc import Iterable, Mapping, Sequence
from itertools import islice
from typing import Any, Literal, TypedDict, cast

from . import _engine
from ._codec import DefaultHook, Packer, check_raw
from ._compression import engine_level
from ._paths import StrPath, fspath
from .reader import Key, VorlReader
from .remote import StorageOptions, is_url


def _check_object(raw: Any) -> bytes:
    """The engine's fallback for objects its native check cannot vouch for."""
    return check_raw(bytes(raw))


class BuildSummary(TypedDict):
    """What a build published.

    ``objects`` counts the objects stored: one that no key reaches is left
    out.  ``duplicates`` counts the additions that named a key already
    added.  ``seconds`` is the wall time from the writer's (or builder's)
    creation to the end of the publish.
    """

    path: str
    objects: int
    keys: int
    bytes: int
    duplicates: int
    seconds: float


#: What adding a key again does: the new object wins, the first one stays,
#: or DuplicateKeyError.
OnDuplicate = Literal["last", "first", "error"]


#: What update() and build() take: a mapping, or (key, object) pairs.
_Pairs = Mapping[str, Any] | Mapping[bytes, Any] | Iterable[tuple[Key, Any]]

# Pairs are packed and handed to the engine this many at a time, which
# bounds the extra memory of update() and build() on long iterables.
_BATCH = 4096


class VorlWriter:
    """Collects objects and keys, then publishes them as one store file.

    Each object gets the next id (0, 1, 2, ...); any number of keys may refer
    to one object.  A key added again keeps its last object by default;
    ``on_duplicate="first"`` keeps its first, and ``"error"`` raises
    DuplicateKeyError naming the key, with nothing of that call added.  An
    object that no key reaches in the end is not stored.  ``default``
    and ``datetime`` are passed to MessagePack: ``datetime=True`` stores
    timezone-aware datetimes as the timestamp extension, which every reader
    reads back as an equal (UTC) datetime.  ``build`` may be called any
    number of times; it never changes the writer.  ``compression="zstd"``
    stores each record compressed with a dictionary trained on the first
    records, at zstd ``level`` (3 unless given).
    """

    __slots__ = ("_engine", "_packer")

    def __init__(
        self, *, default: DefaultHook | None = None, datetime: bool = False, on_duplicate: OnDuplicate = "last",
        compression: str | None = None, level: int | None = None,
    ) -> None:
        self._engine = _engine.Writer(on_duplicate, engine_level(compression, level))
        self._packer = Packer(default, datetime)

    def add(self, obj: Any, *keys: Key) -> int:
        """Store *obj* under *keys*; return its id.

        Raises InvalidObjectError when a reader could not read *obj* back
        (the message names the rule), InvalidKeyError for a key that cannot
        be stored; nothing is added then.
        """
        return self._engine.add(self._packer.pack(obj), keys)

    def add_raw(self, raw: bytes | bytearray | memoryview, *keys: Key) -> int:
        """Like `add`, for an object that is already MessagePack bytes (exactly one object)."""
        return self._engine.add(check_raw(bytes(raw)), keys)

    def add_many_raw(self, objects: Sequence[bytes], keys: Sequence[Key]) -> int:
        """Store ``objects[i]`` under ``keys[i]``, all checked first; return the first id."""
        objects = objects if isinstance(objects, (list, tuple)) else list(objects)
        return self._engine.add_many_raw(objects, keys, _check_object)

    def add_key(self, key: Key, obj_id: int) -> None:
        """Map *key* to the object with id *obj_id*."""
        self._engine.add_key(key, obj_id)

    def update(self, items: _Pairs, /) -> None:
        """Store each ``(key, obj)`` pair (or each item of a mapping), one object per key.

        Pairs are checked and added in batches: when one fails, the pairs of
        the batches before it stay added and none of its own batch is.
        """
        pairs: Iterable[tuple[Key, Any]] = items.items() if isinstance(items, Mapping) else items
        pack = self._packer.pack
        it = iter(pairs)
        while batch := list(islice(it, _BATCH)):
            keys = [key for key, _ in batch]
            self._engine.add_many([pack(obj) for _, obj in batch], keys)

    def build(self, path: StrPath, *, hash_index: bool = True, seed: int | None = None,
              storage_options: StorageOptions | None = None) -> BuildSummary:
        """Write the store to *path* atomically and return what was published.

        ``hash_index`` appends the on-disk hash index, which lets a reader
        open the store without building anything; readers without it ignore it.
        Its hash seed comes from the content, so the same adds give the same
        bytes; ``seed`` (0 to 2**64 - 1) chooses another.

        The file is written beside the target, synced and renamed over it.  A
        Ctrl-C pending before the write stops the build with the target
        untouched.

        A URL (``s3://...`` or a filesystem URL) is built into a local
        temporary file and uploaded; nothing shows at the URL until the
        upload is complete.
        """
        return _build_to(self._engine, fspath(path), storage_options, hash_index=hash_index, seed=seed)

    @property
    def last_build(self) -> BuildSummary | None:
        """The summary of the last build that published, or None.

        A Ctrl-C that arrives just as a build returns raises KeyboardInterrupt
        although the store was published; this tells such a caller the truth.
        """
        return cast(BuildSummary | None, self._engine.last_build)

    @property
    def num_objects(self) -> int:
        return self._engine.num_objects

    @property
    def num_keys(self) -> int:
        return self._engine.num_keys

    def __repr__(self) -> str:
        return f"VorlWriter(objects={self._engine.num_objects}, keys={self._engine.num_keys})"


def merge(
    target: StrPath,
    *stores: StrPath | VorlReader,
    delete: Iterable[Key] = (),
    verify: bool = False,
    hash_index: bool = True,
    seed: int | None = None,
    compression: str | None = None,
    level: int | None = None,
    storage_options: StorageOptions | None = None,
) -> BuildSummary:
    """Build *target* from the keys of *stores* but those in *delete*; a later store wins on a key held by several.

    Objects are copied as stored (not decoded again), each checked against
    its CRC as it is read, and an object that several keys of one store
    share stays one object; one that no key keeps is left out.  So a store
    updated with ``merge(path, path, changes, delete=gone)`` is the size of a
    fresh build of the same content.  *target* may be one of the stores: the
    new file replaces it only once complete.  ``verify=True`` checks each
    store's whole-file CRC first.  A compressed
    target takes the dictionary of the first store when that one is
    compressed, and copies the records made with it without recompressing.
    """
    gone = delete if isinstance(delete, (list, tuple)) else list(delete)
    # Stores given by URL are copied from a downloaded file, read whole anyway.
    with tempfile.TemporaryDirectory(prefix="vorlstore-merge-") as scratch:
        opened = [s if isinstance(s, VorlReader) else
                  VorlReader(s, verify=verify, storage_options=storage_options,
                             cache=scratch if is_url(fspath(s)) else None)
                  for s in stores]
        try:
            writer = _engine.Writer("last", engine_level(compression, level))
            engines = [r._engine for r in opened]
            for i, engine in enumerate(engines):
                writer.copy_from(engine, engines[i + 1 :], gone)
            return _build_to(writer, fspath(target), storage_options, hash_index=hash_index, seed=seed)
        finally:
            for reader, given in zip(opened, stores):
                if reader is not given:
                    reader.close()


def _build_to(engine: Any, path: str, storage_options: StorageOptions | None, **options: Any) -> BuildSummary:
    """engine.build at *path*, or, for a URL, into a local stage that is then uploaded."""
    if not is_url(path):
        return cast(BuildSummary, engine.build(os.fsencode(path), **options))
    from .remote.upload import Stage

    stage = Stage(path, storage_options)
    try:
        summary = engine.build(os.fsencode(stage.path), **options)
    except BaseException:
        stage.discard()
        raise
    return cast(BuildSummary, stage.publish(summary))


def add_hash_index(path: StrPath) -> BuildSummary:
    """Add the on-disk hash index to the store at *path*, replacing the file atomically."""
    return cast(BuildSummary, _engine.add_hash_index(os.fsencode(fspath(path))))


def temporary_path(path: StrPath) -> str:
    """Where a build of *path* writes before it publishes: what a failed build may leave behind."""
    return os.fsdecode(_engine.temporary_path(os.fsencode(fspath(path))))
