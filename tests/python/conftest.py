import os
import subprocess
import sys
import textwrap

import pytest

try:
    import _vorlstore
except ModuleNotFoundError:
    # An installed wheel holds the module only as vorlstore._vorlstore; put
    # its folder on the path so the bare name (and child processes) work too.
    import vorlstore

    sys.path.append(os.path.dirname(vorlstore.__file__))
    import _vorlstore


@pytest.fixture
def writer():
    return _vorlstore._VorlWriter()


def run_python(code, *args, **kwargs):
    """Runs `code` in a child interpreter with this one's import path."""
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("timeout", 120)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], env=env, **kwargs)


# True when the AddressSanitizer runtime is preloaded (tools/test.sh's
# sanitizer run): it replaces the allocator, so out-of-memory behaviour
# is its own.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
