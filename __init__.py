"""This folder is a checkout of vorlstore's source; the package is python/vorlstore.

A checkout cloned as ``vorlstore/`` sits on the import path whenever Python
runs in the folder above it.  Without this file ``import vorlstore`` would
then give an empty namespace package; with it the import loads the installed
package in its place, or fails saying why.
"""

import importlib.machinery
import importlib.util
import os
import sys

_checkout = os.path.dirname(os.path.abspath(__file__))
_beside = os.path.dirname(_checkout)
_spec = importlib.machinery.PathFinder.find_spec(
    __name__, [p for p in sys.path if os.path.abspath(p or os.curdir) != _beside])
if _spec is None or _spec.loader is None or not _spec.has_location:
    del sys.modules[__name__]
    raise ImportError(
        f"{_checkout} is a checkout of vorlstore's source, not the package: install the package "
        "(see the README's Install section) or run Python from another folder", name=__name__)
_package = importlib.util.module_from_spec(_spec)
sys.modules[__name__] = _package  # what the import statement hands out
_spec.loader.exec_module(_package)
