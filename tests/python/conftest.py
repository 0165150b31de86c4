import os
import pathlib
import sys

import pytest

# The helpers shared with tests/reliability: storecodec, callargs, processes.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))

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
