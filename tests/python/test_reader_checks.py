"""What a package reader checks by default (structure at open, each record's CRC on read), and pinning."""

from __future__ import annotations

import pickle

import pytest

import vorlstore
from vorlstore import VorlReader


def _damaged_store(path, hash_index=True):
    """A store whose object for "bad" has one flipped payload byte; "good" is intact."""
    w = vorlstore.VorlWriter()
    w.add("good-object", "good")
    w.add("bad-object-" + "x" * 40, "bad", "also-bad")
    w.build(path, hash_index=hash_index)
    image = bytearray(path.read_bytes())
    at = image.index(b"bad-object-") + 3
    image[at] ^= 0x01
    path.write_bytes(bytes(image))


READS = [
    ("getitem", lambda r: r["bad"]),
    ("get", lambda r: r.get("bad")),
    ("get_raw", lambda r: r.get_raw("bad")),
    ("get_many_raw", lambda r: r.get_many_raw(["good", "bad"])),
    ("get_many", lambda r: r.get_many(["good", "bad"])),
    ("values", lambda r: list(r.values())),
    ("items", lambda r: list(r.items())),
    ("range", lambda r: list(r.range("also", None))),
    ("objects", lambda r: r.objects()),
]


@pytest.mark.parametrize("hash_index", [True, False])
@pytest.mark.parametrize("name, read", READS, ids=[n for n, _ in READS])
def test_damaged_record_fails_on_read_not_with_wrong_bytes(tmp_path, hash_index, name, read):
    path = tmp_path / "s.vrls"
    _damaged_store(path, hash_index)
    with VorlReader(path) as r:  # the default open does not read every byte
        assert r["good"] == "good-object" and "bad" in r
        assert list(r) == ["also-bad", "bad", "good"]
        with pytest.raises(vorlstore.CorruptError, match="object CRC32 mismatch") as caught:
            read(r)
        assert caught.value.filename == str(path)


def test_whole_file_check_is_asked_for(tmp_path):
    path = tmp_path / "s.vrls"
    _damaged_store(path)
    with pytest.raises(vorlstore.CorruptError, match="CRC"):
        VorlReader(path, verify=True)
    with VorlReader(path) as r, pytest.raises(vorlstore.CorruptError):
        r.verify()
    # Without the per-read check the damaged bytes come back as they are.
    with VorlReader(path, check_reads=False) as r:
        assert r["bad"] == "bad,object-" + "x" * 40


def test_merge_refuses_to_copy_a_damaged_record(tmp_path):
    path = tmp_path / "s.vrls"
    _damaged_store(path)
    with pytest.raises(vorlstore.CorruptError, match="object CRC32 mismatch"):
        vorlstore.merge(tmp_path / "m.vrls", path)
    assert not (tmp_path / "m.vrls").exists()


def _build(path, data):
    vorlstore.build(path, data)


@pytest.mark.parametrize(
    "rebuild, changed",
    [
        ({"k": "old"}, False),  # the same input gives the same file
        ({"k": "new"}, True),
        ({"k": "old", "j": 1}, True),
    ],
)
def test_pickled_reader_is_pinned_to_its_file(tmp_path, rebuild, changed):
    path = tmp_path / "s.vrls"
    _build(path, {"k": "old"})
    with VorlReader(path) as r:
        data = pickle.dumps(r)
    _build(path, rebuild)
    if not changed:
        with pickle.loads(data) as copy:
            assert copy["k"] == "old"
        return
    with pytest.raises(vorlstore.StoreChangedError, match="changed since the reader was pinned") as caught:
        pickle.loads(data)
    assert isinstance(caught.value, vorlstore.Error) and caught.value.filename == str(path)


def test_pickle_keeps_the_reader_options(tmp_path):
    path = tmp_path / "s.vrls"
    _build(path, {"k": 1})
    with VorlReader(path, verify=True, check_reads=False, object_hook=dict) as r:
        copy = pickle.loads(pickle.dumps(r))
    assert (copy._verify, copy._check_reads, copy._object_hook) == (True, False, dict)


def test_pickled_store_set_is_pinned_to_its_generation(tmp_path):
    from vorlstore import write_store_set

    write_store_set(tmp_path, [("k", 1)], shards=2)
    with vorlstore.StoreSet(tmp_path) as s:
        data = pickle.dumps(s)
    write_store_set(tmp_path, [("k", 2)], shards=2)
    assert pickle.loads(data)["k"] == 1  # the pinned generation, while it is kept
    write_store_set(tmp_path, [("k", 3)], shards=2)
    write_store_set(tmp_path, [("k", 4)], shards=2)
    with pytest.raises(vorlstore.StoreChangedError, match="pinned to is gone") as caught:
        pickle.loads(data)
    assert caught.value.filename == str(tmp_path)


def test_store_set_checks_records_on_read(tmp_path):
    from vorlstore import write_store_set

    summary = write_store_set(tmp_path, [("good", "good-object"), ("bad", "bad-object-" + "x" * 40)], shards=1)
    shard = tmp_path / summary["generation"] / "shard-00000.vrls"
    image = bytearray(shard.read_bytes())
    image[image.index(b"bad-object-") + 3] ^= 0x01
    shard.write_bytes(bytes(image))
    with vorlstore.StoreSet(tmp_path) as s:  # the manifest's checks pass: they read the header only
        assert s["good"] == "good-object"
        with pytest.raises(vorlstore.CorruptError, match="object CRC32 mismatch"):
            s["bad"]
    with pytest.raises(vorlstore.CorruptError):
        vorlstore.StoreSet(tmp_path, verify=True)
