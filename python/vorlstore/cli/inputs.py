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
        yield f"line {line_no}", record, done


class _Counting(io.RawIOBase):
    """Counts the bytes read through it, for progress."""

    def __init__(self, inner: IO[bytes]) -> None:
        self.inner = inner
        self.count = 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        data = self.inner.read(len(buffer))
        buffer[: len(data)] = data
        self.count += len(data)
        return len(data)


def read_csv(stream: IO[bytes]) -> Iterator[tuple[str, Any, int]]:
    counting = _Counting(stream)
    text = io.TextIOWrapper(io.BufferedReader(counting), encoding="utf-8", newline="")
    reader = csv.DictReader(text)
    try:
        for row in reader:
            yield f"line {reader.line_num}", dict(row), counting.count
    except (csv.Error, UnicodeDecodeError) as e:
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
