"""Stage: a store built into a local temporary file, then uploaded to its URL.

Nothing is visible at the URL until the upload is complete: S3 shows an
object (or a multipart upload) only once finished, and fsspec targets
receive the file beside the target and a move over it.  A build or upload
that fails leaves the URL as it was and removes the local file.
"""

from __future__ import annotations

import errno
import os
import shutil
import sys
import tempfile
from typing import Any

from ..errors import UsageError, os_error
from . import StorageOptions, display, scheme
from .source import Refused, Replaced, Transient


def open_target(url: str, storage_options: StorageOptions | None) -> Any:
    options = dict(storage_options or {})
    kind = scheme(url)
    if kind in ("http", "https"):
        raise UsageError(f"{display(url)}: HTTP URLs are read-only; build to s3:// or a filesystem URL")
    if kind in ("s3", "s3a"):
        from .s3 import S3Target

        return S3Target(url, options)
    from .fs import FsspecTarget

    try:
        return FsspecTarget(url, options)
    except Refused as exc:
        raise os_error(exc.code, str(exc), display(url)) from None


def _worker_scratch() -> str | None:
    """The local directory of the Dask worker running this task, if any: a worker's own scratch space."""
    distributed = sys.modules.get("distributed")
    if distributed is None:
        return None
    try:
        return str(distributed.get_worker().local_directory)
    except ValueError:  # not inside a worker
        return None


class Stage:
    """A local file to build into for *url*; ``publish()`` uploads it, ``discard()`` drops it."""

    def __init__(self, url: str, storage_options: StorageOptions | None = None,
                 scratch: str | None = None) -> None:
        self.url = url
        self.name = display(url)
        self.target = open_target(url, storage_options)
        self._dir = tempfile.mkdtemp(prefix="vorlstore-stage-", dir=scratch or _worker_scratch())
        self.path = os.path.join(self._dir, os.path.basename(url.rstrip("/")) or "store.vrls")

    def publish(self, summary: dict[str, Any] | None = None) -> dict[str, Any] | None:
        """Uploads the built file; returns *summary* with its path replaced by the URL."""
        try:
            self.target.upload(self.path)
        except (Transient, Refused, Replaced) as exc:
            code = exc.code if isinstance(exc, Refused) else errno.EIO
            raise os_error(code, f"upload failed: {exc}", self.name) from None
        finally:
            self.discard()
        if summary is not None:
            summary = dict(summary)
            summary["path"] = self.name
        return summary

    def discard(self) -> None:
        shutil.rmtree(self._dir, ignore_errors=True)
