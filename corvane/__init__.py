"""corvane: Python SDK of the Corvane market-data service."""

from .CorvaneClient import CorvaneClient

__all__ = ["CorvaneClient"]
