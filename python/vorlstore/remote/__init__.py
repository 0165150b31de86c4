"""Stores in object storage and behind HTTP servers, read by byte ranges.

A URL (``s3://bucket/key``, ``http(s)://...``, or any URL fsspec knows)
stands wherever a path does.  Nothing here imports an SDK until a URL asks
for one, so ``import vorlstore`` stays free of them.
"""

from __future__ import annotations

import re
from typing import Any
from urllib.parse import urlsplit, urlunsplit

_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.\-]*://")

#: Options a caller passes for one storage: credentials, endpoint, time-out.
StorageOptions = dict[str, Any]


def is_url(path: object) -> bool:
    """Whether *path* is a URL rather than a local file name."""
    return isinstance(path, str) and _URL.match(path) is not None


def display(url: str) -> str:
    """*url* as messages and reprs show it: without user, password or query (a signature may hide there)."""
    parts = urlsplit(url)
    netloc = parts.netloc.rpartition("@")[2]
    return urlunsplit((parts.scheme, netloc, parts.path, "", ""))


def scheme(url: str) -> str:
    return url.split("://", 1)[0].lower()


def open_source(url: str, storage_options: StorageOptions | None = None) -> Any:
    """The byte-range source for *url*: HTTP, S3 (the AWS SDK alone), or fsspec for other schemes."""
    options = dict(storage_options or {})
    kind = scheme(url)
    if kind in ("http", "https"):
        from .http import HTTPSource

        return HTTPSource(url, options)
    if kind in ("s3", "s3a"):
        from .s3 import S3Source

        return S3Source(url, options)
    from .fs import FsspecSource

    return FsspecSource(url, options)
