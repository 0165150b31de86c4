import pathlib
import sys

# The helpers shared with tests/python: storecodec, callargs, processes.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
