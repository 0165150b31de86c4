"""The `vorlstore` command line, run as a child process like a user would."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import pytest
import storecodec
from processes import first_output, run_python

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SAMPLE = os.path.join(REPO, "examples", "users.jsonl")


def run(*args, stdin=None, env=None, **kwargs):
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("text", True)
    return subprocess.run([sys.executable, "-m", "vorlstore", *map(str, args)], input=stdin,
                          env={**os.environ, **(env or {})}, **kwargs)


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    path = tmp_path_factory.mktemp("cli") / "users.vrls"
    done = run("build", SAMPLE, path, "--key", "id", "--key", "email")
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"{path}: 200 objects, 400 keys, ")
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
    stats = json.loads(run("stats", store, "--json").stdout)
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
        ('[1, 2]\n', "id", "line 1: expected an object"),
        ('{"id": "a", "n": 18446744073709551616}\n', "id", "line 1: object {'id': 'a', 'n': 184467440737095516"),
        ('{"id": "\\ud800"}\n', "id", "line 1: object {'id': '\\ud800'} cannot be stored: text holds a lone surrogate"),
        ('{"id": "a", "v": "\\udc00x"}\n', "id", "line 1: object {'id': 'a', 'v': '\\udc00x'} cannot be stored"),
    ],
    ids=["bad-json", "missing-field", "bad-field-type", "not-an-object", "int-beyond-64-bits", "lone-surrogate-key",
         "lone-surrogate-value"],
)
def test_bad_input_fails_with_one_line_and_publishes_nothing(tmp_path, text, key, message):
    source = write(tmp_path, text)
    target = tmp_path / "out.vrls"
    done = run("build", source, target, "--key", key)
    assert done.returncode == 1
    assert done.stderr.startswith(f"vorlstore: {source}: {message}") and done.stderr.count("\n") == 1
    assert not target.exists() and not (tmp_path / "out.vrls.tmp").exists()


def test_numbers_become_text_keys(tmp_path):
    source = write(tmp_path, '{"n": 7, "v": "seven"}\n{"n": 8.5}\n')
    target = tmp_path / "n.vrls"
    assert run("build", source, target, "--key", "n").returncode == 0
    assert run("keys", target).stdout.splitlines() == ["7", "8.5"]


@pytest.mark.parametrize(
    "args, code, message",
    [
        (["get", "{missing}", "k"], 1, "vorlstore: {missing}: No such file or directory"),
        (["verify", "{corrupt}"], 1, "vorlstore: {corrupt}: file too small for header"),
        (["get", "{store}", "nope"], 3, "vorlstore: {store}: key not found: 'nope'"),
        (["build", "{missing}", "{out}", "--key", "id"], 1, "vorlstore: {missing}: cannot read: No such file or directory"),
        (["build", "{sample}", "{sample}", "--key", "id"], 1,
         "vorlstore: {sample}: the output is the input file; choose another output path"),
        (["dump", "{bad}"], 1, "vorlstore: {bad}: the object of key 'k' cannot be read: not valid MessagePack"),
        (["build", "{sample}", "{dir}/no/o.vrls", "--key", "id"], 1,
         "vorlstore: {dir}/no/o.vrls: cannot build a store: the directory {dir}/no does not exist"),
        (["build", "{sample}", "{dir}/taken", "--key", "id"], 1,
         "vorlstore: {dir}/taken: cannot build a store: it is a directory; a store is a file"),
        (["nonsense"], 2, "usage: vorlstore"),
    ],
    ids=["missing-file", "corrupt-file", "absent-key", "missing-input", "output-is-input", "unreadable-object",
         "missing-output-dir", "output-is-a-directory", "usage"],
)
def test_expected_failures_print_one_line(tmp_path, store, args, code, message):
    names = {"missing": tmp_path / "missing", "corrupt": tmp_path / "c.vrls", "store": store,
             "out": tmp_path / "o.vrls", "sample": SAMPLE, "bad": tmp_path / "bad.vrls", "dir": tmp_path}
    (tmp_path / "c.vrls").write_bytes(b"VRLS")
    names["bad"].write_bytes(storecodec.encode_store([b"\xc1"], {b"k": 0}))
    (tmp_path / "taken").mkdir()
    (tmp_path / "taken" / "x").write_bytes(b"")
    done = run(*[a.format(**names) for a in args])
    assert done.returncode == code
    assert done.stderr.startswith(message.format(**names))
    assert "Traceback" not in done.stderr and (code == 2 or done.stderr.count("\n") == 1)
    assert not list(tmp_path.glob("*.tmp"))  # a failed build leaves no temporary file


def test_help_documents_every_argument_and_the_exit_codes():
    from vorlstore.cli import build_parser

    parser = build_parser()
    subparsers = next(a for a in parser._actions if a.choices and "build" in a.choices).choices
    for name, sub in subparsers.items():
        for action in sub._actions:
            assert action.help, f"{name}: {action.dest} has no help"
    text = run("--help").stdout
    for code in ("0 ", "1 ", "2 ", "3 "):
        assert f"\n  {code}" in text
    assert run("--version").stdout.startswith("vorlstore 0.")


def test_standard_input_csv_and_parquet(tmp_path):
    lines = open(SAMPLE, encoding="utf-8").read()
    target = tmp_path / "stdin.vrls"
    assert run("build", "-", target, "--key", "id", stdin=lines).returncode == 0
    assert json.loads(run("get", target, "user:0001").stdout)["id"] == "user:0001"
    csv_path = tmp_path / "in.csv"
    csv_path.write_text("id,name\nu1,Ada\nu2,Grace\n", encoding="utf-8")
    assert run("build", csv_path, tmp_path / "c.vrls", "--key", "id").returncode == 0
    assert json.loads(run("get", tmp_path / "c.vrls", "u2").stdout) == {"id": "u2", "name": "Grace"}
    pq = pytest.importorskip("pyarrow.parquet")
    import pyarrow as pa

    pq.write_table(pa.table({"id": ["p1", "p2"], "n": [1, 2]}), tmp_path / "in.parquet")
    assert run("build", tmp_path / "in.parquet", tmp_path / "p.vrls", "--key", "id").returncode == 0
    assert json.loads(run("get", tmp_path / "p.vrls", "p2").stdout) == {"id": "p2", "n": 2}


def test_json_output_and_lossless_keys(tmp_path):
    from vorlstore import VorlWriter

    w = VorlWriter()
    w.add({1: "int key", b"b": "bytes key"}, b"\xff", "text")
    w.build(tmp_path / "k.vrls")
    assert run("keys", tmp_path / "k.vrls", text=False).stdout == b"text\n\xff\n"
    assert [json.loads(k) for k in run("keys", tmp_path / "k.vrls", "--json").stdout.splitlines()] == [
        {"key": "text"}, {"key": "\udcff"}]
    assert json.loads(run("get", tmp_path / "k.vrls", "text").stdout) == {
        "$map": [[1, "int key"], [{"$base64": "Yg=="}, "bytes key"]]}
    verdict = json.loads(run("verify", tmp_path / "k.vrls", "--json").stdout)
    assert verdict == {"path": str(tmp_path / "k.vrls"), "ok": True, "num_keys": 2, "num_objects": 1}


def test_merge_and_index(tmp_path):
    a, b = tmp_path / "a.jsonl", tmp_path / "b.jsonl"
    a.write_text('{"id": "x", "v": 1}\n{"id": "y", "v": 1}\n', encoding="utf-8")
    b.write_text('{"id": "y", "v": 2}\n', encoding="utf-8")
    for src in (a, b):
        assert run("build", src, src.with_suffix(".vrls"), "--key", "id").returncode == 0
    done = run("merge", tmp_path / "m.vrls", a.with_suffix(".vrls"), b.with_suffix(".vrls"))
    assert done.returncode == 0 and done.stdout.startswith(f"{tmp_path / 'm.vrls'}: 2 objects, 2 keys")
    assert json.loads(run("get", tmp_path / "m.vrls", "y").stdout)["v"] == 2
    assert run("index", tmp_path / "m.vrls").returncode == 0
    assert run("verify", tmp_path / "m.vrls").returncode == 0


@pytest.mark.parametrize("stdout", ["full", "closed"])
def test_build_after_publishing_survives_a_broken_stdout(tmp_path, stdout):
    target = tmp_path / "o.vrls"
    command = [sys.executable, "-m", "vorlstore", "build", SAMPLE, str(target), "--key", "id"]
    if stdout == "full":
        with open("/dev/full", "w") as full:
            done = subprocess.run(command, stdout=full, stderr=subprocess.PIPE, text=True)
    else:
        done = subprocess.run(["sh", "-c", 'exec "$@" >&-', "sh", *command], stderr=subprocess.PIPE, text=True)
    assert done.returncode == 0, done.stderr
    assert "Traceback" not in done.stderr and done.stderr.count("\n") <= 1
    assert target.exists()


@pytest.mark.parametrize("tqdm", ["installed", "absent"])
def test_progress_shows_count_rate_and_eta_within_the_width(tmp_path, tqdm):
    env = {"COLUMNS": "60"}
    if tqdm == "absent":
        (tmp_path / "tqdm.py").write_text("raise ImportError('hidden for the test')\n")
        env["PYTHONPATH"] = os.pathsep.join([str(tmp_path), os.environ.get("PYTHONPATH", "")])
    source = tmp_path / "big.jsonl"
    source.write_text("".join(f'{{"id": "k{i}"}}\n' for i in range(20000)), encoding="utf-8")
    done = run("build", source, tmp_path / "o.vrls", "--key", "id", "--progress", env=env)
    assert done.returncode == 0, done.stderr
    frames = [f for f in done.stderr.replace("\n", "\r").split("\r") if f.strip()]
    assert frames and all(len(f) <= 60 for f in frames)
    shown = " ".join(frames)
    assert "records" in shown and ("/s" in shown) and ("ETA" in shown or "<" in shown)


def test_ctrl_c_while_reading_publishes_nothing(tmp_path):
    import signal
    import time

    target = tmp_path / "o.vrls"
    child = subprocess.Popen(
        [sys.executable, "-m", "vorlstore", "build", "-", str(target), "--key", "id", "--progress"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    child.stdin.write('{"id": "a"}\n')
    child.stdin.flush()
    first = first_output(child, child.stderr)  # the progress display is up: the command is reading
    time.sleep(0.2)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    assert child.returncode == 130, first + err
    assert err.endswith("vorlstore: interrupted\n") and "Traceback" not in err and out == ""
    assert not target.exists()


def closed_stdin():
    os.close(0)


@pytest.mark.parametrize(
    "make_input, args, kwargs, message",
    [
        (lambda p: write(p, "[" * 100_000 + "]" * 100_000 + "\n"), [], {},
         "vorlstore: {src}: line 1: invalid JSON: nested too deeply\n"),
        (lambda p: write(p, '{"id": "a", "v": ' + "[" * 1400 + "]" * 1400 + "}\n"), [], {},
         "vorlstore: {src}: line 1: "),
        (lambda p: (p / "in.csv").write_bytes(b"id,v\nx,\xff\ny,2\n") and p / "in.csv", [], {},
         "vorlstore: {src}: line 2: not valid UTF-8"),
        (lambda p: "-", [], {"preexec_fn": closed_stdin},
         "vorlstore: <stdin>: standard input is closed; give INPUT as a file\n"),
    ],
    ids=["deep-json", "too-deep-to-store", "bad-utf8-csv-line-2", "closed-stdin"],
)
def test_input_faults_are_named_where_they_are(tmp_path, make_input, args, kwargs, message):
    source = make_input(tmp_path)
    done = run("build", source, tmp_path / "o.vrls", "--key", "id", *args, **kwargs)
    assert done.returncode == 1 and done.stderr.startswith(message.format(src=source))
    assert done.stderr.count("\n") == 1 and not (tmp_path / "o.vrls").exists()


CTRL_C_IN_ENGINE_INIT = """
import os, signal, sys
import vorlstore
sent = []
def tracer(frame, event, arg):
    # Ctrl-C arrives while the engine's module initialises: as its init imports atexit.
    if event == "call" and not sent and frame.f_code.co_name == "_find_and_load" and frame.f_locals.get("name") == "atexit":
        sent.append(1)
        os.kill(os.getpid(), signal.SIGINT)
sys.settrace(tracer)
try:
    from vorlstore._native import _engine
except KeyboardInterrupt:
    sys.settrace(None)
    sys.exit(3 if sent and "vorlstore._engine" in sys.modules else 4)
sys.exit(6 if sent else 5)
"""


def test_ctrl_c_while_the_engine_initialises_waits_for_it():
    # An exception half way through the native module's initialisation
    # fails the import (ImportError) or crashes the process; the Ctrl-C is
    # held until the module is whole, then raised.
    done = run_python(CTRL_C_IN_ENGINE_INIT)
    if done.returncode == 5:
        pytest.skip("atexit was imported before the engine: no point to send Ctrl-C at")
    assert (done.returncode, done.stderr) == (3, b"")


def test_ctrl_c_while_starting_is_quiet(monkeypatch, capsys):
    from vorlstore import cli

    def interrupted():
        raise KeyboardInterrupt

    monkeypatch.setattr(cli, "build_parser", interrupted)
    assert cli.main(["keys", "x"]) == 130
    assert capsys.readouterr().err == "vorlstore: interrupted\n"
