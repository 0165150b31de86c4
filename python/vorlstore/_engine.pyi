"""The native engine of the vorlstore package."""

from collections.abc import Callable, Iterable, Sequence


def key_bytes(key: str | bytes | bytearray, /) -> bytes:
    """
    The bytes `key` is stored and looked up by: str as UTF-8 with surrogateescape.
    """

class Decoder:
    """
    MessagePack to objects as the package reads them; what it leaves goes to `fallback`.
    """

    def __init__(self, fallback: Callable[[str | bytes | None, bytes], object], native: bool = True) -> None: ...

    def decode(self, raw: bytes, key: str | bytes | None = None) -> object:
        """The object `raw` holds."""

    def decode_many(self, raws: Sequence[bytes | None], keys: Sequence[object] | None, missing: object) -> list[object]:
        """The objects of `raws` in order, `missing` for each None."""

class Reader:
    """An open store file: exact lookups, ranges of sorted entries, checks."""

    def __init__(self, path: bytes, verify: bool = True, check_reads: bool = False) -> None: ...

    def get_stored(self, key: str | bytes | bytearray, /) -> bytes | None:
        """The record's bytes as stored: compressed in a compressed store."""

    @property
    def dictionary(self) -> bytes | None:
        """The store's compression dictionary, or None."""

    def get_raw(self, key: str | bytes | bytearray, /) -> bytes | None:
        """The stored bytes for `key`, or None."""

    def get_many(self, keys: Iterable[str | bytes | bytearray], missing: object, /) -> list[object]:
        """The object (or `missing`) for each key, in order, as `get` decodes it."""

    def get_many_raw(self, keys: Iterable[str | bytes | bytearray], /) -> list[bytes | None]:
        """The stored bytes (or None) for each key, in order."""

    def contains(self, key: str | bytes | bytearray, /) -> bool: ...

    def __len__(self) -> int: ...

    def bounds(self, start: str | bytes | bytearray | None, stop: str | bytes | bytearray | None, /) -> tuple[int, int]:
        """
        Entries [i, j) whose keys lie in [start, stop); None leaves a side open.
        """

    def prefix_bounds(self, prefix: str | bytes | bytearray, /) -> tuple[int, int]:
        """Entries [i, j) whose keys start with `prefix`."""

    def cursor(self, begin: int, end: int, reverse: bool = False, what: int = 2, decoder: Decoder | None = None, bytes_keys: bool = False) -> Cursor:
        """
        A lazy walk over entries [begin, end): what is 0 for keys, 1 for values, 2 for (key, value).
        """

    def get(self, key: str | bytes | bytearray, missing: object, /) -> object:
        """
        The object stored under `key` as the decoder reads it (its bytes without one), or `missing`.
        """

    @property
    def decoder(self) -> object:
        """What `get` decodes with: a Decoder, or None for the stored bytes."""

    @decoder.setter
    def decoder(self, value: object | None) -> None: ...

    def stats(self) -> dict[str, int | str | bool]: ...

    def verify(self) -> None:
        """Checks every checksum; raises on the first mismatch."""

    def objects_raw(self) -> list[bytes]:
        """Each object some key refers to, once."""

    def close(self) -> None: ...

    @property
    def closed(self) -> bool: ...

    @property
    def path(self) -> bytes: ...

class Cursor:
    """A lazy walk over a range of a reader's entries."""

    def __iter__(self) -> Cursor: ...

    def __next__(self) -> object: ...

class Adder:
    """
    What the writer and the builder share: adds that check everything first.
    """

    def add(self, blob: bytes, keys: Sequence[str | bytes | bytearray], /) -> int:
        """Stores `blob` under every key; checks all keys first."""

    def add_many(self, blobs: Sequence[bytes], keys: Sequence[str | bytes | bytearray], /) -> int:
        """Stores blobs[i] under keys[i]; returns the first id."""

    def add_many_raw(self, objects: Iterable[object], keys: Iterable[str | bytes | bytearray], check: Callable[[object], bytes], /) -> int:
        """
        As add_many; objects the native MessagePack check cannot vouch for are replaced by
        check(object), which raises for unreadable ones.
        """

    def add_key(self, key: str | bytes | bytearray, obj_id: int, /) -> None: ...

    @property
    def num_objects(self) -> int: ...

    @property
    def num_keys(self) -> int: ...

