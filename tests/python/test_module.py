import gc
import os
import subprocess
import sys
import importlib.util
import weakref

import pytest

import _vorlstore
from _vorlstore import _VorlReader, _VorlWriter
from storecodec import write_store

# Flags of the type object that the classes must not have.
TPFLAGS_IMMUTABLETYPE = 1 << 8
TPFLAGS_BASETYPE = 1 << 10
TPFLAGS_HAVE_GC = 1 << 14


def open_reader(tmp_path):
    path = tmp_path / "instance.vrls"
    write_store(path, [b"x"], {"k": 0})
    return _VorlReader(str(path))


# (class, factory of an instance)
CLASSES = [(_VorlWriter, lambda tmp_path: _VorlWriter()), (_VorlReader, open_reader)]
CLASS_IDS = [cls.__name__ for cls, _ in CLASSES]
CLASS_NAMES = ["_VorlWriter", "_VorlReader"]


def test_module_contents():
    assert _vorlstore.__all__ == ["_VorlWriter", "_VorlReader", "__version__"]
    assert type(_vorlstore.__all__) is list
    assert _vorlstore.__version__ == "0.2.0"
    assert _vorlstore.__doc__ == "vorlstore._vorlstore \u2014 native extension module entry-point"
    public = {name for name in vars(_vorlstore) if not (name.startswith("__") and name.endswith("__"))}
    assert public == set(CLASS_NAMES)


@pytest.mark.parametrize(
    "name", ["VorlError", "VorlIOError", "VorlCorruptError", "VorlVersionError", "PanicException"]
)
def test_module_defines_no_exception_classes(name):
    assert not hasattr(_vorlstore, name)


def test_every_module_object_gets_the_same_classes():
    spec = importlib.util.find_spec("_vorlstore")
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not _vorlstore
    assert again._VorlWriter is _VorlWriter
    assert again._VorlReader is _VorlReader
    assert again.__all__ == _vorlstore.__all__
    assert again.__all__ is not _vorlstore.__all__


@pytest.mark.parametrize("cls, make", CLASSES, ids=CLASS_IDS)
class TestClassProperties:
    def test_names(self, cls, make):
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == cls.__name__
        assert getattr(_vorlstore, cls.__name__) is cls

    def test_type_flags(self, cls, make):
        assert cls.__flags__ & (TPFLAGS_IMMUTABLETYPE | TPFLAGS_BASETYPE | TPFLAGS_HAVE_GC) == 0
        assert cls.__bases__ == (object,)
        assert cls.__init__ is object.__init__
        assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0

    def test_not_subclassable(self, cls, make):
        with pytest.raises(TypeError, match=f"type 'builtins.{cls.__name__}' is not an acceptable base type"):
            type("Sub", (cls,), {})

    def test_instances_take_no_attributes_or_weakrefs(self, cls, make, tmp_path):
        instance = make(tmp_path)
        assert not hasattr(instance, "__dict__")
        assert not gc.is_tracked(instance)
        with pytest.raises(AttributeError):
            instance.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(instance)

    def test_class_attributes_can_be_set(self, cls, make):
        cls.extra_attribute = 42
        try:
            assert cls.extra_attribute == 42
        finally:
            del cls.extra_attribute
        assert not hasattr(cls, "extra_attribute")


# Fails the n-th allocation after the hook is set, for each n in turn, while
# a fresh module object runs its execution step.  Some n hits the growth of
# __all__ itself (the other allocations fail as MemoryError), which is an
# internal fault; its message must name the value that was being added.
APPEND_FAULT_CHILD = """
import importlib.util, _testcapi, _vorlstore
spec = importlib.util.find_spec("_vorlstore")
for n in range(40):
    module = importlib.util.module_from_spec(spec)
    module.__all__ = PRESET
    _testcapi.set_nomemory(n, n + 1)
    try:
        spec.loader.exec_module(module)
    except MemoryError:
        pass
    except BaseException as e:
        _testcapi.remove_mem_hooks()
        print(type(e).__name__, str(e))
        break
    finally:
        _testcapi.remove_mem_hooks()
"""


@pytest.mark.parametrize(
    "preset, name",
    [
        # An empty list has no room: the first append grows it.
        ("[]", "_VorlWriter"),
        # A list built at its final size has none either.
        ("['x', 'y']", "_VorlWriter"),
    ],
)
def test_failed_append_to_all_names_the_value(preset, name):
    pytest.importorskip("_testcapi")
    child = subprocess.run(
        [sys.executable, "-c", APPEND_FAULT_CHILD.replace("PRESET", preset)],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == f"PanicException could not append __name__ to __all__: name '{name}'"
