"""Stores read and written by URL, against real servers: moto's S3 server and nginx."""

import errno
import os
import pickle

import pytest
import servers
import vorlstore
from proxy import Proxy

BUCKET = "vorl-tests"
_WORDS = [f"{w:06x}" for w in range(0, 500 * 7919, 7919)]
STORES = {
    "small": {f"k{i:05d}": {"i": i, "s": "x" * (i % 40)} for i in range(3000)},
    "big-records": {f"b{i}": "y" * (100_000 + i) for i in range(5)},
    "odd-keys": {b"\xff\xfe": 1, "caf\u00e9": 2, "": 3, "a/b": [1, 2], b"\x00": None},
    "empty": {},
    "long-keys": {"L" * (200 + i * 7) + f"{i:04d}": i for i in range(120)},
    # A dictionary that comes with the open round, one too large for it, and a store read whole.
    "zstd": {f"k{i:05d}": {"i": i, "s": " ".join(_WORDS[(i * j) % 500] for j in range(3))} for i in range(3000)},
    # More keys than the compression figures sample: they are estimated.
    "zstd-big-dictionary": {f"k{i:05d}": " ".join(_WORDS[(i * j * 31) % 500] for j in range(40)) for i in range(5000)},
    "zstd-no-hash-index": {f"k{i:05d}": ["v" * (i % 50)] for i in range(300)},
}
BUILD = {"zstd": {"compression": "zstd"}, "zstd-big-dictionary": {"compression": "zstd"},
         "zstd-no-hash-index": {"compression": "zstd", "hash_index": False}}


@pytest.fixture(scope="module")
def moto():
    with servers.moto_with_bucket(BUCKET) as server:
        yield server


@pytest.fixture(scope="module")
def web_root(tmp_path_factory):
    return tmp_path_factory.mktemp("www")


@pytest.fixture(scope="module")
def nginx(web_root):
    try:
        server = servers.Nginx(str(web_root))
    except servers.Unavailable as exc:
        pytest.skip(f"nginx cannot run here: {exc}")
    yield server
    server.stop()


@pytest.fixture(scope="module")
def published(moto, nginx, web_root, tmp_path_factory):
    """Each store built locally, served by nginx and put in S3: {name: (local, http, s3)}."""
    local_dir = tmp_path_factory.mktemp("local")
    out = {}
    for name, items in STORES.items():
        local = str(local_dir / f"{name}.vrls")
        vorlstore.build(local, items, **BUILD.get(name, {}))
        (web_root / f"{name}.vrls").write_bytes(open(local, "rb").read())
        moto.client().put_object(Bucket=BUCKET, Key=f"{name}.vrls", Body=open(local, "rb").read())
        s3 = f"s3://{BUCKET}/{name}.vrls"
        out[name] = (local, f"{nginx.url}/{name}.vrls", s3)
    return out


def open_remote(kind, published, name, moto, **kw):
    local, http, s3 = published[name]
    if kind == "http":
        return vorlstore.VorlReader(http, **kw)
    return vorlstore.VorlReader(s3, storage_options=moto.options, **kw)


QUERIES = [
    ("getitem", lambda r, ks: [r.get(k) for k in ks]),
    ("get_many", lambda r, ks: r.get_many(ks + ["absent"])),
    ("get_many_raw", lambda r, ks: r.get_many_raw(ks)),
    ("get_stored", lambda r, ks: [r.get_stored(k) for k in ks + ["absent"]]),
    ("contains", lambda r, ks: [k in r for k in ks + ["absent"]]),
    ("keys", lambda r, ks: list(r.keys())),
    ("reversed items", lambda r, ks: list(reversed(r.items()))),
    ("values", lambda r, ks: list(r.values())),
    ("prefix", lambda r, ks: list(r.prefix("k001"))),
    ("prefix_keys", lambda r, ks: list(r.prefix_keys(b"\xff"))),
    ("range", lambda r, ks: list(r.range("k00100", "k00250"))),
    ("range reversed open", lambda r, ks: list(r.range("b2", None, reverse=True))),
    ("range reversed", lambda r, ks: list(r.range("k00007", "k02500", reverse=True))),
    ("range between probed keys", lambda r, ks: list(r.range("k00750", "k01500"))),
    ("long prefix", lambda r, ks: list(r.prefix_keys("L" * 400))),
    ("objects", lambda r, ks: r.objects()),
    ("len", lambda r, ks: len(r)),
    ("stats", lambda r, ks: {k: v for k, v in r.stats().items() if k != "path"}),
    ("verify", lambda r, ks: r.verify()),
]


