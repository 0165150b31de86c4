"""_VorlReader on damaged, truncated, foreign and missing files: exact exception class and text
for every check, in the order the checks run."""

import errno
import os
import zlib

import pytest

from _vorlstore import _VorlReader
from processes import UNDER_ASAN, os_error_text, run_python
from storecodec import (
    HEADER_SIZE, crc_text, header, index_entries, put, record_offsets, with_file_crc, with_header, write_store,
)

# Four records (the last one unreferenced) and four keys; "a" and "b" share object 0.
OBJECTS = [b"\x92\x01\x02", b"second object", b"", b"orphan"]
KEYS = {"a": 0, "b": 0, "c": 1, "d": 2}
OFFSETS = record_offsets(OBJECTS)
U64_MAX = 2**64 - 1


@pytest.fixture
def store(tmp_path):
    """(path, bytes) of the sound store; tests overwrite the file with damaged copies."""
    path = tmp_path / "s.vrls"
    return path, write_store(path, OBJECTS, KEYS)


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def assert_store_error(call, cls, text):
    error = raised(call)
    assert type(error) is cls
    assert error.args == (text,)
    return error


def corrupt(text):
    return RuntimeError, "VorlCorruptError: " + text


def version(byte):
    return RuntimeError, f"VorlVersionError: unsupported version {byte}"


def truncated(field):
    return corrupt(f"index section truncated ({field})")


def last_entry(data):
    return index_entries(data)[-1].pos


# Damaged stores whose whole-file checksum still matches their bytes (rewritten where the damage
# lies after the header), so that open fails at the same check with and without verification.
OPEN_FAILURES = [
    ("empty file", lambda d: b"", corrupt("file too small for header")),
    ("one byte", lambda d: b"V", corrupt("file too small for header")),
    ("39 bytes of a store", lambda d: d[:39], corrupt("file too small for header")),
    ("39 bytes with a zip magic", lambda d: b"PK\x03\x04" + bytes(35), corrupt("file too small for header")),
    ("zip magic", lambda d: with_header(d, magic=b"PK\x03\x04"), corrupt("bad magic [80, 75, 3, 4]")),
    ("zero header only", lambda d: bytes(40), corrupt("bad magic [0, 0, 0, 0]")),
    ("high magic bytes", lambda d: with_header(d, magic=b"\xff\xfe\x80\x7f"),
     corrupt("bad magic [255, 254, 128, 127]")),
    ("lower-case magic", lambda d: with_header(d, magic=b"vrls"), corrupt("bad magic [118, 114, 108, 115]")),
    ("bad magic before bad version", lambda d: with_header(d, magic=b"PK\x03\x04", version=3),
     corrupt("bad magic [80, 75, 3, 4]")),
    ("version 1", lambda d: with_header(d, version=1), version(1)),
    ("version 3", lambda d: with_header(d, version=3), version(3)),
    ("version 0", lambda d: with_header(d, version=0), version(0)),
    ("version 255", lambda d: with_header(d, version=255), version(255)),
    ("version before checksum", lambda d: put(with_header(d, version=3), 48, ">B", 0), version(3)),
    ("version before size of index", lambda d: with_header(d, version=1, num_keys=2**32 - 1), version(1)),
    ("cut inside the first key_len",
     lambda d: with_file_crc(d[:header(d).index_offset + 1]), truncated("key_len")),
    ("cut inside the last key_len", lambda d: with_file_crc(d[:last_entry(d) + 1]), truncated("key_len")),
    ("cut before the last entry", lambda d: with_file_crc(d[:last_entry(d)]), truncated("key_len")),
    ("cut after the last key_len", lambda d: with_file_crc(d[:last_entry(d) + 2]), truncated("key + offset")),
    ("cut after the last key", lambda d: with_file_crc(d[:last_entry(d) + 3]), truncated("key + offset")),
    ("cut inside the last offset", lambda d: with_file_crc(d[:-1]), truncated("key + offset")),
    ("cut inside the first offset",
     lambda d: with_file_crc(d[:index_entries(d)[0].offset_pos + 7]), truncated("key + offset")),
    ("key_len past the end", lambda d: with_file_crc(put(d, last_entry(d), ">H", 0xFFFF)), truncated("key + offset")),
    ("one key more than present", lambda d: with_header(d, num_keys=len(KEYS) + 1), truncated("key_len")),
    ("num_keys 2**32-1", lambda d: with_header(d, num_keys=2**32 - 1), truncated("key_len")),
    ("index_offset at the end", lambda d: with_header(d, index_offset=len(d)), truncated("key_len")),
    ("index_offset one before the end", lambda d: with_header(d, index_offset=len(d) - 1), truncated("key_len")),
    ("index_offset two before the end",
     lambda d: with_header(d, index_offset=len(d) - 2), truncated("key + offset")),
    ("index_offset past the end", lambda d: with_header(d, index_offset=len(d) + 1), truncated("key_len")),
    ("index_offset 2**63", lambda d: with_header(d, index_offset=2**63), truncated("key_len")),
    ("index_offset 2**64-1", lambda d: with_header(d, index_offset=U64_MAX), truncated("key_len")),
    ("index_offset 2**64-2", lambda d: with_header(d, index_offset=U64_MAX - 1), truncated("key_len")),
    ("index_offset 2**64-10", lambda d: with_header(d, index_offset=U64_MAX - 9), truncated("key_len")),
    # The magic read as key_len 0x5652 runs far past the end.
    ("index_offset 0", lambda d: with_header(d, index_offset=0), truncated("key + offset")),
    ("num_keys 2**32-1, index_offset 2**64-1",
     lambda d: with_header(d, num_keys=2**32 - 1, index_offset=U64_MAX), truncated("key_len")),
]


