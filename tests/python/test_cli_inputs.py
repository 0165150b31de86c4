"""What `vorlstore build` reads: compressed files, CSV dialects, and the records it refuses."""

from __future__ import annotations

import bz2
import fnmatch
import gzip
import json
import lzma
import os
import sys

import pytest

import vorlstore
from vorlstore.cli import main

ROWS = [{"id": "a", "n": 1}, {"id": "b", "n": 2}]
JSONL = "".join(json.dumps(r) + "\n" for r in ROWS).encode()


# JSONL as `zstd` writes two inputs to one file: a frame per record.
ZST_JSONL = bytes.fromhex("28b52ffd2014a100007b226964223a202261222c20226e223a20317d0a"
                          "28b52ffd2014a100007b226964223a202262222c20226e223a20327d0a")


def cli(capsys, *args):
    code = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return code, out, err


def contents(path):
    with vorlstore.VorlReader(path) as r:
        return dict(r.items())


@pytest.mark.parametrize("name, pack", [
    ("in.jsonl.gz", gzip.compress), ("in.jsonl.bz2", bz2.compress), ("in.jsonl.xz", lzma.compress),
    ("in.jsonl.zst", lambda _: ZST_JSONL), ("IN.CSV.GZ", gzip.compress),
])
def test_compressed_input_is_read_by_its_extension(tmp_path, capsys, name, pack):
    data = b"id,n\na,1\nb,2\n" if ".CSV" in name else JSONL
    (tmp_path / name).write_bytes(pack(data))
    code, _, err = cli(capsys, "build", tmp_path / name, tmp_path / "o.vrls", "--key", "id")
    assert code == 0, err
    assert contents(tmp_path / "o.vrls")["b"] in ({"id": "b", "n": 2}, {"id": "b", "n": "2"})


# (file name, bytes, extra options, expected store or the start of the message after "<file>: ")
CASES = [
    ("bom.csv", b"\xef\xbb\xbfid,n\na,1\n", [], {"a": {"id": "a", "n": "1"}}),
    ("bom.jsonl", b'\xef\xbb\xbf{"id": "a"}\n', [], {"a": {"id": "a"}}),
    ("semi.csv", b"id;n\na;1\n", ["--delimiter", ";"], {"a": {"id": "a", "n": "1"}}),
    ("tab.csv", b"id\tn\na\t1\n", ["--delimiter", "\\t"], {"a": {"id": "a", "n": "1"}}),
    ("empty.jsonl", b'{"id": "a"}\n{"id": ""}\n', [], "line 2: key field 'id' is empty"),
    ("empty.csv", b"id,n\na,1\n,2\n", [], "line 3: key field 'id' is empty"),
    ("empty-ok.csv", b"id,n\n,2\n", ["--allow-empty-keys"], {"": {"id": "", "n": "2"}}),
    ("null.jsonl", b'{"id": "a"}\n\n{"id": null}\n', [], "line 3: key field 'id' is null"),
    ("missing.jsonl", b'{"n": 1}\n', [], "line 1: key field 'id' is missing"),
    ("long.csv", b"id,n\na,1\nb,2,3\n", [], "line 3: 3 fields, but the header has 2"),
    ("short.csv", b"id,n\na\n", [], "line 2: 1 field, but the header has 2"),
    ("ragged-ok.csv", b"id,n\na\nb,2,3\n", ["--allow-ragged"], {"a": {"id": "a"}, "b": {"id": "b", "n": "2"}}),
    # A quoted field spanning lines: the record is named by its first line, the next by its own.
    ("multi.csv", b'id,n\na,"x\ny"\nb,1,2\n', [], "line 4: 3 fields"),
    ("twice.csv", b"id,id\na,b\n", [], "line 1: the header names the field 'id' twice"),
    ("utf8.csv", b"id,n\n" + b"k,v\n" * 2000 + b"bad,\xff\n", [], "line 2002: not valid UTF-8"),
    ("quote.txt", b'id,n\na,"b"x\n', ["--format", "csv"], "line 2: invalid CSV: ',' expected after '\"'"),
    ("open.csv", b'id,n\na,1\nb,"open\nc,3\n', [], "line 3: invalid CSV: unexpected end of data"),
    ("huge.csv", b'id,n\na,"' + b"x" * 200_000 + b'"\n', [], "line 2: invalid CSV: field larger than"),
    ("cut.jsonl.gz", gzip.compress(JSONL * 50)[:-12], [], "line *: cannot read the input: Compressed file ended"),
    ("nul.jsonl.xz", b"not xz at all", [], "line 1: cannot read the input"),
    ("cut.jsonl.zst", ZST_JSONL[:-3], [], "line 2: cannot read the input: the .zst input ends in the middle"),
    ("nul.jsonl.zst", b"not zstd at all", [], "line 1: cannot read the input: not a valid .zst file"),
]


@pytest.mark.parametrize("name, data, options, expected", CASES, ids=[c[0] for c in CASES])
def test_input_is_stored_or_refused_at_its_line(tmp_path, capsys, name, data, options, expected):
    source, target = tmp_path / name, tmp_path / "o.vrls"
    source.write_bytes(data)
    code, _, err = cli(capsys, "build", source, target, "--key", "id", *options)
    if isinstance(expected, dict):
        assert code == 0, err
        assert contents(target) == expected
    else:
        assert code == 1 and err.count("\n") == 1
        assert fnmatch.fnmatchcase(err, f"vorlstore: {source}: {expected}*"), err
        assert not target.exists() and os.listdir(tmp_path) == [name]


@pytest.mark.parametrize("value", ["ab", "", '"'])
def test_a_delimiter_must_be_one_plain_character(capsys, value):
    with pytest.raises(SystemExit) as stop:
        main(["build", "in.csv", "o.vrls", "--key", "id", "--delimiter", value])
    assert stop.value.code == 2 and "--delimiter: must be one character" in capsys.readouterr().err


@pytest.mark.parametrize("options, expected", [
    ([], {"p": {"id": "p", "v": None, "w": 1}, "q": {"id": "q", "v": "x", "w": None}}),
    (["--omit-nulls"], {"p": {"id": "p", "w": 1}, "q": {"id": "q", "v": "x"}}),
])
def test_parquet_nulls_are_kept_unless_omitted(tmp_path, capsys, options, expected):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    pq.write_table(pa.table({"id": ["p", "q"], "v": [None, "x"], "w": [1, None]}), tmp_path / "in.parquet",
                   row_group_size=1)
    code, _, err = cli(capsys, "build", tmp_path / "in.parquet", tmp_path / "o.vrls", "--key", "id", *options)
    assert code == 0, err
    assert contents(tmp_path / "o.vrls") == expected


def test_build_streams_objects_to_the_file_as_they_come(tmp_path):
    target = tmp_path / "s.vrls"
    seen = []

    def pairs():
        for i in range(10_000):
            if i == 9_999:  # by now most objects must be on disk, not held in memory
                seen.append(sum(p.stat().st_size for p in tmp_path.iterdir()))
            yield f"k{i}", "x" * 1000

    vorlstore.build(target, pairs())
    assert seen[0] > 5_000_000 and len(vorlstore.VorlReader(target)) == 10_000
