"""The ``vorlstore`` command line: build stores and store sets, and query them.

Every failure is one line on standard error naming the file (and the line,
row or key), never a traceback.  Exit codes: 0 done, 1 error, 2 usage,
3 key not found, 130 interrupted.

The command line uses the package's public names only: ``build_parser`` reads
the arguments, ``build`` and ``query`` run the commands, ``output`` says
what happened.
"""

from __future__ import annotations

import sys
from collections.abc import Sequence

from ..errors import Error
from .output import EXIT_ERROR, EXIT_INTERRUPTED, EXIT_OK, CommandError, describe, fail, os_text, silence_stdout
from .parser import build_parser

__all__ = ["main", "build_parser"]


def main(argv: Sequence[str] | None = None) -> int:
    try:
        args = build_parser().parse_args(argv)
        # Keys that are not UTF-8 are written back as the bytes they came from.
        if sys.stdout is not None and hasattr(sys.stdout, "reconfigure"):
            sys.stdout.reconfigure(errors="surrogateescape")
        code: int = args.run(args)
        if sys.stdout is not None:
            sys.stdout.flush()
        return code
    except BrokenPipeError:
        # The reader of our output went away (e.g. `| head`); not an error.
        silence_stdout()
        return EXIT_OK
    except CommandError as e:
        return fail(str(e), e.code)
    except KeyboardInterrupt:
        return fail("interrupted", EXIT_INTERRUPTED)
    except RecursionError:
        return fail("an object is nested too deeply to be handled", EXIT_ERROR)
    except (Error, OSError, ValueError) as e:
        if isinstance(e, OSError) and e.filename is None and not isinstance(e, Error):
            silence_stdout()
            return fail(f"cannot write to standard output: {os_text(e)}", EXIT_ERROR)
        return fail(describe(e), EXIT_ERROR)
    except Exception as e:  # never a traceback
        return fail(f"internal error: {type(e).__name__}: {e}", EXIT_ERROR)
