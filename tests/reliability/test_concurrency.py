"""Readers and writers under threads and re-entry.

The stress test shares one reader among many threads while other threads
open and drop readers of the same path and a writer thread keeps
republishing that path.  Every generation of the store is a pure function of
its number, and its payloads spell the number out, so each answer is checked
against the generation that the answering reader opened (found from the file
CRC-32 in its stats and from its "generation" key): a reader must keep
answering from the file it mapped however often the path is replaced, and
a newly opened reader must see one complete generation, never a mix.

The other tests hold a borrow open in one thread (a key whose iteration
blocks) while other threads call the same instance, and re-enter a writer
from its own key conversion.

Environment: VORL_CONCURRENCY_SECONDS (default 10) is how long the stress
threads run; VORL_CONCURRENCY_SEED replays a run's per-thread choices.
"""

import dataclasses
import os
import random
import sys
import threading
import time
import zlib

import pytest

import storecodec
from _vorlstore import _VorlReader, _VorlWriter
from callargs import SizedCallingKey
from processes import redirected

SECONDS = float(os.environ.get("VORL_CONCURRENCY_SECONDS", "10"))
GENERATIONS = 12
QUERY_THREADS = 8
OPENER_THREADS = 3
ALREADY_BORROWED = "Already borrowed"
ALREADY_MUTABLY_BORROWED = "Already mutably borrowed"


def generation_content(g):
    """(objects in id order, {key bytes: object id}) of generation g."""
    objects = [b"generation %d" % g]
    for i in range(18 + g % 5):
        filler = bytes((g * 31 + i * 7 + j) % 256 for j in range((g * 13 + i * 5) % 64))
        objects.append(b"g%03d/o%03d/" % (g, i) + filler)
    objects.append(b"g%03d/unreferenced" % g)
    shared = len(objects) - 2  # ids 1..shared are referenced by several keys
    keys = {b"generation": 0}
    for i in range(30 + g * 7 % 17):
        keys[b"k/%03d" % i] = 1 + (i * 3 + g) % shared
    for i in range(3 + g % 4):
        keys[b"p/%d/%02d" % (g % 3, i)] = 1 + (i + g) % shared
    keys[b"\xff\xfe" + bytes([0x30 + g % 2])] = shared
    if g % 2 == 0:
        keys[b""] = 1
    return objects, keys


@dataclasses.dataclass
class Model:
    """What every query of one generation must answer, computed without the module."""

    number: int
    objects: list
    keys: dict
    data: bytes  # the file a build writes
    path: str

    def __post_init__(self):
        order = sorted(self.keys)
        self.lookup = {k: self.objects[self.keys[k]] for k in order}
        self.entries = [(k, k.decode("utf-8", "replace"), self.lookup[k]) for k in order]
        self.key_texts = [t for _, t, _ in self.entries]
        self.items = [(t, v) for _, t, v in self.entries]
        first_use = dict.fromkeys(self.keys[k] for k in order)
        self.objects_raw = [self.objects[i] for i in first_use]
        index_offset = storecodec.HEADER_SIZE + sum(8 + len(o) for o in self.objects)
        self.crc = storecodec.crc_text(zlib.crc32(self.data[storecodec.HEADER_SIZE:]))
        self.stats = [
            ("path", self.path), ("version", 2), ("num_keys", len(self.keys)),
            ("num_objects", len(self.objects)), ("index_offset", index_offset),
            ("data_offset", 40), ("file_size_kb", len(self.data) / 1024), ("file_crc32", self.crc),
        ]
        self.repr = f"_VorlReader('{self.path}', keys={len(self.keys)}, objects={len(self.objects)})"

    def prefix(self, p):
        return [(t, v) for k, t, v in self.entries if k.startswith(p)]


class BlockingKey:
    """A key sequence whose iteration stops until `proceed` is set, so that the
    call converting it holds its borrow meanwhile."""

    def __init__(self, key):
        self.key, self.inside, self.proceed = key, threading.Event(), threading.Event()

    def __len__(self):
        return len(self.key)

    def __getitem__(self, i):
        return self.key[i]

    def __iter__(self):
        self.inside.set()
        if not self.proceed.wait(60):
            raise TimeoutError("never released")
        return iter(self.key)


