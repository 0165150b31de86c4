"""Source: one version of one remote object, read by byte ranges.

Each backend (HTTP, S3, fsspec) supplies two calls: ``_fetch`` for one
range of the pinned version and ``_stat`` for the current version's size and
tag.  Everything they share lives here: the first round that learns the
size and pins the version, parallel reads, retries with backoff, and the
checks on every response (its range, its length, its version), so that a
short or mixed answer never reaches a caller.
"""

from __future__ import annotations

import errno
import functools
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from typing import Any, TypeVar
from concurrent.futures import ThreadPoolExecutor

from ..errors import os_error

T = TypeVar("T")
_POOL_LOCK = threading.Lock()
_POOL: ThreadPoolExecutor | None = None
# Concurrent requests of all sources together.
POOL_SIZE = 32
ATTEMPTS = 5
BACKOFF = 0.05  # seconds before the second attempt; doubled each time


def pool() -> ThreadPoolExecutor:
    global _POOL
    with _POOL_LOCK:
        if _POOL is None:
            _POOL = ThreadPoolExecutor(POOL_SIZE, thread_name_prefix="vorlstore-remote")
        return _POOL


class Transient(Exception):
    """A failure worth another attempt: a server error, a time-out, a cut connection."""


class Refused(Exception):
    """A definite answer that no retry changes; ``code`` is the errno it stands for."""

    def __init__(self, code: int, reason: str) -> None:
        super().__init__(reason)
        self.code = code


class Replaced(Exception):
    """The object is no longer the version this source pinned."""


class Answer:
    """What one ranged GET returned: the bytes, where they start, the object's size and tag."""

    __slots__ = ("data", "start", "size", "tag")

    def __init__(self, data: bytes, start: int, size: int, tag: str | None) -> None:
        self.data, self.start, self.size, self.tag = data, start, size, tag


class Source:
    """Reads of one pinned version of the object at ``name`` (a URL shown without credentials)."""

    writable = True

    def __init__(self, name: str) -> None:
        self.name = name
        self.size = -1
        self.tag: str | None = None
        # What went over the wire, for benchmarks and tests.
        self.requests = 0
        self.bytes = 0
        self.rounds = 0
        self._count = threading.Lock()

    # -- backend hooks
    def _fetch(self, start: int, end: int | None, suffix: int | None, tag: str | None) -> Answer:
        """Bytes [start, end) (or the last *suffix* bytes) of the object, pinned to *tag* when set."""
        raise NotImplementedError

    def _stat(self) -> tuple[int, str | None]:
        """The current size and tag, without the content."""
        raise NotImplementedError

    # -- reads
    def open(self, head: int, tail: int) -> tuple[bytes, bytes]:
        """One round: the first *head* and the last *tail* bytes; learns the size and pins the version."""
        first, last = self._parallel([lambda: self._request(0, head, None, None),
                                      lambda: self._request(0, None, tail, None)], "open")
        if first.size != last.size or first.tag != last.tag:
            raise self._error(errno.ESTALE, "the object changed while it was opened")
        self.size, self.tag = first.size, first.tag
        return first.data, last.data

    def stat(self) -> tuple[int, str | None]:
        """The object's current size and tag (one request); pins them."""
        with self._count:
            self.requests += 1
            self.rounds += 1
        self.size, self.tag = self._attempt(self._stat, "stat")
        return self.size, self.tag

    def read(self, ranges: list[tuple[int, int]]) -> list[bytes]:
        """The bytes of each ``(start, end)`` in one round of parallel requests, each checked."""
        calls = [functools.partial(self._checked, s, e) for s, e in ranges]
        return self._parallel(calls, "read")

    def chunks(self, size: int = 8 << 20, width: int = 8) -> Iterator[bytes]:
        """The whole pinned object in order, *width* requests of *size* bytes in flight."""
        spans = [(s, min(s + size, self.size)) for s in range(0, self.size, size)]
        for i in range(0, len(spans), width):
            yield from self.read(spans[i : i + width])

    def _checked(self, start: int, end: int) -> bytes:
        answer = self._request(start, end, None, self.tag)
        if answer.tag != self.tag or answer.size != self.size:
            raise Replaced()
        if answer.start != start or len(answer.data) != end - start:
            raise Transient(f"short response: {len(answer.data)} of {end - start} bytes at {start}")
        return answer.data

    def _parallel(self, calls: Sequence[Callable[[], T]], what: str) -> list[T]:
        with self._count:
            self.rounds += 1
        if len(calls) == 1:
            return [self._attempt(calls[0], what)]
        futures = [pool().submit(self._attempt, call, what) for call in calls]
        return [f.result() for f in futures]

    def _attempt(self, call: Callable[[], T], what: str) -> T:
        """call(), retried with backoff on transient failures; errors name the URL."""
        delay = BACKOFF
        for attempt in range(1, ATTEMPTS + 1):
            try:
                result = call()
            except Transient as exc:
                if attempt == ATTEMPTS:
                    raise self._error(errno.EIO, f"{what} failed after {ATTEMPTS} attempts: {exc}") from None
                time.sleep(delay)
                delay *= 2
                continue
            except Replaced:
                raise self._error(errno.ESTALE, "the object was replaced while it was read") from None
            except Refused as exc:
                raise self._error(exc.code, str(exc)) from None
            return result
        raise AssertionError("unreachable")

    def _request(self, start: int, end: int | None, suffix: int | None, tag: str | None) -> Answer:
        with self._count:
            self.requests += 1
        answer = self._fetch(start, end, suffix, tag)
        with self._count:
            self.bytes += len(answer.data)
        return answer

    def _error(self, code: int, reason: str) -> OSError:
        return os_error(code, reason, self.name)

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.name!r})"
