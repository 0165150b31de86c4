"""The ``vorlstore`` command line: build stores and store sets, and query them.

Every failure is one line on standard error naming the file (and the line,
row or key), never a traceback.  Exit codes: 0 done, 1 error, 2 usage,
3 key not found, 130 interrupted.
"""

from __future__ import annotations

import argparse
import base64
import contextlib
import json
import os
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any, cast

from . import __version__, _engine
from ._inputs import FORMATS, READERS, InputError, guess_format
from ._progress import Progress
from .errors import Error
from .reader import VorlReader
from .remote import display, is_url
from .builder import StoreBuilder
from .storeset import (
    POINTER,
    SAMPLE_PER_SHARD,
    HashRouting,
    RangeRouting,
    SetBuilder,
    StoreSet,
    foreign_entries,
    is_store_set,
    key_bytes,
    key_sample,
    range_boundaries,
)
from .writer import BuildSummary, merge

EXIT_OK, EXIT_ERROR, EXIT_USAGE, EXIT_NOT_FOUND, EXIT_INTERRUPTED = 0, 1, 2, 3, 130

_EPILOG = """exit status:
  0    done
  1    error (a missing, unreadable or corrupt file, bad input, ...)
  2    usage error (unknown command or option, missing argument)
  3    key not found (get)
  130  interrupted (Ctrl-C); a build then leaves its target untouched

FILE may be a store set's directory for get, keys, stats, verify and dump.
"""

# Inputs at least this large show progress when standard error is a terminal.
_PROGRESS_MIN_BYTES = 8 << 20
# Every shard of a set being built holds a file open until the commit.
MAX_SHARDS = 1024


class CommandError(Exception):
    """An expected failure, reported as one line without a traceback."""

    def __init__(self, message: str, code: int = EXIT_ERROR) -> None:
        super().__init__(message)
        self.code = code


# -- Output


def _stdout() -> IO[str]:
    if sys.stdout is None:
        raise CommandError("standard output is closed")
    return sys.stdout


def _jsonable(obj: Any) -> Any:
    """*obj* with what JSON cannot hold made explicit: bytes as base64, other map keys as pairs."""
    if isinstance(obj, dict):
        if all(isinstance(k, str) for k in obj):
            return {k: _jsonable(v) for k, v in obj.items()}
        return {"$map": [[_jsonable(k), _jsonable(v)] for k, v in obj.items()]}
    if isinstance(obj, (list, tuple)):
        return [_jsonable(v) for v in obj]
    if isinstance(obj, (bytes, bytearray, memoryview)):
        return {"$base64": base64.b64encode(bytes(obj)).decode("ascii")}
    if isinstance(obj, (str, int, float, bool)) or obj is None:
        return obj
    if hasattr(obj, "isoformat"):
        return {"$datetime": obj.isoformat()}
    return {"$repr": repr(obj)}


def _json_line(obj: Any) -> str:
    """*obj* as JSON text, readable; lone surrogates (keys that are not UTF-8) as \\u escapes."""
    text = json.dumps(obj, ensure_ascii=False)
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        text = json.dumps(obj)
    return text


def _dumps(obj: Any) -> str:
    return _json_line(_jsonable(obj))


# -- Commands


def _open_input(path: str) -> IO[bytes]:
    if path == "-":
        return sys.stdin.buffer
    return open(path, "rb")


def _same_file(a: str, b: str) -> bool:
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


def _sampled_routing(args: argparse.Namespace, shards: int) -> RangeRouting:
    """Range boundaries from a first pass over the input that keeps only a sample of the keys."""

    def keys(stream: IO[bytes], progress: Progress) -> Iterator[bytes]:
        for where, record in _records(args, stream, progress):
            for key in _record_keys(args, record, where):
                try:
                    yield key_bytes(key)
                except Error as e:
                    raise InputError(f"{where}: {e}") from None

    with open(args.input, "rb") as stream:
        progress = _show_progress(args, os.fstat(stream.fileno()).st_size)
        with contextlib.closing(progress):
            sample = key_sample(keys(stream, progress), SAMPLE_PER_SHARD * shards)
    return RangeRouting(range_boundaries([sample], shards))