WRITER_CALLS = [
    ("add_key", lambda w, p: w.add_key(b"other", 0), ALREADY_BORROWED),
    ("add_object_raw", lambda w, p: w.add_object_raw(b"other"), ALREADY_BORROWED),
    ("build", lambda w, p: w.build(str(p)), ALREADY_MUTABLY_BORROWED),
    ("repr", lambda w, p: repr(w), ALREADY_MUTABLY_BORROWED),
]


# ---- Queries, each checked against the model of the reader's generation

def key_form(key, rng):
    """`key` in one of the forms the key rule accepts."""
    forms = [bytes, bytearray, list, tuple, memoryview]
    try:
        key.decode()
        forms.append(lambda k: k.decode())
    except UnicodeDecodeError:
        pass
    return rng.choice(forms)(key)


def probe_keys():
    keys = {b"absent", b"k/", b"k/999", b"p/", b"generatio", b"generation\0", b"\xff\xfe"}
    for g in range(GENERATIONS):
        keys.update(generation_content(g)[1])
    return sorted(keys)


PROBES = probe_keys()
PREFIXES = [b"", b"k/", b"k/0", b"k/02", b"k/04", b"p/", b"p/0/", b"p/1/", b"p/2/0", b"gen", b"\xff", b"zzz"]


def q_get(r, m, rng):
    k = rng.choice(PROBES)
    return f"get_raw({k!r})", r.get_raw(key_form(k, rng)), m.lookup.get(k)


def q_exists(r, m, rng):
    k = rng.choice(PROBES)
    return f"exists({k!r})", r.exists(key_form(k, rng)), k in m.lookup


def q_prefix(r, m, rng):
    p = rng.choice(PREFIXES)
    return f"prefix_raw({p!r})", r.prefix_raw(key_form(p, rng)), m.prefix(p)


PLAIN_QUERIES = [
    q_get, q_get, q_get, q_exists, q_exists, q_prefix, q_prefix,
    lambda r, m, rng: ("keys()", r.keys(), m.key_texts),
    lambda r, m, rng: ("items_raw()", r.items_raw(), m.items),
    lambda r, m, rng: ("objects_raw()", r.objects_raw(), m.objects_raw),
    lambda r, m, rng: ("stats()", list(r.stats().items()), m.stats),
    lambda r, m, rng: ("verify()", r.verify(), True),
    lambda r, m, rng: ("repr()", repr(r), m.repr),
]


def q_reenter(r, m, rng):
    """get_raw of a key whose iteration first runs another query on the same reader."""
    k = rng.choice(PROBES)
    inner = rng.choice(PLAIN_QUERIES)
    key = SizedCallingKey(k, lambda: inner(r, m, rng))
    got = r.get_raw(key)
    [(what, inner_got, inner_expected)] = key.seen
    return f"get_raw({k!r}) around {what}", (got, inner_got), (m.lookup.get(k), inner_expected)


QUERIES = PLAIN_QUERIES + [q_reenter, q_reenter]


class Run:
    """Shared state of one stress run.  Counters are per thread (a += on a
    shared counter could lose updates at a thread switch) and summed at the end."""

    def __init__(self, path, models, by_crc):
        self.path, self.models, self.by_crc = path, models, by_crc
        self.stop = threading.Event()
        self.mismatches = []  # list.append is atomic
        self.generations_opened = set()
        self.published = []  # generations in build order
        self.counts = {}  # thread name -> {counter: n}

    def mismatch(self, text):
        self.mismatches.append(text)
        if len(self.mismatches) >= 50:
            self.stop.set()

    def query(self, r, g, rng, who, count):
        op = rng.choice(QUERIES)
        try:
            what, got, expected = op(r, self.models[g], rng)
        except BaseException as e:  # noqa: BLE001 - every failure is a mismatch
            self.mismatch(f"{who}, generation {g}: {getattr(op, '__name__', 'query')} raised {e!r}")
            return
        count["queries"] += 1
        count["re-entrant calls"] += op is q_reenter
        if got != expected:
            self.mismatch(f"{who}, generation {g}: {what} gave {got!r:.200}, expected {expected!r:.200}")