@pytest.mark.parametrize("verify", [True, False], ids=["verify", "no-verify"])
@pytest.mark.parametrize("damage, expected", [r[1:] for r in OPEN_FAILURES], ids=[r[0] for r in OPEN_FAILURES])
def test_open_failures(store, damage, expected, verify):
    path, data = store
    path.write_bytes(damage(data))
    assert_store_error(lambda: _VorlReader(str(path), verify), *expected)


def test_empty_store_with_huge_num_keys(tmp_path):
    path = tmp_path / "e.vrls"
    data = write_store(path, [], {})
    assert len(data) == HEADER_SIZE
    path.write_bytes(with_header(data, num_keys=2**32 - 1))
    assert_store_error(lambda: _VorlReader(str(path)), *truncated("key_len"))


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer runtime needs far more address space")
def test_huge_num_keys_reserves_no_memory_for_it(store):
    path, data = store
    path.write_bytes(with_header(data, num_keys=2**32 - 1))
    # 2**32 entries would need tens of GiB; the index can hold at most a few entries.
    code = """
        import resource, sys, _vorlstore
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        try:
            _vorlstore._VorlReader(sys.argv[1])
        except RuntimeError as e:
            print(e)
    """
    child = run_python(code, path)
    assert child.returncode == 0, child.stderr
    assert child.stdout.decode() == "VorlCorruptError: index section truncated (key_len)\n"


# Stores that open: the header fields outside magic and version are not checked, an empty index
# is never looked at, and bytes after the index only count for the checksum.
OPEN_OK = [
    ("num_keys 0, index_offset 2**64-1",
     lambda d: with_header(d, num_keys=0, index_offset=U64_MAX), 0),
    ("num_keys 0, index_offset 0", lambda d: with_header(d, num_keys=0, index_offset=0), 0),
    ("num_keys 0, index_offset past the end",
     lambda d: with_header(d, num_keys=0, index_offset=len(d) + 100), 0),
    ("one key fewer", lambda d: with_header(d, num_keys=len(KEYS) - 1), len(KEYS) - 1),
    ("num_objects changed", lambda d: with_header(d, num_objects=2**32 - 1), len(KEYS)),
    ("data_offset changed", lambda d: with_header(d, data_offset=U64_MAX), len(KEYS)),
    ("reserved bytes set", lambda d: with_header(d, reserved_5=b"\xff" * 3, reserved_36=b"\xff" * 4), len(KEYS)),
    ("bytes after the index", lambda d: with_file_crc(d + b"trailing"), len(KEYS)),
]


@pytest.mark.parametrize("damage, num_entries", [r[1:] for r in OPEN_OK], ids=[r[0] for r in OPEN_OK])
def test_unchecked_header_fields_and_trailing_bytes(store, damage, num_entries):
    path, data = store
    changed = damage(data)
    path.write_bytes(changed)
    r = _VorlReader(str(path))
    assert r.keys() == list(KEYS)[:num_entries]
    assert r.items_raw() == [(k, OBJECTS[i]) for k, i in list(KEYS.items())[:num_entries]]
    assert r.verify() is True
    stats, h = r.stats(), header(changed)
    assert stats["num_keys"] == h.num_keys and stats["num_objects"] == h.num_objects
    assert stats["index_offset"] == h.index_offset
    assert stats["data_offset"] == 40 and stats["version"] == 2
    assert stats["file_size_kb"] == len(changed) / 1024


