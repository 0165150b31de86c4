"""The `vorlstore` command line, run as a child process like a user would."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SAMPLE = os.path.join(REPO, "examples", "users.jsonl")


def run(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "vorlstore", *map(str, args)], capture_output=True,
                          text=True, input=stdin, env=os.environ.copy())


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    path = tmp_path_factory.mktemp("cli") / "users.vrls"
    done = run("build", SAMPLE, path, "--key", "id", "--key", "email")
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"\u2705  {path}  \u2014  200 objects \u00b7 400 keys \u00b7 ")
    assert done.stderr == ""
    return path


def test_get_prints_the_object_as_json(store):
    done = run("get", store, "user:0001")
    assert done.returncode == 0
    assert json.loads(done.stdout)["id"] == "user:0001"


def test_keys_with_and_without_prefix(store):
    every = run("keys", store).stdout.splitlines()
    assert len(every) == 400 and every == sorted(every, key=str.encode)
    some = run("keys", store, "--prefix", "user:000").stdout.splitlines()
    assert some == [f"user:000{i}" for i in range(1, 10)]


def test_stats_verify_and_dump(store):
    stats = json.loads(run("stats", store).stdout)
    assert stats["num_keys"] == 400 and stats["num_objects"] == 200 and stats["path"] == str(store)
    done = run("verify", store)
    assert done.returncode == 0 and done.stdout == f"{store}: OK (400 keys, 200 objects)\n"
    lines = [json.loads(line) for line in run("dump", store).stdout.splitlines()]
    assert len(lines) == 400
    by_key = {line["key"]: line["value"] for line in lines}
    assert by_key["user:0002"] == by_key[by_key["user:0002"]["email"]]


def test_dump_shows_binary_values_as_base64(tmp_path):
    from vorlstore import VorlWriter
    w = VorlWriter()
    w.add({"blob": b"\x00\x01"}, "k")
    w.build(tmp_path / "b.vrls")
    line = json.loads(run("dump", tmp_path / "b.vrls").stdout)
    assert line == {"key": "k", "value": {"blob": {"$base64": "AAE="}}}


def write(tmp_path, text):
    path = tmp_path / "in.jsonl"
    path.write_text(text, encoding="utf-8")
    return path


@pytest.mark.parametrize(
    "text, key, message",
    [
        ('{"id": "a"}\n{"id": \n', "id", "line 2: invalid JSON"),
        ('{"id": "a"}\n{"name": "b"}\n', "id", "line 2: key field 'id' is missing"),
        ('{"id": ["x"]}\n', "id", "line 1: key field 'id' must be a string or a number"),
        ('[1, 2]\n', "id", "line 1: expected a JSON object"),
    ],
    ids=["bad-json", "missing-field", "bad-field-type", "not-an-object"],
)
def test_bad_input_fails_with_one_line_and_publishes_nothing(tmp_path, text, key, message):
    source = write(tmp_path, text)
    target = tmp_path / "out.vrls"
    done = run("build", source, target, "--key", key)
    assert done.returncode == 1
    assert message in done.stderr and done.stderr.count("\n") == 1
    assert "Traceback" not in done.stderr
    assert not target.exists() and not (tmp_path / "out.vrls.tmp").exists()


def test_numbers_become_text_keys(tmp_path):
    source = write(tmp_path, '{"n": 7, "v": "seven"}\n{"n": 8.5}\n')
    target = tmp_path / "n.vrls"
    assert run("build", source, target, "--key", "n").returncode == 0
    assert run("keys", target).stdout.splitlines() == ["7", "8.5"]


@pytest.mark.parametrize(
    "args, message",
    [
        (["get", "{missing}", "k"], "vorlstore: VorlIOError: cannot open {missing}: No such file or directory (os error 2)"),
        (["verify", "{corrupt}"], "vorlstore: VorlCorruptError: file too small for header"),
        (["get", "{store}", "nope"], "vorlstore: key not found: nope"),
        (["build", "{missing}", "{out}", "--key", "id"], "vorlstore: cannot read {missing}: No such file or directory"),
    ],
    ids=["missing-file", "corrupt-file", "absent-key", "missing-input"],
)
def test_expected_failures_print_one_line(tmp_path, store, args, message):
    names = {"missing": tmp_path / "missing", "corrupt": tmp_path / "c.vrls", "store": store,
             "out": tmp_path / "o.vrls"}
    (tmp_path / "c.vrls").write_bytes(b"VRLS")
    done = run(*[a.format(**names) for a in args])
    assert done.returncode == 1
    assert done.stderr == message.format(**names) + "\n"
