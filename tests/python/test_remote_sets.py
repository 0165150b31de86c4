"""Store sets built by URL from the plain API and the command line, against moto's S3 server."""

import os
import subprocess
import sys

import pytest
import servers
import vorlstore
from vorlstore.remote.set_storage import S3SetStorage
from vorlstore.sets import MANIFEST, POINTER, HashRouting, RangeRouting, SetBuilder, StoreSet, write_store_set

BUCKET = "vorl-sets"
ITEMS = {f"user:{i:04d}": {"n": i, "tag": "t" * (i % 30)} for i in range(600)}


@pytest.fixture(scope="module")
def moto():
    with servers.moto_with_bucket(BUCKET) as server:
        yield server


def objects_under(moto, prefix):
    listed = moto.client().list_objects_v2(Bucket=BUCKET, Prefix=prefix + "/")
    return sorted(o["Key"][len(prefix) + 1 :] for o in listed.get("Contents", []))


def with_builder(routing, **kw):
    def build(url, options):
        with SetBuilder(url, routing, storage_options=options, **kw) as b:
            for k, v in ITEMS.items():
                b.add(v, k)
        return b.summary

    return build


BUILDS = [
    ("SetBuilder hash", with_builder(HashRouting(3))),
    ("SetBuilder range zstd", with_builder(RangeRouting([b"user:0200", b"user:0400"]), compression="zstd")),
    ("write_store_set", lambda url, options: write_store_set(url, ITEMS.items(), shards=2, storage_options=options)),
]


@pytest.mark.parametrize("build", [b for _, b in BUILDS], ids=[n for n, _ in BUILDS])
def test_a_set_built_to_a_url_reads_as_a_local_one(build, moto, tmp_path):
    url = f"s3://{BUCKET}/{os.urandom(4).hex()}"
    summary = build(url, moto.options)
    s = StoreSet(url, storage_options=moto.options)
    assert (s.generation, len(s), dict(s.items())) == (summary["generation"], len(ITEMS), ITEMS)
    assert s.get_many(["user:0007", "nope"]) == [ITEMS["user:0007"], None]
    assert [k for k, _ in s.prefix("user:05")] == [f"user:05{i:02d}" for i in range(100)]
    # Published: the pointer and one sealed generation, its being-written mark gone.
    files = [f"{summary['generation']}/{shard['file']}" for shard in summary["shards"]]
    assert objects_under(moto, url.split("/", 3)[3]) == sorted([POINTER, f"{summary['generation']}/{MANIFEST}", *files])


def test_later_publications_replace_and_sweep(moto):
    url = f"s3://{BUCKET}/republished"
    generations = []
    for round_ in range(3):
        items = {f"k{i}": round_ for i in range(20)}
        generations.append(write_store_set(url, items.items(), shards=2, storage_options=moto.options)["generation"])
    assert StoreSet(url, storage_options=moto.options)["k3"] == 2
    # The replaced generation stays for readers that read the pointer just before the swap.
    assert sorted(S3SetStorage(url, moto.options).generations()) == generations[1:]


@pytest.mark.parametrize("existing", [False, True])
def test_a_failed_build_publishes_and_leaves_nothing(existing, moto):
    url = f"s3://{BUCKET}/failed-{existing}"
    if existing:
        write_store_set(url, [("a", 1)], shards=1, storage_options=moto.options)
    before = objects_under(moto, url.split("/", 3)[3])
    with pytest.raises(KeyboardInterrupt), SetBuilder(url, HashRouting(2), storage_options=moto.options) as b:
        b.add(1, "x")
        raise KeyboardInterrupt
    assert objects_under(moto, url.split("/", 3)[3]) == before
    if existing:
        assert dict(StoreSet(url, storage_options=moto.options).items()) == {"a": 1}


def run_cli(moto, *argv, stdin=None):
    env = dict(os.environ, AWS_ENDPOINT_URL=moto.endpoint, AWS_ACCESS_KEY_ID="testing",
               AWS_SECRET_ACCESS_KEY="testing", AWS_REGION="us-east-1")
    return subprocess.run([sys.executable, "-m", "vorlstore", *argv], capture_output=True, text=True, env=env,
                          timeout=120, input=stdin)


CLI = [
    # build options, then a query command on the set's URL and what its output holds
    (["--shards", "3"], ["get", "{url}", "r7"], '"v": 7'),
    (["--shards", "2", "--partition", "range", "--compress"], ["keys", "{url}", "--prefix", "r1"], "r19"),
    (["--shards", "2"], ["stats", "{url}"], "40 keys"),
    (["--shards", "2"], ["verify", "{url}"], "OK"),
]


@pytest.mark.parametrize("options, query, shown", CLI, ids=[c[1][0] for c in CLI])
def test_cli_builds_a_set_to_a_url_and_reads_it(options, query, shown, moto, tmp_path):
    source = tmp_path / "in.jsonl"
    source.write_text("".join(f'{{"id": "r{i}", "v": {i}}}\n' for i in range(40)))
    url = f"s3://{BUCKET}/cli-{os.urandom(4).hex()}"
    done = run_cli(moto, "build", str(source), url, "--key", "id", *options)
    assert done.returncode == 0 and "40 keys" in done.stdout, done.stderr
    done = run_cli(moto, *[a.format(url=url) for a in query])
    assert done.returncode == 0 and shown in done.stdout, done.stderr


def test_cli_a_bad_record_publishes_no_set(moto, tmp_path):
    source = tmp_path / "in.jsonl"
    source.write_text('{"id": "a"}\n{"id": \n')
    url = f"s3://{BUCKET}/cli-bad"
    done = run_cli(moto, "build", str(source), url, "--key", "id", "--shards", "2")
    assert done.returncode != 0 and "line 2" in done.stderr
    assert objects_under(moto, "cli-bad") == []
    done = run_cli(moto, "get", url, "a")
    assert done.returncode != 0 and "cli-bad" in done.stderr
