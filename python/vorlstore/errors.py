"""The exceptions of the vorlstore package.

Every exception the package raises for a store or its files derives from
:class:`Error`.  Failures of the operating system are also :class:`OSError`
subclasses with ``errno`` and ``filename`` set, chosen by errno the way
:class:`OSError` itself chooses (so ``except FileNotFoundError`` works);
rejected keys, objects and requests are also :class:`ValueError`.  Every
message names the file it is about.

A closed store raises plain ``ValueError("I/O operation on closed store")``,
as a closed file does.
"""

from __future__ import annotations

import errno as _errno
import os


class Error(Exception):
    """Base class of the package's errors."""


class StoreFileError(Error):
    """A store file's content is unusable; ``filename`` names the file."""

    filename: str | None = None


class CorruptError(StoreFileError):
    """The file breaks a rule of the store format (damaged, truncated or not a store)."""


class VersionError(StoreFileError):
    """The file is a store of a format version this package does not read."""


class InvalidKeyError(Error, ValueError):
    """A key that cannot be stored: too long, or text with no byte form."""


class InvalidObjectError(Error, ValueError):
    """An object that a reader could not read back (the message says which rule)."""


class EncodeError(InvalidObjectError, TypeError):
    """An object MessagePack cannot encode: a type no ``default`` hook turns into one it can, a naive
    datetime, nesting beyond its limit.  Also TypeError, which msgpack raises for some of these."""


class DuplicateKeyError(Error, ValueError):
    """A key added again to a build whose rule is ``on_duplicate="error"``; the message names it."""


class StoreChangedError(StoreFileError):
    """The path of a pinned reader now holds another file than the one it was pinned to."""


class UsageError(Error, ValueError):
    """A request the store cannot honour: an unknown object id, a format limit, a busy writer."""


class StoreOSError(Error, OSError):
    """The operating system refused an operation on a store file."""


class StoreFileNotFoundError(StoreOSError, FileNotFoundError):
    pass


class StoreFileExistsError(StoreOSError, FileExistsError):
    pass


class StorePermissionError(StoreOSError, PermissionError):
    pass


class StoreIsADirectoryError(StoreOSError, IsADirectoryError):
    pass


class StoreNotADirectoryError(StoreOSError, NotADirectoryError):
    pass


class StoreInterruptedError(StoreOSError, InterruptedError):
    pass


class StoreBlockingIOError(StoreOSError, BlockingIOError):
    pass


class StoreTimeoutError(StoreOSError, TimeoutError):
    pass


# errno -> class, mirroring the subclasses OSError picks for itself.
_BY_ERRNO: dict[int, type[StoreOSError]] = {
    _errno.ENOENT: StoreFileNotFoundError,
    _errno.EEXIST: StoreFileExistsError,
    _errno.EACCES: StorePermissionError,
    _errno.EPERM: StorePermissionError,
    _errno.EISDIR: StoreIsADirectoryError,
    _errno.ENOTDIR: StoreNotADirectoryError,
    _errno.EINTR: StoreInterruptedError,
    _errno.EAGAIN: StoreBlockingIOError,
    _errno.ETIMEDOUT: StoreTimeoutError,
}

def os_error(errno: int, context: str, filename: str | None) -> StoreOSError:
    """The StoreOSError subclass for *errno*, its text led by *context* (e.g. "rename").

    A failure with no errno behind it (say, a temporary path that is not a
    regular file) reads as its context alone, with errno EIO.
    """
    if not errno:
        return StoreOSError(_errno.EIO, context or "input/output error", filename)
    strerror = f"{context}: {os.strerror(errno)}" if context else os.strerror(errno)
    return _BY_ERRNO.get(errno, StoreOSError)(errno, strerror, filename)


#: The bytes every store file begins with.
STORE_MAGIC = b"VRLS"


def foreign_file(error: CorruptError, path: str) -> CorruptError:
    """*error*, or one that says the file at *path* is not a store when it does not begin as one.

    A file that begins as a store does (or is empty) keeps the engine's
    account of what is wrong with it.
    """
    try:
        with open(path, "rb") as f:
            head = f.read(len(STORE_MAGIC))
    except OSError:
        return error
    if not head or STORE_MAGIC.startswith(head):
        return error
    foreign = CorruptError(f"{path}: not a vorlstore file (it begins with {head!r}, not {STORE_MAGIC!r})")
    foreign.filename = path
    return foreign


_BY_KIND: dict[str, type[Error] | type[ValueError]] = {
    "corrupt": CorruptError,
    "version": VersionError,
    "key": InvalidKeyError,
    "duplicate": DuplicateKeyError,
    "request": UsageError,
    "busy": UsageError,
    "internal": Error,
    "closed": ValueError,
}


def from_engine(kind: str, message: str, filename: str | None, errno: int) -> Exception:
    """The exception for a failure of the native engine (its one way to raise).

    For kind "io" the engine's message is the step that failed (e.g. "rename"),
    the errno says the rest.
    """
    if kind == "io":
        return os_error(errno, message, filename)
    cls = _BY_KIND.get(kind, Error)
    if cls is ValueError:
        return ValueError(message)
    exc = cls(f"{filename}: {message}" if filename else message)
    if isinstance(exc, StoreFileError):
        exc.filename = filename
    return exc


__all__ = [
    "Error", "StoreFileError", "CorruptError", "VersionError", "InvalidKeyError", "InvalidObjectError", "EncodeError",
    "UsageError", "DuplicateKeyError", "StoreChangedError",
    "StoreOSError", "StoreFileNotFoundError", "StoreFileExistsError", "StorePermissionError",
    "StoreIsADirectoryError", "StoreNotADirectoryError", "StoreInterruptedError", "StoreBlockingIOError",
    "StoreTimeoutError",
]
