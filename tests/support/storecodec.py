"""The store file layout, written from the format alone, for the tests.

Encodes stores (as the writer lays them out, or with whatever index a test
needs), decodes and fully checks them, and patches single fields.  It shares
no code with the C++ core, so that a writer fault cannot hide behind a
matching reader fault; CRC-32 comes from zlib (the same ISO-HDLC checksum).

Layout: a 40-byte header; one record per object from offset 40 on (length
u32, crc32 u32, payload); then one index entry per key (key_len u16, key,
record offset u64).  Every integer is big-endian; nothing is aligned.
"""

import dataclasses
import struct
import zlib

MAGIC = b"VRLS"
VERSION = 2
HEADER_SIZE = 40
RECORD_HEADER_SIZE = 8
_HEADER = struct.Struct(">4sB3sIIQQI4s")
_RECORD = struct.Struct(">II")


@dataclasses.dataclass(frozen=True)
class Header:
    """All 40 header bytes, the reserved ones included, so that any header round-trips."""

    magic: bytes = MAGIC
    version: int = VERSION
    reserved_5: bytes = bytes(3)
    num_keys: int = 0
    num_objects: int = 0
    index_offset: int = HEADER_SIZE
    data_offset: int = HEADER_SIZE
    file_crc32: int = 0
    reserved_36: bytes = bytes(4)

    def pack(self) -> bytes:
        return _HEADER.pack(*dataclasses.astuple(self))

    @classmethod
    def unpack(cls, data: bytes) -> "Header":
        return cls(*_HEADER.unpack_from(data))


# The format's example store: one object 92 01 02 under the keys "a" and "b", 73 bytes.  docs/format.md
# ("The file format") shows the same rows.  (offset, hex bytes, meaning)
EXAMPLE_STORE = [
    (0, "56 52 4C 53", "magic"),
    (4, "02 00 00 00", "version 2, three reserved zero bytes"),
    (8, "00 00 00 02", "num_keys 2"),
    (12, "00 00 00 01", "num_objects 1"),
    (16, "00 00 00 00 00 00 00 33", "index_offset 51"),
    (24, "00 00 00 00 00 00 00 28", "data_offset 40"),
    (32, "CA F0 BE 65", "file_crc32 of bytes 40 to 72"),
    (36, "00 00 00 00", "reserved"),
    (40, "00 00 00 03", "object 0: length 3"),
    (44, "F6 C3 E5 E1", "object 0: crc32 of 92 01 02"),
    (48, "92 01 02", "object 0: payload"),
    (51, "00 01 61", "entry 0: key_len 1, key 'a'"),
    (54, "00 00 00 00 00 00 00 28", "entry 0: offset 40"),
    (62, "00 01 62", "entry 1: key_len 1, key 'b'"),
    (65, "00 00 00 00 00 00 00 28", "entry 1: offset 40"),
]


# ---- Encoding


def record(payload: bytes, length: int | None = None) -> bytes:
    """One object record; `length` overrides the length field (the checksum stays the payload's)."""
    return _RECORD.pack(len(payload) if length is None else length, zlib.crc32(payload)) + payload


def entry(key: bytes, offset: int) -> bytes:
    return struct.pack(">H", len(key)) + key + struct.pack(">Q", offset)


def record_offsets(objects) -> list[int]:
    """The offset of each object's record, in id order."""
    offsets, at = [], HEADER_SIZE
    for blob in objects:
        offsets.append(at)
        at += RECORD_HEADER_SIZE + len(blob)
    return offsets


def assemble(objects_section: bytes, index_section: bytes, *, num_keys: int, num_objects: int, **header) -> bytes:
    """A header followed by both sections.  index_offset and file_crc32 follow from the sections
    unless `header` gives them; `header` may set any other field too."""
    body = objects_section + index_section
    fields = dict(num_keys=num_keys, num_objects=num_objects, index_offset=HEADER_SIZE + len(objects_section),
                  file_crc32=zlib.crc32(body))
    fields.update(header)
    return Header(**fields).pack() + body


def encode_entries(objects, entries, tail: bytes = b"") -> bytes:
    """A store of `objects` (payloads in id order) whose index holds `entries` (key bytes, record
    offset) exactly in the given order, duplicates and disorder included, followed by `tail`;
    counts and checksum are correct."""
    return assemble(b"".join(map(record, objects)), b"".join(entry(k, o) for k, o in entries) + tail,
                    num_keys=len(entries), num_objects=len(objects))


def encode_store(objects, keys: dict) -> bytes:
    """The file a build of `objects` (payloads in id order) and `keys` (key bytes -> object id) writes."""
    offsets = record_offsets(objects)
    return encode_entries(objects, [(k, offsets[keys[k]]) for k in sorted(keys)])


def write_store(path, objects, keys):
    """Builds `path` with _VorlWriter from payloads in id order and keys ({key: id} or (key, id)
    pairs, keys in any form the writer takes); returns the file's bytes.  For tests whose subject
    is the reader."""
    from _vorlstore import _VorlWriter  # only here: the reliability drivers run without the module

    w = _VorlWriter()
    for blob in objects:
        w.add_object_raw(blob)
    for key, obj_id in keys.items() if isinstance(keys, dict) else keys:
        w.add_key(key, obj_id)
    w.build(str(path))
    return path.read_bytes()