def known_readable(raw: bytes, /) -> bool:
    """
    True when the native check vouches that a reader reads `raw` back; False says nothing either way.
    """

class Writer(Adder):
    """Collects objects and keys in memory and publishes them as one store."""

    def __init__(self, on_duplicate: str = 'last', level: int | None = None) -> None: ...

    def copy_from(self, source: Reader, later: Sequence[Reader], deleted: Sequence[str | bytes | bytearray], /) -> None:
        """
        Adds the keys of `source` that no store in `later` holds and `deleted` does not name.
        """

    def build(self, path: bytes, /, hash_index: bool = False, seed: int | None = None) -> dict[str, str | int | float]:
        """Publishes the store at `path` atomically and returns its summary."""

    @property
    def last_build(self) -> dict[str, str | int | float] | None:
        """The summary of the last build that published, or None."""

def temporary_path(target: bytes) -> bytes:
    """
    Where a build of `target` writes before it renames the file into place.
    """

def add_hash_index(path: bytes, /) -> dict[str, str | int | float]:
    """
    Rewrites the store at `path` atomically with a fresh hash index section.
    """

class Builder(Adder):
    """Streams objects to a store's temporary file; commit publishes it."""

    def __init__(self, path: bytes, hash_index: bool = True, on_duplicate: str = 'last', seed: int | None = None, level: int | None = None) -> None: ...

    def commit(self) -> dict[str, str | int | float]:
        """Publishes the store atomically and returns its summary."""

    def discard(self) -> None:
        """Removes the temporary file; nothing is published."""

    @property
    def last_build(self) -> dict[str, str | int | float] | None:
        """The summary of the commit that published, or None."""

    @property
    def finished(self) -> bool: ...

def ranged_layout(head: bytes, tail: bytes, size: int, name: str) -> dict[str, int]:
    """
    The header fields, a compressed store's dictionary trailer and, when the file has a usable hash index, where its parts lie.
    """

def ranged_section(head: bytes, piece: bytes, end: int, size: int, name: str) -> dict[str, int]:
    """
    The hash index section's layout from the bytes before `end`, where it ends; empty when there is none.
    """

class RangedExpander:
    """
    A compressed store's dictionary, checked against its CRC and prepared for decoding.
    """

    def __init__(self, dictionary: bytes, crc: int, name: str) -> None: ...

    def expand(self, payload: bytes) -> bytes:
        """The MessagePack bytes of a checked record payload."""

    def decoded_size(self, payload: bytes) -> int | None:
        """
        The decoded size of a checked record payload, or None when it is not compressed.
        """

def ranged_probe(key: str | bytes | bytearray, seed: int, capacity: int) -> tuple[bytes, int, int]:
    """(key bytes, home slot, fingerprint) of `key` in a hash index section."""

def ranged_slots(slots: bytes, width: int, fingerprint: int) -> list[tuple[int, int]]:
    """
    (entry position, hinted record offset) of the slots of a run whose fingerprint matches.
    """

def ranged_entry(buf: bytes, pos: int) -> tuple[bytes, int, int] | None:
    """
    (key, object offset, next position) of the entry at `pos`, or None when `buf` ends inside it.
    """

def ranged_record(buf: bytes, pos: int, offset: int, size: int, name: str) -> bytes | int:
    """
    The checked payload of the record at `pos`, or the byte count it needs when `buf` is short.
    """

STATS_SAMPLE: int = 4096

def ranged_crc(crc: int, data: bytes) -> int:
    """The CRC-32 of `data` continued from `crc`."""

class ZstdStream:
    """Decompresses a stream of zstd frames in bounded pieces."""

    def __init__(self) -> None: ...

    def decompress(self, data: bytes, max_length: int) -> bytes:
        """
        At most max_length bytes of output, after taking data as the next input.
        """

    @property
    def needs_input(self) -> bool:
        """Whether more input is needed before more output."""

    @property
    def at_frame_end(self) -> bool:
        """Whether the input so far ends where a frame ends."""
