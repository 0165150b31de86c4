"""The command line on store sets: `build --shards` and the query commands on a set's directory."""

from __future__ import annotations

import csv
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest
from processes import first_output

from vorlstore import StoreSet
from vorlstore.sets import MANIFEST, POINTER

# Records with two keys each: ids and emails interleave in key order, so an
# object's keys land in different shards; "u3" comes twice (the later wins)
# and keys hold non-ASCII text and digits that are not UTF-8-trivial.
RECORDS = [
    {"id": f"u{i}", "email": f"{name}{i}@example.org", "n": i, "city": city}
    for i, (name, city) in enumerate(
        [("ada", "Oslo"), ("grace", "Zürich"), ("édith", "Lyon"), ("alan", "Bletchley"), ("日本", "東京")] * 8)
] + [{"id": "u3", "email": "replaced@example.org", "n": 99, "city": "Paris"}]


def run(*args, stdin=None, **kwargs):
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("text", True)
    return subprocess.run([sys.executable, "-m", "vorlstore", *map(str, args)], input=stdin, **kwargs)


def model(records, fields=("id", "email")):
    """Key -> object as a build must hold it: every field a key, a later record winning."""
    out = {}
    for record in records:
        for field in fields:
            out[str(record[field])] = record
    return out


def sorted_keys(keys):
    return sorted(keys, key=lambda k: k.encode("utf-8", "surrogateescape"))


def write_input(tmp_path, fmt, records):
    if fmt in ("jsonl", "stdin"):
        path = tmp_path / "in.jsonl"
        path.write_text("".join(json.dumps(r, ensure_ascii=False) + "\n" for r in records), encoding="utf-8")
    elif fmt == "csv":
        path = tmp_path / "in.csv"
        with open(path, "w", newline="", encoding="utf-8") as f:
            w = csv.DictWriter(f, fieldnames=list(records[0]))
            w.writeheader()
            w.writerows(records)
    else:
        pq = pytest.importorskip("pyarrow.parquet")
        import pyarrow as pa

        path = tmp_path / "in.parquet"
        pq.write_table(pa.Table.from_pylist(records), path)
    return path


def dumped(target):
    done = run("dump", target)
    assert done.returncode == 0, done.stderr
    return [json.loads(line) for line in done.stdout.splitlines()]


@pytest.mark.parametrize(
    "fmt, partition, shards",
    [("jsonl", "hash", 4), ("jsonl", "range", 4), ("stdin", "hash", 4), ("stdin", "hash", 1), ("csv", "hash", 4),
     ("csv", "range", 4), ("parquet", "hash", 4), ("parquet", "range", 4)],
)
def test_build_shards_round_trip_against_a_model(tmp_path, fmt, partition, shards):
    source = write_input(tmp_path, fmt, RECORDS)
    target = tmp_path / "out.set"
    args = ["build", "-" if fmt == "stdin" else source, target, "--key", "id", "--key", "email",
            "--shards", shards, "--partition", partition]
    stdin = source.read_text(encoding="utf-8") if fmt == "stdin" else None
    done = run(*args, stdin=stdin)
    assert done.returncode == 0, done.stderr
    expected = model(RECORDS)
    assert done.stdout.startswith(
        f"{target}: {len(RECORDS)} records, {len(expected)} keys in {shards} shards ({partition})")
    if fmt == "csv":  # CSV cells are text
        expected = {k: {f: str(v) for f, v in r.items()} for k, r in expected.items()}
    lines = dumped(target)
    assert [line["key"] for line in lines] == sorted_keys(expected)
    assert {line["key"]: line["value"] for line in lines} == expected
    # The set holds what the single-file build of the same input holds.
    single = tmp_path / "one.vrls"
    assert run(*args[:2], single, *args[3:7], stdin=stdin).returncode == 0
    assert dumped(single) == lines
    with StoreSet(target) as s:
        assert s.routing.shards == shards and s.stats()["routing"]["kind"] == partition
        assert all(shard["num_keys"] > 0 for shard in s.stats()["shards"])


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """Sets of RECORDS keyed by id and email, by hash and by range, and a small one keyed by id."""
    tmp = tmp_path_factory.mktemp("sets")
    source = write_input(tmp, "jsonl", RECORDS)
    sets = {}
    for partition in ("hash", "range"):
        sets[partition] = tmp / f"{partition}.set"
        done = run("build", source, sets[partition], "--key", "id", "--key", "email", "--shards", 3,
                   "--partition", partition)
        assert done.returncode == 0, done.stderr
    sets["small"] = tmp / "small.set"
    small = tmp / "small.jsonl"
    small.write_text("".join(json.dumps(r) + "\n" for r in RECORDS[:3]), encoding="utf-8")
    assert run("build", small, sets["small"], "--key", "id", "--shards", 2).returncode == 0
    return sets


