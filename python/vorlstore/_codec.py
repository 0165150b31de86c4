"""How the package turns objects into MessagePack and back.

Writers pack with ``use_bin_type=True`` (bytes stay bytes, str stays str) and
optionally a ``default`` hook and ``datetime=True`` (aware datetimes as the
timestamp extension, type -1).  Readers unpack with the reader's rules: str
as text, maps with any hashable keys, timestamps as aware UTC datetimes, and
the caller's ``object_hook``/``ext_hook``.  A writer refuses what a reader
with no hooks could not read back, so every stored object can be read.
"""

from __future__ import annotations

import functools
import reprlib
from collections.abc import Callable, Sequence
from typing import Any

import msgpack

from ._native import _engine
from .errors import EncodeError, InvalidObjectError

_known_readable = _engine.known_readable

#: Turns an object MessagePack cannot hold into one it can (msgpack's ``default``).
DefaultHook = Callable[[Any], Any]
#: Called with each decoded map (msgpack's ``object_hook``).
ObjectHook = Callable[[dict[Any, Any]], Any]
#: Called with each extension type's code and bytes (msgpack's ``ext_hook``).
ExtHook = Callable[[int, bytes], Any]

# timestamp=3: the timestamp extension reads back as an aware UTC datetime.
_READ_RULES: dict[str, Any] = {"raw": False, "strict_map_key": False, "timestamp": 3}

_plain_unpack: Callable[[bytes], Any] = functools.partial(msgpack.unpackb, **_READ_RULES)


def make_unpack(object_hook: ObjectHook | None, ext_hook: ExtHook | None) -> Callable[[bytes], Any]:
    """The decoding function of a reader with these hooks."""
    if object_hook is None and ext_hook is None:
        return _plain_unpack
    extra: dict[str, Any] = {}
    if object_hook is not None:
        extra["object_hook"] = object_hook
    if ext_hook is not None:
        extra["ext_hook"] = ext_hook
    unpack: Callable[[bytes], Any] = functools.partial(msgpack.unpackb, **_READ_RULES, **extra)
    return unpack


def why_unreadable(raw: bytes) -> str | None:
    """Which reading rule *raw* breaks, or None when a plain reader reads it."""
    try:
        _plain_unpack(raw)
    except msgpack.ExtraData:
        return "more than one MessagePack object (extra bytes after the first)"
    except msgpack.FormatError:
        # The C parser gives no text; the pure-Python one names the byte.
        return "not valid MessagePack (a byte that starts no MessagePack type)"
    except (msgpack.StackError, RecursionError):  # the pure-Python parser recurses
        return "nested too deeply for a reader"
    except TypeError as e:
        return f"a map key would read back as a value that cannot be a dict key ({e})"
    except ValueError as e:
        return f"not valid MessagePack ({e})"
    except OverflowError as e:  # a timestamp outside the years a datetime holds
        return f"a value outside the range of its Python type ({e})"
    return None


class Packer:
    """Encodes objects for a writer and checks that they can be read back.

    Safe to share between threads: msgpack's packer fills one buffer, and a
    ``default`` hook runs Python code halfway through an object, during which
    another thread (or the hook itself) may pack.  So each call takes a packer
    from a pool and puts it back when done (taking and putting back are each
    one atomic list call); a call that finds the pool empty makes one.
    """

    __slots__ = ("_options", "_take", "_give")

    def __init__(self, default: DefaultHook | None = None, datetime: bool = False) -> None:
        self._options: dict[str, Any] = {"default": default, "datetime": datetime, "use_bin_type": True}
        # Bound once: a packer is taken on every add, so each lookup counts.
        pool: list[Callable[[Any], bytes]] = [msgpack.Packer(**self._options).pack]
        self._take, self._give = pool.pop, pool.append

    def pack(self, obj: Any, keys: Sequence[object] = (), filename: str | None = None) -> bytes:
        """The MessagePack bytes of *obj*; raises InvalidObjectError if no reader could read them.

        *keys* and *filename*, when given, are named in the error: what *obj*
        was to be stored under, and where.
        """
        cause: Exception | None = None
        try:
            try:
                pack = self._take()
            except IndexError:
                pack = msgpack.Packer(**self._options).pack
            raw = pack(obj)
            # Only a call that ended well puts its packer back.
            self._give(pack)
        except OverflowError as e:
            reason = f"an integer is outside MessagePack's range -2**63 .. 2**64-1 ({e})"
        except UnicodeEncodeError as e:
            reason = f"text holds a lone surrogate, which has no UTF-8 form ({e.reason} at {e.start})"
        except RecursionError:  # msgpack without its C extension recurses where the C form counts
            reason = "recursion limit exceeded: nested too deeply to encode"
        except (TypeError, ValueError) as e:
            # msgpack's own refusals (an unknown type, a naive datetime,
            # nesting past its limit), or a `default` hook's.
            reason, cause = str(e), e
        else:
            if _known_readable(raw):
                return raw
            why = why_unreadable(raw)
            if why is None:
                return raw
            raise InvalidObjectError(_placed(f"object {_short_repr(obj)} cannot be read back: {why}", keys, filename))
        raise EncodeError(_placed(f"object {_short_repr(obj)} cannot be stored: {reason}", keys, filename)) from cause


def _placed(message: str, keys: Sequence[object], filename: str | None) -> str:
    """*message* followed by the keys and the file it is about."""
    where = [("key " if len(keys) == 1 else "keys ") + ", ".join(_short_repr(k) for k in keys[:3])
             + (", ..." if len(keys) > 3 else "")] if keys else []
    if filename is not None:
        where.append(f"file {filename}")
    return f"{message} ({'; '.join(where)})" if where else message


def check_raw(raw: bytes) -> bytes:
    """*raw* itself when it is one MessagePack object a plain reader reads; else InvalidObjectError."""
    if _known_readable(raw):
        return raw
    why = why_unreadable(raw)
    if why is not None:
        raise InvalidObjectError(f"object bytes {_short_repr(raw)} cannot be read back: {why}")
    return raw


def _short_repr(obj: object) -> str:
    try:
        text = repr(obj)
    except RecursionError:  # nested deeper than repr goes
        text = reprlib.repr(obj)
    return text if len(text) <= 60 else text[:57] + "..."
