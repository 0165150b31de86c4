"""Objects the tests pass as arguments: subclasses of the accepted types, sequences and indexes
that take unusual paths through conversion, and ones that fail or call back into the instance
being called (re-entry)."""


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class ByteArraySub(bytearray):
    pass


class IntSub(int):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexRaises:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class OldStyleSequence:
    """`data` iterated only through __getitem__ until IndexError."""

    def __init__(self, data):
        self.data = data

    def __getitem__(self, i):
        return self.data[i]


class LenFails(OldStyleSequence):
    def __len__(self):
        raise RuntimeError("no length")


class IterRaisesKeyError:
    def __getitem__(self, i):
        return 97

    def __iter__(self):
        raise KeyError("iteration")


class CallingKey:
    """The key `key` (bytes) as a sequence whose iteration, or with hook="__index__" its first
    item's __index__, first runs `action` while the caller holds its borrow.  The action's
    result, or the RuntimeError it raised as (class name, text), is kept in `seen`; with
    catch=False that error goes on to the caller."""

    def __init__(self, key, action, hook="__iter__", catch=True):
        self.key, self.action, self.hook, self.catch, self.seen = key, action, hook, catch, []

    def _run(self, hook):
        if hook != self.hook:
            return
        try:
            self.seen.append(self.action())
        except RuntimeError as e:
            self.seen.append((type(e).__name__, str(e)))
            if not self.catch:
                raise

    def __getitem__(self, i):
        return self.key[i]

    def __iter__(self):
        self._run("__iter__")
        items = list(self.key)
        if items and self.hook == "__index__":
            items[0] = CallingIndex(items[0], lambda: self._run("__index__"))
        return iter(items)


class SizedCallingKey(CallingKey):
    """A CallingKey with a length, which hook="__len__" runs the action from."""

    def __len__(self):
        self._run("__len__")
        return len(self.key)


class CallingIndex:
    """The integer `value` whose __index__ first runs `action`; its result is kept in `seen`."""

    def __init__(self, value, action):
        self.value, self.action, self.seen = value, action, []

    def __index__(self):
        self.seen.append(self.action())
        return self.value


class Reenter:
    """The integer 0 whose __index__ first runs `action` (a call back into a writer); a
    RuntimeError it raises is kept in `error` and, unless `swallow`, goes on to the caller."""

    def __init__(self, action, swallow=True):
        self.action, self.swallow, self.error = action, swallow, None

    def __index__(self):
        try:
            self.action()
        except RuntimeError as e:
            self.error = e
            if not self.swallow:
                raise
        return 0
