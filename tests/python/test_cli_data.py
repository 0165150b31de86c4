"""The query commands for data work: several keys, key ranges, JSON Lines everywhere, strict JSON, clear refusals."""

from __future__ import annotations

import io
import json
import math
import sys

import pytest

import vorlstore
from vorlstore.cli import main

ITEMS = {f"k{i:02d}": {"n": i} for i in range(12)}


def cli(capsys, *args, stdin=None, monkeypatch=None):
    if stdin is not None:
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
    code = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture(scope="module", params=["file", "set"])
def store(request, tmp_path_factory):
    where = tmp_path_factory.mktemp("data")
    source = where / "in.jsonl"
    source.write_text("".join(json.dumps({"id": k, **v}) + "\n" for k, v in ITEMS.items()))
    target = where / ("s.vrls" if request.param == "file" else "s.set")
    shards = ["--shards", "3", "--partition", "range"] if request.param == "set" else []
    assert main(["build", str(source), str(target), "--key", "id", *shards]) == 0
    return target


def obj(key):
    return {"id": key, **ITEMS[key]}


@pytest.mark.parametrize("args, stdin, code, lines, err", [
    (["k01", "k03"], None, 0, [obj("k01"), obj("k03")], ""),
    (["k01", "--json"], None, 0, [{"key": "k01", "value": obj("k01")}], ""),
    (["-"], b"k02\r\n\nk05\nk07", 0, [obj("k02"), obj("k05"), obj("k07")], ""),
    (["k00", "-", "--json"], b"nope\nk11\n", 3, [{"key": "k00", "value": obj("k00")},
                                                 {"key": "k11", "value": obj("k11")}], "key not found: 'nope'"),
])
def test_get_prints_one_line_per_key(store, capsys, monkeypatch, args, stdin, code, lines, err):
    done = cli(capsys, "get", store, *args, stdin=stdin, monkeypatch=monkeypatch)
    assert done[0] == code and [json.loads(line) for line in done[1].splitlines()] == lines
    assert err in done[2] and done[2].count("\n") == (err != "")


@pytest.mark.parametrize("args, keys", [
    ([], sorted(ITEMS)),
    (["--start", "k03", "--stop", "k06"], ["k03", "k04", "k05"]),
    (["--start", "k09a"], ["k10", "k11"]),
    (["--stop", "k02", "--reverse"], ["k01", "k00"]),
    (["--start", "k04", "--limit", "2", "--json"], ["k04", "k05"]),
    (["--start", "k05", "--stop", "k05"], []),
])
def test_range_prints_the_keys_in_reach_with_their_objects(store, capsys, args, keys):
    code, out, _ = cli(capsys, "range", store, *args)
    assert code == 0
    assert [json.loads(line) for line in out.splitlines()] == [{"key": k, "value": obj(k)} for k in keys]


@pytest.mark.parametrize("args", [
    ["get", "{store}", "k01", "k02"], ["keys", "{store}"], ["range", "{store}"], ["dump", "{store}"],
    ["stats", "{store}"], ["verify", "{store}"], ["build", "{input}", "{tmp}/b.vrls", "--key", "id"],
    ["merge", "{tmp}/m.vrls", "{file}"], ["index", "{file}", "--output", "{tmp}/i.vrls"],
])
def test_json_gives_one_object_a_line_for_every_command(store, tmp_path, capsys, args):
    (tmp_path / "in.jsonl").write_text('{"id": "a"}\n')
    vorlstore.build(tmp_path / "f.vrls", {"a": 1})
    names = {"store": store, "input": tmp_path / "in.jsonl", "tmp": tmp_path, "file": tmp_path / "f.vrls"}
    code, out, err = cli(capsys, *[a.format(**names) for a in args], "--json")
    assert code == 0, err
    lines = [json.loads(line) for line in out.splitlines()]
    assert lines and all(isinstance(line, dict) for line in lines)


