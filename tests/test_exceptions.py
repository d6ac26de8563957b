"""The corvane exception family: defaults, construction forms, printing, pickling."""

import pickle
import re
import sys
import traceback

import pytest

import corvane  # noqa: F401  (loads corvane.CorvaneClient, which holds the public tables)
import corvane.exceptions as exc

C = sys.modules["corvane.CorvaneClient"].CorvaneClient
FAMILY = [getattr(exc, name) for name in exc.__all__]
SECRET = "token=tk-5573-SECRET"
RETRYABLE_PUBLIC_CODES = {"CONNECTION_LIMIT", "CONNECTION_INTERRUPTED", "SERVICE_UNAVAILABLE",
                          "DATA_UNAVAILABLE", "DATA_VERIFY_FAILED"}


def attributes(err):
    return err.code, err.user_message, err.retryable


def test_family_shape_and_distinct_defaults():
    assert len(FAMILY) == 17
    assert issubclass(exc.CorvaneError, Exception)
    assert all(issubclass(cls, exc.CorvaneError) for cls in FAMILY)
    defaults = [attributes(cls()) for cls in FAMILY]
    for code, message, retryable in defaults:
        assert re.fullmatch(r"[A-Z][A-Z_]+", code)
        assert re.search(r"[\u4e00-\u9fff]", message)
        assert type(retryable) is bool
    assert len({code for code, _, _ in defaults}) == len(FAMILY)
    assert len({message for _, message, _ in defaults}) == len(FAMILY)


def test_defaults_agree_with_the_public_error_table():
    for cls in set(C.ERROR_CLASS_MAP.values()):
        code, message, retryable = attributes(cls())
        assert C.ERROR_CLASS_MAP[code] is cls
        assert C.PUBLIC_ERROR_MESSAGES[code] == message
        assert retryable is (code in RETRYABLE_PUBLIC_CODES)


@pytest.mark.parametrize("cls", FAMILY, ids=lambda c: c.__name__)
def test_construction_forms(cls):
    defaults = attributes(cls())

    given = cls(code="X_CODE", user_message="给定的消息", retryable=not defaults[2])
    assert attributes(given) == ("X_CODE", "给定的消息", not defaults[2])

    with_detail = cls(detail=SECRET)
    assert attributes(with_detail) == defaults

    only_message = cls(user_message="只有消息")
    assert attributes(only_message) == (defaults[0], "只有消息", defaults[2])

    positional = cls("数据类别不存在: cn_x_pivot#y")
    assert str(positional) == "数据类别不存在: cn_x_pivot#y"
    assert (positional.code, positional.retryable) == (defaults[0], defaults[2])


@pytest.mark.parametrize("cls", FAMILY, ids=lambda c: c.__name__)
def test_printing_shows_the_user_message_and_never_the_detail(cls):
    err = cls(detail=SECRET)
    assert str(err) == err.user_message
    shown = [str(err), repr(err), "".join(traceback.format_exception_only(err)), str(err.args)]
    assert not any(SECRET in text for text in shown)
    assert err.code in repr(err) and cls.__name__ in repr(err)


@pytest.mark.parametrize("cls", FAMILY, ids=lambda c: c.__name__)
def test_pickling_round_trips_without_the_detail(cls):
    for err in (cls(), cls(code="C", user_message="消息", retryable=True, detail=SECRET)):
        data = pickle.dumps(err)
        assert SECRET.encode() not in data
        copy = pickle.loads(data)
        assert type(copy) is cls and attributes(copy) == attributes(err)
        assert copy.detail is None


def wrapped(error):
    """``error`` as a library that catches it and raises its own error from it would."""
    try:
        try:
            raise error
        except OSError as cause:
            raise RuntimeError("write failed") from cause
    except RuntimeError as outer:
        return outer


@pytest.mark.parametrize("error, message", [
    (OSError(28, "No space left on device", "/data/x"), exc.LocalStorageError.disk_full_message),
    (OSError(122, "Disk quota exceeded"), exc.LocalStorageError.disk_full_message),
    (OSError(30, "Read-only file system"), exc.LocalStorageError.read_only_message),
    (wrapped(OSError(28, "No space left on device")), exc.LocalStorageError.disk_full_message),
    (PermissionError(13, "Permission denied", "/data/x"), "本地存储失败: x"),
    (ValueError("not a file error"), "本地存储失败: x"),
])
def test_a_storage_error_says_when_the_disk_is_full_or_read_only(error, message):
    made = exc.LocalStorageError.from_os_error(error, user_message="本地存储失败: x", detail="d")
    assert (made.code, made.user_message, made.retryable, made.detail) == (
        "LOCAL_STORAGE_FAILED", message, False, "d")
    assert "/data" not in str(made)
    assert exc.LocalStorageError.from_os_error(error).user_message in (
        message, exc.LocalStorageError.default_user_message)
