"""Store sets: one logical store split over several shard stores.

A set directory holds generations; each generation is a folder of shard
stores plus the manifest that names them, and one small pointer file says
which generation is published::

    DIR/CURRENT                       "g-<ns>-<hex>\\n", replaced by rename
    DIR/g-<ns>-<hex>/manifest.json    format, routing, one entry per shard
    DIR/g-<ns>-<hex>/shard-00000.vrls ...

A publication writes every shard, then the manifest, then renames a new
pointer over CURRENT, so a reader sees the old set or the new one, never a
mix.  A job that fails before that rename publishes nothing and removes its
folder (renamed to .abandoned-* first, so that its straggling tasks cannot
write into it).  Each publication then removes the generations older than the one
it replaced: the replaced one stays for readers that read the pointer just
before the rename, and readers that already opened a set keep their mappings
of files that are gone.  Generations newer than the replaced one belong to
jobs still running and are left alone.

Keys are routed by a rule recorded in the manifest: a hash of the key bytes
(the same on every machine and version) or sorted key ranges, which keep
prefix and range scans to the shards that can hold the keys.  Nothing here
needs Dask: `SetBuilder` streams a set in one process (the command line's
``build --shards``), and `vorlstore.dask` builds sets on a cluster with these
pieces.
"""

from __future__ import annotations

import bisect
import contextlib
import hashlib
import heapq
import itertools
import json
import os
import random
import re
import secrets
import shutil
import time
from collections.abc import Callable, ItemsView, Iterable, Iterator, Mapping, Sequence, ValuesView
from dataclasses import asdict, dataclass
from types import TracebackType
from typing import Any

from ._codec import DefaultHook, Packer
from ._paths import fspath as _fspath
from .builder import StoreBuilder
from .errors import InvalidKeyError, UsageError
from .reader import Key, VorlReader

FORMAT = "vorlstore-set"
VERSION = 1
POINTER = "CURRENT"
MANIFEST = "manifest.json"
HASH_NAME = "blake2b-64-le"
_HASH_RULE = (
    "shard = int.from_bytes(blake2b(key, digest_size=8).digest(), 'little') % shards; "
    "str keys are hashed as their UTF-8 bytes (surrogateescape)"
)
_RANGE_RULE = "shard = number of boundaries <= key, comparing key bytes; boundaries in hex"
_ABANDONED = ".abandoned-"
_GENERATION = re.compile(r"g-[0-9]{20}-[0-9a-f]{8}")
_POINTER_TMP = re.compile(re.escape(POINTER) + r"\.[0-9a-f]{8}\.tmp")  # see _publish_file
# Keys each input partition contributes to the sample that range boundaries
# are chosen from, per shard.
SAMPLE_PER_SHARD = 64


def key_bytes(key: Key) -> bytes:
    """The bytes a key is stored, routed and ordered by."""
    if isinstance(key, str):
        try:
            return key.encode("utf-8", "surrogateescape")
        except UnicodeEncodeError as e:
            raise InvalidKeyError(f"key {key!r} cannot be stored: text holds a lone surrogate, "
                                  f"which has no UTF-8 form ({e.reason} at {e.start})") from None
    if isinstance(key, (bytes, bytearray)):
        return bytes(key)
    raise TypeError(f"key must be str or bytes, not {type(key).__name__}: {key!r}")


def _corrupt(message: str) -> Exception:
    # The package's corruption error once it has one; the reader's class until then.
    import vorlstore

    error_class: type[Exception] = getattr(vorlstore, "CorruptError", RuntimeError)
    return error_class(message)


# -- Routing


class HashRouting:
    """Keys spread evenly by a hash of their bytes; shards hold no key order."""

    ordered = False

    def __init__(self, shards: int) -> None:
        if not isinstance(shards, int) or isinstance(shards, bool) or shards < 1:
            raise ValueError(f"shards must be a positive integer, not {shards!r}")
        self.shards = shards

    def shard_of(self, key: bytes) -> int:
        digest = hashlib.blake2b(key, digest_size=8).digest()
        return int.from_bytes(digest, "little") % self.shards

    def span(self, start: bytes | None, stop: bytes | None) -> range:
        """Shards that may hold keys in [start, stop)."""
        return range(self.shards)

    def to_json(self) -> dict[str, Any]:
        return {"kind": "hash", "hash": HASH_NAME, "shards": self.shards, "rule": _HASH_RULE}