def query_thread(run, index, seed, shared, slot):
    rng, who = random.Random(seed * 1000 + index), f"query {index}"
    count = {"queries": 0, "re-entrant calls": 0}
    run.counts[who] = count
    n = 0
    while not run.stop.is_set():
        # Alternate between the reader opened before the run and the one an
        # opener thread shared last (replaced, and so dropped, meanwhile).
        r, g = shared if n % 2 == 0 else slot[0]
        run.query(r, g, rng, who, count)
        n += 1


def opener_thread(run, index, seed, slot):
    rng, who = random.Random(seed * 1000 + 100 + index), f"opener {index}"
    count = {"opens": 0, "queries": 0, "re-entrant calls": 0}
    run.counts[who] = count
    while not run.stop.is_set():
        try:
            r = _VorlReader(run.path, rng.random() < 0.5)
            crc = r.stats()["file_crc32"]
            marker = r.get_raw(b"generation")
        except BaseException as e:  # noqa: BLE001
            run.mismatch(f"{who}: opening raised {e!r}")
            continue
        count["opens"] += 1
        g = run.by_crc.get(crc)
        if g is None or marker != b"generation %d" % g:
            run.mismatch(f"{who}: opened a file with CRC {crc} and marker {marker!r}")
            continue
        run.generations_opened.add(g)
        for _ in range(rng.randrange(1, 4)):
            run.query(r, g, rng, who, count)
        if count["opens"] % 3 == 0:
            slot[0] = (r, g)
        del r


def writer_thread(run, seed):
    """Republishes the path with generation 1, 2, ... from a fresh writer each
    time; some keys re-enter the writer while it converts them."""
    rng, count = random.Random(seed * 1000 + 200), {"builds": 0, "refused re-entries": 0}
    run.counts["writer"] = count
    g = 0
    while not run.stop.is_set():
        g = (g + 1) % GENERATIONS
        m = run.models[g]
        w = _VorlWriter()
        try:
            for blob in m.objects:
                w.add_object_raw(blob)
            for key, obj_id in m.keys.items():
                if rng.random() < 0.2:
                    name, nested, message = rng.choice(WRITER_CALLS)
                    key = SizedCallingKey(key, lambda: nested(w, run.path + ".nested"))
                    w.add_key(key, obj_id)
                    if key.seen != [("RuntimeError", message)]:
                        run.mismatch(f"writer: nested {name} inside add_key gave {key.seen!r}")
                    count["refused re-entries"] += 1
                else:
                    w.add_key(key, obj_id)
            w.build(run.path)
        except BaseException as e:  # noqa: BLE001
            run.mismatch(f"writer, generation {g}: {e!r}")
            return
        # Only this thread writes the path, so it holds this generation now.
        data = storecodec.read(run.path)
        if data != m.data:
            run.mismatch(f"writer: generation {g} built {len(data)} bytes differing from the expected file")
        run.published.append(g)
        count["builds"] += 1


@pytest.fixture(scope="module")
def generations(tmp_path_factory):
    """The model of every generation, its file built once in a side folder."""
    folder = tmp_path_factory.mktemp("generations")
    path = str(tmp_path_factory.mktemp("stress") / "shared.vrls")
    models = []
    for g in range(GENERATIONS):
        objects, keys = generation_content(g)
        side = folder / f"g{g}.vrls"
        with redirected(1, os.devnull):  # the summary line
            data = storecodec.write_store(side, objects, keys)
        assert data == storecodec.encode_store(objects, keys)
        store = storecodec.parse(data)
        assert store.num_keys == len(keys) and store.num_objects == len(objects)
        assert {k: store.objects[o] for k, o in store.entries} == {k: objects[i] for k, i in keys.items()}
        models.append(Model(g, objects, keys, data, path))
    assert len({m.crc for m in models}) == GENERATIONS, "two generations share a checksum"
    return models


