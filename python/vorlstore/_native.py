"""The engine's native module, imported with Ctrl-C held back until it is whole.

Initialising the module runs Python code (the import system's own), where a
Ctrl-C raises KeyboardInterrupt.  nanobind does not survive an exception half
way through a module's initialisation: it frees what it made through state it
has not set up yet, and the process crashes.  So in the main thread, where
Python handles signals, the first import holds a Ctrl-C that arrives meanwhile
and delivers it, through the handler that was in place, once the module is
whole.  Every module of the package imports ``_engine`` from here.
"""

from __future__ import annotations

import importlib
import signal
import threading
from types import FrameType, ModuleType


def _import_held(name: str) -> ModuleType:
    if threading.current_thread() is not threading.main_thread():
        return importlib.import_module(name)
    caught: list[FrameType | None] = []
    try:
        previous = signal.signal(signal.SIGINT, lambda signum, frame: caught.append(frame))
    except (ValueError, TypeError):  # no Python handler to stand in for (embedded, or finalising)
        return importlib.import_module(name)
    try:
        return importlib.import_module(name)
    finally:
        signal.signal(signal.SIGINT, previous)
        if caught:
            if callable(previous):
                previous(signal.SIGINT, caught[0])  # Python's default handler raises KeyboardInterrupt here
            elif previous == signal.SIG_DFL:
                signal.raise_signal(signal.SIGINT)


TYPE_CHECKING = False
if TYPE_CHECKING:
    from . import _engine as _engine
else:
    _engine = _import_held(f"{__package__}._engine")
