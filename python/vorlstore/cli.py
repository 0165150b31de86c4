"""The ``vorlstore`` command line: build stores from JSON Lines and query them.

    vorlstore build INPUT.jsonl OUT.vrls --key FIELD [--key FIELD ...]
    vorlstore get FILE KEY
    vorlstore keys FILE [--prefix P]
    vorlstore stats FILE
    vorlstore verify FILE
    vorlstore dump FILE

Expected failures (a missing or corrupt file, a bad input line, a missing
key field) print one line on stderr and exit with status 1; nothing is
published when the input is bad.
"""

from __future__ import annotations

import argparse
import base64
import json
import os
import sys
from collections.abc import Iterator, Sequence
from typing import IO, Any

from . import VorlReader, VorlWriter

# Inputs at least this large show a progress bar when stderr is a terminal.
_PROGRESS_MIN_BYTES = 8 << 20


class CommandError(Exception):
    """An expected failure, reported as one line without a traceback."""


def _to_json(obj: Any) -> Any:
    # MessagePack has binary strings and JSON has not; show them as base64.
    if isinstance(obj, (bytes, bytearray, memoryview)):
        return {"$base64": base64.b64encode(bytes(obj)).decode("ascii")}
    raise TypeError(f"cannot show {type(obj).__name__} as JSON")


def _dumps(obj: Any) -> str:
    return json.dumps(obj, ensure_ascii=False, default=_to_json)


def _key_text(value: Any, field: str, line_no: int) -> str:
    if value is None:
        raise CommandError(f"line {line_no}: key field '{field}' is missing")
    if isinstance(value, str):
        return value
    if isinstance(value, (bool, int, float)):
        return json.dumps(value)
    raise CommandError(f"line {line_no}: key field '{field}' must be a string or a number")


class _Progress:
    """A one-line progress bar on stderr, drawn only for large inputs on a terminal."""

    def __init__(self, total: int, stream: IO[str]) -> None:
        self.total = total
        self.stream = stream
        self.enabled = total >= _PROGRESS_MIN_BYTES and stream.isatty()
        self.shown = -1

    def update(self, done: int) -> None:
        if not self.enabled:
            return
        percent = min(100, done * 100 // max(self.total, 1))
        if percent != self.shown:
            self.shown = percent
            bar = "#" * (percent // 4)
            self.stream.write(f"\r[{bar:<25}] {percent:3d}%")
            self.stream.flush()

    def finish(self) -> None:
        if self.enabled:
            self.stream.write("\n")
            self.stream.flush()


def _read_jsonl(path: str, progress: _Progress) -> Iterator[tuple[int, Any]]:
    done = 0
    with open(path, "rb") as f:
        for line_no, line in enumerate(f, start=1):
            done += len(line)
            progress.update(done)
            if not line.strip():
                continue
            try:
                yield line_no, json.loads(line)
            except (ValueError, UnicodeDecodeError) as e:
                raise CommandError(f"{path}: line {line_no}: invalid JSON: {e}") from None


def cmd_build(args: argparse.Namespace) -> int:
    try:
        total = os.path.getsize(args.input)
    except OSError as e:
        raise CommandError(f"cannot read {args.input}: {e.strerror}") from None
    writer = VorlWriter()
    progress = _Progress(total, sys.stderr)
    try:
        # The whole input is checked before anything is written, so a bad
        # line never leaves a store behind.
        for line_no, obj in _read_jsonl(args.input, progress):
            if not isinstance(obj, dict):
                raise CommandError(f"{args.input}: line {line_no}: expected a JSON object")
            keys = [_key_text(obj.get(field), field, line_no) for field in args.key]
            writer.add(obj, *keys)
    except CommandError as e:
        if str(e).startswith("line "):
            raise CommandError(f"{args.input}: {e}") from None
        raise
    finally:
        progress.finish()
    writer.build(args.output)
    return 0


def cmd_get(args: argparse.Namespace) -> int:
    missing = object()
    with VorlReader(args.file) as r:
        # Command-line text may carry bytes that are not UTF-8; look up the
        # bytes the user typed.
        obj = r.get(os.fsencode(args.key), missing)
        if obj is missing:
            raise CommandError(f"key not found: {args.key}")
        print(_dumps(obj))
    return 0


def cmd_keys(args: argparse.Namespace) -> int:
    with VorlReader(args.file) as r:
        keys = r.keys() if args.prefix is None else r.prefix_keys(os.fsencode(args.prefix))
        out = sys.stdout
        for key in keys:
            out.write(key + "\n")
    return 0


def cmd_stats(args: argparse.Namespace) -> int:
    with VorlReader(args.file, verify=False) as r:
        print(json.dumps(r.stats(), indent=2))
    return 0


def cmd_verify(args: argparse.Namespace) -> int:
    with VorlReader(args.file) as r:
        r.verify()
        print(f"{args.file}: OK ({len(r)} keys, {r.stats()['num_objects']} objects)")
    return 0


def cmd_dump(args: argparse.Namespace) -> int:
    with VorlReader(args.file) as r:
        out = sys.stdout
        for key, obj in r.items():
            out.write(_dumps({"key": key, "value": obj}) + "\n")
    return 0


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="vorlstore", description="Build and query .vrls stores.")
    sub = p.add_subparsers(dest="command", required=True)
    b = sub.add_parser("build", help="build a store from a JSON Lines file")
    b.add_argument("input", help="JSON Lines file, one object per line")
    b.add_argument("output", help="the .vrls file to write")
    b.add_argument("--key", action="append", required=True, metavar="FIELD",
                   help="field whose value becomes a key (repeatable)")
    b.set_defaults(run=cmd_build)
    g = sub.add_parser("get", help="print the object stored under KEY as JSON")
    g.add_argument("file")
    g.add_argument("key")
    g.set_defaults(run=cmd_get)
    k = sub.add_parser("keys", help="list keys in sorted order")
    k.add_argument("file")
    k.add_argument("--prefix", help="only keys that start with this text")
    k.set_defaults(run=cmd_keys)
    s = sub.add_parser("stats", help="print file metadata as JSON")
    s.add_argument("file")
    s.set_defaults(run=cmd_stats)
    v = sub.add_parser("verify", help="check every checksum")
    v.add_argument("file")
    v.set_defaults(run=cmd_verify)
    d = sub.add_parser("dump", help="print every key and object as JSON Lines")
    d.add_argument("file")
    d.set_defaults(run=cmd_dump)
    return p


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        code: int = args.run(args)
        return code
    except BrokenPipeError:
        # The reader of our output went away (e.g. `| head`); not an error.
        # Point stdout at /dev/null so the interpreter's final flush is quiet.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except CommandError as e:
        print(f"vorlstore: {e}", file=sys.stderr)
    except (OSError, RuntimeError, ValueError) as e:
        # Store errors carry their kind as a prefix ("VorlIOError: ...").
        print(f"vorlstore: {e}", file=sys.stderr)
    return 1
