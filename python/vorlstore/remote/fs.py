"""Stores under any other URL, through the fsspec filesystem its scheme names.

The version is pinned by what the filesystem reports (an ETag, a checksum or
a modification time) and the size; each read compares the size of what came
back.  Filesystems that report neither are read unpinned.
"""

from __future__ import annotations

import errno
from typing import Any

from . import display
from .source import Answer, Refused, Source, Transient


def filesystem(url: str, options: dict[str, Any]) -> tuple[Any, str]:
    try:
        import fsspec
    except ImportError:
        raise Refused(errno.EPROTONOSUPPORT, "fsspec is needed for this URL and is not installed") from None
    try:
        fs, path = fsspec.core.url_to_fs(url, **options)
        return fs, str(path)
    except (ImportError, ValueError) as exc:
        raise Refused(errno.EPROTONOSUPPORT, f"no filesystem for this URL ({type(exc).__name__})") from None


def _version(info: dict[str, Any]) -> str | None:
    for name in ("ETag", "etag", "checksum", "mtime", "LastModified", "created"):
        if info.get(name) is not None:
            return str(info[name])
    return None


def _failure(exc: Exception) -> Exception:
    if isinstance(exc, FileNotFoundError):
        return Refused(errno.ENOENT, "no such object")
    if isinstance(exc, PermissionError):
        return Refused(errno.EACCES, "permission denied")
    return Transient(type(exc).__name__)


class FsspecSource(Source):
    def __init__(self, url: str, options: dict[str, Any]) -> None:
        super().__init__(display(url))
        try:
            self._fs, self._path = filesystem(url, options)
        except Refused as exc:
            raise self._error(exc.code, str(exc)) from None

    def _info(self) -> tuple[int, str | None]:
        try:
            info = self._fs.info(self._path)
        except Exception as exc:
            raise _failure(exc) from None
        return int(info["size"]), _version(info)

    def _fetch(self, start: int, end: int | None, suffix: int | None, tag: str | None) -> Answer:
        size, version = self._info() if tag is None else (self.size, tag)
        first = max(0, size - suffix) if suffix is not None else min(start, size)
        last = size if suffix is not None else min(end or 0, size)
        try:
            data = self._fs.cat_file(self._path, start=first, end=last) if last > first else b""
        except Exception as exc:
            raise _failure(exc) from None
        return Answer(bytes(data), first, size, version)

    def _stat(self) -> tuple[int, str | None]:
        return self._info()


class FsspecTarget:
    """Writes of whole objects through fsspec: put beside the target, then moved over it."""

    def __init__(self, url: str, options: dict[str, Any]) -> None:
        self.name = display(url)
        self._fs, self._path = filesystem(url, options)

    def upload(self, local_path: str) -> None:
        temporary = f"{self._path}.uploading"
        try:
            self._fs.put_file(local_path, temporary)
            self._fs.mv(temporary, self._path)
        except BaseException:
            try:
                self._fs.rm(temporary)
            except Exception:  # noqa: BLE001 - the first failure is the one to report
                pass
            raise
