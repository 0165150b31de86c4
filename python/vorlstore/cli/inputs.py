"""Records for the command line's build: JSON Lines, CSV or Parquet, compressed or not.

A file ending in ``.gz``, ``.bz2``, ``.xz`` or ``.zst`` is decompressed as it
is read, and the name without that ending gives the format.  A
:class:`RecordSource` yields ``(where, record, keys)``: where the record came
from ("line 3", "row 7") for messages, the record as a dict, and the text of
its key fields.  Its ``position`` counts the input bytes read (compressed
bytes for a compressed file), for progress.
"""

from __future__ import annotations

import bz2
import csv
import gzip
import io
import json
import lzma
import os
import sys
import zlib
from collections.abc import Iterator
from dataclasses import dataclass
from types import TracebackType
from typing import IO, Any, cast

FORMATS = ("jsonl", "csv", "parquet")
COMPRESSIONS = (".gz", ".bz2", ".xz", ".zst")

# Rows of a Parquet file decoded to Python objects at a time: small enough that
# the batch's dicts cost little next to the store's own buffers.
_PARQUET_BATCH = 4096
_BUFFER = 1 << 16
# What a damaged compressed stream raises while it is read.
_READ_ERRORS = (OSError, EOFError, zlib.error, lzma.LZMAError)


class InputError(Exception):
    """A record that cannot be read, with where it is."""


@dataclass(frozen=True)
class InputOptions:
    """How to read records and find their keys.

    ``keys`` names the fields whose values become keys.  ``empty_keys`` lets an
    empty key ("") through; ``ragged`` accepts CSV rows whose field count
    differs from the header's (missing fields are left out, extra ones
    dropped); ``omit_nulls`` leaves fields whose value is null out of the
    stored record (by default a record keeps every field, null or not).
    """

    keys: tuple[str, ...]
    format: str | None = None
    delimiter: str = ","
    empty_keys: bool = False
    ragged: bool = False
    omit_nulls: bool = False


def split_name(path: str) -> tuple[str, str | None]:
    """The format guessed from *path* and its compression suffix, if any."""
    lower = path.lower()
    compression = next((s for s in COMPRESSIONS if lower.endswith(s)), None)
    if compression is not None:
        lower = lower[: -len(compression)]
    if lower.endswith(".csv"):
        return "csv", compression
    if lower.endswith((".parquet", ".pq")):
        return "parquet", compression
    return "jsonl", compression


def parse_delimiter(text: str) -> str:
    """The CSV delimiter a user typed: one character, or ``\\t`` / ``tab`` for a tab."""
    if text in ("\\t", "tab"):
        return "\t"
    if len(text) != 1 or text in ('"', "\r", "\n"):
        raise ValueError(f"must be one character other than a quote or a line break, not {text!r}")
    return text


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


class _Zstd(io.RawIOBase):
    """A .zst file decompressed by the engine as it is read (any Python, any number of frames)."""

    def __init__(self, raw: _Counting) -> None:
        from vorlstore._native import _engine

        self.raw = raw
        self.stream = _engine.ZstdStream()

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        from vorlstore.errors import CorruptError

        while True:
            data = b""
            if self.stream.needs_input:
                data = self.raw.read(_BUFFER) or b""
                if not data:
                    if not self.stream.at_frame_end:
                        raise EOFError("the .zst input ends in the middle of a frame")
                    return 0
            try:
                out = self.stream.decompress(data, len(buffer))
            except CorruptError as e:
                raise OSError(f"not a valid .zst file ({e})") from None
            if out:
                buffer[: len(out)] = out
                return len(out)


def _decompressing(raw: _Counting, compression: str | None) -> io.BufferedIOBase:
    if compression is None:
        return io.BufferedReader(raw, _BUFFER)
    if compression == ".gz":
        return gzip.GzipFile(fileobj=raw, mode="rb")
    if compression == ".bz2":
        return bz2.BZ2File(raw, "rb")
    if compression == ".xz":
        return lzma.LZMAFile(cast(IO[bytes], raw), "rb")  # the stub wants IO; a raw stream is what it reads
    return io.BufferedReader(_Zstd(raw), _BUFFER)


def _key_text(record: dict[str, Any], field: str, where: str, empty_ok: bool) -> str:
    value = record.get(field, _key_text)
    if value is _key_text:
        raise InputError(f"{where}: key field '{field}' is missing")
    if value is None:
        raise InputError(f"{where}: key field '{field}' is null")
    if isinstance(value, str):
        if not value and not empty_ok:
            raise InputError(f"{where}: key field '{field}' is empty (--allow-empty-keys stores it)")
        return value
    if isinstance(value, (bool, int, float)):
        return json.dumps(value)
    raise InputError(f"{where}: key field '{field}' must be a string or a number")


