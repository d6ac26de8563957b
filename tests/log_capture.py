"""The records of the "corvane" logger, for tests that check what the client logs.

GetLogger turns propagation off (its own handler writes every line), so pytest's caplog,
which listens on the root logger, sees nothing: tests attach this recorder instead. It also
keeps the texts of the exceptions a test checked, so that no secret may hide in them either.
"""

from __future__ import annotations

import contextlib
import logging
import traceback


class LogRecorder(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []
        self.texts: list[str] = []

    def emit(self, record):
        self.records.append(record)
        self.texts.append(record.getMessage())
        if record.exc_info:
            self.texts.append("".join(traceback.format_exception(*record.exc_info)))

    def lines(self, min_level: int = logging.DEBUG) -> list[tuple[str, str]]:
        """(level name, message) of every record at or above `min_level`, oldest first."""
        return [(r.levelname, r.getMessage()) for r in self.records if r.levelno >= min_level]

    def messages(self, level: str | None = None) -> list[str]:
        """The messages of the records of exactly `level` (a level name), or of all."""
        return [r.getMessage() for r in self.records if level is None or r.levelname == level]

    def note_exception(self, error: BaseException) -> None:
        self.texts += [str(error), repr(error), "".join(traceback.format_exception(error))]

    def assert_no_secret(self, secrets, captured: str) -> None:
        for secret in secrets:
            for text in [*self.texts, captured]:
                assert secret not in text, "a secret reached a log line or an error text"


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
