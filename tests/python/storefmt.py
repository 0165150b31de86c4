"""An independent encoder of the .vrls layout, used to check written files byte for byte.

Header (40 bytes): b"VRLS", version 2, 3 zero bytes, num_keys u32, num_objects u32,
index_offset u64, data_offset u64 (= 40), file_crc32 u32 (of everything after the
header), 4 zero bytes.  Then one record per object (length u32, crc32 u32, payload)
and one index entry per key in bytewise order (key_len u16, key, record offset u64).
All integers big-endian.
"""

import struct
import zlib

HEADER_SIZE = 40


def encode_store(objects, keys):
    """objects: list of bytes in id order; keys: dict of key bytes -> object id."""
    offsets, records = [], bytearray()
    for blob in objects:
        offsets.append(HEADER_SIZE + len(records))
        records += struct.pack(">II", len(blob), zlib.crc32(blob)) + blob
    index = bytearray()
    for key in sorted(keys):
        index += struct.pack(">H", len(key)) + key + struct.pack(">Q", offsets[keys[key]])
    body = bytes(records + index)
    header = struct.pack(
        ">4sB3xIIQQI4x",
        b"VRLS",
        2,
        len(keys),
        len(objects),
        HEADER_SIZE + len(records),
        HEADER_SIZE,
        zlib.crc32(body),
    )
    assert len(header) == HEADER_SIZE
    return header + body


def summary_line(path, objects, keys, size):
    """The line a successful build prints on descriptor 1."""
    return f"\u2705  {path}  \u2014  {objects} objects \u00b7 {keys} keys \u00b7 {size / 1024:.1f} KB\n"