class RangeRouting:
    """Shard i holds the keys in [boundaries[i-1], boundaries[i]), in byte order."""

    ordered = True

    def __init__(self, boundaries: Sequence[bytes]) -> None:
        self.boundaries = [bytes(b) for b in boundaries]
        if any(a > b for a, b in itertools.pairwise(self.boundaries)):
            raise ValueError("range boundaries must be sorted")
        self.shards = len(self.boundaries) + 1

    def shard_of(self, key: bytes) -> int:
        return bisect.bisect_right(self.boundaries, key)

    def span(self, start: bytes | None, stop: bytes | None) -> range:
        first = 0 if start is None else bisect.bisect_right(self.boundaries, start)
        last = self.shards - 1 if stop is None else bisect.bisect_left(self.boundaries, stop)
        return range(first, max(first, last + 1))

    def to_json(self) -> dict[str, Any]:
        return {"kind": "range", "boundaries": [b.hex() for b in self.boundaries], "rule": _RANGE_RULE}


Routing = HashRouting | RangeRouting


def routing_from_json(doc: Any, where: str) -> Routing:
    """The routing a manifest describes; refuses rules this version does not know."""
    try:
        if doc["kind"] == "hash" and doc["hash"] == HASH_NAME:
            return HashRouting(doc["shards"])
        if doc["kind"] == "range":
            return RangeRouting([bytes.fromhex(b) for b in doc["boundaries"]])
    except (KeyError, TypeError, ValueError) as e:
        raise _corrupt(f"{where}: bad routing: {e!r}") from None
    raise _corrupt(f"{where}: unknown routing {doc!r}")


def key_sample(keys: Iterable[Key], limit: int) -> tuple[int, list[bytes]]:
    """How many keys there were and a sorted uniform sample of at most *limit* of them."""
    sample: list[bytes] = []
    rng = random.Random(0)
    count = 0
    for count, key in enumerate(keys, 1):  # noqa: B007 - count survives the loop
        kb = key_bytes(key)
        if len(sample) < limit:
            sample.append(kb)
        else:
            j = rng.randrange(count)
            if j < limit:
                sample[j] = kb
    sample.sort()
    return count, sample


def range_boundaries(samples: Iterable[tuple[int, list[bytes]]], shards: int) -> list[bytes]:
    """*shards* - 1 boundaries cutting the sampled keys into parts of about equal weight.

    Each sample stands for its partition's count, so large partitions weigh more.
    """
    if shards < 1:
        raise ValueError(f"shards must be a positive integer, not {shards!r}")
    weighted = sorted((kb, count / len(sample)) for count, sample in samples if sample for kb in sample)
    total = sum(w for _kb, w in weighted)
    boundaries: list[bytes] = []
    seen = 0.0
    for kb, w in weighted:
        if len(boundaries) == shards - 1:
            break
        if seen >= total * (len(boundaries) + 1) / shards:
            boundaries.append(kb)
        seen += w
    # Few distinct keys leave the last shards empty rather than changing their number.
    last = weighted[-1][0] + b"\x00" if weighted else b""
    boundaries += [last] * (shards - 1 - len(boundaries))
    return boundaries


# -- Shard writing


@dataclass(frozen=True)
class ShardInfo:
    """One shard as the manifest records it."""

    file: str
    keys: int
    objects: int
    bytes: int
    crc32: int


_PACKER = Packer()


def encode_object(obj: Any) -> bytes:
    """An object as the package's writer stores it, for building shards elsewhere."""
    return _PACKER.pack(obj)


def shard_file_name(index: int) -> str:
    return f"shard-{index:05d}.vrls"


def _shard_facts(path: str) -> ShardInfo:
    with VorlReader(path, verify=False) as r:
        stats = r.stats()
    return ShardInfo(
        file=os.path.basename(path),
        keys=int(stats["num_keys"]),
        objects=int(stats["num_objects"]),
        bytes=os.stat(path).st_size,
        crc32=int(stats["file_crc32"], 16),
    )


