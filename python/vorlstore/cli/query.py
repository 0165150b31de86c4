"""The commands that read stores and sets (get, keys, range, stats, verify, dump) and those that rewrite
files (merge, index).

With ``--json`` every command writes JSON Lines: one JSON object a line,
``{"key": ..., "value": ...}`` for what holds objects, and one object for a
report (stats, verify, a summary).  Output is strict JSON: NaN and the
infinities are written as null.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Iterator
from itertools import islice
from typing import Any, cast

from ..reader import VorlReader
from ..remote import is_url, scheme
from ..sets.manifest import POINTER
from ..sets.publication import is_store_set
from ..sets.reading import StoreSet
from .output import (EXIT_NOT_FOUND, EXIT_OK, CommandError, dumps, emit, fail, json_line, report_built, same_file,
                     shown, stdout)


def _open(path: str, verify: bool = False) -> VorlReader | StoreSet:
    """The store file or store set at *path*; a set is a directory with a pointer file.

    Opens are cheap: structure only, and every record read is checked against
    its own CRC; `verify` checks the whole file itself.

    A URL names a store file in object storage, or in S3 a set's prefix, read
    with the standard environment's credentials (AWS_* for S3).
    """
    if is_url(path):
        try:
            return VorlReader(path, verify=verify)
        except FileNotFoundError as missing:
            # A set by URL is a prefix holding CURRENT, not an object.
            if scheme(path) not in ("s3", "s3a"):
                raise
            try:
                return StoreSet(path, verify=verify)
            except FileNotFoundError:
                raise missing from None
    if os.path.isdir(path):
        if not is_store_set(path):
            raise CommandError(f"{path}: a directory, but not a store set (it has no {POINTER} file)")
        return StoreSet(path, verify=verify)
    return VorlReader(path, verify=verify)


# Keys looked up together: one batched lookup each, without holding all of standard input.
_GET_BATCH = 1024


def _keys_wanted(keys: list[str]) -> Iterator[str]:
    """The keys as given; ``-`` stands for those on standard input, one a line (blank lines skipped)."""
    for key in keys:
        if key != "-":
            yield key
            continue
        for line in sys.stdin.buffer:
            # Bytes that are not UTF-8 become the str form that stands for them, as on the command line.
            text = line.rstrip(b"\n").rstrip(b"\r").decode("utf-8", "surrogateescape")
            if text:
                yield text


def cmd_get(args: argparse.Namespace) -> int:
    missing: Any = object()
    absent = 0
    with _open(args.file) as r:
        out = stdout()
        wanted = _keys_wanted(args.keys)
        while batch := list(islice(wanted, _GET_BATCH)):
            for key, obj in zip(batch, r.get_many(batch, missing)):
                if obj is missing:
                    absent += 1
                    fail(f"{shown(args.file)}: key not found: {key!r}", EXIT_NOT_FOUND)
                else:
                    out.write(dumps({"key": key, "value": obj} if args.json else obj) + "\n")
    return EXIT_NOT_FOUND if absent else EXIT_OK


def cmd_keys(args: argparse.Namespace) -> int:
    with _open(args.file) as r:
        keys = iter(r) if args.prefix is None else r.prefix_keys(args.prefix)
        out = stdout()
        if args.json:
            for key in keys:
                out.write(json_line({"key": key}) + "\n")
        else:
            for key in keys:
                out.write(key + "\n")
    return EXIT_OK


def cmd_range(args: argparse.Namespace) -> int:
    with _open(args.file) as r:
        out = stdout()
        for key, obj in islice(r.range(args.start, args.stop, reverse=args.reverse), args.limit):
            out.write(dumps({"key": key, "value": obj}) + "\n")
    return EXIT_OK


def cmd_stats(args: argparse.Namespace) -> int:
    with _open(args.file, verify=False) as r:
        stats = cast(dict[str, Any], r.stats())
        if args.json:
            emit(stats)
        elif isinstance(r, StoreSet):
            stdout().write(_set_stats_text(args.file, stats))
        else:
            stdout().write(_file_stats_line(stats) + "\n")
    return EXIT_OK


def _file_stats_line(stats: dict[str, Any]) -> str:
    index = "with its hash index" if stats.get("hash_index") else "without a hash index"
    return (f"{stats['path']}: store file, version {stats['version']}, {stats['num_keys']} keys, "
            f"{stats['num_objects']} objects, {stats['file_size']:,} bytes, crc32 {stats['file_crc32']}, {index}"
            + _compression_text(stats))


def _compression_text(stats: dict[str, Any]) -> str:
    """What a line of stats adds for a compressed store: nothing for another."""
    if not (c := stats.get("compression")):
        return ""
    about = "about " if c.get("estimated") else ""
    return (f", {c['codec']}: {c['stored_bytes']:,} bytes of records stored for {about}{c['decoded_bytes']:,} "
            f"decoded ({c['ratio']:.2f}x), {c['dictionary_size']:,}-byte dictionary")


def _set_stats_text(path: str, stats: dict[str, Any]) -> str:
    routing = stats["routing"]
    shards = stats["shards"]
    how = f"hash ({routing['hash']})" if routing["kind"] == "hash" else "key range"
    lines = [f"{path}: store set, generation {stats['generation']}, {len(shards)} shards by {how}, "
             f"{stats['num_keys']} keys, {stats['num_objects']} objects, {stats['bytes']:,} bytes"]
    bounds: list[str | None] = [None] * (len(shards) + 1)
    if routing["kind"] == "range":
        bounds[1:-1] = [_key_repr(b) for b in routing["boundaries"]]
    for i, shard in enumerate(shards):
        line = (f"  {os.path.basename(shard['path'])}: {shard['num_keys']} keys, {shard['num_objects']} objects, "
                f"{shard['file_size']:,} bytes, crc32 {shard['file_crc32']}")
        if routing["kind"] == "range":
            line += f", keys [{bounds[i] or 'start'}, {bounds[i + 1] or 'end'})"
        lines.append(line + _compression_text(shard))
    return "\n".join(lines) + "\n"


def _key_repr(hex_key: str) -> str:
    return repr(bytes.fromhex(hex_key).decode("utf-8", "surrogateescape"))


def cmd_verify(args: argparse.Namespace) -> int:
    with _open(args.file) as r:
        r.verify()
        stats = r.stats()
        report: dict[str, Any] = {"path": shown(args.file), "ok": True, "num_keys": stats["num_keys"],
                                  "num_objects": stats["num_objects"]}
        what = f"{stats['num_keys']} keys, {stats['num_objects']} objects"
        if isinstance(r, StoreSet):
            report.update(shards=r.routing.shards, generation=r.generation)
            what = f"a set of {r.routing.shards} shards, generation {r.generation}, {what}"
        if args.json:
            emit(report)
        else:
            stdout().write(f"{shown(args.file)}: OK ({what})\n")
    return EXIT_OK


def cmd_dump(args: argparse.Namespace) -> int:
    with _open(args.file) as r:
        out = stdout()
        items = r.items() if args.prefix is None else r.prefix(args.prefix)
        for key, obj in items:
            out.write(dumps({"key": key, "value": obj}) + "\n")  # JSON Lines with or without --json
    return EXIT_OK


def _refuse_directory(path: str, command: str) -> None:
    if os.path.isdir(path):
        what = "a store set" if is_store_set(path) else "a directory"
        raise CommandError(f"{path}: is {what}; {command} takes store files")


def cmd_merge(args: argparse.Namespace) -> int:
    for path in args.stores:
        _refuse_directory(path, "merge")
    from ..writer import merge

    summary = merge(args.output, *args.stores)
    report_built(summary, args.json)
    return EXIT_OK


def cmd_index(args: argparse.Namespace) -> int:
    _refuse_directory(args.file, "index")  # a set's shards are built with the hash index
    from ..writer import add_hash_index, merge

    if args.output is None or same_file(args.output, args.file):
        summary = add_hash_index(args.file)
    else:
        summary = merge(args.output, args.file)
    report_built(summary, args.json)
    return EXIT_OK