def test_shared_readers_while_the_path_is_republished(generations, capfd):
    models = generations
    path = models[0].path
    seed = int(os.environ.get("VORL_CONCURRENCY_SEED", random.randrange(1 << 32)))
    with open(path, "wb") as f:
        f.write(models[0].data)
    run = Run(path, models, {m.crc: m.number for m in models})
    shared = (_VorlReader(path), 0)
    slot = [(_VorlReader(path, False), 0)]
    threads = [threading.Thread(target=query_thread, args=(run, i, seed, shared, slot), name=f"query {i}")
               for i in range(QUERY_THREADS)]
    threads += [threading.Thread(target=opener_thread, args=(run, i, seed, slot), name=f"opener {i}")
                for i in range(OPENER_THREADS)]
    threads.append(threading.Thread(target=writer_thread, args=(run, seed), name="writer"))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    started = time.monotonic()
    try:
        for t in threads:
            t.start()
        # Run for the set time, and beyond it until the writer has published
        # and the openers have met several generations (bounded at 6x).
        while not run.stop.is_set():
            time.sleep(0.05)
            elapsed = time.monotonic() - started
            covered = len(run.published) >= 5 and len(run.generations_opened) >= 3
            if (elapsed >= SECONDS and covered) or elapsed >= 6 * SECONDS:
                break
        run.stop.set()
        for t in threads:
            t.join(60)
    finally:
        run.stop.set()
        sys.setswitchinterval(interval)
    elapsed = time.monotonic() - started
    assert not [t.name for t in threads if t.is_alive()]

    totals = {}
    for count in run.counts.values():
        for k, v in count.items():
            totals[k] = totals.get(k, 0) + v
    shared_queries = sum(run.counts[f"query {i}"]["queries"] for i in range(QUERY_THREADS))
    # The reader opened before the first republish still answers from its file.
    rng = random.Random(seed)
    for op in PLAIN_QUERIES:
        what, got, expected = op(shared[0], models[0], rng)
        assert got == expected, what
    # Each build printed its own summary line, in build order.
    out = capfd.readouterr().out.encode()
    expected_lines = [storecodec.parse(models[g].data).summary_line(path) for g in run.published]
    with capfd.disabled():
        print(f"\nconcurrency (seed {seed}): {len(threads)} threads ({QUERY_THREADS} query, {OPENER_THREADS} "
              f"opener, 1 writer) for {elapsed:.1f}s: {totals['queries']} queries ({shared_queries} on the shared "
              f"readers, {totals['re-entrant calls']} re-entrant), {totals['opens']} opens "
              f"({len(run.generations_opened)} generations seen), {totals['builds']} builds, "
              f"{totals['refused re-entries']} refused writer re-entries, {len(run.mismatches)} mismatches")
    assert run.mismatches == []
    assert out.splitlines(keepends=True) == expected_lines
    assert not os.path.exists(path + ".nested")
    assert len(run.published) >= 5 and len(run.generations_opened) >= 3
    assert all(run.counts[f"query {i}"]["queries"] > 0 for i in range(QUERY_THREADS))


# ---- A borrow held in one thread while other threads call the same instance

def test_readers_borrowed_in_many_threads_serve_another(generations, tmp_path):
    m = generations[3]
    path = tmp_path / "held.vrls"
    path.write_bytes(m.data)
    m = dataclasses.replace(m, path=str(path))
    r = _VorlReader(str(path))
    keys = [BlockingKey(b"generation") for _ in range(6)]
    results = []
    threads = [threading.Thread(target=lambda k=k: results.append(r.get_raw(k))) for k in keys]
    for t in threads:
        t.start()
    try:
        # Six calls now hold a shared borrow each, inside key conversion.
        assert all(k.inside.wait(60) for k in keys)
        rng = random.Random(3)
        answers = [op(r, m, rng) for op in QUERIES for _ in range(3)]
    finally:
        for k in keys:
            k.proceed.set()
        for t in threads:
            t.join(60)
    assert [(what, got) for what, got, _ in answers] == [(what, expected) for what, _, expected in answers]
    assert results == [b"generation 3"] * len(keys)


