"""vorlstore: a write-once, read-many key/value store in one file.

Build a store with :class:`VorlWriter`, open it with :class:`VorlReader`.
Objects are stored as MessagePack; keys are ``str`` or ``bytes``.

    >>> from vorlstore import VorlWriter, VorlReader
    >>> w = VorlWriter()
    >>> w.add({"name": "Ada"}, "user:1", "ada@example.org")
    0
    >>> w.build("users.vrls")                     # doctest: +SKIP
    >>> with VorlReader("users.vrls") as r:       # doctest: +SKIP
    ...     r["user:1"]
    {'name': 'Ada'}
"""

from ._vorlstore import __version__
from ._wrappers import Key, VorlReader, VorlWriter

__all__ = ["VorlReader", "VorlWriter", "Key", "__version__"]
from .storeset import StoreSet as StoreSet, write_store_set as write_store_set  # noqa: E402
