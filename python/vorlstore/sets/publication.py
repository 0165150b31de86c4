"""Publishing a generation of a set: shards, then the manifest, then the pointer.

A publication writes every shard, then the manifest, then replaces the
pointer, so a reader sees the old set or the new one, never a mix.  A job
that fails before the pointer swap publishes nothing and removes its
folder (renamed to .abandoned-* first, so that its straggling tasks cannot
write into it).

Publications of one set may overlap: the later pointer swap wins, and each
publication, having swapped, removes every generation except the one it
published, the one it replaced (readers that read the pointer just before
the swap still open it) and those still being written.  Which generations
those are is decided by what the pointer says and what is being written,
never by names or clocks.  Readers that already opened a set keep their
mappings of files that are gone.

`Publication` speaks to the storage through `SetStorage` only; `LocalStorage`
keeps a set in a directory of a local file system.
"""

from __future__ import annotations

import contextlib
import fcntl
import os
import re
import secrets
import shutil
import time
from collections.abc import Iterator, Sequence
from types import TracebackType
from typing import Any, Protocol

from .._paths import StrPath, fspath
from ..errors import CorruptError
from ..remote import StorageOptions
from .manifest import (
    GENERATION,
    MANIFEST,
    POINTER,
    ShardInfo,
    check_shard_list,
    encode_manifest,
    manifest_of,
    shard_file_name,
)
from .routing import Routing

_ABANDONED = ".abandoned-"
_POINTER_TMP = re.compile(re.escape(POINTER) + r"\.[0-9a-f]{8}\.tmp")  # see _publish_file


class SetStorage(Protocol):
    """Where a set's generations live; what a publication needs of it."""

    directory: str

    def create(self, generation: str) -> None:
        """Make the empty generation that shards are then written into, marked as being written."""

    def finish(self, generation: str) -> None:
        """Clear the being-written mark (a dead publisher's mark clears by itself)."""

    def shard_path(self, generation: str, file: str) -> str:
        """Where a builder writes the shard *file* of *generation*."""

    def shard_size(self, generation: str, file: str) -> int:
        """The size of a written shard (raises when it is missing)."""

    def write_manifest(self, generation: str, data: bytes) -> None:
        """Seal the generation with its manifest; nothing but the manifest's shards stays in it."""

    def read_pointer(self) -> str | None:
        """What the pointer says, unchecked; None when nothing was published."""

    def swap_pointer(self, generation: str) -> None:
        """Make *generation* the published one, atomically for readers."""

    def exclusive(self) -> contextlib.AbstractContextManager[None]:
        """Holds off other publishers' swaps, removals and creations for the block."""

    def generations(self) -> list[str]:
        """Names of the generations present, published or not, and of those half removed."""

    def remove(self, generation: str) -> None:
        """Remove a generation unless it is being written; one that is gone is left alone."""


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


def _open_dir(path: str) -> int:
    return os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)


class LocalStorage:
    """A set in a directory of a local file system.

    A generation being written is marked by its publisher's lock on the
    folder (flock), so a publisher that dies leaves no mark behind; a lock
    on the set directory itself serialises swaps, removals and creations.
    """

    def __init__(self, directory: StrPath) -> None:
        self.directory = fspath(directory)
        # Open folders of the generations this object is writing, locked.
        self._writing: dict[str, int] = {}

    def _path(self, *names: str) -> str:
        return os.path.join(self.directory, *names)

    def create(self, generation: str) -> None:
        for _attempt in range(3):
            os.makedirs(self.directory, exist_ok=True)
            try:
                # Under the set's lock, so that no removal sees the folder before its mark.
                with self.exclusive():
                    os.mkdir(self._path(generation))
                    fd = _open_dir(self._path(generation))
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                    self._writing[generation] = fd
                return
            except FileNotFoundError:
                continue  # the set directory was removed by a publication that gave up
        raise FileNotFoundError(2, "the set directory keeps disappearing", self.directory)

    def finish(self, generation: str) -> None:
        fd = self._writing.pop(generation, None)
        if fd is not None:
            os.close(fd)

    @contextlib.contextmanager
    def exclusive(self) -> Iterator[None]:
        fd = _open_dir(self.directory)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            yield
        finally:
            os.close(fd)

    def shard_path(self, generation: str, file: str) -> str:
        return self._path(generation, file)

    def shard_size(self, generation: str, file: str) -> int:
        return os.stat(self._path(generation, file)).st_size

    def write_manifest(self, generation: str, data: bytes) -> None:
        # Temporary files of killed attempts are never part of a set.
        for name in os.listdir(self._path(generation)):
            if name.endswith(".tmp"):
                os.unlink(self._path(generation, name))
        _publish_file(self._path(generation, MANIFEST), data)

    def read_pointer(self) -> str | None:
        try:
            with open(self._path(POINTER), "rb") as f:
                return f.read().decode("ascii", "replace").strip()
        except FileNotFoundError:
            return None

    def swap_pointer(self, generation: str) -> None:
        _publish_file(self._path(POINTER), (generation + "\n").encode())

    def generations(self) -> list[str]:
        return [name for name in os.listdir(self.directory)
                if GENERATION.fullmatch(name) or name.startswith(_ABANDONED)]

    def remove(self, generation: str) -> None:
        if generation.startswith(_ABANDONED):  # a removal that was interrupted
            shutil.rmtree(self._path(generation), ignore_errors=True)
            return
        try:
            fd = _open_dir(self._path(generation))
        except OSError:
            return
        try:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                return  # being written
            # Tasks of a failed job may still be writing shards by their old
            # paths: once the folder is renamed they can add nothing to it, so
            # removing it cannot race with them.
            abandoned = self._path(_ABANDONED + generation)
            try:
                os.rename(self._path(generation), abandoned)
            except OSError:
                return
        finally:
            os.close(fd)
        shutil.rmtree(abandoned, ignore_errors=True)