def cmd_build(args: argparse.Namespace) -> int:
    source, target = args.input, args.output
    if args.partition is not None and args.shards is None:
        raise CommandError("--partition needs --shards", EXIT_USAGE)
    if args.partition == "range" and source == "-":
        raise CommandError("--partition range reads the input twice; give a file, not standard input", EXIT_USAGE)
    if source != "-" and not is_url(target) and _same_file(source, target):
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
                routing = (_sampled_routing(args, args.shards) if args.partition == "range"
                           else HashRouting(args.shards))
                builder = SetBuilder(target, routing, datetime=True)
            # Records stream into temporary files; a bad record (or Ctrl-C)
            # discards them, so the target is only ever replaced whole.
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
            raise CommandError(f"{target}: cannot build: {_os_text(e)}") from None
        # The builder removes its temporary file; say so if one is still there.
        tmp = os.fsdecode(_engine.temporary_path(os.fsencode(target)))
        left = f"; the partial file {tmp} was left behind" if os.path.exists(tmp) else ""
        raise CommandError(f"{target}: cannot build: {_os_text(e)}{left}") from None
    if args.shards is None:
        _report(_built_line(cast(BuildSummary, summary)), summary["path"])
    else:
        routing_kind = summary["routing"]["kind"]
        _report(f"{target}: {records} records, {summary['keys']} keys in {len(summary['shards'])} shards "
                f"({routing_kind}), {summary['bytes']:,} bytes in {time.monotonic() - started:.2f} s, "
                f"generation {summary['generation']}\n", target)
    return EXIT_OK


def _built_line(summary: BuildSummary) -> str:
    return (f"{summary['path']}: {summary['objects']} objects, {summary['keys']} keys, "
            f"{summary['bytes']:,} bytes in {summary['seconds']:.2f} s\n")


def _report_built(summary: BuildSummary) -> None:
    _report(_built_line(summary), summary["path"])


def _report(line: str, what: str) -> None:
    # What was built is published; a failure to say so is not a failure of the build.
    try:
        out = _stdout()
        out.write(line)
        out.flush()
    except (OSError, ValueError, CommandError) as e:
        print(f"vorlstore: {what} was built, but its summary could not be printed: {e}", file=sys.stderr)


def _open(path: str, verify: bool = True) -> VorlReader | StoreSet:
    """The store file or store set at *path*; a set is a directory with a pointer file.

    A URL names a store file in object storage, read with the standard
    environment's credentials (AWS_* for S3).
    """
    if is_url(path):
        return VorlReader(path, verify=verify)
    if os.path.isdir(path):
        if not is_store_set(path):
            raise CommandError(f"{path}: a directory, but not a store set (it has no {POINTER} file)")
        return StoreSet(path, verify=verify)
    return VorlReader(path, verify=verify)


def _shown(path: str) -> str:
    """*path* as output shows it: a URL without its credentials."""
    return display(path) if is_url(path) else path


def cmd_get(args: argparse.Namespace) -> int:
    with _open(args.file) as r:
        # Command-line text may carry bytes that are not UTF-8; the key's str
        # form (surrogateescape) stands for exactly those bytes.
        missing = object()
        obj = r.get(args.key, missing)
        if obj is missing:
            raise CommandError(f"{_shown(args.file)}: key not found: {args.key!r}", EXIT_NOT_FOUND)
        _stdout().write(_dumps(obj) + "\n")
    return EXIT_OK


def cmd_keys(args: argparse.Namespace) -> int:
    with _open(args.file) as r:
        keys = iter(r) if args.prefix is None else r.prefix_keys(args.prefix)
        out = _stdout()
        if args.json:
            for key in keys:
                out.write(_json_line(key) + "\n")
        else:
            for key in keys:
                out.write(key + "\n")
    return EXIT_OK


def cmd_stats(args: argparse.Namespace) -> int:
    with _open(args.file, verify=False) as r:
        stats = r.stats()
        if isinstance(r, StoreSet) and not args.json:
            text = _set_stats_text(args.file, cast(dict[str, Any], stats))
        else:
            text = json.dumps(stats, indent=2) + "\n"
        _stdout().write(text)
    return EXIT_OK


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
        lines.append(line)
    return "\n".join(lines) + "\n"


def _key_repr(hex_key: str) -> str:
    return repr(bytes.fromhex(hex_key).decode("utf-8", "surrogateescape"))


