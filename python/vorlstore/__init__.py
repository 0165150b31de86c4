"""vorlstore: a write-once, read-many key/value store in one file.

Build a store with :class:`VorlWriter` (or :func:`build`), open it with
:class:`VorlReader`.  Objects are stored as MessagePack; keys are ``str`` or
``bytes``.  Errors derive from :class:`Error` (see :mod:`vorlstore.errors`).

    >>> import vorlstore
    >>> vorlstore.build("users.vrls", {"user:1": {"name": "Ada"}})   # doctest: +SKIP
    {'path': 'users.vrls', 'objects': 1, 'keys': 1, 'bytes': 70, 'seconds': 0.001}
    >>> with vorlstore.VorlReader("users.vrls") as r:                # doctest: +SKIP
    ...     r["user:1"]
    {'name': 'Ada'}
"""

from ._vorlstore import __version__
from .errors import (
    CorruptError,
    EncodeError,
    DuplicateKeyError,
    Error,
    InvalidKeyError,
    InvalidObjectError,
    StoreFileNotFoundError,
    StoreOSError,
    StoreChangedError,
    StorePermissionError,
    UsageError,
    VersionError,
)
from .builder import StoreBuilder, build
from .reader import Key, StoreStats, VorlReader, key_bytes
from .writer import BuildSummary, VorlWriter, add_hash_index, merge
from .sets import SetBuilder, StoreSet, write_store_set

__all__ = [
    "VorlReader", "VorlWriter", "StoreBuilder", "build", "merge", "add_hash_index", "Key", "key_bytes", "StoreStats",
    "BuildSummary", "Error", "CorruptError", "VersionError", "InvalidKeyError", "InvalidObjectError", "EncodeError",
    "UsageError", "DuplicateKeyError", "StoreChangedError",
    "StoreOSError", "StoreFileNotFoundError", "StorePermissionError",
    "StoreSet", "SetBuilder", "write_store_set", "__version__",
]