def open_storage(directory: StrPath, storage_options: StorageOptions | None = None) -> SetStorage:
    """The storage of the set at *directory*: a local directory, or a URL's (s3://bucket/set)."""
    # Imported here: the S3 storage itself imports the set layout from this package.
    from ..remote.set_storage import storage_for

    found: SetStorage | None = storage_for(fspath(directory), storage_options)
    return found or LocalStorage(directory)


def current_generation(storage: SetStorage) -> str | None:
    """The published generation, checked; None when there is no set yet."""
    name = storage.read_pointer()
    if name is not None and not GENERATION.fullmatch(name):
        raise CorruptError(f"{os.path.join(storage.directory, POINTER)}: not a generation name: {name!r}")
    return name


class Publication:
    """One new generation of a set, from its empty folder to the pointer swap.

    Use as a context manager: shards are written to `shard_path(i)`,
    `publish` makes them the set; leaving the block without publishing (an
    exception, an interrupt) removes the folder and publishes nothing.
    """

    def __init__(self, directory: StrPath, storage: SetStorage | None = None) -> None:
        self.storage = storage or LocalStorage(directory)
        self.directory = self.storage.directory
        # A set directory this publication creates goes again if it publishes
        # nothing; object storage has no directories to leave behind.
        self._created = isinstance(self.storage, LocalStorage) and not os.path.isdir(self.directory)
        self.generation = f"g-{time.time_ns():020d}-{secrets.token_hex(4)}"
        self.storage.create(self.generation)
        self.path = os.path.join(self.directory, self.generation)
        self.published = False
        self._abandoned = False
        #: What `publish` returns, set just before the pointer swap.
        self.summary: dict[str, Any] | None = None

    def shard_path(self, index: int) -> str:
        return self.storage.shard_path(self.generation, shard_file_name(index))

    def publish(self, routing: Routing, shards: Sequence[ShardInfo]) -> dict[str, Any]:
        """Write the manifest, swap the pointer, drop old generations; returns the summary."""
        check_shard_list(routing, shards)
        for info in shards:
            size = self.storage.shard_size(self.generation, info.file)
            if size != info.bytes:
                raise CorruptError(f"{self.storage.shard_path(self.generation, info.file)}: {size} bytes, "
                                   f"built {info.bytes}")
        manifest = manifest_of(routing, shards)
        self.storage.write_manifest(self.generation, encode_manifest(manifest))
        self.summary = {"directory": self.directory, "generation": self.generation, **manifest}
        try:
            with self.storage.exclusive():
                replaced = self.storage.read_pointer()
                try:
                    self.storage.swap_pointer(self.generation)
                finally:
                    # Ctrl-C or a failing directory sync can come after the rename:
                    # the set is then published and must not be removed as abandoned.
                    with contextlib.suppress(OSError):
                        self.published = self.storage.read_pointer() == self.generation
                for name in self.storage.generations():
                    if name not in (self.generation, replaced):
                        self.storage.remove(name)
        finally:
            if self.published:
                self.storage.finish(self.generation)
        return self.summary

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
        self.storage.finish(self.generation)
        self.storage.remove(self.generation)
        if self._created:
            # Fails, as it should, once another publication has put anything there.
            with contextlib.suppress(OSError):
                os.rmdir(self.directory)


def is_store_set(path: StrPath) -> bool:
    """Whether *path* is a set's directory: it holds the pointer file (readable or not)."""
    return os.path.isdir(path) and os.path.lexists(os.path.join(path, POINTER))


def foreign_entries(directory: StrPath) -> list[str]:
    """Names in *directory* that no publication wrote, sorted.

    A publication only adds generations beside them, but a tool that is
    asked to write a set into a directory refuses one that holds other files.
    """
    return sorted(name for name in os.listdir(directory) if not _is_set_entry(name))


def _is_set_entry(name: str) -> bool:
    return (name == POINTER or GENERATION.fullmatch(name) is not None or name.startswith(_ABANDONED)
            or _POINTER_TMP.fullmatch(name) is not None)
