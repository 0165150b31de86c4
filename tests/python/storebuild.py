"""Helpers for reader tests: stores written by _VorlWriter, stores laid out by hand, and
in-place edits of header and index fields."""

import struct
import zlib

from _vorlstore import _VorlWriter

HEADER_SIZE = 40
NUM_KEYS_POS, NUM_OBJECTS_POS, INDEX_OFFSET_POS, DATA_OFFSET_POS, FILE_CRC_POS = 8, 12, 16, 24, 32


def write_store(path, objects, keys):
    """Builds `path` with _VorlWriter from blobs in id order and (key, id) pairs; returns the bytes."""
    w = _VorlWriter()
    for blob in objects:
        w.add_object_raw(blob)
    for key, obj_id in keys.items() if isinstance(keys, dict) else keys:
        w.add_key(key, obj_id)
    w.build(str(path))
    return path.read_bytes()


def record_offsets(objects):
    """The offset of each object's record, in id order."""
    offsets, at = [], HEADER_SIZE
    for blob in objects:
        offsets.append(at)
        at += 8 + len(blob)
    return offsets


def encode_entries(objects, entries):
    """A store whose index holds `entries` (key bytes, record offset) exactly in the given order,
    duplicates and disorder included; the whole-file checksum is correct."""
    records = b"".join(struct.pack(">II", len(b), zlib.crc32(b)) + b for b in objects)
    index = b"".join(struct.pack(">H", len(k)) + k + struct.pack(">Q", o) for k, o in entries)
    body = records + index
    header = struct.pack(">4sB3xIIQQI4x", b"VRLS", 2, len(entries), len(objects),
                         HEADER_SIZE + len(records), HEADER_SIZE, zlib.crc32(body))
    return header + body


def put(data, pos, fmt, value):
    """A copy of `data` with the big-endian field `fmt` (">H", ">I", ">Q") at `pos` replaced."""
    out = bytearray(data)
    struct.pack_into(fmt, out, pos, value)
    return bytes(out)


def get(data, pos, fmt):
    return struct.unpack_from(fmt, data, pos)[0]


def with_file_crc(data):
    """`data` with file_crc32 rewritten to match its bytes after the header."""
    return put(data, FILE_CRC_POS, ">I", zlib.crc32(data[HEADER_SIZE:]))


def entry_positions(data):
    """(position of the entry, position of its offset field) for each index entry, in order."""
    p, out = get(data, INDEX_OFFSET_POS, ">Q"), []
    for _ in range(get(data, NUM_KEYS_POS, ">I")):
        key_len = get(data, p, ">H")
        out.append((p, p + 2 + key_len))
        p += 10 + key_len
    return out


def crc_text(value):
    return f"0x{value:08x}"
