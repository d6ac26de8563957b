"""The ``corvane`` command: scheduled updates, status, listing and exports (docs/cli.md)."""

from .main import main

__all__ = ["main"]
