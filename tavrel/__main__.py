"""``python3 -m tavrel [FILE ...] [options]``: read files into typed columns and summarise them."""

import sys

from tavrel._cli import main

if __name__ == "__main__":
    sys.exit(main())