@pytest.mark.parametrize("partition", ["hash", "range"])
@pytest.mark.parametrize(
    "args, code, expected",
    [
        (["get", "{set}", "u3"], 0, lambda m: json.dumps(m["u3"], ensure_ascii=False) + "\n"),
        (["get", "{set}", "日本4@example.org"], 0, lambda m: json.dumps(m["u4"], ensure_ascii=False) + "\n"),
        (["keys", "{set}"], 0, lambda m: "".join(k + "\n" for k in sorted_keys(m))),
        (["keys", "{set}", "--prefix", "u1"], 0,
         lambda m: "".join(k + "\n" for k in sorted_keys(m) if k.startswith("u1"))),
        (["keys", "{set}", "--prefix", "é", "--json"], 0,
         lambda m: "".join(json.dumps({"key": k}, ensure_ascii=False) + "\n" for k in sorted_keys(m)
                           if k.startswith("é"))),
        (["keys", "{set}", "--prefix", "zzz"], 0, lambda m: ""),
    ],
    ids=["get", "get-non-ascii", "keys", "keys-prefix", "keys-prefix-json", "keys-prefix-none"],
)
def test_query_commands_on_a_set(built, partition, args, code, expected):
    done = run(*[str(a).format(set=built[partition]) for a in args])
    assert (done.returncode, done.stderr) == (code, "")
    assert done.stdout == expected(model(RECORDS))


@pytest.mark.parametrize("partition", ["hash", "range"])
def test_stats_and_verify_of_a_set(built, partition):
    target = built[partition]
    keys = len(model(RECORDS))
    report = json.loads(run("stats", target, "--json").stdout)
    assert set(report) == {"directory", "generation", "format", "version", "routing", "num_keys", "num_objects",
                           "bytes", "shards"}
    assert report["num_keys"] == keys and report["routing"]["kind"] == partition and len(report["shards"]) == 3
    assert sum(s["num_keys"] for s in report["shards"]) == keys
    assert report["bytes"] == sum(s["file_size"] for s in report["shards"])
    assert report["num_objects"] == sum(s["num_objects"] for s in report["shards"]) >= len(RECORDS)

    text = run("stats", target).stdout.splitlines()
    assert text[0].startswith(f"{target}: store set, generation {report['generation']}, 3 shards by ")
    assert f"{keys} keys, {report['num_objects']} objects, {report['bytes']:,} bytes" in text[0]
    assert [line.split(":")[0].strip() for line in text[1:]] == [f"shard-0000{i}.vrls" for i in range(3)]
    assert all(f"{s['num_keys']} keys," in line for s, line in zip(report["shards"], text[1:], strict=True))
    assert all(("keys [" in line) == (partition == "range") for line in text[1:])

    done = run("verify", target)
    assert done.returncode == 0
    assert done.stdout == (f"{target}: OK (a set of 3 shards, generation {report['generation']}, "
                           f"{keys} keys, {report['num_objects']} objects)\n")
    assert json.loads(run("verify", target, "--json").stdout) == {
        "path": str(target), "ok": True, "num_keys": keys, "num_objects": report["num_objects"], "shards": 3,
        "generation": report["generation"]}


# -- Damaged sets and directories that are no sets


def generation(target):
    return target / (target / POINTER).read_text().strip()


