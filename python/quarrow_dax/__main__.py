"""Entry point of `python -m quarrow_dax`; the command line lives in cli.py."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