def crc_mismatch(data):
    stored, computed = header(data).file_crc32, zlib.crc32(data[HEADER_SIZE:])
    return corrupt(f"file CRC32 mismatch  stored={crc_text(stored)}  computed={crc_text(computed)}")


@pytest.mark.parametrize("obj_id", [0, 1, 3], ids=["shared", "single", "unreferenced"])
def test_changed_payload_byte(store, obj_id):
    path, data = store
    offset = OFFSETS[obj_id]
    damaged = put(data, offset + 8, ">B", data[offset + 8] ^ 0x20)
    path.write_bytes(damaged)
    expected = crc_mismatch(damaged)
    assert_store_error(lambda: _VorlReader(str(path)), *expected)
    assert_store_error(lambda: _VorlReader(str(path), verify=True), *expected)

    # Without the whole-file check the file opens and queries return the stored bytes.
    r = _VorlReader(str(path), verify=False)
    changed = damaged[offset + 8:offset + 8 + len(OBJECTS[obj_id])]
    assert changed != OBJECTS[obj_id]
    objects = [changed if i == obj_id else blob for i, blob in enumerate(OBJECTS)]
    assert r.items_raw() == [(k, objects[i]) for k, i in KEYS.items()]
    assert r.stats()["file_crc32"] == crc_text(header(data).file_crc32)
    assert_store_error(r.verify, *expected)
    assert_store_error(r.verify, *expected)  # a failed verify changes nothing

    # With the checksum rewritten only the record's own checksum tells, and only for records
    # that a key refers to.
    path.write_bytes(with_file_crc(damaged))
    r = _VorlReader(str(path))
    assert r.objects_raw() == objects[:3]
    if obj_id == 3:
        assert r.verify() is True
    else:
        assert_store_error(r.verify, *corrupt(f"object CRC32 mismatch at offset {offset}"))


def test_checksum_is_checked_before_the_index(store):
    path, data = store
    path.write_bytes(data[:-1])
    assert_store_error(lambda: _VorlReader(str(path)), *crc_mismatch(data[:-1]))
    assert_store_error(lambda: _VorlReader(str(path), verify=False), *truncated("key + offset"))


@pytest.mark.parametrize("extra", [b"\0", b"more"])
def test_checksum_covers_trailing_bytes(store, extra):
    path, data = store
    path.write_bytes(data + extra)
    assert_store_error(lambda: _VorlReader(str(path)), *crc_mismatch(data + extra))
    assert _VorlReader(str(path), verify=False).keys() == list(KEYS)


@pytest.mark.parametrize("stored", [31, 0, 0xFFFFFFFF])
def test_checksum_rendering(store, stored):
    path, data = store
    changed = with_header(data, file_crc32=stored)
    path.write_bytes(changed)
    error = assert_store_error(lambda: _VorlReader(str(path)), *crc_mismatch(changed))
    assert f"  stored={crc_text(stored)}  computed=0x" in str(error)
    assert _VorlReader(str(path), verify=False).stats()["file_crc32"] == crc_text(stored)


def set_offset(key_number, offset):
    """Damage: index entry `key_number` points at `offset`; checksum rewritten."""
    return lambda d: with_file_crc(put(d, index_entries(d)[key_number].offset_pos, ">Q", offset(len(d))))


def set_length(obj_id, length):
    """Damage: the record of object `obj_id` claims `length` payload bytes; checksum rewritten."""
    return lambda d: with_file_crc(put(d, OFFSETS[obj_id], ">I", length(len(d))))


def out_of_bounds(offset):
    return (f"offset {offset} out of bounds", f"object offset {offset} out of bounds")


def beyond_end(offset):
    return (f"object at {offset} extends beyond file end",) * 2


# (id, damage, key whose object cannot be read, offset of its record as a function of the file
# length, (read error, verify error)).
READ_FAILURES = [
    ("offset at the end", set_offset(2, lambda n: n), "c", lambda n: n, out_of_bounds),
    ("offset 7 before the end", set_offset(2, lambda n: n - 7), "c", lambda n: n - 7, out_of_bounds),
    ("offset 2**63", set_offset(2, lambda n: 2**63), "c", lambda n: 2**63, out_of_bounds),
    ("offset 2**64-8", set_offset(2, lambda n: U64_MAX - 7), "c", lambda n: U64_MAX - 7, out_of_bounds),
    ("offset 2**64-1", set_offset(2, lambda n: U64_MAX), "c", lambda n: U64_MAX, out_of_bounds),
    ("offset 2**64-1 on the first key", set_offset(0, lambda n: U64_MAX), "a", lambda n: U64_MAX, out_of_bounds),
    ("length 2**32-1", set_length(1, lambda n: 2**32 - 1), "c", lambda n: OFFSETS[1], beyond_end),
    ("length one past the end", set_length(1, lambda n: n - OFFSETS[1] - 7), "c", lambda n: OFFSETS[1], beyond_end),
    ("empty payload enlarged", set_length(2, lambda n: 1 << 20), "d", lambda n: OFFSETS[2], beyond_end),
]


