"""File paths as the package takes them: ``str`` or ``os.PathLike[str]``."""

from __future__ import annotations

import os

#: A path as the package's functions accept it.
StrPath = str | os.PathLike[str]


def fspath(path: StrPath) -> str:
    """The path as ``str``; ``bytes`` paths are refused rather than guessed at."""
    p = os.fspath(path)
    if not isinstance(p, str):
        raise TypeError(f"path must be str or os.PathLike[str], not {type(p).__name__}")
    return p
