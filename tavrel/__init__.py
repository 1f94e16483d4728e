"""tavrel: native layer of the data-analysis library."""

import os as _os

__version__ = "0.1.0"


def get_include():
    """Return the directory holding tavrel's public C headers.

    Native client modules add it to their include path to reach the parser
    and date-time function tables (``#include <tavrel/parser_api.h>``).
    """
    return _os.path.join(_os.path.dirname(__file__), "_libs", "include")


# The column reader is imported on first use, so that importing the package
# stays cheap and does not need NumPy.
_READER_NAMES = ("read_columns", "iter_columns", "Columns", "ParseError", "ParseWarning")


def __getattr__(name):
    if name in _READER_NAMES:
        from . import _reader

        return getattr(_reader, name)
    raise AttributeError(f"module 'tavrel' has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(_READER_NAMES))
