"""Store sets built and joined on a Dask cluster.

`to_store_set` routes a Dask DataFrame's rows (or a Bag's items) to shards
with Dask's own shuffle, builds each shard in one task and publishes the
set when every shard is written; `lookup` joins a DataFrame against a set.
Dask, pandas and pyarrow are needed by this module only: `import vorlstore`
works without them.
"""

from __future__ import annotations

import itertools
import threading
import warnings
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any

import dask
import dask.bag as db

with warnings.catch_warnings():
    # The toolchain's Dask has only its classic DataFrame, which warns on import.
    warnings.simplefilter("ignore", FutureWarning)
    import dask.dataframe as dd
import numpy as np
import pandas as pd
import pyarrow as pa

from .writer import OnDuplicate
from .sets import (
    KeySample,
    Publication,
    Routing,
    ShardInfo,
    StoreSet,
    build_counted_shard,
    encode_object,
    key_bytes,
    key_sample,
    open_storage,
    plan_routing,
)

__all__ = ["to_store_set", "lookup"]

# The computed shard number; the shuffle's sorted divisions make it the partition number.
SHARD_COLUMN = "_vorl_shard"

ValueFn = Callable[[Any], Any]


def to_store_set(
    collection: Any,
    directory: str,
    *,
    key: str | Callable[[Any], Any],
    shards: int = 8,
    partition: str = "hash",
    value: ValueFn | None = None,
    shuffle_method: str = "tasks",
    on_duplicate: OnDuplicate = "last",
    storage_options: dict[str, Any] | None = None,
) -> dict[str, Any]:
    """Build a store set from a Dask DataFrame or Bag and publish it in *directory*.

    For a DataFrame *key* names the key column and each row is stored as a
    dict of its columns (missing values as None); for a Bag *key* is a
    function of an item and the item is stored.  *value*, if given, maps the
    row or item to the object stored instead.  Keys must be str or bytes.  A
    key met again follows *on_duplicate*, in the collection's order (by
    partition, then row): the last row wins, the first does, or
    DuplicateKeyError names the key and nothing is published; the summary
    counts the ``duplicates``.  ``partition="hash"`` spreads keys evenly by a hash of their
    bytes; ``"range"`` samples the keys first and gives each shard one key
    range, so scans visit only the shards they need.

    Rows are encoded to MessagePack before the shuffle, so *shuffle_method*
    ("tasks" or "p2p", Dask's) only moves bytes; both measured alike here.

    Runs on the current Dask scheduler (a `distributed.Client` when one is
    active).  The set is published only after every shard is written; a
    failure or interrupt publishes nothing.  Returns the manifest with the
    directory and generation.
    """
    if isinstance(collection, dd.DataFrame):
        if not isinstance(key, str) or key not in collection.columns:
            raise KeyError(f"key must name a column of the DataFrame ({list(collection.columns)}), not {key!r}")
        keys = collection[key]  # sampling reads only this column
    elif isinstance(collection, db.Bag):
        if not callable(key):
            raise TypeError(f"key must be a function of a Bag item, not {key!r}")
        keys = collection.map(key)
    else:
        raise TypeError(f"expected a dask DataFrame or Bag, not {type(collection).__name__}")

    def samples(limit: int) -> tuple[KeySample, ...]:
        sample = dask.delayed(_sample_keys)
        found: tuple[KeySample, ...] = dask.compute(*[sample(p, limit) for p in keys.to_delayed()])
        return found

    routing = plan_routing(partition, shards, samples)  # checks both before any work
    # An s3:// set shares no disk: each shard is built in its worker's scratch
    # space and uploaded, and the pointer moves by a conditional write.
    with Publication(directory, open_storage(directory, storage_options)) as pub:
        if isinstance(key, str):  # a DataFrame's column, as checked above
            # Rows are stored as they are: Dask would otherwise turn object
            # columns (lists, bytes) into text while shuffling.
            with dask.config.set({"dataframe.convert-string": False}):
                tasks = _frame_shard_tasks(collection, key, routing, pub, value, shuffle_method, on_duplicate)
        else:
            tasks = _bag_shard_tasks(collection.to_delayed(), key, routing, pub, value, on_duplicate)
        built: Sequence[tuple[ShardInfo, int]] = dask.compute(*tasks)
        summary = pub.publish(routing, [info for info, _ in built])
        summary["duplicates"] = sum(n for _, n in built)
        return summary


def _sample_keys(keys: Any, limit: int) -> KeySample:
    # A pandas column converts to a list far faster than it iterates.
    return key_sample(keys.tolist() if isinstance(keys, pd.Series) else keys, limit)


# -- DataFrame: rows encoded and routed, shuffled on the shard column, one partition per shard
#
# Rows travel as MessagePack in Arrow binary columns: whatever the columns
# held, the shuffle moves two buffers per piece rather than a Python object
# per cell (a third of the CPU time of object columns, measured).

