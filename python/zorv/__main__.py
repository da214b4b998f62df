"""`python -m zorv`: see `python -m zorv --help`."""
from .cli import main

raise SystemExit(main())