def flip_byte_in_shard(target):
    shard = generation(target) / "shard-00001.vrls"
    data = bytearray(shard.read_bytes())
    data[len(data) // 2] ^= 0x40
    shard.write_bytes(bytes(data))
    return shard


DAMAGE = [
    ("no-pointer", lambda t: (t / POINTER).unlink(), "{set}: a directory, but not a store set (it has no CURRENT file)"),
    ("pointer-garbage", lambda t: (t / POINTER).write_text("../x\n"), "{set}/CURRENT: not a generation name"),
    ("missing-manifest", lambda t: (generation(t) / MANIFEST).unlink(), "{gen}/manifest.json: No such file"),
    ("manifest-not-json", lambda t: (generation(t) / MANIFEST).write_text("{"), "{gen}/manifest.json: not JSON"),
    ("missing-shard", lambda t: (generation(t) / "shard-00002.vrls").unlink(), "{gen}/shard-00002.vrls: "),
    ("damaged-shard", flip_byte_in_shard, "{gen}/shard-00001.vrls: file CRC32 mismatch"),
]


@pytest.mark.parametrize("command", [["verify"], ["get", "u1"]])
@pytest.mark.parametrize("damage, message", [d[1:] for d in DAMAGE], ids=[d[0] for d in DAMAGE])
def test_damaged_sets_fail_with_one_line(tmp_path, built, damage, message, command):
    if command[0] == "get" and damage is flip_byte_in_shard:
        pytest.skip("a query opens by structure and checks only the records it reads")
    target = tmp_path / "s.set"
    shutil.copytree(built["hash"], target)
    gen = generation(target)
    damage(target)
    done = run(command[0], target, *command[1:])
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.startswith("vorlstore: " + message.format(set=target, gen=gen))
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr


NOT_A_SET = "vorlstore: {dir}: a directory, but not a store set (it has no CURRENT file)\n"


@pytest.mark.parametrize(
    "command, message",
    [
        (["get", "{dir}", "k"], NOT_A_SET),
        (["keys", "{dir}"], NOT_A_SET),
        (["stats", "{dir}"], NOT_A_SET),
        (["verify", "{dir}"], NOT_A_SET),
        (["index", "{set}"], "vorlstore: {set}: is a store set; index takes store files\n"),
        (["merge", "{dir}/m.vrls", "{dir}"], "vorlstore: {dir}: is a directory; merge takes store files\n"),
    ],
)
def test_directories_where_a_store_file_is_needed(tmp_path, built, command, message):
    names = {"dir": tmp_path / "plain", "set": built["hash"]}
    names["dir"].mkdir()
    done = run(*[a.format(**names) for a in command])
    assert (done.returncode, done.stderr) == (1, message.format(**names))


# -- Where a set may be built


def listing(path):
    return sorted(str(p.relative_to(path)) for p in path.rglob("*")) if path.is_dir() else None


def existing_set(tmp_path, built):
    shutil.copytree(built["small"], tmp_path / "t")


def non_set_directory(tmp_path, built):
    (tmp_path / "t").mkdir()
    (tmp_path / "t" / "notes.txt").write_text("mine")


@pytest.mark.parametrize(
    "prepare, args, code, message",
    [
        (lambda p, b: (p / "t").write_bytes(b"precious"), ["{src}", "--shards", 2], 1,
         "vorlstore: {t}: cannot build a store set: a file is in the way"),
        (non_set_directory, ["{src}", "--shards", 2], 1,
         "vorlstore: {t}: cannot build a store set: the directory holds files that are not part of one (notes.txt)"),
        (existing_set, ["{src}"], 1, "vorlstore: {t}: is a store set; rebuild it with --shards N"),
        (None, ["{src}", "--partition", "range"], 2, "vorlstore: --partition needs --shards\n"),
        (None, ["-", "--shards", 2, "--partition", "range"], 2,
         "vorlstore: --partition range reads the input twice; give a file, not standard input\n"),
        (None, ["{src}", "--shards", 0], 2, "usage: vorlstore build"),
        (None, ["{src}", "--shards", "x"], 2, "usage: vorlstore build"),
        (None, ["{src}", "--shards", 1025], 2, "usage: vorlstore build"),
    ],
    ids=["file-in-the-way", "foreign-directory", "set-without-shards", "partition-without-shards",
         "range-from-stdin", "zero-shards", "shards-not-a-number", "too-many-shards"],
)
def test_targets_that_are_refused_stay_as_they_were(tmp_path, built, prepare, args, code, message):
    source = write_input(tmp_path, "jsonl", RECORDS)
    if prepare:
        prepare(tmp_path, built)
    before = listing(tmp_path / "t"), (tmp_path / "t").exists()
    input_, *options = [str(a).format(src=source) for a in args]
    done = run("build", input_, tmp_path / "t", "--key", "id", *options, stdin="")
    assert done.returncode == code
    assert done.stderr.startswith(message.format(t=tmp_path / "t")) and "Traceback" not in done.stderr
    assert (listing(tmp_path / "t"), (tmp_path / "t").exists()) == before


@pytest.mark.parametrize("prepare", [lambda p, b: (p / "t").mkdir(), existing_set],
                         ids=["empty-directory", "existing-set"])
def test_a_set_is_built_into_an_empty_directory_or_over_a_set(tmp_path, built, prepare):
    prepare(tmp_path, built)
    source = write_input(tmp_path, "jsonl", RECORDS)
    old = StoreSet(tmp_path / "t") if prepare is existing_set else None
    assert run("build", source, tmp_path / "t", "--key", "id", "--shards", 5).returncode == 0
    with StoreSet(tmp_path / "t") as s:
        assert s.routing.shards == 5 and dict(s.items()) == model(RECORDS, ["id"])
    if old is not None:  # a reader of the replaced set keeps answering from it
        assert old.routing.shards == 2 and len(old) == 3 and old["u0"]["n"] == 0


# -- Failures and Ctrl-C publish nothing


@pytest.mark.parametrize("existing", [False, True], ids=["new-directory", "existing-set"])
@pytest.mark.parametrize(
    "text, message",
    [
        ('{"id": "a"}\n{"id": "b"}\n{"name": "c"}\n', "line 3: key field 'id' is missing"),
        ('{"id": "a"}\n{"id": \n', "line 2: invalid JSON"),
        ('{"id": "a"}\n{"id": "\\ud800"}\n', "line 2: "),
        ('{"id": "a", "n": 18446744073709551616}\n', "line 1: object {'id': 'a', 'n': 1844674407370955"),
    ],
    ids=["missing-key", "bad-json", "lone-surrogate-key", "int-beyond-64-bits"],
)
@pytest.mark.parametrize("partition", ["hash", "range"])
def test_bad_input_publishes_nothing(tmp_path, built, existing, text, message, partition):
    if existing:
        existing_set(tmp_path, built)
    before = listing(tmp_path / "t")
    source = tmp_path / "bad.jsonl"
    source.write_text(text, encoding="utf-8")
    done = run("build", source, tmp_path / "t", "--key", "id", "--shards", 3, "--partition", partition)
    assert done.returncode == 1
    assert done.stderr.startswith(f"vorlstore: {source}: {message}") and done.stderr.count("\n") == 1
    assert listing(tmp_path / "t") == before  # a new directory is not even created
    if existing:
        assert StoreSet(tmp_path / "t")["u0"]["n"] == 0


@pytest.mark.parametrize("existing", [False, True], ids=["new-directory", "existing-set"])
def test_ctrl_c_while_reading_publishes_nothing(tmp_path, built, existing):
    if existing:
        existing_set(tmp_path, built)
    before = listing(tmp_path / "t")
    child = subprocess.Popen(
        [sys.executable, "-m", "vorlstore", "build", "-", str(tmp_path / "t"), "--key", "id", "--shards", "3",
         "--progress"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    child.stdin.write('{"id": "a"}\n{"id": "b"}\n')
    child.stdin.flush()
    first = first_output(child, child.stderr)  # the progress display is up: the shards are open
    time.sleep(0.2)
    assert len(listing(tmp_path / "t")) > len(before or [])  # a generation is being written
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    assert child.returncode == 130, first + err
    assert err.endswith("vorlstore: interrupted\n") and "Traceback" not in err and out == ""
    assert listing(tmp_path / "t") == before


def test_ctrl_c_after_the_pointer_swap_reports_the_set_built(tmp_path, monkeypatch, capsys):
    from vorlstore import cli
    from vorlstore.sets import publication

    syncs = []

    def interrupted_sync(path):
        syncs.append(path)
        if path == str(tmp_path / "t"):  # the set directory: CURRENT was just renamed
            raise KeyboardInterrupt

    monkeypatch.setattr(publication, "_sync_dir", interrupted_sync)
    source = write_input(tmp_path, "jsonl", RECORDS)
    assert cli.main(["build", str(source), str(tmp_path / "t"), "--key", "id", "--shards", "2"]) == 0
    assert capsys.readouterr().out.startswith(f"{tmp_path / 't'}: {len(RECORDS)} records, ")
    assert syncs[-1] == str(tmp_path / "t")
    assert StoreSet(tmp_path / "t")["u3"]["n"] == 99


@pytest.mark.parametrize("shards", [None, 1, 3], ids=["file", "set-of-1", "set-of-3"])
def test_a_write_failure_is_the_targets_and_publishes_nothing(tmp_path, shards):
    import resource

    def small_files():  # writes past 10 kB fail with EFBIG (Python ignores SIGXFSZ)
        resource.setrlimit(resource.RLIMIT_FSIZE, (10_000, 10_000))

    source = write_input(tmp_path, "jsonl", RECORDS * 10)
    target = tmp_path / "t"
    extra = [] if shards is None else ["--shards", shards]
    done = run("build", source, target, "--key", "id", "--key", "email", *extra, preexec_fn=small_files)
    assert done.returncode == 1 and done.stderr.count("\n") == 1
    assert done.stderr.startswith(f"vorlstore: {target}: cannot build: File too large")
    assert os.listdir(tmp_path) == [source.name]


# -- Inputs that cannot be read twice, and inputs that hold nothing

PIPE_REFUSED = "vorlstore: {src}: --partition range reads the input twice; give a regular file, not a pipe\n"
EMPTY = "vorlstore: {src}: no records, so nothing was built (--allow-empty builds an empty store)\n"


def fifo(tmp_path):
    os.mkfifo(tmp_path / "in.fifo")  # no writer ever comes: opening it would wait forever
    return tmp_path / "in.fifo"


def empty(tmp_path):
    (tmp_path / "in.jsonl").write_text("\n\n")
    return tmp_path / "in.jsonl"


@pytest.mark.parametrize(
    "make_input, stdin, options, code, message",
    [
        (lambda p: "/dev/stdin", '{"id": "a"}\n', ["--shards", 2, "--partition", "range"], 2, PIPE_REFUSED),
        (fifo, None, ["--shards", 2, "--partition", "range"], 2, PIPE_REFUSED),
        (empty, None, ["--shards", 2, "--partition", "range"], 1, EMPTY),
        (empty, None, ["--shards", 2], 1, EMPTY),
        (lambda p: "-", "", ["--shards", 2], 1, EMPTY.replace("{src}", "<stdin>")),
        (empty, None, [], 1, EMPTY),
    ],
    ids=["range-from-dev-stdin", "range-from-fifo", "empty-range-set", "empty-hash-set", "empty-stdin-set",
         "empty-store"],
)
def test_inputs_that_would_publish_nothing_leave_the_target(tmp_path, built, make_input, stdin, options, code,
                                                             message):
    existing_set(tmp_path, built)
    target = tmp_path / "t" if options else tmp_path / "t.vrls"
    before = listing(target)
    source = make_input(tmp_path)
    done = run("build", source, target, "--key", "id", *options, stdin=stdin, timeout=60)
    assert (done.returncode, done.stderr) == (code, message.format(src=source))
    assert listing(target) == before and not target.with_suffix(".vrls.tmp").exists()


def test_allow_empty_publishes_an_empty_set(tmp_path, built):
    existing_set(tmp_path, built)
    done = run("build", empty(tmp_path), tmp_path / "t", "--key", "id", "--shards", 2, "--allow-empty")
    assert done.returncode == 0, done.stderr
    with StoreSet(tmp_path / "t") as s:
        assert len(s) == 0 and s.routing.shards == 2
