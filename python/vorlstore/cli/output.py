"""What the command line writes: its exit codes, its one-line errors and JSON output."""

from __future__ import annotations

import base64
import json
import math
import os
import sys
from typing import IO, TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ..writer import BuildSummary

EXIT_OK, EXIT_ERROR, EXIT_USAGE, EXIT_NOT_FOUND, EXIT_INTERRUPTED = 0, 1, 2, 3, 130


class CommandError(Exception):
    """An expected failure, reported as one line without a traceback."""

    def __init__(self, message: str, code: int = EXIT_ERROR) -> None:
        super().__init__(message)
        self.code = code


def stdout() -> IO[str]:
    if sys.stdout is None:
        raise CommandError("standard output is closed")
    return sys.stdout


def jsonable(obj: Any) -> Any:
    """*obj* with what JSON cannot hold made explicit: bytes as base64, other map keys as pairs.

    NaN and the infinities become null.
    """
    if isinstance(obj, dict):
        if all(isinstance(k, str) for k in obj):
            return {k: jsonable(v) for k, v in obj.items()}
        return {"$map": [[jsonable(k), jsonable(v)] for k, v in obj.items()]}
    if isinstance(obj, (list, tuple)):
        return [jsonable(v) for v in obj]
    if isinstance(obj, (bytes, bytearray, memoryview)):
        return {"$base64": base64.b64encode(bytes(obj)).decode("ascii")}
    if isinstance(obj, float) and not math.isfinite(obj):
        return None  # JSON has no NaN or infinity; a strict reader would refuse the line
    if isinstance(obj, (str, int, float, bool)) or obj is None:
        return obj
    if hasattr(obj, "isoformat"):
        return {"$datetime": obj.isoformat()}
    return {"$repr": repr(obj)}


def json_line(obj: Any) -> str:
    """*obj* as JSON text, readable; lone surrogates (keys that are not UTF-8) as \\u escapes."""
    text = json.dumps(obj, ensure_ascii=False, allow_nan=False)
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        text = json.dumps(obj, allow_nan=False)
    return text


def dumps(obj: Any) -> str:
    return json_line(jsonable(obj))


def emit(obj: Any) -> None:
    """Writes *obj* as one line of JSON."""
    stdout().write(dumps(obj) + "\n")


def built_line(summary: BuildSummary) -> str:
    return (f"{summary['path']}: {summary['objects']} objects, {summary['keys']} keys, "
            f"{summary['bytes']:,} bytes; written in {summary['seconds']:.2f} s\n")


def report_built(summary: BuildSummary, as_json: bool) -> None:
    report(dumps(summary) + "\n" if as_json else built_line(summary), summary["path"])


def report(line: str, what: str) -> None:
    # What was built is published; a failure to say so is not a failure of the build.
    try:
        out = stdout()
        out.write(line)
        out.flush()
    except (OSError, ValueError, CommandError) as e:
        print(f"vorlstore: {what} was built, but its summary could not be printed: {e}", file=sys.stderr)


def os_text(e: OSError) -> str:
    return e.strerror or str(e)


def describe(e: BaseException) -> str:
    if isinstance(e, OSError) and e.filename is not None:
        return f"{e.filename}: {os_text(e)}"
    return str(e) or type(e).__name__


def fail(message: str, code: int) -> int:
    try:
        print(f"vorlstore: {message}", file=sys.stderr)
    except (OSError, ValueError, AttributeError):
        pass
    return code


def silence_stdout() -> None:
    # Point stdout at /dev/null so the interpreter's final flush is quiet.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
    except OSError:
        pass


def shown(path: str) -> str:
    """*path* as output shows it: a URL without its credentials."""
    from ..remote import display, is_url

    return display(path) if is_url(path) else path


def same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)
