"""tavrel: native layer of the data-analysis library."""

import os as _os

__version__ = "0.1.0"


def get_include():
    """Return the directory holding tavrel's public C headers.

    Native client modules add it to their include path to reach the parser
    and date-time function tables (``#include <tavrel/parser_api.h>``).
    """
    return _os.path.join(_os.path.dirname(__file__), "_libs", "include")