@pytest.mark.parametrize("kind", ["http", "s3"])
@pytest.mark.parametrize("name", list(STORES))
@pytest.mark.parametrize("query", [q for _, q in QUERIES], ids=[n for n, _ in QUERIES])
def test_every_read_answers_as_the_local_copy(kind, name, query, published, moto):
    keys = list(STORES[name])[:50] + list(STORES[name])[-5:]
    with vorlstore.VorlReader(published[name][0]) as local, open_remote(kind, published, name, moto) as remote:
        assert query(remote, keys) == query(local, keys)


# Each reader's geometry shrunk so that searches probe, walks take many chunks and entries outgrow their guess.
TINY = {"SCAN_BYTES": 300, "PROBES": 3, "ENTRY_GUESS": 12, "FIRST_CHUNK": 100, "LAST_CHUNK": 400,
        "FIRST_RANKS": 5, "LAST_RANKS": 40}


@pytest.mark.parametrize("name", ["small", "long-keys", "odd-keys", "zstd"])
@pytest.mark.parametrize("query", [q for _, q in QUERIES], ids=[n for n, _ in QUERIES])
def test_ordered_reads_with_a_tiny_geometry(name, query, published, moto, monkeypatch):
    from vorlstore.remote import ordered

    for constant, value in TINY.items():
        monkeypatch.setattr(ordered, constant, value)
    keys = list(STORES[name])[:50]
    with vorlstore.VorlReader(published[name][0]) as local, open_remote("http", published, name, moto) as remote:
        assert query(remote, keys) == query(local, keys)


ROUNDS = [
    # store, rounds to open (a dictionary too large for the open round puts its section's trailer beyond it)
    ("small", 1),
    ("zstd", 1),
    ("zstd-big-dictionary", 2),
]


@pytest.mark.parametrize("kind", ["http", "s3"])
@pytest.mark.parametrize("name, opening", ROUNDS)
def test_round_trips(kind, name, opening, published, moto):
    r = open_remote(kind, published, name, moto)
    source, items = r._engine.source, STORES[name]
    keys = list(items)
    assert (source.rounds, source.requests) == (opening, opening + 1) and source.bytes <= (64 + 4 * opening) << 10

    def rounds(call, most):
        before = source.rounds
        call()
        assert source.rounds - before <= most

    # Cold, the same key warm, a missing key; the dictionary comes with the first lookup's slots.
    for key, most in [(keys[1234], 2), (keys[1234], 0), ("absent", 2)]:
        rounds(lambda: r.get(key) == items.get(key) or pytest.fail(key), most)
    rounds(lambda: r.get_many(keys[::3]) == [items[k] for k in keys[::3]] or pytest.fail(), 2)
    # Every slot block is cached now: another key needs its entry and record only.
    for key in keys[1::997]:
        rounds(lambda: r[key] == items[key] or pytest.fail(key), 1)
    prefix = [(k, items[k]) for k in keys if k.startswith("k011")]
    rounds(lambda: list(r.prefix("k011")) == prefix or pytest.fail(), 3)
    # A compressed store's figures (repr and pickling ask for stats) are measured once, not from the cache.
    stats = r.stats()
    r._engine._blocks._cache.clear()
    rounds(lambda: (repr(r), r.stats() == stats) == (repr(r), True) or pytest.fail(), 0)


@pytest.mark.parametrize("name", ["small", "zstd-big-dictionary"])
def test_threads_share_one_remote_reader(name, published, moto):
    from concurrent.futures import ThreadPoolExecutor

    remote, local = open_remote("http", published, name, moto), vorlstore.VorlReader(published[name][0])
    queries = [(lambda r, p=f"k0{i:02d}": (list(r.prefix(p)), r.get_many([p + "17", p + "3"]))) for i in range(40)]
    with ThreadPoolExecutor(8) as pool:
        assert list(pool.map(lambda q: q(remote), queries)) == [q(local) for q in queries]


@pytest.mark.parametrize("hash_index", [True, False])
@pytest.mark.parametrize("how", ["build", "StoreBuilder", "merge"])
def test_builds_to_a_url(how, hash_index, published, moto):
    url = f"s3://{BUCKET}/built-{how}-{hash_index}.vrls"
    items = STORES["small"]
    if how == "build":
        summary = vorlstore.build(url, items, hash_index=hash_index, storage_options=moto.options)
    elif how == "StoreBuilder":
        with vorlstore.StoreBuilder(url, hash_index=hash_index, storage_options=moto.options) as b:
            b.update(items)
        summary = {"path": url}
    else:
        summary = vorlstore.merge(url, published["small"][2], published["odd-keys"][0], hash_index=hash_index,
                                  storage_options=moto.options)
        items = {**items, **{k.decode("utf-8", "surrogateescape") if isinstance(k, bytes) else k: v
                             for k, v in STORES["odd-keys"].items()}}
    r = vorlstore.VorlReader(url, storage_options=moto.options)
    assert summary["path"] == url and dict(r.items()) == items and r.stats()["hash_index"] == hash_index


