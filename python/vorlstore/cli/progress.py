"""A progress display for long command-line runs, on standard error.

It shows the records read, the rate and the time left, and fits the
terminal's width.  tqdm draws it when installed; otherwise a plain line does.
"""

from __future__ import annotations

import shutil
import sys
import time
from typing import IO, Any


def _tqdm_class() -> Any:
    """tqdm's bar class, or None when it is not installed; imported only when a
    bar is drawn, as it costs more than the rest of a short command."""
    try:
        from tqdm import tqdm
    except ImportError:  # optional
        return None
    return tqdm


def _clock(seconds: float) -> str:
    minutes, secs = divmod(int(seconds), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02d}:{secs:02d}" if hours else f"{minutes:02d}:{secs:02d}"


class Progress:
    """Progress through *total* input bytes, counting records."""

    def __init__(self, total: int | None, stream: IO[str] | None = None, enabled: bool = True,
                 use_tqdm: bool = True) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.total = total
        self.enabled = enabled
        self.records = 0
        self._posted = 0  # the count tqdm shows
        self.done = 0
        self._bar: Any = None
        self._started = time.monotonic()
        self._drawn = 0.0
        bar_class = _tqdm_class() if enabled and use_tqdm else None
        if bar_class is not None:
            # A terminal's width is followed as it changes; elsewhere COLUMNS decides.
            tty = self.stream.isatty()
            self._bar = bar_class(total=total, unit="B", unit_scale=True, unit_divisor=1024, dynamic_ncols=tty,
                              ncols=None if tty else shutil.get_terminal_size().columns - 1,
                              file=self.stream, leave=False, mininterval=0.2)
        elif enabled:
            # Up at once, as tqdm's bar is: a slow first read (a pipe) shows 0 records, not nothing.
            self._draw(self._started)

    def update(self, done: int, records: int) -> None:
        if not self.enabled:
            return
        if self._bar is not None:
            self._bar.update(done - self.done)
            self.done = done
            if records - self._posted >= 1000 or done == self.total:
                self._posted = records
                self._bar.set_postfix_str(f"{records:,} records", refresh=False)
            self.records = records
            return
        self.done, self.records = done, records
        now = time.monotonic()
        if now - self._drawn >= 0.2:
            self._drawn = now
            self._draw(now)

    def _draw(self, now: float) -> None:
        elapsed = max(now - self._started, 1e-9)
        rate = self.records / elapsed
        parts = [f"{self.records:,} records", f"{rate:,.0f} rec/s"]
        if self.total:
            fraction = min(self.done / self.total, 1.0)
            left = elapsed * (1 - fraction) / fraction if fraction > 0 else 0.0
            parts.insert(0, f"{fraction:4.0%}")
            parts.append(f"ETA {_clock(left)}")
        width = shutil.get_terminal_size().columns - 1
        self.stream.write("\r" + "  ".join(parts)[:width].ljust(width))
        self.stream.flush()

    def close(self) -> None:
        if not self.enabled:
            return
        # A last frame with the final figures, however short the run was.
        if self._bar is not None:
            self._bar.set_postfix_str(f"{self.records:,} records", refresh=False)
            self._bar.refresh()
            self._bar.close()
        else:
            self._draw(time.monotonic())
            self.stream.write("\r" + " " * (shutil.get_terminal_size().columns - 1) + "\r")
            self.stream.flush()
