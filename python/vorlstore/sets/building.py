"""Building a set: shards from (key, object) pairs, or streamed by `SetBuilder`.

Every shard is a `StoreBuilder`'s store, written by temporary file and
rename inside a `Publication`'s generation; its build summary is what the
manifest records, so nothing is reopened to learn what was written.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Any

from .._adding import OnDuplicate
from .._codec import DefaultHook, Packer
from .._committing import CommitsOnExit
from .._paths import StrPath
from ..builder import StoreBuilder
from ..errors import UsageError
from ..reader import Key, VorlReader, key_bytes
from ..remote import StorageOptions
from ..writer import BuildSummary
from .manifest import ShardInfo
from .publication import Publication, open_storage
from .routing import Routing, key_sample, plan_routing

_PACKER = Packer()


def encode_object(obj: Any) -> bytes:
    """An object as the package's writer stores it, for building shards elsewhere."""
    return _PACKER.pack(obj)


def shard_info(summary: BuildSummary, storage_options: StorageOptions | None = None) -> ShardInfo:
    """A built shard's manifest entry, from its build summary."""
    crc32: Any = summary.get("crc32")
    if crc32 is None:  # a summary without the checksum: read it from the file
        with VorlReader(summary["path"], verify=False, storage_options=storage_options) as r:
            crc32 = int(r.stats()["file_crc32"], 16)
    return ShardInfo(file=os.path.basename(summary["path"]), keys=int(summary["keys"]),
                     objects=int(summary["objects"]), bytes=int(summary["bytes"]), crc32=int(crc32))


def build_shard(path: str, entries: Iterable[tuple[bytes, Any]], *, raw: bool = False,
                on_duplicate: OnDuplicate = "last", storage_options: StorageOptions | None = None) -> ShardInfo:
    """Write one shard from (key bytes, object) pairs; an equal key follows *on_duplicate*.

    The builder streams to a temporary file and renames it, so a task killed
    midway leaves at most a temporary file, which the publication removes.
    A shard URL is built in local scratch space and uploaded by the commit.
    """
    return build_counted_shard(path, entries, raw=raw, on_duplicate=on_duplicate,
                               storage_options=storage_options)[0]


def build_counted_shard(path: str, entries: Iterable[tuple[bytes, Any]], *, raw: bool = False,
                        on_duplicate: OnDuplicate = "last",
                        storage_options: StorageOptions | None = None) -> tuple[ShardInfo, int]:
    """`build_shard`, and how many of the entries repeated a key."""
    with StoreBuilder(path, on_duplicate=on_duplicate, storage_options=storage_options) as builder:
        add = builder.add_raw if raw else builder.add
        for kb, obj in entries:
            add(obj, kb)
        summary = builder.commit()
    return shard_info(summary, storage_options), summary["duplicates"]


class SetBuilder(CommitsOnExit):
    """Streams objects into a new generation of a set, one StoreBuilder per shard.

    Each key goes to the shard its routing names; an object whose keys fall
    in several shards is stored in each of them.  Memory holds the keys, as
    for one StoreBuilder, and each shard keeps its temporary file open until
    the commit.  Use as a context manager: leaving the block normally commits
    every shard and publishes the set; leaving it by an exception
    (KeyboardInterrupt included) publishes nothing and removes what was
    written.  The encoding options, ``on_duplicate`` and the compression
    options are StoreBuilder's (each shard trains a dictionary of its own on
    its first records); the summary counts the ``duplicates``.  A set URL
    (``s3://bucket/set``, with ``storage_options`` or the AWS environment)
    builds each shard in local scratch space and uploads it; the pointer
    moves last, by a conditional write.
    """

    def __init__(self, directory: StrPath, routing: Routing, *, hash_index: bool = True,
                 default: DefaultHook | None = None, datetime: bool = False,
                 on_duplicate: OnDuplicate = "last", compression: str | None = None,
                 level: int | None = None, storage_options: StorageOptions | None = None) -> None:
        self.routing = routing
        self._packer = Packer(default, datetime)
        self._storage_options = storage_options
        self._publication = Publication(directory, open_storage(directory, storage_options))
        self._builders: list[StoreBuilder] = []
        # Set when an add stored some of an object's keys and failed on others.
        self._spoiled = False
        try:
            for i in range(routing.shards):
                path = self._publication.shard_path(i)
                # A key always routes to one shard, so each shard's rule is the set's rule.
                # A shard URL is built in local scratch space and uploaded by its commit.
                self._builders.append(StoreBuilder(path, hash_index=hash_index, default=default, datetime=datetime,
                                                   on_duplicate=on_duplicate, compression=compression, level=level,
                                                   storage_options=storage_options))
        except BaseException:
            self.discard()
            raise

    def add(self, obj: Any, *keys: Key) -> None:
        """Write *obj* under *keys*, each in its shard; an object without keys is not stored."""
        if self._spoiled:
            raise UsageError("an earlier add failed halfway; this set cannot be published")
        groups: dict[int, list[bytes]] = {}
        for key in keys:
            kb = key_bytes(key)
            groups.setdefault(self.routing.shard_of(kb), []).append(kb)
        if len(groups) == 1:
            # One shard (always so with one key): its builder checks and stores all at once.
            ((shard, kbs),) = groups.items()
            self._builders[shard].add(obj, *kbs)
            return
        raw = self._packer.pack(obj, keys)
        stored = 0
        try:
            for shard, kbs in groups.items():
                self._builders[shard].add_raw(raw, *kbs)
                stored += 1
        except BaseException:
            self._spoiled = stored > 0
            raise

    def commit(self) -> dict[str, Any]:
        """Commit every shard and publish the set; returns the manifest with directory and generation."""
        try:
            if self._spoiled:
                raise UsageError("an earlier add failed halfway; this set cannot be published")
            summaries = [builder.commit() for builder in self._builders]
            infos = [shard_info(s, self._storage_options) for s in summaries]
            published = self._publication.publish(self.routing, infos)
            published["duplicates"] = sum(s["duplicates"] for s in summaries)
            return published
        finally:
            if not self._publication.published:
                self.discard()

    def discard(self) -> None:
        """Give up: remove every shard written so far.  Does nothing once published."""
        for builder in self._builders:
            builder.discard()
        self._publication.abandon()

    @property
    def summary(self) -> dict[str, Any] | None:
        """What `commit` returned, once the set is published (even if commit was then interrupted)."""
        return self._publication.summary if self._publication.published else None

    @property
    def generation(self) -> str:
        return self._publication.generation

    def _settled(self) -> bool:
        return self._publication.published


def write_store_set(
    directory: StrPath,
    items: Iterable[tuple[Key, Any]],
    *,
    shards: int = 8,
    partition: str = "hash",
    on_duplicate: OnDuplicate = "last",
    compression: str | None = None,
    level: int | None = None,
    storage_options: StorageOptions | None = None,
) -> dict[str, Any]:
    """Build and publish a set from (key, object) pairs in this process.

    Hash partitioning streams; range partitioning samples the keys before
    writing, so it takes them as a list.  An equal key follows
    *on_duplicate*, as in `VorlWriter`.
    """
    if partition == "range":
        items = list(items)
    pairs = items
    routing = plan_routing(partition, shards, lambda limit: [key_sample((k for k, _ in pairs), limit)])
    with SetBuilder(directory, routing, on_duplicate=on_duplicate, compression=compression, level=level,
                    storage_options=storage_options) as builder:
        for key, obj in items:
            builder.add(obj, key)
        return builder.commit()
