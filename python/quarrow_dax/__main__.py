"""Entry point of `python -m quarrow_dax`; the command line lives in the cli package."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
