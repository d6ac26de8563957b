"""Logger factory of the corvane SDK."""

from __future__ import annotations

import logging
import sys

__all__ = ["GetLogger"]

_FORMAT = "%(asctime)s [%(levelname)s] %(name)s: %(message)s"


class _StderrHandler(logging.StreamHandler):
    """Our own handler type, so that a second GetLogger call can recognise it."""

    def __init__(self):
        super().__init__(sys.stderr)
        self.setFormatter(logging.Formatter(_FORMAT))

    @property
    def stream(self):
        # Follow sys.stderr as it is now (pytest and notebooks replace it).
        return sys.stderr

    @stream.setter
    def stream(self, value):
        pass


def GetLogger(name: str = "corvane", level: int = logging.INFO) -> logging.Logger:
    """Return the standard logger ``name`` set to ``level``, writing time-stamped lines to stderr.

    Calling it again for the same name changes the level and adds no second handler.
    Loggers of the standard library are thread-safe.
    """
    logger = logging.getLogger(name)
    logger.setLevel(level)
    if not any(isinstance(h, _StderrHandler) for h in logger.handlers):
        logger.addHandler(_StderrHandler())
    # Our handler already writes every line; propagating would print it twice under a
    # configured root logger.
    logger.propagate = False
    return logger
