"""Entry point of ``python -m vorlstore``."""

import sys

try:
    from .cli import main
except KeyboardInterrupt:  # Ctrl-C while starting: as quiet as Ctrl-C later on
    print("vorlstore: interrupted", file=sys.stderr)
    sys.exit(130)

sys.exit(main())
