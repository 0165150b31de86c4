"""S3SetStorage: a store set under an S3 prefix, for publications that share no disk.

Shards are built wherever their rows are (each in its builder's own local
stage) and uploaded to ``<set>/<generation>/shard-NNNNN.vrls``; the
publisher writes the manifest, then moves ``CURRENT`` with a conditional
write: ``If-Match`` on the pointer it read, or ``If-None-Match: *`` when
there was none.  Of two publishers that read the same pointer only one can
win; the other fails with the store's error and removes its generation.
A generation being written carries a ``WRITING`` mark until its publisher
finishes, so no other publication removes it meanwhile; a mark older than
a day is a dead publisher's and no longer protects.
"""

from __future__ import annotations

import contextlib
import datetime
import errno
from typing import Any

from ..errors import os_error
from ..sets.manifest import GENERATION, MANIFEST, POINTER
from . import StorageOptions, display
from .s3 import S3Target, classify, client
from .source import Refused, Replaced


_WRITING = "WRITING"
_DEAD_AFTER = datetime.timedelta(days=1)


class S3SetStorage:
    def __init__(self, url: str, storage_options: StorageOptions | None = None) -> None:
        self.directory = url.rstrip("/")
        self.options = dict(storage_options or {})
        self.name = display(self.directory)
        self._bucket, _, key = self.directory.split("://", 1)[1].partition("/")
        self._prefix = f"{key}/" if key else ""
        self._client = client(self.options)
        self._pointer_tag: str | None = None
        self._mine: set[str] = set()

    def _target(self, *names: str) -> S3Target:
        return S3Target("/".join([self.directory, *names]), self.options)

    def create(self, generation: str) -> None:
        self._mine.add(generation)
        try:
            self._target(generation, _WRITING).put(b"")
        except Exception as exc:
            raise self._failure(exc, f"{generation}/{_WRITING}") from None

    def finish(self, generation: str) -> None:
        with contextlib.suppress(Exception):
            self._client.delete_object(Bucket=self._bucket, Key=f"{self._prefix}{generation}/{_WRITING}")

    def exclusive(self) -> contextlib.AbstractContextManager[None]:
        # The conditional write of the pointer is what keeps publishers apart.
        return contextlib.nullcontext()

    def shard_path(self, generation: str, file: str) -> str:
        return "/".join([self.directory, generation, file])

    def shard_size(self, generation: str, file: str) -> int:
        try:
            head = self._client.head_object(Bucket=self._bucket, Key=f"{self._prefix}{generation}/{file}")
        except Exception as exc:
            raise self._failure(classify(exc), f"{generation}/{file}") from None
        return int(head["ContentLength"])

    def write_manifest(self, generation: str, data: bytes) -> None:
        try:
            self._target(generation, MANIFEST).put(data)
        except Exception as exc:
            raise self._failure(exc, f"{generation}/{MANIFEST}") from None

    def read_manifest(self, generation: str) -> bytes:
        found = self._target(generation, MANIFEST).get()
        if found is None:
            raise os_error(errno.ENOENT, "no manifest", f"{self.name}/{generation}/{MANIFEST}")
        return found[0]

    def read_pointer(self) -> str | None:
        try:
            found = self._target(POINTER).get()
        except Exception as exc:
            raise self._failure(exc, POINTER) from None
        if found is None:
            self._pointer_tag = None
            return None
        data, self._pointer_tag = found
        return data.decode("ascii", "replace").strip()

    def swap_pointer(self, generation: str) -> None:
        """Moves the pointer only if it is still the one read last; another publisher's win raises."""
        target = self._target(POINTER)
        try:
            target.put((generation + "\n").encode(), if_match=self._pointer_tag,
                       if_none_match=self._pointer_tag is None)
        except Replaced:
            raise os_error(errno.EEXIST, "another publication moved the pointer first; this one is abandoned",
                           f"{self.name}/{POINTER}") from None
        except Exception as exc:
            raise self._failure(exc, POINTER) from None

    def generations(self) -> list[str]:
        names: list[str] = []
        pages = self._client.get_paginator("list_objects_v2").paginate(
            Bucket=self._bucket, Prefix=self._prefix, Delimiter="/")
        for page in pages:
            for common in page.get("CommonPrefixes", []):
                name = common["Prefix"][len(self._prefix):].rstrip("/")
                if GENERATION.fullmatch(name):
                    names.append(name)
        return names

    def _being_written(self, generation: str) -> bool:
        try:
            head = self._client.head_object(Bucket=self._bucket, Key=f"{self._prefix}{generation}/{_WRITING}")
        except Exception:
            return False
        age = datetime.datetime.now(datetime.timezone.utc) - head["LastModified"]
        return bool(age < _DEAD_AFTER)

    def remove(self, generation: str) -> None:
        if generation not in self._mine and self._being_written(generation):
            return
        pages = self._client.get_paginator("list_objects_v2").paginate(
            Bucket=self._bucket, Prefix=f"{self._prefix}{generation}/")
        for page in pages:
            keys = [{"Key": o["Key"]} for o in page.get("Contents", [])]
            if keys:
                self._client.delete_objects(Bucket=self._bucket, Delete={"Objects": keys, "Quiet": True})

    def _failure(self, exc: Exception, what: str) -> OSError:
        if isinstance(exc, OSError):
            return exc
        code = exc.code if isinstance(exc, Refused) else errno.EIO
        return os_error(code, str(exc) or type(exc).__name__, f"{self.name}/{what}")


def storage_for(directory: str, storage_options: StorageOptions | None) -> Any:
    """The SetStorage for a set URL; None for a local directory."""
    from . import is_url, scheme

    if not is_url(directory):
        return None
    if scheme(directory) not in ("s3", "s3a"):
        raise os_error(errno.EPROTONOSUPPORT, "store sets by URL live in S3", display(directory))
    return S3SetStorage(directory, storage_options)