def test_stats_has_one_format_for_files_and_sets(store, capsys):
    _, text, _ = cli(capsys, "stats", store)
    kind = "store set" if store.suffix == ".set" else "store file"
    assert text.startswith(f"{store}: {kind}, ") and f"{len(ITEMS)} keys, " in text.splitlines()[0]
    _, out, _ = cli(capsys, "stats", store, "--json")
    assert out.count("\n") == 1 and json.loads(out)["num_keys"] == len(ITEMS)


def test_output_is_strict_json(tmp_path, capsys):
    vorlstore.build(tmp_path / "f.vrls", {"x": [math.nan, math.inf, -math.inf, 1.5]})

    def refuse(constant):
        raise ValueError(constant)

    for command in (["get", tmp_path / "f.vrls", "x"], ["dump", tmp_path / "f.vrls"]):
        code, out, _ = cli(capsys, *command)
        assert code == 0 and "[null, null, null, 1.5]" in out
        json.loads(out.splitlines()[0], parse_constant=refuse)


@pytest.mark.parametrize("content, message", [
    (b'{"Package": "x"}\n', "not a vorlstore file (it begins with b'{\"Pa', not b'VRLS')"),
    (b"\x89PNG\r\n", "not a vorlstore file"),
    (b"VRLS", "file too small for header"),  # a store cut short is not called foreign
])
def test_a_file_that_is_not_a_store_is_called_so(tmp_path, capsys, content, message):
    path = tmp_path / "f.vrls"
    path.write_bytes(content)
    for command in ("get", "stats", "verify"):
        code, _, err = cli(capsys, command, path, *(["k"] if command == "get" else []))
        assert code == 1 and err.startswith(f"vorlstore: {path}: {message}") and err.count("\n") == 1, err
    with pytest.raises(vorlstore.CorruptError) as raised:
        vorlstore.VorlReader(path)
    assert str(raised.value).startswith(f"{path}: {message}")


class _Unread(io.RawIOBase):
    def readable(self):
        return True

    def readinto(self, buffer):
        raise AssertionError("the input was read before the target was checked")


@pytest.mark.parametrize("target, shards, message", [
    ("{tmp}", [], "{tmp}: cannot build a store: it is a directory"),
    ("{tmp}/none/o.vrls", [], "the directory {tmp}/none does not exist"),
    ("{tmp}/file/o.vrls", [], "the directory {tmp}/file does not exist"),
    ("{tmp}/none/o.set", ["--shards", "2"], "cannot build a store set: the directory {tmp}/none does not exist"),
])
def test_the_target_is_checked_before_the_input_is_read(tmp_path, capsys, monkeypatch, target, shards, message):
    (tmp_path / "file").write_text("")
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BufferedReader(_Unread())))
    code, _, err = cli(capsys, "build", "-", target.format(tmp=tmp_path), "--key", "id", *shards)
    assert code == 1 and message.format(tmp=tmp_path) in err, err


@pytest.mark.parametrize("shards", [[], ["--shards", "2"]])
@pytest.mark.parametrize("rule, code, value, said", [
    ([], 0, 2, "(1 duplicate key, the last kept)"),
    (["--on-duplicate", "first"], 0, 1, "(1 duplicate key, the first kept)"),
    (["--on-duplicate", "error"], 1, None, "line 3: "),
])
def test_a_duplicate_key_follows_the_rule_and_is_counted(tmp_path, capsys, shards, rule, code, value, said):
    (tmp_path / "in.jsonl").write_text('{"id": "a", "v": 1}\n{"id": "b"}\n{"id": "a", "v": 2}\n')
    target = tmp_path / "out"
    done = cli(capsys, "build", tmp_path / "in.jsonl", target, "--key", "id", *rule, *shards)
    # A set's summary does not count duplicates (yet): only the rule is checked there.
    assert done[0] == code and (said in done[1 if code == 0 else 2] or (shards and code == 0)), done
    if code == 0:
        assert "3 records" in done[1] and "; read and written in " in done[1]  # what the time covers
        assert cli(capsys, "get", target, "a")[1] == json.dumps({"id": "a", "v": value}) + "\n"
    else:
        assert "duplicate key" in done[2] and cli(capsys, "get", target, "a")[0] == 1  # nothing published
