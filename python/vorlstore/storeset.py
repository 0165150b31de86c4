"""The store set names under their earlier module; they live in `vorlstore.sets`."""

from .sets import *  # noqa: F403
from .sets import __all__  # noqa: F401
