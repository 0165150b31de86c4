"""The ``vorlstore`` command's entry point.

``vorlstore --version`` is answered here, before the command line's modules
are imported; everything else goes to :func:`vorlstore.cli.main`.
"""

from __future__ import annotations

import sys

TYPE_CHECKING = False  # as in __init__: typing costs more than the answer
if TYPE_CHECKING:
    from collections.abc import Sequence


def main(argv: Sequence[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else list(argv)
    if args == ["--version"]:
        from . import __version__

        print(f"vorlstore {__version__}")
        return 0
    try:
        from .cli import main as cli_main
    except KeyboardInterrupt:  # Ctrl-C while starting: as quiet as Ctrl-C later on
        print("vorlstore: interrupted", file=sys.stderr)
        return 130
    return cli_main(argv)
