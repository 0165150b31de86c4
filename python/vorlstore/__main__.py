"""Entry point of ``python -m vorlstore``."""

import sys

from .cli import main

sys.exit(main())
