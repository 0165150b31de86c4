"""StoreBuilder, and build(): a store built by streaming objects to its temporary file.

Unlike VorlWriter, objects do not stay in memory: each goes to the file as
it is added, and only the keys wait for the commit.  Leaving the ``with``
block normally commits; leaving it by an exception (KeyboardInterrupt
included) discards, which removes the temporary file and leaves the target
as it was.
"""

from __future__ import annotations

import os
from typing import cast

from ._native import _engine
from ._adding import Adding, OnDuplicate, Pairs
from ._codec import DefaultHook
from ._committing import CommitsOnExit
from ._record_compression import engine_level
from ._paths import StrPath, fspath
from .remote import StorageOptions, is_url
from .writer import BuildSummary


class StoreBuilder(Adding[_engine.Builder], CommitsOnExit):
    """Streams objects and keys into a new store at *path*; see the module docstring.

    The adding calls, the encoding options, ``on_duplicate``, ``seed``,
    ``compression`` and ``level`` are VorlWriter's.  A compressed streaming
    build writes each object as it comes and keeps a sample of 4-8 MiB spread
    evenly over all of them; commit() trains the dictionary on it and
    compresses the records in one pass over the temporary file, which holds
    them uncompressed until then.  After
    commit() or discard() every call fails; ``last_build`` keeps the summary
    of the commit.
    """

    __slots__ = ("_path", "_stage")

    def __init__(self, path: StrPath, *, hash_index: bool = True, default: DefaultHook | None = None,
                 datetime: bool = False, on_duplicate: OnDuplicate = "last", seed: int | None = None,
                 compression: str | None = None, level: int | None = None,
                 storage_options: StorageOptions | None = None) -> None:
        self._path = fspath(path)
        # A URL is built into a local stage and uploaded by commit().
        self._stage = None
        local = self._path
        if is_url(self._path):
            from .remote.upload import Stage

            self._stage = Stage(self._path, storage_options)
            local, self._path = self._stage.path, self._stage.name
        try:
            engine = _engine.Builder(os.fsencode(local), hash_index, on_duplicate, seed,
                                     engine_level(compression, level))
        except BaseException:
            self._discard_stage()
            raise
        super().__init__(engine, default, datetime)

    def _filename(self) -> str | None:
        return self._path

    def commit(self) -> BuildSummary:
        """Publish the store atomically and return what was published."""
        if self._stage is None:
            return cast(BuildSummary, self._engine.commit())
        try:
            summary = self._engine.commit()
        except BaseException:
            self._discard_stage()
            raise
        stage, self._stage = self._stage, None
        return cast(BuildSummary, stage.publish(summary))

    def discard(self) -> None:
        """Give up: remove the temporary file.  Does nothing once finished."""
        self._engine.discard()
        self._discard_stage()

    def _discard_stage(self) -> None:
        if self._stage is not None:
            self._stage.discard()
            self._stage = None

    @property
    def last_build(self) -> BuildSummary | None:
        """The summary of the commit that published, or None (also after a ``with`` block)."""
        return cast(BuildSummary | None, self._engine.last_build)

    @property
    def finished(self) -> bool:
        return self._engine.finished

    def _settled(self) -> bool:
        return self._engine.finished

    def __repr__(self) -> str:
        return f"StoreBuilder({self._path!r}, objects={self.num_objects}, keys={self.num_keys})"


def build(
    path: StrPath,
    items: Pairs,
    *,
    default: DefaultHook | None = None,
    datetime: bool = False,
    hash_index: bool = True,
    on_duplicate: OnDuplicate = "last",
    seed: int | None = None,
    compression: str | None = None,
    level: int | None = None,
    storage_options: StorageOptions | None = None,
) -> BuildSummary:
    """Build a store at *path* (or a URL) from ``(key, obj)`` pairs or a mapping, in one call.

    Objects stream to the file as *items* yields them; only the keys wait in
    memory (and, when compressing, a sample of the objects, which trains
    the dictionary at the commit).  When *items* raises, the target stays as it was.  The
    options are StoreBuilder's.
    """
    with StoreBuilder(path, hash_index=hash_index, default=default, datetime=datetime, on_duplicate=on_duplicate,
                      seed=seed, compression=compression, level=level,
                      storage_options=storage_options) as builder:
        builder.update(items)
        return builder.commit()