def summary_line(path, num_objects: int, num_keys: int, size: int) -> bytes:
    """The line a successful build prints on descriptor 1."""
    return (f"\u2705  {path}  \u2014  {num_objects} objects \u00b7 {num_keys} keys \u00b7 "
            f"{size / 1024:.1f} KB\n").encode()


def crc_text(value: int) -> str:
    """A checksum as statistics and messages print it."""
    return f"0x{value:08x}"


# ---- Patching


def put(data: bytes, pos: int, fmt: str, value) -> bytes:
    """A copy of `data` with the big-endian field `fmt` (">B", ">H", ">I", ">Q") at `pos` replaced."""
    out = bytearray(data)
    struct.pack_into(fmt, out, pos, value)
    return bytes(out)


def get(data: bytes, pos: int, fmt: str):
    return struct.unpack_from(fmt, data, pos)[0]


def header(data: bytes) -> Header:
    return Header.unpack(data)


def with_header(data: bytes, **fields) -> bytes:
    """A copy of `data` with the named header fields replaced.  The header lies outside the file
    checksum, so the checksum stays valid."""
    return dataclasses.replace(Header.unpack(data), **fields).pack() + data[HEADER_SIZE:]


def with_file_crc(data: bytes) -> bytes:
    """`data` with file_crc32 rewritten to match its bytes after the header."""
    return with_header(data, file_crc32=zlib.crc32(data[HEADER_SIZE:]))


# ---- Decoding


def read(path) -> bytes | None:
    """The file's bytes, or None when there is no file."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


class BadStore(Exception):
    """The bytes are not a complete, sound store as a build writes it."""


@dataclasses.dataclass(frozen=True)
class Entry:
    pos: int  # first byte of the entry
    key: bytes
    offset_pos: int  # first byte of its record offset
    offset: int

    @property
    def end(self) -> int:
        return self.offset_pos + 8


def index_entries(data: bytes) -> list[Entry]:
    """The entries the header announces, in file order; BadStore where the file ends first."""
    h = Header.unpack(data)
    pos, out = h.index_offset, []
    for _ in range(h.num_keys):
        if len(data) - pos < 2:
            raise BadStore("index section truncated (key_len)")
        key_len = get(data, pos, ">H")
        if len(data) - pos < 10 + key_len:
            raise BadStore("index section truncated (key + offset)")
        offset_pos = pos + 2 + key_len
        out.append(Entry(pos, data[pos + 2:offset_pos], offset_pos, get(data, offset_pos, ">Q")))
        pos = offset_pos + 8
    return out


@dataclasses.dataclass
class Store:
    num_keys: int
    num_objects: int
    index_offset: int
    size: int
    entries: list  # (key bytes, record offset) in file order
    objects: dict  # record offset -> payload bytes, in file order

    def summary_line(self, path, size: int | None = None) -> bytes:
        """The line a build of this store prints; `size` overrides the file size."""
        return summary_line(path, self.num_objects, self.num_keys, self.size if size is None else size)


def parse(data: bytes) -> Store:
    """Decodes one store image and checks all that a build guarantees: header, whole-file and
    record checksums, records tiling the object section, every key on a record, keys strictly
    ascending, nothing after the index.  Raises BadStore."""
    if len(data) < HEADER_SIZE:
        raise BadStore(f"{len(data)} bytes, shorter than the header")
    h = Header.unpack(data)
    if (h.magic, h.version, h.data_offset, h.reserved_5, h.reserved_36) != (
            MAGIC, VERSION, HEADER_SIZE, bytes(3), bytes(4)):
        raise BadStore(f"bad header {data[:8].hex()} data_offset={h.data_offset} reserved {data[36:40].hex()}")
    computed = zlib.crc32(data[HEADER_SIZE:])
    if computed != h.file_crc32:
        raise BadStore(f"file crc stored={crc_text(h.file_crc32)} computed={crc_text(computed)}")
    if not HEADER_SIZE <= h.index_offset <= len(data):
        raise BadStore(f"index_offset {h.index_offset} outside the file")
    objects = {}
    pos = HEADER_SIZE
    while pos < h.index_offset:
        if h.index_offset - pos < RECORD_HEADER_SIZE:
            raise BadStore(f"record header at {pos} crosses the index")
        length, crc = _RECORD.unpack_from(data, pos)
        if length > h.index_offset - pos - RECORD_HEADER_SIZE:
            raise BadStore(f"record at {pos} crosses the index")
        payload = data[pos + RECORD_HEADER_SIZE:pos + RECORD_HEADER_SIZE + length]
        if zlib.crc32(payload) != crc:
            raise BadStore(f"record crc at {pos}")
        objects[pos] = payload
        pos += RECORD_HEADER_SIZE + length
    if len(objects) != h.num_objects:
        raise BadStore(f"{len(objects)} records, header says {h.num_objects}")
    entries = index_entries(data)
    for e in entries:
        if e.offset not in objects:
            raise BadStore(f"key {e.key!r} points at {e.offset}, not a record")
    end = entries[-1].end if entries else h.index_offset
    if end != len(data):
        raise BadStore(f"{len(data) - end} bytes after the index")
    keys = [e.key for e in entries]
    if keys != sorted(set(keys)):
        raise BadStore("keys not strictly ascending")
    return Store(h.num_keys, h.num_objects, h.index_offset, len(data), [(e.key, e.offset) for e in entries], objects)