def test_cache_downloads_once_and_follows_new_versions(published, moto, tmp_path):
    url = f"s3://{BUCKET}/cached.vrls"
    vorlstore.build(url, {"a": 1}, storage_options=moto.options)
    first = vorlstore.VorlReader(url, storage_options=moto.options, cache=tmp_path)
    again = vorlstore.VorlReader(url, storage_options=moto.options, cache=tmp_path)
    assert first["a"] == again["a"] == 1 and len(os.listdir(tmp_path)) == 1
    vorlstore.build(url, {"a": 2}, storage_options=moto.options)
    assert vorlstore.VorlReader(url, storage_options=moto.options, cache=tmp_path)["a"] == 2
    assert len(os.listdir(tmp_path)) == 2


def test_pickled_reader_reopens_by_url(published, moto):
    r = open_remote("s3", published, "small", moto)
    assert pickle.loads(pickle.dumps(r))["k00003"] == STORES["small"]["k00003"]


# -- faults


def replace(kind, published, moto, web_root, data):
    local, http, s3 = published["small"]
    if kind == "http":
        path = web_root / "small.vrls"
        path.write_bytes(data)
        os.utime(path, (1, 1))  # a new ETag even within the same second and size
    else:
        moto.client().put_object(Bucket=BUCKET, Key="small.vrls", Body=data)


@pytest.mark.parametrize("kind", ["http", "s3"])
def test_a_replaced_object_is_detected(kind, published, moto, web_root):
    original = open(published["small"][0], "rb").read()
    r = open_remote(kind, published, "small", moto)
    try:
        replace(kind, published, moto, web_root, original[:-1] + b"\x00")
        with pytest.raises(vorlstore.StoreOSError) as info:
            r.get("k00077")
        assert info.value.errno == errno.ESTALE and "small.vrls" in str(info.value)
    finally:
        replace(kind, published, moto, web_root, original)


FAULTS = [
    # fault(n, method) -> action, and whether the read still succeeds after retries
    ("one server error", lambda n, m: "503" if n == 3 else None, True),
    ("one dropped connection", lambda n, m: "drop" if n == 3 else None, True),
    ("one cut body", lambda n, m: "cut" if n == 3 else None, True),
    ("server errors for ever", lambda n, m: "503" if n > 2 else None, False),
    ("cut bodies for ever", lambda n, m: "cut" if n > 2 else None, False),
]


@pytest.mark.parametrize("fault, recovers", [f[1:] for f in FAULTS], ids=[f[0] for f in FAULTS])
def test_server_faults(fault, recovers, nginx, published, monkeypatch):
    from vorlstore.remote import source

    monkeypatch.setattr(source, "BACKOFF", 0.001)
    proxy = Proxy(nginx.port)
    try:
        proxy.fault = fault
        url = f"{proxy.url}/small.vrls"
        r = vorlstore.VorlReader(url)
        if recovers:
            assert r["k00042"] == STORES["small"]["k00042"]
        else:
            with pytest.raises(vorlstore.StoreOSError, match="small.vrls") as info:
                r["k00042"]
            assert info.value.errno == errno.EIO
    finally:
        proxy.stop()


def dictionary_at(data):
    return int.from_bytes(data[-24:-16], "big")  # the section offset in a compressed store's trailer


DAMAGE = [
    # store, the byte flipped, what finds it: the open, a lookup of the first key, or verify()
    ("small", lambda d: 40 + 8 + 2, "lookup"),  # inside the first record's payload
    ("small", lambda d: 40 + 8 + 2, "verify"),
    ("zstd", lambda d: 40 + 8 + 2, "lookup"),
    ("zstd", lambda d: dictionary_at(d) + 100, "open"),  # a dictionary that comes with the open round
    ("zstd", lambda d: len(d) - 20, "open"),  # the dictionary section's trailer
    ("zstd-big-dictionary", lambda d: dictionary_at(d) + 100, "lookup"),
]


@pytest.mark.parametrize("name, where, finder", DAMAGE)
def test_damage_is_caught_by_checksums(name, where, finder, published, moto):
    data = bytearray(open(published[name][0], "rb").read())
    data[where(data)] ^= 0xFF
    url = f"s3://{BUCKET}/damaged.vrls"
    moto.client().put_object(Bucket=BUCKET, Key="damaged.vrls", Body=bytes(data))
    with pytest.raises(vorlstore.CorruptError, match="damaged.vrls"):
        r = vorlstore.VorlReader(url, storage_options=moto.options)
        assert finder != "open"
        r.verify() if finder == "verify" else r[next(iter(STORES[name]))]


