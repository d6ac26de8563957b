"""Exit codes of the command, and the one failures of the library map to."""

from __future__ import annotations

from ..exceptions import (APIError, AuthError, CategoryNotFoundError, CorvaneError,
                          HostSelectionError, InvalidCategoryError, LocalStorageError,
                          PermissionDeniedError, SyncError)

OK = 0
SYNC_INCOMPLETE = 1
USAGE = 2
REFUSED = 3
UNAVAILABLE = 4
LOCAL_STORAGE = 5
LOCKED = 6

# First match wins; every other error of the family (service, network, data connection,
# metadata, verification) means "unavailable now", which a scheduler may retry.
_BY_CLASS = (
    (SyncError, SYNC_INCOMPLETE),
    (AuthError, REFUSED),
    (PermissionDeniedError, REFUSED),  # account, subscription and data permission
    (LocalStorageError, LOCAL_STORAGE),
    (CategoryNotFoundError, USAGE),
    (InvalidCategoryError, USAGE),
    (HostSelectionError, USAGE),
    (APIError, USAGE),
)


def for_error(error: CorvaneError) -> int:
    for cls, code in _BY_CLASS:
        if isinstance(error, cls):
            return code
    return UNAVAILABLE


class CommandError(Exception):
    """A failure of the command itself (usage, token file, lock), with its exit code."""

    def __init__(self, message: str, exit_code: int):
        super().__init__(message)
        self.exit_code = exit_code