@pytest.mark.parametrize(
    "damage, key, where, messages", [r[1:] for r in READ_FAILURES], ids=[r[0] for r in READ_FAILURES]
)
def test_object_read_failures(store, damage, key, where, messages):
    path, data = store
    damaged = damage(data)
    path.write_bytes(damaged)
    read_error, verify_error = messages(where(len(damaged)))
    # Offsets and lengths are not checked at open.
    r = _VorlReader(str(path))
    assert r.exists(key) is True
    assert r.keys() == list(KEYS)
    read_fails = [
        lambda: r.get_raw(key),
        lambda: r.get_raw(key=key.encode()),
        r.items_raw,
        r.objects_raw,
        lambda: r.prefix_raw(""),
        lambda: r.prefix_raw(key),
    ]
    for call in read_fails:
        assert_store_error(call, *corrupt(read_error))
    assert_store_error(r.verify, *corrupt(verify_error))
    # Entries that do not reach the damaged one still answer, and the reader stays usable.
    others = [k for k in KEYS if k != key and KEYS[k] != KEYS[key]]
    for other in others:
        assert r.get_raw(other) == OBJECTS[KEYS[other]]
        assert r.prefix_raw(other) == [(other, OBJECTS[KEYS[other]])]
    assert r.prefix_raw("z") == []
    assert r.stats()["num_keys"] == len(KEYS)


@pytest.mark.parametrize("verify", [True, False])
def test_enlarged_length_without_checksum_rewrite(store, verify):
    path, data = store
    damaged = put(data, OFFSETS[1], ">I", 2**32 - 1)
    path.write_bytes(damaged)
    if verify:
        assert_store_error(lambda: _VorlReader(str(path)), *crc_mismatch(damaged))
        return
    r = _VorlReader(str(path), verify=False)
    assert r.exists("c") and r.keys() == list(KEYS)
    assert_store_error(lambda: r.get_raw("c"), *corrupt(f"object at {OFFSETS[1]} extends beyond file end"))
    assert_store_error(r.verify, *crc_mismatch(damaged))


def test_record_reaching_exactly_the_end_is_read(store):
    path, data = store
    damaged = set_length(1, lambda n: n - OFFSETS[1] - 8)(data)
    path.write_bytes(damaged)
    r = _VorlReader(str(path))
    assert r.get_raw("c") == damaged[OFFSETS[1] + 8:]
    assert_store_error(r.verify, *corrupt(f"object CRC32 mismatch at offset {OFFSETS[1]}"))


def test_record_header_in_the_last_eight_bytes_is_read(store):
    # The last eight bytes are the last entry's offset (72): read as a record, length 0 and
    # checksum 72.
    path, data = store
    damaged = set_offset(2, lambda n: n - 8)(data)
    path.write_bytes(damaged)
    r = _VorlReader(str(path))
    at = len(damaged) - 8
    assert damaged[at:] == (OFFSETS[2]).to_bytes(8, "big")
    assert r.get_raw("c") == b""
    assert r.items_raw()[2] == ("c", b"")
    assert_store_error(r.verify, *corrupt(f"object CRC32 mismatch at offset {at}"))


def test_verify_reports_the_first_bad_entry_in_index_order(store):
    path, data = store
    bad_first = set_offset(0, lambda n: U64_MAX)(put(data, OFFSETS[1] + 8, ">B", 0))
    path.write_bytes(bad_first)
    assert_store_error(_VorlReader(str(path)).verify, *corrupt(f"object offset {U64_MAX} out of bounds"))

    crc_first = set_offset(3, lambda n: U64_MAX)(put(data, OFFSETS[0] + 8, ">B", 0))
    path.write_bytes(crc_first)
    r = _VorlReader(str(path))
    assert_store_error(r.verify, *corrupt(f"object CRC32 mismatch at offset {OFFSETS[0]}"))
    # Queries do not check record checksums.
    assert r.get_raw("a") == b"\x00\x01\x02"


