"""``vorlstore build``: records from a file or a pipe into a store, or with ``--shards`` into a set.

Records stream into temporary files; a bad record (or Ctrl-C) discards
them, so the target is only ever replaced whole.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
import time
from collections.abc import Callable, Iterator
from typing import IO, Any, cast

from .. import Error, SetBuilder, StoreBuilder
from ..sets import KeySample, foreign_entries, is_store_set, key_bytes, key_sample, plan_routing
from ..writer import BuildSummary, temporary_path
from .inputs import READERS, InputError, guess_format
from .output import EXIT_OK, EXIT_USAGE, CommandError, built_line, os_text, report
from .progress import Progress

# Inputs at least this large show progress when standard error is a terminal.
_PROGRESS_MIN_BYTES = 8 << 20


def _open_input(path: str) -> IO[bytes]:
    if path == "-":
        return sys.stdin.buffer
    return open(path, "rb")


def same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


def _records(args: argparse.Namespace, stream: IO[bytes], progress: Progress) -> Iterator[tuple[str, dict[str, Any]]]:
    fmt = args.format or guess_format(args.input)
    if fmt == "parquet" and args.input == "-":
        import io

        stream = io.BytesIO(stream.read())
    count = 0
    for where, record, done in READERS[fmt](stream):
        count += 1
        progress.update(done, count)
        if not isinstance(record, dict):
            raise InputError(f"{where}: expected an object (a JSON object, a CSV row), not {type(record).__name__}")
        yield where, record


def _key_text(value: Any, field: str, where: str) -> str:
    if value is None:
        raise InputError(f"{where}: key field '{field}' is missing")
    if isinstance(value, str):
        return value
    if isinstance(value, (bool, int, float)):
        return json.dumps(value)
    raise InputError(f"{where}: key field '{field}' must be a string or a number")


def _record_keys(args: argparse.Namespace, record: dict[str, Any], where: str) -> list[str]:
    return [_key_text(record.get(field), field, where) for field in args.key]


def _show_progress(args: argparse.Namespace, total: int | None) -> Progress:
    show = args.progress if args.progress is not None else (
        sys.stderr is not None and sys.stderr.isatty() and (total or 0) >= _PROGRESS_MIN_BYTES)
    return Progress(total, enabled=bool(show))


def _check_set_target(path: str) -> None:
    """Refuses a target that building a set there would clobber or mix with."""
    if os.path.isdir(path):
        foreign = foreign_entries(path)
        if foreign:
            shown = ", ".join(foreign[:3]) + (", ..." if len(foreign) > 3 else "")
            raise CommandError(f"{path}: cannot build a store set: the directory holds files that are not "
                               f"part of one ({shown}); choose a new or empty directory")
    elif os.path.lexists(path):
        raise CommandError(f"{path}: cannot build a store set: a file is in the way (a set is a directory); "
                           f"remove it or choose another path")
    else:
        parent = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(parent):
            raise CommandError(f"{path}: cannot build a store set: the directory {parent} does not exist")


def _key_sampler(args: argparse.Namespace) -> Callable[[int], list[KeySample]]:
    """A first pass over the input that keeps only a sample of the keys, for range boundaries."""

    def keys(stream: IO[bytes], progress: Progress) -> Iterator[bytes]:
        for where, record in _records(args, stream, progress):
            for key in _record_keys(args, record, where):
                try:
                    yield key_bytes(key)
                except Error as e:
                    raise InputError(f"{where}: {e}") from None

    def sample(limit: int) -> list[KeySample]:
        with open(args.input, "rb") as stream:
            progress = _show_progress(args, os.fstat(stream.fileno()).st_size)
            with contextlib.closing(progress):
                return [key_sample(keys(stream, progress), limit)]

    return sample


def cmd_build(args: argparse.Namespace) -> int:
    source, target = args.input, args.output
    if args.partition is not None and args.shards is None:
        raise CommandError("--partition needs --shards", EXIT_USAGE)
    if args.partition == "range" and source == "-":
        raise CommandError("--partition range reads the input twice; give a file, not standard input", EXIT_USAGE)
    if source != "-" and same_file(source, target):
        raise CommandError(f"{target}: the output is the input file; choose another output path")
    if args.shards is not None:
        _check_set_target(target)
    elif is_store_set(target):
        raise CommandError(f"{target}: is a store set; rebuild it with --shards N")
    try:
        stream = _open_input(source)
    except OSError as e:
        raise CommandError(f"{source}: cannot read: {e.strerror}") from None
    name = "<stdin>" if source == "-" else source
    started = time.monotonic()
    builder: StoreBuilder | SetBuilder | None = None
    summary: dict[str, Any] | None = None
    records = 0
    try:
        with stream if source != "-" else contextlib.nullcontext(stream):
            if args.shards is None:
                builder = StoreBuilder(target, datetime=True)
            else:
                routing = plan_routing(args.partition or "hash", args.shards, _key_sampler(args))
                builder = SetBuilder(target, routing, datetime=True)
            progress = _show_progress(args, None if source == "-" else os.fstat(stream.fileno()).st_size)
            with builder, contextlib.closing(progress):
                for where, record in _records(args, stream, progress):
                    keys = _record_keys(args, record, where)
                    try:
                        builder.add(record, *keys)
                    except OSError:
                        raise  # the target's failure (a full disk), not the record's
                    except Error as e:
                        raise InputError(f"{where}: {e}") from None
                    records += 1
                summary = cast(dict[str, Any], builder.commit())
    except InputError as e:
        raise CommandError(f"{name}: {e}") from None
    except KeyboardInterrupt:
        # A set whose pointer was already swapped is built: it stands, and so does its report.
        summary = summary or (builder.summary if isinstance(builder, SetBuilder) else None)
        if summary is None:
            raise
    except OSError as e:
        if args.shards is not None:
            raise CommandError(f"{target}: cannot build: {os_text(e)}") from None
        # The builder removes its temporary file; say so if one is still there.
        tmp = temporary_path(target)
        left = f"; the partial file {tmp} was left behind" if os.path.exists(tmp) else ""
        raise CommandError(f"{target}: cannot build: {os_text(e)}{left}") from None
    if args.shards is None:
        report(built_line(cast(BuildSummary, summary)), summary["path"])
    else:
        routing_kind = summary["routing"]["kind"]
        report(f"{target}: {records} records, {summary['keys']} keys in {len(summary['shards'])} shards "
                f"({routing_kind}), {summary['bytes']:,} bytes in {time.monotonic() - started:.2f} s, "
                f"generation {summary['generation']}\n", target)
    return EXIT_OK
