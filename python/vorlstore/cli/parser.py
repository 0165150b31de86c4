"""The command line's arguments: one subcommand per command, help on every argument."""

from __future__ import annotations

import argparse
from collections.abc import Callable

from .. import __version__
from ..sets import PARTITIONS
from .build import cmd_build
from .inputs import FORMATS, parse_delimiter
from .query import cmd_dump, cmd_get, cmd_index, cmd_keys, cmd_merge, cmd_stats, cmd_verify

_EPILOG = """exit status:
  0    done
  1    error (a missing, unreadable or corrupt file, bad input, ...)
  2    usage error (unknown command or option, missing argument)
  3    key not found (get)
  130  interrupted (Ctrl-C); a build then leaves its target untouched

FILE may be a store set's directory for get, keys, stats, verify and dump.
"""

# Every shard of a set being built holds a file open until the commit.
MAX_SHARDS = 1024


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="vorlstore", description="Build and query .vrls stores.", epilog=_EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[[argparse.Namespace], int], help: str) -> argparse.ArgumentParser:
        c = sub.add_parser(name, help=help, description=help, epilog=_EPILOG,
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        c.set_defaults(run=run)
        return c

    def store_arg(c: argparse.ArgumentParser, sets: bool = True) -> None:
        what = "the .vrls store, or a store set's directory, to read" if sets else "the .vrls store to read"
        c.add_argument("file", metavar="FILE", help=what)

    b = command("build", cmd_build, "build a store (or with --shards, a store set) from JSON Lines, CSV or "
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

    g = command("get", cmd_get, "print the object stored under KEY as JSON")
    store_arg(g)
    g.add_argument("key", metavar="KEY", help="the key to look up (exit status 3 when absent)")

    k = command("keys", cmd_keys, "list keys in sorted order")
    store_arg(k)
    k.add_argument("--prefix", metavar="P", help="only keys that start with P")
    k.add_argument("--json", action="store_true", help="one JSON string per line instead of plain text")

    s = command("stats", cmd_stats, "print file metadata as JSON; for a set, its figures and a line per shard")
    store_arg(s)
    s.add_argument("--json", action="store_true",
                   help="for a set, one JSON object with every shard's metadata (a file's stats are JSON anyway)")

    v = command("verify", cmd_verify, "check every checksum")
    store_arg(v)
    v.add_argument("--json", action="store_true", help="print the result as a JSON object")

    d = command("dump", cmd_dump, "print every key and object as JSON Lines")
    store_arg(d)
    d.add_argument("--prefix", metavar="P", help="only keys that start with P")

    m = command("merge", cmd_merge, "merge stores into one; a later store wins on a shared key")
    m.add_argument("output", metavar="OUTPUT", help="the .vrls file to write (may be one of the stores)")
    m.add_argument("stores", metavar="STORE", nargs="+", help="the stores to merge, in increasing priority")

    i = command("index", cmd_index, "add the on-disk hash index to a store, atomically")
    store_arg(i, sets=False)
    i.add_argument("--output", metavar="OUTPUT", help="write here instead of replacing FILE")
    return p


def _delimiter(text: str) -> str:
    try:
        return parse_delimiter(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _shard_count(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = 0
    if not 1 <= n <= MAX_SHARDS:
        raise argparse.ArgumentTypeError(f"must be a whole number from 1 to {MAX_SHARDS}, not {text!r}")
    return n
