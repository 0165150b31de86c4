"""Records for the command line's build: JSON Lines, CSV or Parquet.

Each reader yields ``(where, record, position)``: where the record came from
("line 3", "row 7") for messages, the record as a dict, and how many input
bytes have been consumed (for progress).
"""

from __future__ import annotations

import csv
import io
import json
from collections.abc import Iterator
from typing import IO, Any

FORMATS = ("jsonl", "csv", "parquet")


class InputError(Exception):
    """A record that cannot be read, with where it is."""


def guess_format(path: str) -> str:
    lower = path.lower()
    if lower.endswith(".csv"):
        return "csv"
    if lower.endswith((".parquet", ".pq")):
        return "parquet"
    return "jsonl"


def read_jsonl(stream: IO[bytes]) -> Iterator[tuple[str, Any, int]]:
    done = 0
    for line_no, line in enumerate(stream, start=1):
        done += len(line)
        if not line.strip():
            continue
        try:
            record = json.loads(line)
        except (ValueError, UnicodeDecodeError) as e:
            raise InputError(f"line {line_no}: invalid JSON: {e}") from None
        except RecursionError:
            raise InputError(f"line {line_no}: invalid JSON: nested too deeply") from None
        yield f"line {line_no}", record, done


class _Lines:
    """The stream's lines, each decoded on its own, so that a bad byte is reported at its line."""

    def __init__(self, stream: IO[bytes]) -> None:
        self.stream = stream
        self.number = 0
        self.done = 0  # bytes consumed, for progress

    def __iter__(self) -> Iterator[str]:
        for raw in self.stream:
            self.number += 1
            self.done += len(raw)
            try:
                yield raw.decode("utf-8")
            except UnicodeDecodeError as e:
                raise InputError(f"line {self.number}: invalid CSV: not UTF-8 ({e.reason} at byte {e.start} "
                                 f"of the line)") from None


def read_csv(stream: IO[bytes]) -> Iterator[tuple[str, Any, int]]:
    lines = _Lines(stream)
    reader = csv.DictReader(lines)
    try:
        for row in reader:
            yield f"line {reader.line_num}", dict(row), lines.done
    except csv.Error as e:
        raise InputError(f"line {reader.line_num}: invalid CSV: {e}") from None


def read_parquet(stream: IO[bytes]) -> Iterator[tuple[str, Any, int]]:
    try:
        import pyarrow.parquet as pq
    except ImportError:
        raise InputError("reading Parquet needs pyarrow, which is not installed") from None
    size = stream.seek(0, io.SEEK_END)
    stream.seek(0)
    try:
        source = pq.ParquetFile(stream)
    except Exception as e:  # pyarrow raises its own error classes
        raise InputError(f"not a Parquet file: {e}") from None
    row = 0
    total_rows = max(source.metadata.num_rows, 1)
    for batch in source.iter_batches():
        for record in batch.to_pylist():
            row += 1
            yield f"row {row}", record, size * row // total_rows


READERS = {"jsonl": read_jsonl, "csv": read_csv, "parquet": read_parquet}
