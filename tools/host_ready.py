"""Exits 0 when this interpreter can build and test mervik on the host: pytest imports and the
interpreter's headers (Python.h) are installed. ./dev runs it to choose between the host and the
development root."""

import os
import sys
import sysconfig

try:
    import pytest  # noqa: F401
except ImportError:
    sys.exit(1)
sys.exit(not os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")))