KEY_COLUMN = "_vorl_key"
RAW_COLUMN = "_vorl_raw"
# A row's place in the collection (partition number << 32 | row), which the
# shuffle does not keep and the duplicate rule needs.
ORDER_COLUMN = "_vorl_order"
_BINARY = pd.ArrowDtype(pa.binary())


def _binary_column(cells: list[bytes], index: Any) -> pd.Series:
    return pd.Series(pa.array(cells, type=pa.binary()), dtype=_BINARY, index=index)


def _frame_shard_tasks(df: Any, key: str, routing: Routing, pub: Publication, value: ValueFn | None,
                       shuffle_method: str, on_duplicate: OnDuplicate) -> list[Any]:
    meta = pd.DataFrame({
        SHARD_COLUMN: pd.Series([], dtype="int64"),
        KEY_COLUMN: pd.Series([], dtype=_BINARY),
        RAW_COLUMN: pd.Series([], dtype=_BINARY),
        ORDER_COLUMN: pd.Series([], dtype="int64"),
    })
    encoded = df.map_partitions(_encode_rows, key, routing, value, meta=meta, align_dataframes=False)
    routed = encoded.set_index(SHARD_COLUMN, divisions=list(range(routing.shards + 1)),
                               shuffle_method=shuffle_method)
    parts = routed.to_delayed()
    assert len(parts) == routing.shards
    build = dask.delayed(_build_frame_shard, pure=False)
    return [build(part, pub.shard_path(i), on_duplicate, _shard_options(pub)) for i, part in enumerate(parts)]


def _encode_rows(frame: pd.DataFrame, key: str, routing: Routing, value: ValueFn | None,
                 partition_info: dict[str, Any] | None = None) -> pd.DataFrame:
    kbs = [key_bytes(k) for k in frame[key].tolist()]
    number = partition_info["number"] if partition_info else 0
    records = _records(frame)
    objects = records if value is None else map(value, records)
    shard_of = routing.shard_of
    return pd.DataFrame({
        SHARD_COLUMN: pd.Series([shard_of(kb) for kb in kbs], dtype="int64", index=frame.index),
        KEY_COLUMN: _binary_column(kbs, frame.index),
        RAW_COLUMN: _binary_column([encode_object(o) for o in objects], frame.index),
        ORDER_COLUMN: pd.Series(np.arange(len(frame), dtype="int64") + (number << 32), index=frame.index),
    })


def _plain(cell: Any) -> Any:
    """A cell of an object column as MessagePack can hold it; missing is None."""
    if isinstance(cell, np.ndarray):  # how Parquet list columns arrive
        return [_plain(c) for c in cell] if cell.dtype == object else cell.tolist()
    if isinstance(cell, dict):  # Parquet structs hold arrays too
        return {k: _plain(v) for k, v in cell.items()}
    if isinstance(cell, np.generic):
        return cell.item()
    if cell is pd.NA or cell is pd.NaT or (isinstance(cell, float) and cell != cell):
        return None
    return cell


def _cells(column: pd.Series) -> list[Any]:
    cells: list[Any] = column.tolist()
    if column.dtype == object:
        return [_plain(c) for c in cells]
    missing = column.isna().to_numpy()
    if missing.any():
        return [None if m else c for c, m in zip(cells, missing.tolist(), strict=True)]
    return cells


def _records(frame: pd.DataFrame) -> list[dict[str, Any]]:
    """Each row as a dict, column by column (row-wise conversion is several times slower)."""
    names = list(frame.columns)
    columns = [_cells(frame.iloc[:, i]) for i in range(len(names))]
    return [dict(zip(names, row, strict=True)) for row in zip(*columns, strict=True)]


def _shard_options(pub: Publication) -> dict[str, Any] | None:
    return getattr(pub.storage, "options", None)


def _build_frame_shard(frame: pd.DataFrame, path: str, on_duplicate: OnDuplicate,
                       options: dict[str, Any] | None) -> tuple[ShardInfo, int]:
    kbs: list[bytes] = frame[KEY_COLUMN].tolist()
    if len(set(kbs)) != len(kbs):  # which row wins follows the collection's order
        frame = frame.sort_values(ORDER_COLUMN, kind="stable")
        kbs = frame[KEY_COLUMN].tolist()
    entries = zip(kbs, frame[RAW_COLUMN].tolist(), strict=True)
    return build_counted_shard(path, entries, raw=True, on_duplicate=on_duplicate, storage_options=options)


# -- Bag: every partition encoded and split by shard, each shard task gathers its pieces


def _bag_shard_tasks(parts: Sequence[Any], key: Callable[[Any], Any], routing: Routing, pub: Publication,
                     value: ValueFn | None, on_duplicate: OnDuplicate) -> list[Any]:
    split = dask.delayed(_split_items)
    pieces = [split(p, key, routing, value) for p in parts]
    build = dask.delayed(_build_bag_shard, pure=False)
    return [build([piece[i] for piece in pieces], pub.shard_path(i), on_duplicate, _shard_options(pub))
            for i in range(routing.shards)]


