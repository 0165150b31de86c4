"""Stores behind an HTTP(S) server that answers range requests, with the standard library alone.

The version is pinned by the ETag of the first answer: later requests carry
``If-Match`` and every answer's ETag and total size are compared as well,
for servers that ignore the header.  Each thread keeps its own connection
per server.  Options: ``headers`` (sent with every request) and
``timeout`` (seconds, default 30).  A user and password in the URL become
basic authentication and never appear in messages.
"""

from __future__ import annotations

import base64
import errno
import http.client
import re
import socket
import threading
from typing import Any
from urllib.parse import unquote, urlsplit

from . import display
from .source import Answer, Refused, Replaced, Source, Transient

_CONTENT_RANGE = re.compile(r"bytes (\d+)-(\d+)/(\d+|\*)")
_UNSATISFIABLE = re.compile(r"bytes \*/(\d+)")
_local = threading.local()


class HTTPSource(Source):
    writable = False

    def __init__(self, url: str, options: dict[str, Any]) -> None:
        super().__init__(display(url))
        parts = urlsplit(url)
        self._secure = parts.scheme.lower() == "https"
        self._host = parts.hostname or ""
        self._port = parts.port
        self._target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
        self._timeout = float(options.pop("timeout", 30))
        self._headers = dict(options.pop("headers", {}) or {})
        if parts.username is not None:
            user = f"{unquote(parts.username)}:{unquote(parts.password or '')}".encode()
            self._headers["Authorization"] = "Basic " + base64.b64encode(user).decode()
        if options:
            raise TypeError(f"unknown storage options for HTTP: {', '.join(sorted(options))}")

    def _connection(self) -> http.client.HTTPConnection:
        conns: dict[tuple[bool, str, int | None, float], http.client.HTTPConnection]
        conns = _local.__dict__.setdefault("conns", {})
        key = (self._secure, self._host, self._port, self._timeout)
        conn = conns.get(key)
        if conn is None:
            cls = http.client.HTTPSConnection if self._secure else http.client.HTTPConnection
            conn = conns[key] = cls(self._host, self._port, timeout=self._timeout)
        return conn

    def _drop(self) -> None:
        conns = _local.__dict__.get("conns", {})
        conn = conns.pop((self._secure, self._host, self._port, self._timeout), None)
        if conn is not None:
            conn.close()

    def _send(self, method: str, headers: dict[str, str]) -> tuple[http.client.HTTPResponse, bytes]:
        try:
            conn = self._connection()
            conn.request(method, self._target, headers={**self._headers, **headers})
            response = conn.getresponse()
            body = response.read()
        except (OSError, http.client.HTTPException) as exc:
            self._drop()
            reason = "timed out" if isinstance(exc, socket.timeout) else type(exc).__name__
            raise Transient(reason) from None
        if response.will_close:
            self._drop()
        return response, body

    def _fetch(self, start: int, end: int | None, suffix: int | None, tag: str | None) -> Answer:
        wanted = f"bytes=-{suffix}" if suffix is not None else f"bytes={start}-{(end or 0) - 1}"
        headers = {"Range": wanted}
        if tag is not None:
            headers["If-Match"] = tag
        response, body = self._send("GET", headers)
        self._refuse(response.status)
        etag = response.getheader("ETag")
        if response.status == 416:
            found = _UNSATISFIABLE.fullmatch(response.getheader("Content-Range") or "")
            if found is None:
                raise Refused(errno.EIO, "range not satisfiable")
            return Answer(b"", 0, int(found.group(1)), etag)
        if response.status == 200:  # the whole object: a server without ranges
            size = len(body)
            first = max(0, size - suffix) if suffix is not None else min(start, size)
            last = size if suffix is not None else min(end or 0, size)
            return Answer(body[first:last], first, size, etag)
        found = _CONTENT_RANGE.fullmatch(response.getheader("Content-Range") or "")
        if response.status != 206 or found is None or found.group(3) == "*":
            raise Refused(errno.EIO, f"unexpected HTTP {response.status} to a range request")
        return Answer(body, int(found.group(1)), int(found.group(3)), etag)

    def _stat(self) -> tuple[int, str | None]:
        response, _ = self._send("HEAD", {})
        self._refuse(response.status)
        length = response.getheader("Content-Length")
        if response.status != 200 or length is None:
            raise Refused(errno.EIO, f"unexpected HTTP {response.status} to HEAD")
        return int(length), response.getheader("ETag")

    @staticmethod
    def _refuse(status: int) -> None:
        if status >= 500 or status in (408, 429):
            raise Transient(f"HTTP {status}")
        if status == 412:
            raise Replaced()
        if status in (401, 403):
            raise Refused(errno.EACCES, f"HTTP {status}")
        if status in (404, 410):
            raise Refused(errno.ENOENT, f"HTTP {status}")
