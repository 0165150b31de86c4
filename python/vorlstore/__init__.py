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

from __future__ import annotations

# typing's own import costs more than the rest of `vorlstore --version`.
TYPE_CHECKING = False

__version__ = "0.2.0"  # pyproject.toml's; a test keeps the two equal

# Each public name and the submodule that defines it.  A submodule is imported
# on first use, so that a short command (`vorlstore --version`, `vorlstore get`)
# loads only what it uses.
_HOME = {
    **dict.fromkeys(["VorlReader", "Key", "StoreStats", "key_bytes"], "reader"),
    **dict.fromkeys(["VorlWriter", "merge", "add_hash_index", "BuildSummary"], "writer"),
    **dict.fromkeys(["StoreBuilder", "build"], "builder"),
    **dict.fromkeys(["StoreSet", "SetBuilder", "write_store_set"], "sets"),
    **dict.fromkeys(["Error", "CorruptError", "VersionError", "InvalidKeyError", "InvalidObjectError", "EncodeError",
                     "DuplicateKeyError", "UsageError", "StoreOSError", "StoreFileNotFoundError",
                     "StorePermissionError", "StoreChangedError"], "errors"),
}

__all__ = [
    "VorlReader", "VorlWriter", "StoreBuilder", "build", "merge", "add_hash_index", "Key", "key_bytes", "StoreStats",
    "BuildSummary", "Error", "CorruptError", "VersionError", "InvalidKeyError", "InvalidObjectError", "EncodeError",
    "UsageError", "DuplicateKeyError", "StoreChangedError",
    "StoreOSError", "StoreFileNotFoundError", "StorePermissionError",
    "StoreSet", "SetBuilder", "write_store_set", "__version__",
]

if TYPE_CHECKING:
    from typing import Any

    from .builder import StoreBuilder, build
    from .errors import (
        CorruptError,
        DuplicateKeyError,
        EncodeError,
        Error,
        InvalidKeyError,
        InvalidObjectError,
        StoreFileNotFoundError,
        StoreChangedError,
        StoreOSError,
        StorePermissionError,
        UsageError,
        VersionError,
    )
    from .reader import Key, StoreStats, VorlReader, key_bytes
    from .sets import SetBuilder, StoreSet, write_store_set
    from .writer import BuildSummary, VorlWriter, add_hash_index, merge


def _lazy(namespace: dict[str, Any], homes: dict[str, str]) -> tuple[Any, Any]:
    """A package's ``__getattr__`` and ``__dir__`` that import each name from its home module when first used."""

    def __getattr__(name: str) -> Any:
        home = homes.get(name)
        if home is None:
            raise AttributeError(f"module {namespace['__name__']!r} has no attribute {name!r}")
        from importlib import import_module

        value = getattr(import_module(home, namespace["__name__"]), name)
        namespace[name] = value
        return value

    def __dir__() -> list[str]:
        return sorted(set(namespace) | set(namespace["__all__"]))

    return __getattr__, __dir__


__getattr__, __dir__ = _lazy(globals(), {name: f".{home}" for name, home in _HOME.items()})
