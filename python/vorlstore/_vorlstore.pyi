"""vorlstore._vorlstore — native extension module entry-point"""

from types import TracebackType
from typing import Final, Literal, TypedDict, final

from collections.abc import Sequence

__version__: Final[str]
__all__: list[str]

# Anything the native key rule accepts: text (as UTF-8), bytes, bytearray,
# or a sequence of integers 0..255 (list, tuple, range, memoryview, ...).
_KeyLike = str | bytes | bytearray | memoryview | Sequence[int]

class _Stats(TypedDict):
    path: str
    version: int
    num_keys: int
    num_objects: int
    index_offset: int
    data_offset: int
    file_size_kb: float
    file_crc32: str

@final
class _VorlWriter:
    """Low-level writer — accepts pre-serialised msgpack bytes per object."""

    def __new__(cls) -> _VorlWriter: ...
    def add_object_raw(self, raw_bytes: bytes) -> int: ...
    def add_key(self, key: _KeyLike, obj_id: int) -> None: ...
    def build(self, path: str) -> None: ...

@final
class _VorlReader:
    """Low-level reader — returns raw msgpack bytes."""

    def __new__(cls, path: str, verify: bool = True) -> _VorlReader: ...
    def get_raw(self, key: _KeyLike) -> bytes | None: ...
    def exists(self, key: _KeyLike) -> bool: ...
    def prefix_raw(self, prefix: _KeyLike) -> list[tuple[str, bytes]]: ...
    def keys(self) -> list[str]: ...
    def items_raw(self) -> list[tuple[str, bytes]]: ...
    def objects_raw(self) -> list[bytes]: ...
    def stats(self) -> _Stats: ...
    def verify(self) -> Literal[True]: ...
    def close(self) -> None: ...
    def __enter__(self) -> _VorlReader: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_val: BaseException | None,
        _exc_tb: TracebackType | None,
    ) -> Literal[False]: ...
