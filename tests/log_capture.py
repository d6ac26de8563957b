"""The records of the "corvane" logger, for tests that check what the client logs.

GetLogger turns propagation off (its own handler writes every line), so pytest's caplog,
which listens on the root logger, sees nothing: tests attach this recorder instead.
"""

from __future__ import annotations

import contextlib
import logging


class LogRecorder(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []

    def emit(self, record):
        self.records.append(record)

    def messages(self, level: str | None = None) -> list[str]:
        return [r.getMessage() for r in self.records if level is None or r.levelname == level]


@contextlib.contextmanager
def recording(level: int | None = None):
    """Records the "corvane" logger's records; `level` sets the logger's level meanwhile."""
    logger = logging.getLogger("corvane")
    recorder = LogRecorder()
    saved_level = logger.level
    logger.addHandler(recorder)
    if level is not None:
        logger.setLevel(level)
    try:
        yield recorder
    finally:
        logger.removeHandler(recorder)
        logger.setLevel(saved_level)