def test_nothing_is_published_by_a_failed_build(moto):
    url = f"s3://{BUCKET}/never.vrls"
    with pytest.raises(RuntimeError), vorlstore.StoreBuilder(url, storage_options=moto.options) as b:
        b.add(1, "a")
        raise RuntimeError("stop")
    with pytest.raises(vorlstore.StoreOSError):
        vorlstore.build(f"s3://no-such-bucket-x/a.vrls", {"a": 1}, storage_options=moto.options)
    with pytest.raises(FileNotFoundError):
        vorlstore.VorlReader(url, storage_options=moto.options)


def test_credentials_never_show(moto, nginx, published):
    options = dict(moto.options, secret="TOPSECRET")
    r = vorlstore.VorlReader(published["small"][2], storage_options=options)
    shown = [repr(r), str(r.stats()), r.path]
    http = published["small"][1].replace("http://", "http://user:TOPSECRET@")
    shown += [repr(vorlstore.VorlReader(http))]
    try:
        vorlstore.VorlReader(http.replace("small", "missing") + "?sig=TOPSECRET")
    except vorlstore.Error as exc:
        shown.append(str(exc))
    assert not any("TOPSECRET" in s for s in shown) and len(shown) == 5


def test_http_is_read_only(nginx):
    with pytest.raises(vorlstore.UsageError, match="read-only"):
        vorlstore.build(f"{nginx.url}/new.vrls", {"a": 1})


CLI = [
    # args after the URL's command, what stdout holds
    (["get", "{url}", "k00005"], '"i": 5'),
    (["keys", "{url}", "--prefix", "k0299"], "k02999"),
    (["stats", "{url}"], "3000 keys, 3000 objects"),
    (["verify", "{url}"], "OK (3000 keys, 3000 objects)"),
    (["dump", "{url}", "--prefix", "k00001"], '"key": "k00001"'),
]


@pytest.mark.parametrize("args, shown", CLI, ids=[c[0][0] for c in CLI])
def test_cli_reads_urls(args, shown, moto, published):
    import subprocess
    import sys

    env = dict(os.environ, AWS_ENDPOINT_URL=moto.endpoint, AWS_ACCESS_KEY_ID="testing",
               AWS_SECRET_ACCESS_KEY="testing", AWS_REGION="us-east-1")
    argv = [a.format(url=published["small"][2]) for a in args]
    done = subprocess.run([sys.executable, "-m", "vorlstore", *argv], capture_output=True, text=True, env=env,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert shown in done.stdout


def test_cli_builds_to_a_url(moto, tmp_path):
    import subprocess
    import sys

    source = tmp_path / "in.jsonl"
    source.write_text("".join(f'{{"id": "r{i}", "v": {i}}}\n' for i in range(10)))
    env = dict(os.environ, AWS_ENDPOINT_URL=moto.endpoint, AWS_ACCESS_KEY_ID="testing",
               AWS_SECRET_ACCESS_KEY="testing", AWS_REGION="us-east-1")
    url = f"s3://{BUCKET}/cli-built.vrls"
    done = subprocess.run([sys.executable, "-m", "vorlstore", "build", str(source), url, "--key", "id"],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    assert vorlstore.VorlReader(url, storage_options=moto.options)["r7"] == {"id": "r7", "v": 7}


# -- store sets in S3


def test_two_publishers_of_one_set_never_both_win(moto):
    import threading

    from vorlstore.remote.set_storage import S3SetStorage
    from vorlstore.sets import HashRouting, Publication, StoreSet, build_shard

    url = f"s3://{BUCKET}/raced-set"
    both_read = threading.Barrier(2)
    first_done = threading.Event()
    outcome: dict[int, object] = {}

    def publish(me):
        storage = S3SetStorage(url, moto.options)
        swap = storage.swap_pointer

        def late_swap(generation):
            both_read.wait(30)  # both have read the same pointer
            if me == 1:
                first_done.wait(30)
            try:
                swap(generation)
            finally:
                first_done.set()

        storage.swap_pointer = late_swap
        try:
            with Publication(url, storage) as pub:
                info = build_shard(pub.shard_path(0), [(f"k{me}".encode(), b"\x01")], raw=True,
                                   storage_options=moto.options)
                outcome[me] = pub.publish(HashRouting(1), [info])["generation"]
        except vorlstore.Error as exc:
            outcome[me] = exc

    threads = [threading.Thread(target=publish, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    winner, loser = outcome[0], outcome[1]
    assert isinstance(winner, str) and isinstance(loser, vorlstore.StoreOSError) and "CURRENT" in str(loser)
    s = StoreSet(url, storage_options=moto.options)
    assert s.generation == winner and dict(s.items()) == {"k0": 1}
    assert S3SetStorage(url, moto.options).generations() == [winner]


def test_import_needs_no_sdk():
    import subprocess
    import sys

    code = "import sys, vorlstore, vorlstore.remote; print(sorted({'boto3', 'botocore', 'fsspec'} & set(sys.modules)))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.stdout.strip() == "[]", done.stderr
