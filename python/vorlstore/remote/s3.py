"""Stores in S3 (or any server that speaks its protocol), with the AWS SDK alone.

Options take s3fs's names (``key``, ``secret``, ``token``, ``endpoint_url``,
``client_kwargs``) or the SDK's (``aws_access_key_id``, ...,
``region_name``, ``profile``); with none, the SDK reads the standard AWS
environment (``AWS_ENDPOINT_URL``, ``AWS_ACCESS_KEY_ID``, ...).  Reads pin
the version by ETag (``IfMatch``) and compare every answer's ETag and size.
The SDK's own retries are off: Source retries every backend alike.
"""

from __future__ import annotations

import errno
import threading
from typing import Any, cast

from . import display
from .source import Answer, Refused, Replaced, Source, Transient

_CLIENTS: dict[tuple[tuple[str, str], ...], Any] = {}
_CLIENTS_LOCK = threading.Lock()
_RENAMES = {"key": "aws_access_key_id", "secret": "aws_secret_access_key", "token": "aws_session_token",
            "region": "region_name"}
# Uploads above this go in parts; S3 shows none of it until the last part is in.
MULTIPART_THRESHOLD = 64 << 20


def split(url: str) -> tuple[str, str]:
    bucket, _, key = url.split("://", 1)[1].partition("/")
    if not bucket or not key:
        raise ValueError(f"an S3 URL names a bucket and a key: {display(url)!r}")
    return bucket, key


def client(options: dict[str, Any]) -> Any:
    """A shared SDK client for these options (clients are thread-safe)."""
    cache_key = tuple(sorted((k, repr(v)) for k, v in options.items()))
    with _CLIENTS_LOCK:
        found = _CLIENTS.get(cache_key)
        if found is not None:
            return found
    import boto3
    from botocore.config import Config

    options = dict(options)
    kwargs: dict[str, Any] = dict(options.pop("client_kwargs", {}) or {})
    profile = options.pop("profile", None)
    timeout = float(options.pop("timeout", 30))
    config_kwargs = dict(options.pop("config_kwargs", {}) or {})
    for name, value in options.items():
        kwargs[_RENAMES.get(name, name)] = value
    config = Config(retries={"max_attempts": 1, "mode": "standard"}, max_pool_connections=32,
                    connect_timeout=timeout, read_timeout=timeout, **config_kwargs)
    session = boto3.session.Session(profile_name=profile)
    made = session.client("s3", config=config, **kwargs)
    with _CLIENTS_LOCK:
        return _CLIENTS.setdefault(cache_key, made)


def classify(exc: Exception) -> Exception:
    """The Source failure an SDK exception stands for."""
    from botocore.exceptions import ClientError, NoCredentialsError, PartialCredentialsError

    if isinstance(exc, (NoCredentialsError, PartialCredentialsError)):
        return Refused(errno.EACCES, "no usable credentials (storage_options or the AWS environment)")
    if isinstance(exc, ClientError):
        status = exc.response.get("ResponseMetadata", {}).get("HTTPStatusCode", 0)
        code = exc.response.get("Error", {}).get("Code", "")
        if status == 412 or code == "PreconditionFailed":
            return Replaced()
        if status >= 500 or code in ("SlowDown", "RequestTimeout", "InternalError"):
            return Transient(f"HTTP {status} {code}")
        if status == 404 or code in ("NoSuchKey", "NoSuchBucket", "NotFound"):
            return Refused(errno.ENOENT, f"HTTP {status} {code}".strip())
        if status in (401, 403):
            return Refused(errno.EACCES, f"HTTP {status} {code}")
        return Refused(errno.EIO, f"HTTP {status} {code}")
    # Connection failures, time-outs and cut bodies: botocore's and urllib3's.
    return Transient(type(exc).__name__)


class S3Source(Source):
    def __init__(self, url: str, options: dict[str, Any]) -> None:
        super().__init__(display(url))
        self.bucket, self.key = split(url)
        self._client = client(options)

    def _fetch(self, start: int, end: int | None, suffix: int | None, tag: str | None) -> Answer:
        kwargs: dict[str, Any] = {"Bucket": self.bucket, "Key": self.key,
                                  "Range": f"bytes=-{suffix}" if suffix is not None else f"bytes={start}-{(end or 0) - 1}"}
        if tag is not None:
            kwargs["IfMatch"] = tag
        try:
            response = self._client.get_object(**kwargs)
            data = response["Body"].read()
        except Exception as exc:
            if _unsatisfiable(exc):
                size, etag = self._stat()
                return Answer(b"", 0, size, etag)
            raise classify(exc) from None
        content_range = response.get("ContentRange")
        if content_range:
            span, _, total = content_range.removeprefix("bytes ").partition("/")
            first = int(span.partition("-")[0])
            size = int(total)
        else:  # the whole object
            size, first = len(data), 0
        return Answer(data, first, size, response.get("ETag"))

    def _stat(self) -> tuple[int, str | None]:
        try:
            response = self._client.head_object(Bucket=self.bucket, Key=self.key)
        except Exception as exc:
            raise classify(exc) from None
        return int(response["ContentLength"]), response.get("ETag")


def _unsatisfiable(exc: Exception) -> bool:
    response = getattr(exc, "response", None) or {}
    return bool(response.get("Error", {}).get("Code") == "InvalidRange")


class S3Target:
    """Writes of whole objects under one S3 URL, each visible only once complete."""

    def __init__(self, url: str, options: dict[str, Any]) -> None:
        self.name = display(url)
        self.bucket, self.key = split(url)
        self._client = client(options)

    def upload(self, local_path: str) -> None:
        """Uploads the file, in parts when large; an interrupted upload is aborted and shows nothing."""
        from boto3.s3.transfer import TransferConfig

        config = TransferConfig(multipart_threshold=MULTIPART_THRESHOLD, multipart_chunksize=MULTIPART_THRESHOLD,
                                use_threads=True)
        try:
            self._client.upload_file(local_path, self.bucket, self.key, Config=config)
        except Exception as exc:
            raise classify(exc) from None

    def put(self, data: bytes, *, if_match: str | None = None, if_none_match: bool = False) -> str | None:
        """Writes *data*; with a condition, only while the object still has *if_match* (or is absent).

        Returns the new ETag; raises Replaced when the condition no longer holds.
        """
        kwargs: dict[str, Any] = {"Bucket": self.bucket, "Key": self.key, "Body": data}
        if if_match is not None:
            kwargs["IfMatch"] = if_match
        if if_none_match:
            kwargs["IfNoneMatch"] = "*"
        try:
            response = self._client.put_object(**kwargs)
        except Exception as exc:
            raise classify(exc) from None
        return cast(str | None, response.get("ETag"))

    def get(self) -> tuple[bytes, str | None] | None:
        """The object's bytes and ETag, or None when there is none."""
        try:
            response = self._client.get_object(Bucket=self.bucket, Key=self.key)
            return response["Body"].read(), response.get("ETag")
        except Exception as exc:
            failure = classify(exc)
            if isinstance(failure, Refused) and failure.code == errno.ENOENT:
                return None
            raise failure from None
