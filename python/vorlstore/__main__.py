"""Entry point of ``python -m vorlstore``."""

import sys

from ._entry import main

sys.exit(main())
