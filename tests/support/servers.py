"""Real storage servers on 127.0.0.1 for the tests and the benchmark.

S3: moto's server in a child process (it speaks the S3 protocol, range
reads and conditional writes included).  HTTP: nginx serving a folder with
range requests.  Both listen on ephemeral ports.  ``start_*`` raise
``Unavailable`` with the reason when a server cannot run here, which the
fixtures turn into a skip.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time


class Unavailable(Exception):
    pass


def _wait_port(port: int, proc: subprocess.Popen, what: str, timeout: float = 30.0) -> None:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise Unavailable(f"{what} exited with status {proc.returncode}")
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return
        time.sleep(0.05)
    proc.kill()
    raise Unavailable(f"{what} did not listen within {timeout:.0f} s")


_MOTO = r"""
import sys
from moto.server import ThreadedMotoServer
server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
server.start()
print(server.get_host_and_port()[1], flush=True)
sys.stdin.read()
server.stop()
"""


class Moto:
    """moto's S3 server in a child process; ``endpoint`` is its URL."""

    def __init__(self) -> None:
        try:
            import boto3  # noqa: F401
            import moto  # noqa: F401
        except ImportError as exc:
            raise Unavailable(f"moto or boto3 is not installed ({exc.name})") from None
        self.proc = subprocess.Popen([sys.executable, "-c", _MOTO], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        line = self.proc.stdout.readline()
        if not line.strip().isdigit():
            self.proc.kill()
            raise Unavailable("moto's server did not start")
        self.port = int(line)
        _wait_port(self.port, self.proc, "moto")
        self.endpoint = f"http://127.0.0.1:{self.port}"
        self.options = {"endpoint_url": self.endpoint, "key": "testing", "secret": "testing",
                        "region_name": "us-east-1"}

    def client(self):
        import boto3

        return boto3.client("s3", endpoint_url=self.endpoint, aws_access_key_id="testing",
                            aws_secret_access_key="testing", region_name="us-east-1")

    def stop(self) -> None:
        with contextlib.suppress(OSError):
            self.proc.stdin.close()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


_NGINX_CONF = """
daemon off;
master_process off;
worker_processes 1;
pid {dir}/nginx.pid;
error_log {dir}/error.log;
events {{ worker_connections 256; }}
http {{
  access_log off;
  client_body_temp_path {dir}/body;
  proxy_temp_path {dir}/proxy;
  fastcgi_temp_path {dir}/fastcgi;
  uwsgi_temp_path {dir}/uwsgi;
  scgi_temp_path {dir}/scgi;
  keepalive_requests 100000;
  server {{
    listen 127.0.0.1:{port};
    root {root};
  }}
}}
"""


def nginx_binary() -> str | None:
    return shutil.which("nginx") or next((p for p in ("/usr/sbin/nginx",) if os.path.exists(p)), None)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Nginx:
    """nginx serving *root* on an ephemeral port; ``url`` is its base URL."""

    def __init__(self, root: str) -> None:
        binary = nginx_binary()
        if binary is None:
            raise Unavailable("nginx is not installed (apt-get install nginx-light)")
        self.dir = tempfile.mkdtemp(prefix="vorl-nginx-")
        for attempt in range(5):
            self.port = free_port()
            conf = os.path.join(self.dir, "nginx.conf")
            with open(conf, "w") as f:
                f.write(_NGINX_CONF.format(dir=self.dir, port=self.port, root=root))
            self.proc = subprocess.Popen([binary, "-c", conf, "-p", self.dir], stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
            try:
                _wait_port(self.port, self.proc, "nginx", timeout=10)
                break
            except Unavailable:
                if attempt == 4:
                    raise
        self.url = f"http://127.0.0.1:{self.port}"

    def stop(self) -> None:
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


@contextlib.contextmanager
def moto_with_bucket(bucket: str):
    """A running Moto with *bucket* made, for a test fixture; skips the test when it cannot run."""
    import pytest

    try:
        server = Moto()
    except Unavailable as exc:
        pytest.skip(f"S3 server cannot run here: {exc}")
    try:
        server.client().create_bucket(Bucket=bucket)
        yield server
    finally:
        server.stop()
