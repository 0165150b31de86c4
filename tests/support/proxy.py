"""A forwarding HTTP proxy on 127.0.0.1 that adds latency and faults, for tests and benchmarks.

Every request waits ``delay`` seconds, then goes to the upstream server
unchanged (Host header included, so S3 signatures still hold).  ``fault``,
when set, is called with the request number and method before forwarding
and may answer instead: ``"503"`` (a server error), ``"cut"`` (half the body,
then the connection closes) or ``"drop"`` (closes without an answer).
"""

from __future__ import annotations

import http.client
import threading
import time
from collections.abc import Callable
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

Fault = Callable[[int, str], str | None]


class Proxy:
    def __init__(self, upstream_port: int, delay: float = 0.0) -> None:
        self.delay = delay
        self.fault: Fault | None = None
        self.requests = 0
        self._lock = threading.Lock()
        proxy = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args: object) -> None:
                pass

            def _forward(self) -> None:
                with proxy._lock:
                    proxy.requests += 1
                    number = proxy.requests
                if proxy.delay:
                    time.sleep(proxy.delay)
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else None
                action = proxy.fault(number, self.command) if proxy.fault else None
                if action == "drop":
                    self.close_connection = True
                    return
                if action == "503":
                    self.send_response(503)
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                conn = http.client.HTTPConnection("127.0.0.1", upstream_port, timeout=60)
                try:
                    conn.request(self.command, self.path, body=body, headers=dict(self.headers))
                    response = conn.getresponse()
                    data = response.read()
                finally:
                    conn.close()
                self.send_response(response.status)
                for name, value in response.getheaders():
                    if name.lower() not in ("transfer-encoding", "connection", "content-length"):
                        self.send_header(name, value)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                if action == "cut":
                    self.wfile.write(data[: len(data) // 2])
                    self.close_connection = True
                    return
                if self.command != "HEAD":
                    self.wfile.write(data)

            do_GET = do_PUT = do_POST = do_HEAD = do_DELETE = _forward

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.url = f"http://127.0.0.1:{self.port}"
        self._thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self._thread.start()

    def stop(self) -> None:
        self.server.shutdown()
        self.server.server_close()