class RecordSource:
    """The records of one input (a path, or ``-`` for standard input); see the module docstring."""

    def __init__(self, path: str, options: InputOptions) -> None:
        self.options = options
        fmt, compression = split_name(path) if path != "-" else ("jsonl", None)
        self.format = options.format or fmt
        self._compression = compression
        self.size: int | None = None
        if path == "-" and sys.stdin is None:
            raise InputError("standard input is closed; give INPUT as a file")
        try:
            raw = sys.stdin.buffer if path == "-" else open(path, "rb")
        except OSError as e:
            raise InputError(f"cannot read: {e.strerror}") from None
        self._owned = raw if path != "-" else None
        if path != "-":
            self.size = _file_size(raw)
        self._counting = _Counting(raw)
        self._rows = self._parquet_rows = 0
        try:
            self._stream = _decompressing(self._counting, compression)
        except BaseException:
            self.close()
            raise

    @property
    def position(self) -> int:
        """Input bytes read so far (for Parquet, estimated from the rows read)."""
        if self.format == "parquet":
            return (self.size or 0) * self._rows // max(self._parquet_rows, 1)
        return self._counting.count

    def __iter__(self) -> Iterator[tuple[str, dict[str, Any], list[str]]]:
        fields, empty_ok, omit = self.options.keys, self.options.empty_keys, self.options.omit_nulls
        read = {"jsonl": self._jsonl, "csv": self._csv, "parquet": self._parquet}[self.format]
        for where, record in read():
            if not isinstance(record, dict):
                raise InputError(f"{where}: expected an object (a JSON object, a CSV row), "
                                 f"not {type(record).__name__}")
            keys = [_key_text(record, field, where, empty_ok) for field in fields]
            if omit:
                record = {k: v for k, v in record.items() if v is not None}
            yield where, record, keys

    def _lines(self) -> Iterator[tuple[int, bytes]]:
        """Numbered lines of the decompressed input; a damaged stream fails at the line it reached."""
        line_no = 0
        it = iter(self._stream)
        while True:
            try:
                line = next(it)
            except StopIteration:
                return
            except _READ_ERRORS as e:
                raise InputError(f"line {line_no + 1}: cannot read the input: {e}") from None
            line_no += 1
            yield line_no, line

    def _jsonl(self) -> Iterator[tuple[str, Any]]:
        for line_no, line in self._lines():
            if not line.strip():
                continue
            try:
                record = json.loads(line)  # bytes: a byte order mark is recognised
            except (ValueError, UnicodeDecodeError) as e:
                raise InputError(f"line {line_no}: invalid JSON: {e}") from None
            except RecursionError:
                raise InputError(f"line {line_no}: invalid JSON: nested too deeply") from None
            yield f"line {line_no}", record

    def _text_lines(self) -> Iterator[str]:
        # Each line is decoded on its own, so an invalid byte is reported at its own line.
        for line_no, line in self._lines():
            try:
                yield line.decode("utf-8-sig" if line_no == 1 else "utf-8")
            except UnicodeDecodeError as e:
                raise InputError(f"line {line_no}: not valid UTF-8: {e}") from None

    def _csv(self) -> Iterator[tuple[str, dict[str, Any]]]:
        # Strict: a quote left open to the end of the file is an error, not a field holding the rest of it.
        reader = csv.reader(self._text_lines(), delimiter=self.options.delimiter, strict=True)
        header = _next_row(reader, 1)
        if header is None:
            return
        if len(set(header)) != len(header):
            twice = next(name for name in header if header.count(name) > 1)
            raise InputError(f"line 1: the header names the field {twice!r} twice")
        ragged_ok = self.options.ragged
        while True:
            start = reader.line_num + 1
            row = _next_row(reader, start)
            if row is None:
                return
            if not row:
                continue  # a blank line
            if len(row) != len(header) and not ragged_ok:
                fields = f"{len(row)} field" + ("" if len(row) == 1 else "s")
                raise InputError(f"line {start}: {fields}, but the header has {len(header)} "
                                 f"(--allow-ragged accepts such rows)")
            yield f"line {start}", dict(zip(header, row))

    def _parquet(self) -> Iterator[tuple[str, dict[str, Any]]]:
        try:
            import pyarrow.parquet as pq
        except ImportError:
            raise InputError("reading Parquet needs pyarrow, which is not installed") from None
        stream: IO[bytes]
        if self._owned is not None and self._compression is None:
            stream = self._owned
        else:
            # Parquet is read from its end: a pipe or a compressed file is read whole first.
            try:
                stream = io.BytesIO(self._stream.read())
            except _READ_ERRORS as e:
                raise InputError(f"cannot read the input: {e}") from None
            self.size = len(stream.getbuffer())
        import pyarrow as pa

        # Only the command line reads Parquet here, in a process of its own: the
        # system allocator hands freed batches back, where the default pool keeps them.
        pa.set_memory_pool(pa.system_memory_pool())
        try:
            # Pages are read as the batches need them, not a whole row group up front.
            source = pq.ParquetFile(stream, buffer_size=_BUFFER, pre_buffer=False)
        except Exception as e:  # pyarrow raises its own error classes
            raise InputError(f"not a Parquet file: {e}") from None
        self._parquet_rows = source.metadata.num_rows
        for batch in source.iter_batches(batch_size=_PARQUET_BATCH, use_threads=False):
            for record in batch.to_pylist():
                self._rows += 1
                yield f"row {self._rows}", record

    def close(self) -> None:
        if self._owned is not None:
            self._owned.close()

    def __enter__(self) -> RecordSource:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()


def _file_size(f: IO[bytes]) -> int | None:
    try:
        return os.fstat(f.fileno()).st_size
    except (OSError, ValueError):
        return None


def _next_row(reader: Iterator[list[str]], start: int) -> list[str] | None:
    """The next row of *reader*, which starts at line *start*, or None at the end."""
    try:
        return next(reader)
    except StopIteration:
        return None
    except csv.Error as e:
        raise InputError(f"line {start}: invalid CSV: {e}") from None
