"""An independent reader of store files for the reliability tests.

Written from the file layout alone and sharing no code with the C++ core, so
that a writer fault cannot hide behind a matching reader fault.  CRC-32 comes
from zlib (the same ISO-HDLC checksum).
"""

import os
import struct
import zlib
from dataclasses import dataclass

HEADER_SIZE = 40
_HEADER = struct.Struct(">4sB3xIIQQI4x")


class BadStore(Exception):
    pass


@dataclass
class Store:
    num_keys: int
    num_objects: int
    index_offset: int
    size: int
    entries: list  # (key bytes, record offset) in file order
    objects: dict  # record offset -> payload bytes


def parse(data: bytes) -> Store:
    """Parses and fully checks one store image; raises BadStore."""
    if len(data) < HEADER_SIZE:
        raise BadStore(f"{len(data)} bytes, shorter than the header")
    magic, version, num_keys, num_objects, index_offset, data_offset, file_crc = _HEADER.unpack_from(data)
    if magic != b"VRLS" or version != 2 or data_offset != HEADER_SIZE:
        raise BadStore(f"bad header {data[:8].hex()} data_offset={data_offset}")
    computed = zlib.crc32(data[HEADER_SIZE:])
    if computed != file_crc:
        raise BadStore(f"file crc stored={file_crc:#010x} computed={computed:#010x}")
    if not HEADER_SIZE <= index_offset <= len(data):
        raise BadStore(f"index_offset {index_offset} outside the file")
    objects = {}
    pos = HEADER_SIZE
    while pos < index_offset:
        if index_offset - pos < 8:
            raise BadStore(f"record header at {pos} crosses the index")
        length, crc = struct.unpack_from(">II", data, pos)
        if length > index_offset - pos - 8:
            raise BadStore(f"record at {pos} crosses the index")
        payload = data[pos + 8 : pos + 8 + length]
        if zlib.crc32(payload) != crc:
            raise BadStore(f"record crc at {pos}")
        objects[pos] = payload
        pos += 8 + length
    if len(objects) != num_objects:
        raise BadStore(f"{len(objects)} records, header says {num_objects}")
    entries = []
    pos = index_offset
    for _ in range(num_keys):
        if len(data) - pos < 2:
            raise BadStore("index truncated (key_len)")
        (key_len,) = struct.unpack_from(">H", data, pos)
        if len(data) - pos < 10 + key_len:
            raise BadStore("index truncated (key + offset)")
        key = data[pos + 2 : pos + 2 + key_len]
        (offset,) = struct.unpack_from(">Q", data, pos + 2 + key_len)
        if offset not in objects:
            raise BadStore(f"key {key!r} points at {offset}, not a record")
        entries.append((key, offset))
        pos += 10 + key_len
    if pos != len(data):
        raise BadStore(f"{len(data) - pos} bytes after the index")
    keys = [k for k, _ in entries]
    if keys != sorted(set(keys)):
        raise BadStore("keys not strictly ascending")
    return Store(num_keys, num_objects, index_offset, len(data), entries, objects)


def read(path) -> bytes | None:
    """The file's bytes, or None when there is no file."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def summary_line(target: str, store: Store, size: int | None = None) -> bytes:
    """The line a successful build prints; `size` overrides the file size."""
    kb = (store.size if size is None else size) / 1024
    return (
        f"\u2705  {target}  \u2014  {store.num_objects} objects \u00b7 {store.num_keys} keys \u00b7 {kb:.1f} KB\n"
    ).encode()


def system_error_text(err: int) -> str:
    return f"{os.strerror(err)} (os error {err})"