def build_shard(path: str, entries: Iterable[tuple[bytes, Any]], *, raw: bool = False) -> ShardInfo:
    """Write one shard from (key bytes, object) pairs; a later equal key wins.

    The builder streams to a temporary file and renames it, so a task killed
    midway leaves at most a temporary file, which the publication removes.
    """
    with StoreBuilder(path) as builder:
        add = builder.add_raw if raw else builder.add
        for kb, obj in entries:
            add(obj, kb)
    return _shard_facts(path)


# -- Publication


def _sync_dir(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _publish_file(path: str, data: bytes) -> None:
    """Atomic publish of a small file: temporary file, write, fsync, rename, sync dir."""
    # A name of its own, so that two publishers racing on one set cannot interleave.
    tmp = f"{path}.{secrets.token_hex(4)}.tmp"
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644)
    try:
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise
    _sync_dir(os.path.dirname(path) or ".")


def _pointer_text(directory: str) -> str | None:
    """What CURRENT says, unchecked; None when there is no set yet."""
    try:
        with open(os.path.join(directory, POINTER), "rb") as f:
            return f.read().decode("ascii", "replace").strip()
    except FileNotFoundError:
        return None


def _current_generation(directory: str) -> str | None:
    name = _pointer_text(directory)
    if name is None:
        return None
    if not _GENERATION.fullmatch(name):
        raise _corrupt(f"{os.path.join(directory, POINTER)}: not a generation name: {name!r}")
    return name


class Publication:
    """One new generation of a set, from its empty folder to the pointer swap.

    Use as a context manager: shards are written to `shard_path(i)`,
    `publish` makes them the set; leaving the block without publishing (an
    exception, an interrupt) removes the folder and publishes nothing.
    """

    def __init__(self, directory: str | os.PathLike[str]) -> None:
        self.directory = _fspath(directory)
        # A set directory this publication creates goes again if it publishes nothing.
        self._created = not os.path.isdir(self.directory)
        os.makedirs(self.directory, exist_ok=True)
        self.generation = f"g-{time.time_ns():020d}-{secrets.token_hex(4)}"
        self.path = os.path.join(self.directory, self.generation)
        os.mkdir(self.path)
        self.published = False
        self._abandoned = False
        #: What `publish` returns, set just before the pointer swap.
        self.summary: dict[str, Any] | None = None

    def shard_path(self, index: int) -> str:
        return os.path.join(self.path, shard_file_name(index))

    def publish(self, routing: Routing, shards: Sequence[ShardInfo]) -> dict[str, Any]:
        """Write the manifest, swap the pointer, drop old generations; returns the summary."""
        if len(shards) != routing.shards:
            raise ValueError(f"{len(shards)} shards built for a routing of {routing.shards}")
        for i, info in enumerate(shards):
            if info.file != shard_file_name(i):
                raise ValueError(f"shard {i} is {info.file!r}, expected {shard_file_name(i)!r}")
            size = os.stat(os.path.join(self.path, info.file)).st_size
            if size != info.bytes:
                raise _corrupt(f"{os.path.join(self.path, info.file)}: {size} bytes, built {info.bytes}")
        # Temporary files of killed attempts are never part of a set.
        for name in os.listdir(self.path):
            if name.endswith(".tmp"):
                os.unlink(os.path.join(self.path, name))
        manifest = {
            "format": FORMAT,
            "version": VERSION,
            "routing": routing.to_json(),
            "keys": sum(s.keys for s in shards),
            "bytes": sum(s.bytes for s in shards),
            "shards": [asdict(s) for s in shards],
        }
        _publish_file(os.path.join(self.path, MANIFEST), json.dumps(manifest, indent=1).encode())
        self.summary = {"directory": self.directory, "generation": self.generation, **manifest}
        replaced = _pointer_text(self.directory)
        try:
            _publish_file(os.path.join(self.directory, POINTER), (self.generation + "\n").encode())
        finally:
            # Ctrl-C or a failing directory sync can come after the rename: the
            # set is then published and must not be removed as abandoned.
            with contextlib.suppress(OSError):
                self.published = _pointer_text(self.directory) == self.generation
        # A damaged pointer is replaced like any other, but names nothing to keep.
        if replaced is not None and _GENERATION.fullmatch(replaced):
            self._remove_older_than(replaced)
        return self.summary

    def _remove_older_than(self, replaced: str) -> None:
        for name in os.listdir(self.directory):
            if (_GENERATION.fullmatch(name) and name < replaced) or name.startswith(_ABANDONED):
                shutil.rmtree(os.path.join(self.directory, name), ignore_errors=True)

    def __enter__(self) -> Publication:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.abandon()

    def abandon(self) -> None:
        """Remove the generation unless it was published; a second call does nothing."""
        if self.published or self._abandoned:
            return
        self._abandoned = True
        # Tasks of a failed job may still be writing shards by their old paths:
        # once the folder is renamed they can add nothing to it, so removing
        # it cannot race with them.
        abandoned = os.path.join(self.directory, _ABANDONED + self.generation)
        try:
            os.rename(self.path, abandoned)
        except OSError:
            return
        shutil.rmtree(abandoned, ignore_errors=True)
        if self._created:
            # Fails, as it should, once another publication has put anything there.
            with contextlib.suppress(OSError):
                os.rmdir(self.directory)