def test_reader_keeps_its_mapping_when_the_file_is_replaced(store, tmp_path):
    path, data = store
    r = _VorlReader(str(path))
    replacement = tmp_path / "new.vrls"
    write_store(replacement, [b"new"], {"z": 0})
    os.replace(replacement, path)
    assert r.keys() == list(KEYS) and r.get_raw("a") == OBJECTS[0]
    assert r.verify() is True
    assert _VorlReader(str(path)).keys() == ["z"]


# ---- Files that cannot be opened or mapped


def io_error(path, detail):
    return OSError, f"VorlIOError: cannot open {path}: {detail}"


def test_missing_file(tmp_path):
    path = str(tmp_path / "missing.vrls")
    error = assert_store_error(lambda: _VorlReader(path), OSError, f"VorlIOError: cannot open {path}: "
                               "No such file or directory (os error 2)")
    assert error.errno is None and error.strerror is None and error.filename is None
    assert not isinstance(error, FileNotFoundError)


@pytest.mark.parametrize("handler", [RuntimeError, ValueError])
def test_io_errors_are_not_caught_as_other_kinds(tmp_path, handler):
    with pytest.raises(OSError):
        try:
            _VorlReader(str(tmp_path / "missing.vrls"))
        except handler:
            pytest.fail("caught by the wrong class")


@pytest.mark.parametrize("handler", [OSError, ValueError])
def test_corrupt_errors_are_not_caught_as_other_kinds(tmp_path, handler):
    (tmp_path / "z").write_bytes(b"")
    with pytest.raises(RuntimeError):
        try:
            _VorlReader(str(tmp_path / "z"))
        except handler:
            pytest.fail("caught by the wrong class")


UNOPENABLE = [
    ("relative missing", lambda p: "no/such/dir/x.vrls", errno.ENOENT),
    ("empty path", lambda p: "", errno.ENOENT),
    ("under a file", lambda p: str(p / "s.vrls" / "x"), errno.ENOTDIR),
    ("name too long", lambda p: str(p / ("n" * 300)), errno.ENAMETOOLONG),
    ("symlink loop", lambda p: str(p / "loop"), errno.ELOOP),
]


@pytest.mark.parametrize("make, number", [r[1:] for r in UNOPENABLE], ids=[r[0] for r in UNOPENABLE])
def test_unopenable_paths(store, tmp_path, make, number):
    os.symlink("loop", tmp_path / "loop")
    path = make(tmp_path)
    assert_store_error(lambda: _VorlReader(path), *io_error(path, os_error_text(number)))


NUL_PATHS = [
    ("nul inside", lambda p: str(p / "a\0b.vrls")),
    ("nul after an existing store", lambda p: str(p / "s.vrls") + "\0"),
    ("nul alone", lambda p: "\0"),
]


@pytest.mark.parametrize("make", [r[1] for r in NUL_PATHS], ids=[r[0] for r in NUL_PATHS])
def test_path_with_nul_is_rejected(store, tmp_path, make):
    path = make(tmp_path)
    assert_store_error(lambda: _VorlReader(path, verify=False),
                       *io_error(path, "file name contained an unexpected NUL byte"))


def test_directory_as_path(tmp_path):
    directory = tmp_path / "dir"
    directory.mkdir()
    # A directory opens for reading but cannot be mapped; one that reports length 0 is taken
    # as an empty file.
    if os.stat(directory).st_size == 0:
        expected = corrupt("file too small for header")
    else:
        expected = OSError, f"VorlIOError: mmap failed: {os_error_text(errno.ENODEV)}"
    assert_store_error(lambda: _VorlReader(str(directory)), *expected)


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs procfs")
def test_failed_opens_leave_no_descriptor_or_mapping(store, tmp_path):
    path, data = store
    bad = tmp_path / "bad.vrls"
    bad.write_bytes(with_header(data, version=3))
    before = len(os.listdir("/proc/self/fd"))
    maps_before = open("/proc/self/maps").read().count(str(bad))
    for _ in range(50):
        raised(lambda: _VorlReader(str(bad)))
        raised(lambda: _VorlReader(str(tmp_path)))
    assert len(os.listdir("/proc/self/fd")) == before
    assert open("/proc/self/maps").read().count(str(bad)) == maps_before == 0
    # An open reader keeps its mapping but not its descriptor.
    r = _VorlReader(str(path))
    assert len(os.listdir("/proc/self/fd")) == before
    assert str(path) in open("/proc/self/maps").read()
    del r
    assert str(path) not in open("/proc/self/maps").read()
