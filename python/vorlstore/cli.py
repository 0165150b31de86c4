"""The ``vorlstore`` command line: build stores and query them.

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
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any, cast

from . import __version__, _engine
from ._inputs import FORMATS, READERS, InputError, guess_format
from ._progress import Progress
from .errors import Error
from .reader import VorlReader
from .builder import StoreBuilder
from .writer import BuildSummary, merge

EXIT_OK, EXIT_ERROR, EXIT_USAGE, EXIT_NOT_FOUND, EXIT_INTERRUPTED = 0, 1, 2, 3, 130

_EPILOG = """exit status:
  0    done
  1    error (a missing, unreadable or corrupt file, bad input, ...)
  2    usage error (unknown command or option, missing argument)
  3    key not found (get)
  130  interrupted (Ctrl-C); a build then leaves its target untouched
"""

# Inputs at least this large show progress when standard error is a terminal.
_PROGRESS_MIN_BYTES = 8 << 20


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


def cmd_build(args: argparse.Namespace) -> int:
    source = args.input
    if source != "-" and _same_file(source, args.output):
        raise CommandError(f"{args.output}: the output is the input file; choose another output path")
    try:
        stream = _open_input(source)
    except OSError as e:
        raise CommandError(f"{source}: cannot read: {e.strerror}") from None
    name = "<stdin>" if source == "-" else source
    total = None if source == "-" else os.fstat(stream.fileno()).st_size
    show = args.progress if args.progress is not None else (
        sys.stderr is not None and sys.stderr.isatty() and (total or 0) >= _PROGRESS_MIN_BYTES)
    progress = Progress(total, enabled=bool(show))
    try:
        # Records stream into the store's temporary file; a bad record (or
        # Ctrl-C) discards it, so the target is only ever replaced whole.
        with StoreBuilder(args.output, datetime=True) as builder, \
                stream if source != "-" else contextlib.nullcontext(stream):
            for where, record in _records(args, stream, progress):
                try:
                    keys = [_key_text(record.get(field), field, where) for field in args.key]
                    builder.add(record, *keys)
                except Error as e:
                    raise InputError(f"{where}: {e}") from None
            summary = builder.commit()
    except InputError as e:
        raise CommandError(f"{name}: {e}") from None
    except OSError as e:
        # The builder removes its temporary file; say so if one is still there.
        tmp = os.fsdecode(_engine.temporary_path(os.fsencode(args.output)))
        left = f"; the partial file {tmp} was left behind" if os.path.exists(tmp) else ""
        raise CommandError(f"{args.output}: cannot build: {_os_text(e)}{left}") from None
    finally:
        progress.close()
    _report_built(summary)
    return EXIT_OK


def _report_built(summary: BuildSummary) -> None:
    # The store is published; a failure to say so is not a failure of the build.
    line = (f"{summary['path']}: {summary['objects']} objects, {summary['keys']} keys, "
            f"{summary['bytes']:,} bytes in {summary['seconds']:.2f} s\n")
    try:
        out = _stdout()
        out.write(line)
        out.flush()
    except (OSError, ValueError, CommandError) as e:
        print(f"vorlstore: {summary['path']} was built, but its summary could not be printed: {e}",
              file=sys.stderr)


def _open(path: str, verify: bool = True) -> VorlReader:
    return VorlReader(path, verify=verify)


def cmd_get(args: argparse.Namespace) -> int:
    with _open(args.file) as r:
        # Command-line text may carry bytes that are not UTF-8; the key's str
        # form (surrogateescape) stands for exactly those bytes.
        missing = object()
        obj = r.get(args.key, missing)
        if obj is missing:
            raise CommandError(f"{args.file}: key not found: {args.key!r}", EXIT_NOT_FOUND)
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
        _stdout().write(json.dumps(r.stats(), indent=2) + "\n")
    return EXIT_OK


def cmd_verify(args: argparse.Namespace) -> int:
    with _open(args.file) as r:
        r.verify()
        stats = r.stats()
        if args.json:
            report = {"path": args.file, "ok": True, "num_keys": stats["num_keys"], "num_objects": stats["num_objects"]}
            _stdout().write(json.dumps(report) + "\n")
        else:
            _stdout().write(f"{args.file}: OK ({stats['num_keys']} keys, {stats['num_objects']} objects)\n")
    return EXIT_OK


def cmd_dump(args: argparse.Namespace) -> int:
    with _open(args.file) as r:
        out = _stdout()
        items = r.items() if args.prefix is None else r.prefix(args.prefix)
        for key, obj in items:
            out.write(_dumps({"key": key, "value": obj}) + "\n")
    return EXIT_OK


def cmd_merge(args: argparse.Namespace) -> int:
    summary = merge(args.output, *args.stores)
    _report_built(summary)
    return EXIT_OK


def cmd_index(args: argparse.Namespace) -> int:
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

    def store_arg(c: argparse.ArgumentParser) -> None:
        c.add_argument("file", metavar="FILE", help="the .vrls store to read")

    b = command("build", cmd_build, "build a store from JSON Lines, CSV or Parquet records")
    b.add_argument("input", metavar="INPUT", help="the records: a file, or - for standard input")
    b.add_argument("output", metavar="OUTPUT", help="the .vrls file to write (replaced atomically)")
    b.add_argument("--key", action="append", required=True, metavar="FIELD",
                   help="field whose value becomes a key (repeatable; each record is stored once)")
    b.add_argument("--format", choices=FORMATS, help="input format (default: from INPUT's extension, else jsonl)")
    b.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="show progress on standard error (default: for large inputs on a terminal)")

    g = command("get", cmd_get, "print the object stored under KEY as JSON")
    store_arg(g)
    g.add_argument("key", metavar="KEY", help="the key to look up (exit status 3 when absent)")

    k = command("keys", cmd_keys, "list keys in sorted order")
    store_arg(k)
    k.add_argument("--prefix", metavar="P", help="only keys that start with P")
    k.add_argument("--json", action="store_true", help="one JSON string per line instead of plain text")

    s = command("stats", cmd_stats, "print file metadata as JSON")
    store_arg(s)

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
    store_arg(i)
    i.add_argument("--output", metavar="OUTPUT", help="write here instead of replacing FILE")
    return p


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