class SetBuilder:
    """Streams objects into a new generation of a set, one StoreBuilder per shard.

    Each key goes to the shard its routing names; an object whose keys fall
    in several shards is stored in each of them.  Memory holds the keys, as
    for one StoreBuilder, and each shard keeps its temporary file open until
    the commit.  Use as a context manager: leaving the block normally commits
    every shard and publishes the set; leaving it by an exception
    (KeyboardInterrupt included) publishes nothing and removes what was
    written.  The encoding options are StoreBuilder's.
    """

    def __init__(self, directory: str | os.PathLike[str], routing: Routing, *, hash_index: bool = True,
                 default: DefaultHook | None = None, datetime: bool = False) -> None:
        self.routing = routing
        self._packer = Packer(default, datetime)
        self._publication = Publication(directory)
        self._builders: list[StoreBuilder] = []
        # Set when an add stored some of an object's keys and failed on others.
        self._spoiled = False
        try:
            for i in range(routing.shards):
                path = self._publication.shard_path(i)
                self._builders.append(StoreBuilder(path, hash_index=hash_index, default=default, datetime=datetime))
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
        raw = self._packer.pack(obj)
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
            for builder in self._builders:
                builder.commit()
            n = self.routing.shards
            return self._publication.publish(self.routing, [_shard_facts(self._publication.shard_path(i))
                                                            for i in range(n)])
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

    def __enter__(self) -> SetBuilder:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        if exc_type is not None:
            self.discard()
        elif not self._publication.published:
            self.commit()


def write_store_set(
    directory: str | os.PathLike[str],
    items: Iterable[tuple[Key, Any]],
    *,
    shards: int = 8,
    partition: str = "hash",
) -> dict[str, Any]:
    """Build and publish a set from (key, object) pairs in this process.

    Hash partitioning streams; range partitioning samples the keys before
    writing, so it takes them as a list.
    A later equal key wins, as in `VorlWriter`.
    """
    if partition == "hash":
        routing: Routing = HashRouting(shards)
    elif partition == "range":
        items = list(items)
        routing = RangeRouting(range_boundaries([key_sample((k for k, _ in items), SAMPLE_PER_SHARD * shards)], shards))
    else:
        raise ValueError(f"partition must be 'hash' or 'range', not {partition!r}")
    with SetBuilder(directory, routing) as builder:
        for key, obj in items:
            builder.add(obj, key)
        return builder.commit()


def is_store_set(path: str | os.PathLike[str]) -> bool:
    """Whether *path* is a set's directory: it holds the pointer file (readable or not)."""
    return os.path.isdir(path) and os.path.lexists(os.path.join(path, POINTER))


