"""The command line's arguments: one subcommand per command, help on every argument."""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import cast

from .. import __version__
from ..sets.routing import PARTITIONS
from .inputs import FORMATS, parse_delimiter

_EPILOG = """exit status:
  0    done
  1    error (a missing, unreadable or corrupt file, bad input, ...)
  2    usage error (unknown command or option, missing argument)
  3    key not found (get)
  130  interrupted (Ctrl-C); a build then leaves its target untouched

FILE may be a store set's directory for get, keys, range, stats, verify and dump.
"""

# Every shard of a set being built holds a file open until the commit.
MAX_SHARDS = 1024


def _runner(name: str) -> Callable[[argparse.Namespace], int]:
    """The command's function, imported only when it runs: a query need not import what a build uses."""

    def run(args: argparse.Namespace) -> int:
        from importlib import import_module

        module = import_module(".build" if name == "build" else ".query", __package__)
        return cast(Callable[[argparse.Namespace], int], getattr(module, f"cmd_{name}"))(args)

    return run


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="vorlstore", description="Build and query .vrls stores.", epilog=_EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help: str) -> argparse.ArgumentParser:
        c = sub.add_parser(name, help=help, description=help, epilog=_EPILOG,
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        c.set_defaults(run=_runner(name))
        return c

    def json_arg(c: argparse.ArgumentParser, what: str) -> None:
        c.add_argument("--json", action="store_true", help=f"JSON Lines: {what}; NaN and infinities as null")

    def store_arg(c: argparse.ArgumentParser, sets: bool = True) -> None:
        what = "the .vrls store, or a store set's directory, to read" if sets else "the .vrls store to read"
        c.add_argument("file", metavar="FILE", help=what)

    b = command("build", "build a store (or with --shards, a store set) from JSON Lines, CSV or "
                                     "Parquet records")
    b.add_argument("input", metavar="INPUT", help="the records: a file, or - for standard input")
    b.add_argument("output", metavar="OUTPUT",
                   help="the .vrls file to write (replaced atomically); with --shards, the set's directory: "
                        "new, empty or an existing set, whose next generation it publishes atomically")
    b.add_argument("--key", action="append", required=True, metavar="FIELD",
                   help="field whose value becomes a key (repeatable; each record is stored once, in a set "
                        "once in each shard its keys route to)")
    b.add_argument("--format", choices=FORMATS,
                   help="input format (default: from INPUT's extension, else jsonl); a further .gz, .bz2, .xz "
                        "or .zst extension decompresses the input as it is read")
    b.add_argument("--on-duplicate", choices=("last", "first", "error"), default="last",
                   help="a key that comes again: the last record wins (default), the first stays, or the build "
                        "fails naming the line; the summary counts the duplicates")
    b.add_argument("--delimiter", type=_delimiter, default=",", metavar="C",
                   help="CSV field delimiter: one character, or \\t for a tab (default: ,)")
    b.add_argument("--allow-empty-keys", action="store_true",
                   help="store an empty key field (\"\") as the empty key instead of refusing the record")
    b.add_argument("--allow-ragged", action="store_true",
                   help="accept CSV rows whose field count differs from the header's: missing fields are left "
                        "out of the record, extra values dropped (default: refuse, naming the line)")
    b.add_argument("--omit-nulls", action="store_true",
                   help="leave fields whose value is null (Parquet nulls, JSON null) out of the stored record "
                        "(default: every field is kept)")
    b.add_argument("--compress", action="store_true",
                   help="store each record compressed (zstd, with a dictionary trained on a sample of the "
                        "store's records, or of each shard's); readers decompress transparently")
    b.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="show progress on standard error (default: for large inputs on a terminal)")
    b.add_argument("--shards", type=_shard_count, metavar="N",
                   help=f"write a store set of N shard stores (1 to {MAX_SHARDS}; 1 makes a set of one shard), "
                        "not one file; an object whose keys route to several shards is stored in each")
    b.add_argument("--partition", choices=PARTITIONS,
                   help="with --shards, how keys are routed: hash (default) spreads them evenly in one pass; "
                        "range gives each shard one key range, so prefix scans read only the shards in reach; "
                        "it reads INPUT twice, keeping a sample of the keys from the first pass, so INPUT "
                        "must be a regular file (not standard input, a pipe or a FIFO)")
    b.add_argument("--allow-empty", action="store_true",
                   help="publish an empty store (or set) when INPUT holds no records; without it that is an error "
                        "and the target stays as it was")

    json_arg(b, "print the build summary (with the records read and the seconds taken) as one JSON object")

    g = command("get", "print the object stored under each KEY as one line of JSON")
    store_arg(g)
    g.add_argument("keys", metavar="KEY", nargs="+",
                   help="a key to look up; - reads keys from standard input, one a line (exit status 3 when "
                        "any is absent: each absent key is named on standard error)")
    json_arg(g, 'one {"key": K, "value": OBJECT} object a line, so that each line names its key')

    k = command("keys", "list keys in sorted order")
    store_arg(k)
    k.add_argument("--prefix", metavar="P", help="only keys that start with P")
    json_arg(k, 'one {"key": K} object a line instead of plain text (keys that are not UTF-8 stay exact)')

    r = command("range", "print the keys from START up to (not including) STOP with their objects, "
                                     "in key order, as JSON Lines")
    store_arg(r)
    r.add_argument("--start", metavar="START", help="the first key (default: the smallest)")
    r.add_argument("--stop", metavar="STOP", help="the key to stop before (default: past the largest)")
    r.add_argument("--reverse", action="store_true", help="largest key first")
    r.add_argument("--limit", type=_count, metavar="N", help="at most N keys")
    json_arg(r, 'the output is JSON Lines anyway: {"key": K, "value": OBJECT}')

    s = command("stats", "print a file's or a set's figures (a set: a line per shard too)")
    store_arg(s)
    json_arg(s, "one JSON object: a file's metadata, or a set's with every shard's")

    v = command("verify", "check every checksum")
    store_arg(v)
    json_arg(v, "print the result as one JSON object")

    d = command("dump", "print every key and object as JSON Lines")
    store_arg(d)
    d.add_argument("--prefix", metavar="P", help="only keys that start with P")
    json_arg(d, 'the output is JSON Lines anyway: {"key": K, "value": OBJECT}')

    m = command("merge", "merge stores into one; a later store wins on a shared key")
    m.add_argument("output", metavar="OUTPUT", help="the .vrls file to write (may be one of the stores)")
    m.add_argument("stores", metavar="STORE", nargs="+", help="the stores to merge, in increasing priority")
    json_arg(m, "print the build summary as one JSON object")

    i = command("index", "add the on-disk hash index to a store, atomically")
    store_arg(i, sets=False)
    i.add_argument("--output", metavar="OUTPUT", help="write here instead of replacing FILE")
    json_arg(i, "print the build summary as one JSON object")
    return p


def _delimiter(text: str) -> str:
    try:
        return parse_delimiter(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _count(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"must be a whole number, not {text!r}")
    return int(text)


def _shard_count(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = 0
    if not 1 <= n <= MAX_SHARDS:
        raise argparse.ArgumentTypeError(f"must be a whole number from 1 to {MAX_SHARDS}, not {text!r}")
    return n