def _split_items(items: Iterable[Any], key: Callable[[Any], Any], routing: Routing,
                 value: ValueFn | None) -> list[list[tuple[bytes, bytes]]]:
    out: list[list[tuple[bytes, bytes]]] = [[] for _ in range(routing.shards)]
    for item in items:
        kb = key_bytes(key(item))
        out[routing.shard_of(kb)].append((kb, encode_object(item if value is None else value(item))))
    return out


def _build_bag_shard(pieces: Sequence[list[tuple[bytes, bytes]]], path: str,
                     on_duplicate: OnDuplicate, options: dict[str, Any] | None) -> tuple[ShardInfo, int]:
    # The pieces come in partition order, each in its items' order.
    entries = itertools.chain.from_iterable(pieces)
    return build_counted_shard(path, entries, raw=True, on_duplicate=on_duplicate, storage_options=options)


# -- Joining a DataFrame against a set

_open_sets: dict[str, StoreSet] = {}
_open_sets_lock = threading.Lock()
_OPEN_SETS_KEPT = 4


def _worker_set(reduced: tuple[Any, ...]) -> StoreSet:
    """The set *reduced* (a StoreSet's ``__reduce__()``) reopens, pinned; opened once per worker and kept."""
    # Keyed by text: storage options are a dict.
    cache_key = repr(reduced)
    with _open_sets_lock:
        found = _open_sets.get(cache_key)
        if found is None:
            if len(_open_sets) >= _OPEN_SETS_KEPT:
                # Not closed: another task thread may still be reading it; its
                # mappings go when the last reference does.
                del _open_sets[next(iter(_open_sets))]
            reopen, args = reduced
            found = _open_sets[cache_key] = reopen(*args)
        return found


_MISSING = object()


def lookup(
    df: Any,
    store_set: StoreSet,
    on: str,
    *,
    columns: Sequence[str] | Mapping[str, Any] | None = None,
    value: str = "value",
    how: str = "left",
) -> Any:
    """Join a Dask DataFrame against a store set on the key column *on*.

    Without *columns* the stored object goes into one object column named
    *value*; with *columns* (names, or names to dtypes) those fields of each
    stored dict become columns.  ``how="left"`` keeps rows whose key is not
    in the set (None there), ``"inner"`` drops them; a dtype given for a
    left join must hold missing values.  Every partition reads the
    generation *store_set* has open, even if a newer one is published
    meanwhile.  Dask's default text conversion casts object columns of
    collections made later from the result to str, so keep objects in typed
    *columns* or turn ``dataframe.convert-string`` off.
    """
    if how not in ("left", "inner"):
        raise ValueError(f"how must be 'left' or 'inner', not {how!r}")
    if on not in df.columns:
        raise KeyError(f"no column {on!r} to join on ({list(df.columns)})")
    wanted: dict[str, Any] = (
        {value: object} if columns is None
        else dict(columns) if isinstance(columns, Mapping)
        else dict.fromkeys(columns, object)
    )
    clashes = [c for c in wanted if c in df.columns]
    if clashes:
        raise ValueError(f"columns {clashes} already exist in the DataFrame")
    meta = df._meta.copy()
    for name, dtype in wanted.items():
        meta[name] = pd.Series([], dtype=dtype)
    reopen_args = store_set.__reduce__()
    fields = None if columns is None else list(wanted)
    # Dask would otherwise take an object column for text and cast the stored objects to str.
    with dask.config.set({"dataframe.convert-string": False}):
        return df.map_partitions(_lookup_partition, reopen_args, on, wanted, fields, how, meta=meta)


def _lookup_partition(frame: pd.DataFrame, reopen_args: tuple[Any, ...], on: str, wanted: dict[str, Any],
                      fields: list[str] | None, how: str) -> pd.DataFrame:
    store = _worker_set(reopen_args)
    keys = frame[on].tolist()
    usable = [i for i, k in enumerate(keys) if isinstance(k, (str, bytes))]
    found: list[Any] = [_MISSING] * len(keys)
    for i, obj in zip(usable, store.get_many([keys[i] for i in usable], _MISSING), strict=True):
        found[i] = obj
    if how == "inner":
        hit = [obj is not _MISSING for obj in found]
        frame = frame[hit]
        found = [obj for obj in found if obj is not _MISSING]
    out = frame.copy()
    for name, dtype in wanted.items():
        if fields is None:
            cells = [None if obj is _MISSING else obj for obj in found]
        else:
            cells = [obj.get(name) if isinstance(obj, dict) else None for obj in found]
        out[name] = pd.Series(cells, index=frame.index, dtype=object).astype(dtype)
    return out
