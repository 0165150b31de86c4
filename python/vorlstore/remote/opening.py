"""How a URL becomes a store a reader can query: read by ranges, or downloaded once into a cache.

With ``cache=DIR`` (``True`` for the package's cache directory) the store is
downloaded whole, checked against its whole-file CRC and published into DIR
atomically under a name derived from the URL and the object's version; a
later open of the same version costs one request (the freshness check) and
maps the cached file.  A store without a hash index is read whole the same
way, into a temporary file.
"""

from __future__ import annotations

import hashlib
import os
import tempfile
from typing import Any

from .._native import _engine
from ..errors import from_engine
from . import StorageOptions, open_source
from .source import Source
from .store import HEAD, NoHashIndex, RangedStore


def default_cache_dir() -> str:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "vorlstore", "stores")


def open_engine(url: str, storage_options: StorageOptions | None, verify: bool, cache: Any) -> Any:
    """An object answering the calls VorlReader makes of its engine, for the store at *url*."""
    source = open_source(url, storage_options)
    if cache is not None and cache is not False:
        directory = default_cache_dir() if cache is True else os.fspath(cache)
        return _engine.Reader(os.fsencode(cached_copy(source, directory)), verify)
    try:
        return RangedStore(source)
    except NoHashIndex:
        pass
    with tempfile.TemporaryDirectory(prefix="vorlstore-") as scratch:
        path = download(source, scratch)
        # The mapping outlives the file's name.
        return _engine.Reader(os.fsencode(path), verify)


def cached_copy(source: Source, directory: str) -> str:
    """The cached file of the object's current version, downloaded and published first when absent."""
    size, tag = source.stat()
    digest = hashlib.sha256(f"{source.name}\0{size}\0{tag}".encode()).hexdigest()[:40]
    path = os.path.join(directory, digest + ".vrls")
    if os.path.exists(path):
        return path
    os.makedirs(directory, exist_ok=True)
    return download(source, directory, path)


def download(source: Source, directory: str, target: str | None = None) -> str:
    """Downloads the pinned object into *directory*, checks its CRC and renames it to *target*."""
    fd, temporary = tempfile.mkstemp(dir=directory, prefix=".download-", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as out:
            head = b""
            for chunk in source.chunks():
                if len(head) < HEAD:
                    head += chunk[: HEAD - len(head)]
                out.write(chunk)
            out.flush()
            os.fsync(out.fileno())
        check_crc(source, temporary, head)
        final = target or os.path.join(directory, "store.vrls")
        os.replace(temporary, final)
        dir_fd = os.open(directory, os.O_RDONLY)
        try:
            os.fsync(dir_fd)
        finally:
            os.close(dir_fd)
        return final
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise


def check_crc(source: Source, path: str, head: bytes) -> None:
    """Raises CorruptError naming the URL when the downloaded file's CRC is not the one its header states."""
    layout = _engine.ranged_layout(head, b"", source.size, source.name)
    with open(path, "rb") as f:
        f.seek(40)
        crc = 0
        while block := f.read(8 << 20):
            crc = _engine.ranged_crc(crc, block)
    if crc != layout["file_crc32"]:
        raise from_engine("corrupt", f"file CRC32 mismatch  stored=0x{layout['file_crc32']:08x}  "
                          f"computed=0x{crc:08x}", source.name, 0)
