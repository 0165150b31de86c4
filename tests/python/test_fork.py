"""Readers and store sets opened before a child process starts work in the
child, whatever the start method; a builder open across a fork cannot touch
the parent's file from the child."""

from __future__ import annotations

import gc
import multiprocessing as mp
import os

import pytest

import vorlstore
from vorlstore import StoreBuilder, StoreSet, VorlReader

KEYS = ["k0", "k500", "k999"]


@pytest.fixture(scope="module")
def stores(tmp_path_factory):
    root = tmp_path_factory.mktemp("fork")
    vorlstore.build(str(root / "one.vrls"), {f"k{i}": {"i": i} for i in range(1000)})
    vorlstore.write_store_set(str(root / "set"), ((f"k{i}", {"i": i}) for i in range(1000)), shards=4)
    return {"reader": lambda: VorlReader(str(root / "one.vrls")), "set": lambda: StoreSet(str(root / "set"))}


def _look_up(opened, conn):
    # With fork the child uses the parent's object as it is; with spawn and
    # forkserver it arrives pickled and opens the file again.
    conn.send([opened[k]["i"] for k in KEYS])
    opened.close()


@pytest.mark.parametrize("kind", ["reader", "set"])
@pytest.mark.parametrize("method, freeze", [("fork", False), ("fork", True), ("spawn", False), ("forkserver", False)])
def test_opened_before_start_works_in_children(stores, kind, method, freeze):
    ctx = mp.get_context(method)
    with stores[kind]() as opened:
        assert opened["k1"]["i"] == 1  # mapped and touched before the start
        if freeze:
            gc.freeze()
        try:
            children = []
            for _ in range(2):
                ours, theirs = ctx.Pipe()
                child = ctx.Process(target=_look_up, args=(opened, theirs))
                child.start()
                children.append((child, ours))
            for child, ours in children:
                assert ours.recv() == [0, 500, 999]
                child.join(60)
                assert child.exitcode == 0
        finally:
            if freeze:
                gc.unfreeze()
        # The children closed their copies; the parent's is untouched.
        assert [opened[k]["i"] for k in KEYS] == [0, 500, 999]


def _child_uses_builder(builder, action):
    """Runs in the forked child; exit status 0 when the builder refused."""
    try:
        if action == "add":
            builder.add({"i": -1}, "child")
        elif action == "commit":
            builder.add_key("child", 0)  # keys live in memory: this much is harmless
            builder.commit()
        elif action == "discard":
            builder.discard()
            return 0
        elif action == "exit":
            del builder
            gc.collect()  # the engine object's destructor runs here
            return 0
        return 1
    except vorlstore.UsageError as e:
        return 0 if "before this process was forked" in str(e) else 2


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("action", ["add", "commit", "discard", "exit"])
def test_builder_across_fork_is_refused_in_child(tmp_path, action):
    path = tmp_path / "built.vrls"
    builder = StoreBuilder(path)
    builder.add({"i": 1}, "before")
    pid = os.fork()
    if pid == 0:
        status = 3
        try:
            status = _child_uses_builder(builder, action)
        finally:
            os._exit(status)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    # The parent goes on as if nothing happened: its temporary file is whole.
    builder.add({"i": 2}, "after")
    assert builder.commit()["objects"] == 2
    with VorlReader(path) as r:
        assert dict(r.items()) == {"before": {"i": 1}, "after": {"i": 2}}
    assert os.listdir(tmp_path) == ["built.vrls"]
