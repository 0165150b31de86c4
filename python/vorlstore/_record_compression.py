"""The ``compression=`` and ``level=`` arguments of the writers, checked once.

A compressed store keeps each record as zstd with a dictionary trained on
about 4 MiB of the store's records spread over all of them, stored once in the
file; records that do not shrink stay as they are.  Readers decompress
transparently.
"""

from __future__ import annotations

from .errors import UsageError

#: The zstd level a compressed store uses unless told otherwise.
DEFAULT_LEVEL = 3


def engine_level(compression: str | None, level: int | None) -> int | None:
    """The level the engine compresses at, or None for an uncompressed store."""
    if compression is None:
        if level is not None:
            raise UsageError("level is given without compression")
        return None
    if compression != "zstd":
        raise UsageError(f"unknown compression {compression!r}: the one known is 'zstd'")
    if level is None:
        return DEFAULT_LEVEL
    if not isinstance(level, int) or isinstance(level, bool) or not 1 <= level <= 19:
        raise UsageError(f"level must be an integer from 1 to 19, not {level!r}")
    return level