def cmd_verify(args: argparse.Namespace) -> int:
    with _open(args.file) as r:
        r.verify()
        stats = r.stats()
        report: dict[str, Any] = {"path": _shown(args.file), "ok": True, "num_keys": stats["num_keys"],
                                  "num_objects": stats["num_objects"]}
        what = f"{stats['num_keys']} keys, {stats['num_objects']} objects"
        if isinstance(r, StoreSet):
            report.update(shards=r.routing.shards, generation=r.generation)
            what = f"a set of {r.routing.shards} shards, generation {r.generation}, {what}"
        if args.json:
            _stdout().write(json.dumps(report) + "\n")
        else:
            _stdout().write(f"{_shown(args.file)}: OK ({what})\n")
    return EXIT_OK


def cmd_dump(args: argparse.Namespace) -> int:
    with _open(args.file) as r:
        out = _stdout()
        items = r.items() if args.prefix is None else r.prefix(args.prefix)
        for key, obj in items:
            out.write(_dumps({"key": key, "value": obj}) + "\n")
    return EXIT_OK


def _refuse_directory(path: str, command: str) -> None:
    if os.path.isdir(path):
        what = "a store set" if is_store_set(path) else "a directory"
        raise CommandError(f"{path}: is {what}; {command} takes store files")


def cmd_merge(args: argparse.Namespace) -> int:
    for path in args.stores:
        _refuse_directory(path, "merge")
    summary = merge(args.output, *args.stores)
    _report_built(summary)
    return EXIT_OK


def cmd_index(args: argparse.Namespace) -> int:
    _refuse_directory(args.file, "index")  # a set's shards are built with the hash index
    if args.output is None or _same_file(args.output, args.file):
        summary = cast(BuildSummary, _engine.add_hash_index(os.fsencode(args.file)))
    else:
        summary = merge(args.output, args.file)
    _report_built(summary)
    return EXIT_OK


# -- Parser and entry point


def _parser() -> argparse.ArgumentParser:
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
    b.add_argument("--format", choices=FORMATS, help="input format (default: from INPUT's extension, else jsonl)")
    b.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="show progress on standard error (default: for large inputs on a terminal)")
    b.add_argument("--shards", type=_shard_count, metavar="N",
                   help=f"write a store set of N shard stores (1 to {MAX_SHARDS}; 1 makes a set of one shard), "
                        "not one file; an object whose keys route to several shards is stored in each")
    b.add_argument("--partition", choices=("hash", "range"),
                   help="with --shards, how keys are routed: hash (default) spreads them evenly in one pass; "
                        "range gives each shard one key range, so prefix scans read only the shards in reach; "
                        "it reads INPUT twice, keeping a sample of the keys from the first pass, so INPUT "
                        "must be a file")

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


def _shard_count(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = 0
    if not 1 <= n <= MAX_SHARDS:
        raise argparse.ArgumentTypeError(f"must be a whole number from 1 to {MAX_SHARDS}, not {text!r}")
    return n


def _os_text(e: OSError) -> str:
    return e.strerror or str(e)


def _describe(e: BaseException) -> str:
    if isinstance(e, OSError) and e.filename is not None:
        return f"{e.filename}: {_os_text(e)}"
    return str(e) or type(e).__name__


def _fail(message: str, code: int) -> int:
    try:
        print(f"vorlstore: {message}", file=sys.stderr)
    except (OSError, ValueError, AttributeError):
        pass
    return code


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        # Keys that are not UTF-8 are written back as the bytes they came from.
        if sys.stdout is not None and hasattr(sys.stdout, "reconfigure"):
            sys.stdout.reconfigure(errors="surrogateescape")
        code: int = args.run(args)
        if sys.stdout is not None:
            sys.stdout.flush()
        return code
    except BrokenPipeError:
        # The reader of our output went away (e.g. `| head`); not an error.
        _silence_stdout()
        return EXIT_OK
    except CommandError as e:
        return _fail(str(e), e.code)
    except KeyboardInterrupt:
        return _fail("interrupted", EXIT_INTERRUPTED)
    except (Error, OSError, ValueError) as e:
        if isinstance(e, OSError) and e.filename is None and not isinstance(e, Error):
            _silence_stdout()
            return _fail(f"cannot write to standard output: {_os_text(e)}", EXIT_ERROR)
        return _fail(_describe(e), EXIT_ERROR)
    except Exception as e:  # never a traceback
        return _fail(f"internal error: {type(e).__name__}: {e}", EXIT_ERROR)


def _silence_stdout() -> None:
    # Point stdout at /dev/null so the interpreter's final flush is quiet.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
    except OSError:
        pass


