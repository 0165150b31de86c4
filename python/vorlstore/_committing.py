"""The ``with`` block that StoreBuilder and SetBuilder share.

Leaving the block normally commits what is still open; leaving it by an
exception (KeyboardInterrupt included) discards it instead.
"""

from __future__ import annotations

from types import TracebackType
from typing import Any, Self


class CommitsOnExit:
    """Mixed into a builder that has ``commit``, ``discard`` and ``_settled``."""

    __slots__ = ()

    def commit(self) -> Any:
        raise NotImplementedError

    def discard(self) -> None:
        raise NotImplementedError

    def _settled(self) -> bool:
        """Whether the end of the block has nothing left to commit."""
        raise NotImplementedError

    def __enter__(self) -> Self:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        if exc_type is not None:
            self.discard()
        elif not self._settled():
            self.commit()
