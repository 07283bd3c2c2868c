"""``python -m bitloom_bulk``: the ``bitloom`` command line."""

import sys

from bitloom_bulk.cli import main

if __name__ == "__main__":
    sys.exit(main())