def foreign_entries(directory: str | os.PathLike[str]) -> list[str]:
    """Names in *directory* that no publication wrote, sorted.

    A publication only adds generations beside them, but a tool that is
    asked to write a set into a directory refuses one that holds other files.
    """
    return sorted(name for name in os.listdir(directory) if not _is_set_entry(name))


def _is_set_entry(name: str) -> bool:
    return (name == POINTER or _GENERATION.fullmatch(name) is not None or name.startswith(_ABANDONED)
            or _POINTER_TMP.fullmatch(name) is not None)


# -- Reading


def _open_manifest(directory: str, generation: str) -> dict[str, Any]:
    path = os.path.join(directory, generation, MANIFEST)
    with open(path, "rb") as f:
        data = f.read()
    try:
        doc = json.loads(data)
    except ValueError as e:
        raise _corrupt(f"{path}: not JSON: {e}") from None
    if not isinstance(doc, dict) or doc.get("format") != FORMAT:
        raise _corrupt(f"{path}: not a store set manifest")
    if doc.get("version") != VERSION:
        raise _corrupt(f"{path}: set version {doc.get('version')!r}, this reader knows {VERSION}")
    return doc


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
    in it, checking each shard against its manifest entry; with
    ``verify=True`` every shard's whole-file checksum is checked too.  Later
    publications do not change an open set.  Pickles by directory and
    generation, so a copy sent to another process reads the same set.
    """

    def __init__(self, directory: str | os.PathLike[str], *, verify: bool = True,
                 generation: str | None = None) -> None:
        self.directory = _fspath(directory)
        self._verify = verify
        self._readers: list[VorlReader] | None = None
        pinned = generation is not None
        for _attempt in range(3):
            if generation is None:
                generation = _current_generation(self.directory)
                if generation is None:
                    raise FileNotFoundError(2, "no store set published here", os.path.join(self.directory, POINTER))
            try:
                self._open(generation)
                return
            except FileNotFoundError:
                # Two publications between reading the pointer and opening its
                # generation removed it; the pointer names a newer one.
                if pinned or _current_generation(self.directory) == generation:
                    raise
                generation = None
        raise _corrupt(f"{self.directory}: the published generation kept changing while opening")

    def _open(self, generation: str) -> None:
        manifest = _open_manifest(self.directory, generation)
        where = os.path.join(self.directory, generation, MANIFEST)
        self.routing = routing_from_json(manifest.get("routing"), where)
        try:
            self.shards = [ShardInfo(**entry) for entry in manifest["shards"]]
        except (KeyError, TypeError) as e:
            raise _corrupt(f"{where}: bad shard list: {e!r}") from None
        if len(self.shards) != self.routing.shards:
            raise _corrupt(f"{where}: {len(self.shards)} shards for a routing of {self.routing.shards}")
        readers: list[VorlReader] = []
        for info in self.shards:
            if os.path.basename(info.file) != info.file:
                raise _corrupt(f"{where}: shard name {info.file!r} leaves the generation")
            path = os.path.join(self.directory, generation, info.file)
            readers.append(VorlReader(path, verify=self._verify))
            _check_shard(readers[-1], info, path)
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
        """Check every shard's checksums and its manifest entry; True, or raise."""
        for reader, info in zip(self._live(), self.shards, strict=True):
            reader.verify()
            _check_shard(reader, info, str(reader.stats()["path"]))
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
        return (_reopen, (self.directory, self.generation, self._verify))

    def __repr__(self) -> str:
        state = "closed" if self._readers is None else f"{self.routing.shards} shards, {self._len} keys"
        return f"StoreSet({self.directory!r}, generation={self.generation!r}, {state})"


def _reopen(directory: str, generation: str, verify: bool) -> StoreSet:
    return StoreSet(directory, verify=verify, generation=generation)


def _check_shard(reader: VorlReader, info: ShardInfo, path: str) -> None:
    stats = reader.stats()
    found = (int(stats["num_keys"]), int(stats["num_objects"]), int(stats["file_crc32"], 16),
             os.stat(path).st_size)
    expected = (info.keys, info.objects, info.crc32, info.bytes)
    if found != expected:
        raise _corrupt(f"{path}: keys, objects, checksum, size are {found}, the manifest says {expected}")


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
