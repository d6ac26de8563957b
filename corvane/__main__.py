"""``python -m corvane``: the corvane command (docs/cli.md)."""

from .cli import main

raise SystemExit(main())
