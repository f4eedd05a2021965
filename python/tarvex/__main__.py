"""`python -m tarvex` runs the `tarvex` command."""

from tarvex.cli import main

raise SystemExit(main())