def test_writer_borrowed_in_one_thread_refuses_the_others(tmp_path):
    w = _VorlWriter()
    w.add_object_raw(b"x")
    target = tmp_path / "w.vrls"
    key = BlockingKey(b"k")
    outcome = []
    t = threading.Thread(target=lambda: outcome.append(w.add_key(key, 0)))
    t.start()
    errors = []
    try:
        assert key.inside.wait(60)
        for name, call, _ in WRITER_CALLS:
            try:
                call(w, target)
                errors.append((name, "no error"))
            except RuntimeError as e:
                errors.append((name, str(e)))
    finally:
        key.proceed.set()
        t.join(60)
    assert errors == [(name, message) for name, _, message in WRITER_CALLS]
    assert outcome == [None]
    # None of the refused calls left a trace; the writer works again.
    assert not target.exists()
    assert repr(w) == "_VorlWriter(objects=1, keys=1)"
    w.build(str(target))
    assert _VorlReader(str(target)).items_raw() == [("k", b"x")]


# ---- Re-entry into a writer from its own key conversion

HOOKS = ["__len__", "__iter__", "__index__"]


@pytest.mark.parametrize("nested, message", [c[1:] for c in WRITER_CALLS], ids=[c[0] for c in WRITER_CALLS])
@pytest.mark.parametrize("hook", HOOKS)
def test_writer_reentered_during_add_key(tmp_path, hook, nested, message):
    w = _VorlWriter()
    w.add_object_raw(b"x")
    target = tmp_path / "nested.vrls"
    key = SizedCallingKey(b"ab", lambda: nested(w, target), hook)
    assert w.add_key(key, 0) is None
    assert key.seen == [("RuntimeError", message)]
    assert not target.exists()
    assert repr(w) == "_VorlWriter(objects=1, keys=1)"
    w.build(str(target))
    assert _VorlReader(str(target)).items_raw() == [("ab", b"x")]


@pytest.mark.parametrize("hook", HOOKS)
def test_borrow_error_escaping_key_conversion(tmp_path, hook):
    w = _VorlWriter()
    w.add_object_raw(b"x")
    key = SizedCallingKey(b"ab", lambda: w.add_key(b"other", 0), hook, catch=False)
    if hook == "__len__":
        # The length only sizes the buffer; its failure is ignored.
        w.add_key(key, 0)
        assert repr(w) == "_VorlWriter(objects=1, keys=1)"
    else:
        with pytest.raises(ValueError) as info:
            w.add_key(key, 0)
        assert info.value.args == ("key must be str or bytes",)
        assert info.value.__cause__ is None and info.value.__context__ is None
        assert repr(w) == "_VorlWriter(objects=1, keys=0)"
    assert key.seen == [("RuntimeError", ALREADY_BORROWED)]
    assert w.add_object_raw(b"y") == 1
    w.add_key(b"cd", 1)
    w.build(str(tmp_path / "after.vrls"))
    assert _VorlReader(str(tmp_path / "after.vrls")).keys() == (["ab", "cd"] if hook == "__len__" else ["cd"])


def test_reader_reentered_many_levels_deep(generations, tmp_path):
    m = generations[5]
    path = tmp_path / "deep.vrls"
    path.write_bytes(m.data)
    r = _VorlReader(str(path))
    keys = [b"k/%03d" % i for i in range(30)]
    key, calling = keys[0], []
    for k in keys[1:]:
        key = SizedCallingKey(k, lambda inner=key: r.get_raw(inner))
        calling.append(key)
    # 29 shared borrows of one reader held at once, one inside the other.
    assert r.get_raw(key) == m.lookup[keys[-1]]
    assert [c.seen for c in calling] == [[m.lookup[k]] for k in keys[:-1]]
