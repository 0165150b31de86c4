"""``vorlstore build``: records from a file or a pipe into a store, or with ``--shards`` into a set.

Records stream into temporary files; a bad record (or Ctrl-C) discards
them, so the target is only ever replaced whole.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import stat
import sys
import time
from collections.abc import Callable, Iterator
from typing import Any, cast

from .. import Error, SetBuilder, StoreBuilder
from ..remote import is_url
from ..sets import KeySample, foreign_entries, is_store_set, key_bytes, key_sample, plan_routing
from ..writer import temporary_path
from .inputs import InputError, InputOptions, RecordSource
from .output import EXIT_OK, EXIT_USAGE, CommandError, dumps, os_text, report, same_file, shown
from .progress import Progress

# Inputs at least this large show progress when standard error is a terminal.
_PROGRESS_MIN_BYTES = 8 << 20


def _check_twice_readable(source: str) -> None:
    """Refuses an input that cannot be read twice, as range partitioning must; never opens it."""
    if source == "-":
        raise CommandError("--partition range reads the input twice; give a file, not standard input", EXIT_USAGE)
    try:
        mode = os.stat(source).st_mode  # opening a FIFO could wait for a writer forever
    except OSError as e:
        raise CommandError(f"{source}: cannot read: {e.strerror}") from None
    if not stat.S_ISREG(mode):
        kind = ("a pipe" if stat.S_ISFIFO(mode) else "a directory" if stat.S_ISDIR(mode)
                else "a socket" if stat.S_ISSOCK(mode) else "a device")
        raise CommandError(f"{source}: --partition range reads the input twice; give a regular file, not {kind}",
                           EXIT_USAGE)


def _input_options(args: argparse.Namespace) -> InputOptions:
    return InputOptions(keys=tuple(args.key), format=args.format, delimiter=args.delimiter,
                        empty_keys=args.allow_empty_keys, ragged=args.allow_ragged, omit_nulls=args.omit_nulls)


def _show_progress(args: argparse.Namespace, total: int | None) -> Progress:
    show = args.progress if args.progress is not None else (
        sys.stderr is not None and sys.stderr.isatty() and (total or 0) >= _PROGRESS_MIN_BYTES)
    return Progress(total, enabled=bool(show))


def _usable_directory(path: str, what: str) -> None:
    """Refuses *path* when the directory it would be written in is missing or read-only."""
    parent = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(parent):
        raise CommandError(f"{path}: cannot build {what}: the directory {parent} does not exist")
    if not os.access(parent, os.W_OK | os.X_OK):
        raise CommandError(f"{path}: cannot build {what}: the directory {parent} is not writable")


def _check_store_target(path: str) -> None:
    """Refuses, before any input is read, a target no store file could be published at."""
    if os.path.isdir(path):
        raise CommandError(f"{path}: cannot build a store: it is a directory; a store is a file (a store set, "
                           f"built with --shards N, is a directory)")
    _usable_directory(path, "a store")


def _check_set_target(path: str) -> None:
    """Refuses a target that building a set there would clobber or mix with."""
    if os.path.isdir(path):
        foreign = foreign_entries(path)
        if foreign:
            listed = ", ".join(foreign[:3]) + (", ..." if len(foreign) > 3 else "")
            raise CommandError(f"{path}: cannot build a store set: the directory holds files that are not "
                               f"part of one ({listed}); choose a new or empty directory")
        if not os.access(path, os.W_OK | os.X_OK):
            raise CommandError(f"{path}: cannot build a store set: the directory is not writable")
    elif os.path.lexists(path):
        raise CommandError(f"{path}: cannot build a store set: a file is in the way (a set is a directory); "
                           f"remove it or choose another path")
    else:
        _usable_directory(path, "a store set")


def _key_sampler(args: argparse.Namespace) -> Callable[[int], list[KeySample]]:
    """A first pass over the input that keeps only a sample of the keys, for range boundaries."""

    def keys(source: RecordSource, progress: Progress) -> Iterator[bytes]:
        for count, (where, _, record_keys) in enumerate(source, 1):
            progress.update(source.position, count)
            for key in record_keys:
                try:
                    yield key_bytes(key)
                except Error as e:
                    raise InputError(f"{where}: {e}") from None

    def sample(limit: int) -> list[KeySample]:
        with RecordSource(args.input, _input_options(args)) as source:
            progress = _show_progress(args, source.size)
            with contextlib.closing(progress):
                return [key_sample(keys(source, progress), limit)]

    return sample


def cmd_build(args: argparse.Namespace) -> int:
    source, target = args.input, args.output
    url = target if is_url(target) else None
    target = shown(target)
    if args.partition is not None and args.shards is None:
        raise CommandError("--partition needs --shards", EXIT_USAGE)
    if args.partition == "range":
        _check_twice_readable(source)
    if source != "-" and not is_url(target) and same_file(source, target):
        raise CommandError(f"{target}: the output is the input file; choose another output path")
    if url is not None:
        pass  # object storage has no directories to check; the upload reports what it refuses
    elif args.shards is not None:
        _check_set_target(target)
    elif is_store_set(target):
        raise CommandError(f"{target}: is a store set; rebuild it with --shards N")
    else:
        _check_store_target(target)
    name = "<stdin>" if source == "-" else source
    started = time.monotonic()
    builder: StoreBuilder | SetBuilder | None = None
    summary: dict[str, Any] | None = None
    records = 0
    try:
        with RecordSource(source, _input_options(args)) as reader:
            compression = "zstd" if args.compress else None
            if args.shards is None:
                builder = StoreBuilder(url or target, datetime=True, on_duplicate=args.on_duplicate,
                                       compression=compression)
            else:
                routing = plan_routing(args.partition or "hash", args.shards, _key_sampler(args))
                builder = SetBuilder(url or target, routing, datetime=True, on_duplicate=args.on_duplicate,
                                     compression=compression)
            progress = _show_progress(args, reader.size)
            with builder, contextlib.closing(progress):
                for where, record, keys in reader:
                    try:
                        builder.add(record, *keys)
                    except OSError:
                        raise  # the target's failure (a full disk), not the record's
                    except (Error, ValueError) as e:  # ValueError: too deep for the encoder
                        raise InputError(f"{where}: {e}") from None
                    records += 1
                    progress.update(reader.position, records)
                if records == 0 and not args.allow_empty:
                    raise InputError("no records, so nothing was built (--allow-empty builds an empty store)")
                summary = cast(dict[str, Any], builder.commit())
    except InputError as e:
        raise CommandError(f"{name}: {e}") from None
    except KeyboardInterrupt:
        # A set whose pointer was already swapped is built: it stands, and so does its report.
        summary = summary or (builder.summary if isinstance(builder, SetBuilder) else None)
        if summary is None:
            raise
    except OSError as e:
        if args.shards is not None or url is not None:
            raise CommandError(f"{target}: cannot build: {os_text(e)}") from None
        # The builder removes its temporary file; say so if one is still there.
        tmp = temporary_path(target)
        left = f"; the partial file {tmp} was left behind" if os.path.exists(tmp) else ""
        raise CommandError(f"{target}: cannot build: {os_text(e)}{left}") from None
    seconds = time.monotonic() - started
    if args.json:
        report(dumps({**summary, "records": records, "seconds": seconds}) + "\n", target)
    elif args.shards is None:
        again = summary["duplicates"]
        kept = f" ({again} duplicate key{'s' if again != 1 else ''}, the {args.on_duplicate} kept)" if again else ""
        report(f"{target}: {summary['objects']} objects, {summary['keys']} keys{kept}, {summary['bytes']:,} bytes "
               f"from {records} records; read and written in {seconds:.2f} s\n", target)
    else:
        routing_kind = summary["routing"]["kind"]
        report(f"{target}: {records} records, {summary['keys']} keys in {len(summary['shards'])} shards "
               f"({routing_kind}), {summary['bytes']:,} bytes, generation {summary['generation']}; "
               f"read and written in {seconds:.2f} s\n", target)
    return EXIT_OK
