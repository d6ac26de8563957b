"""The public error vocabulary: code mapping, public errors, clones and their display."""

import logging
import sys

import pytest

from corvane.exceptions import (
    APIError,
    AuthError,
    CorvaneError,
    DataConnectionError,
    NetworkError,
    PermissionDeniedError,
    QuotaExceededError,
    RemoteDataError,
    SerializationError,
    ServiceUnavailableError,
)

from helpers import assert_public
from log_capture import recording

UNAVAILABLE_MESSAGE = "服务暂时不可用，请稍后重试"


@pytest.fixture
def corvane_log():
    with recording(logging.DEBUG) as recorder:
        yield logging.getLogger("corvane"), recorder.records


@pytest.mark.parametrize(
    "status, code",
    [
        (400, "REQUEST_INVALID"),
        (401, "AUTH_INVALID"),
        (403, "PERMISSION_DENIED"),
        (429, "CONNECTION_LIMIT"),
        (200, "SERVICE_UNAVAILABLE"),
        (302, "SERVICE_UNAVAILABLE"),
        (404, "SERVICE_UNAVAILABLE"),
        (500, "SERVICE_UNAVAILABLE"),
        (-401, "SERVICE_UNAVAILABLE"),
        (2**80, "SERVICE_UNAVAILABLE"),
    ],
)
def test_public_code_from_status(bare_client, status, code):
    assert bare_client._public_code_from_status(status) == code


@pytest.mark.parametrize(
    "raw, status, code",
    [
        ("Unauthorized", 200, "AUTH_INVALID"),
        ("Unauthorized", 500, "AUTH_INVALID"),
        ("UserDisabled", 403, "ACCOUNT_UNAVAILABLE"),
        ("SubscriptionInvalid", 403, "SUBSCRIPTION_UNAVAILABLE"),
        ("SubscriptionExpired", 403, "SUBSCRIPTION_UNAVAILABLE"),
        ("NoDatasetAccess", 403, "PERMISSION_DENIED"),
        ("ConnectionLimitExceeded", 429, "CONNECTION_LIMIT"),
        ("InvalidRequest", 400, "REQUEST_INVALID"),
        ("MissingParameters", 400, "REQUEST_INVALID"),
        ("TicketNotFound", 404, "CONNECTION_INTERRUPTED"),
        ("TicketExpired", 200, "CONNECTION_INTERRUPTED"),
        ("SessionNotFound", 404, "CONNECTION_INTERRUPTED"),
        ("SessionExpired", 401, "CONNECTION_INTERRUPTED"),
        ("RenewFailed", 500, "CONNECTION_INTERRUPTED"),
        ("InternalError", 400, "SERVICE_UNAVAILABLE"),
        # A public code sent directly is taken as it is.
        ("AUTH_INVALID", 500, "AUTH_INVALID"),
        ("DATA_VERIFY_FAILED", 200, "DATA_VERIFY_FAILED"),
        # Matching is exact and case-sensitive; unknown codes fall back to the status.
        ("unauthorized", 500, "SERVICE_UNAVAILABLE"),
        ("Unauthorized ", 500, "SERVICE_UNAVAILABLE"),
        ("NoSuchCode", 403, "PERMISSION_DENIED"),
        (None, 429, "CONNECTION_LIMIT"),
        ("", 401, "AUTH_INVALID"),
        (0, 400, "REQUEST_INVALID"),
        (False, 403, "PERMISSION_DENIED"),
        (401, 200, "SERVICE_UNAVAILABLE"),
        (["Unauthorized"], 500, "SERVICE_UNAVAILABLE"),
    ],
)
def test_normalize_error_code(bare_client, raw, status, code):
    assert bare_client._normalize_error_code(raw, status) == code


@pytest.mark.parametrize(
    "code, cls, message, retryable",
    [
        ("AUTH_INVALID", AuthError, "API 凭证无效或已过期，请检查后重试", False),
        ("ACCOUNT_UNAVAILABLE", PermissionDeniedError, "账号不可用，请联系管理员处理", False),
        ("SUBSCRIPTION_UNAVAILABLE", PermissionDeniedError, "套餐不可用或已过期，请续费后重试", False),
        ("PERMISSION_DENIED", PermissionDeniedError, "权限不足：当前账号没有该数据权限", False),
        ("CONNECTION_LIMIT", QuotaExceededError, "连接数已达上限，请关闭其他连接后重试", True),
        ("CONNECTION_INTERRUPTED", DataConnectionError, "连接中断，请重新初始化客户端", True),
        ("REQUEST_INVALID", APIError, "请求参数无效，请检查输入后重试", False),
        ("SERVICE_UNAVAILABLE", ServiceUnavailableError, UNAVAILABLE_MESSAGE, True),
        ("DATA_UNAVAILABLE", RemoteDataError, "数据暂时不可用，请稍后重试", True),
        ("DATA_VERIFY_FAILED", SerializationError, "数据校验失败，请重新同步", True),
        ("SOMETHING_NEW", ServiceUnavailableError, UNAVAILABLE_MESSAGE, False),
    ],
)
def test_build_public_error(bare_client, code, cls, message, retryable):
    error = bare_client._build_public_error(code)
    assert type(error) is cls
    assert (error.code, error.user_message, error.retryable) == (code, message, retryable)


def test_tables_are_read_through_the_instance(bare_client):
    class Teapot(ServiceUnavailableError):
        pass

    bare_client.ERROR_CLASS_MAP = {"SERVICE_UNAVAILABLE": Teapot}
    bare_client.PUBLIC_ERROR_MESSAGES = {"SERVICE_UNAVAILABLE": "稍后再试"}
    bare_client.LEGACY_ERROR_CODE_MAP = {"Busy": "SERVICE_UNAVAILABLE"}
    assert bare_client._normalize_error_code("Busy", 401) == "SERVICE_UNAVAILABLE"
    assert bare_client._normalize_error_code("Unauthorized", 429) == "CONNECTION_LIMIT"
    error = bare_client._build_public_error("SERVICE_UNAVAILABLE")
    assert type(error) is Teapot and error.user_message == "稍后再试"


def _raised_with_history():
    try:
        try:
            raise KeyError("secret-ticket-id")
        except KeyError as inner:
            raise PermissionDeniedError(
                code="SUBSCRIPTION_UNAVAILABLE", user_message="套餐不可用", retryable=False,
                detail="token=abc123",
            ) from inner
    except PermissionDeniedError as error:
        return error


def test_clone_carries_only_the_three_attributes(bare_client):
    original = _raised_with_history()
    assert original.__traceback__ is not None and original.__cause__ is not None
    clone = bare_client._public_error_clone(original)
    assert type(clone) is PermissionDeniedError and clone is not original
    assert (clone.code, clone.user_message, clone.retryable) == (
        "SUBSCRIPTION_UNAVAILABLE", "套餐不可用", False)
    assert clone.__traceback__ is None
    assert_public(clone)
    assert clone.detail is None
    assert clone.args == ("套餐不可用",)


@pytest.mark.parametrize(
    "error, cls, code",
    [
        (_raised_with_history(), PermissionDeniedError, "SUBSCRIPTION_UNAVAILABLE"),
        (NetworkError(), NetworkError, "NETWORK_ERROR"),
        (ValueError("token=abc123"), ServiceUnavailableError, "SERVICE_UNAVAILABLE"),
        (OSError(5, "disk"), ServiceUnavailableError, "SERVICE_UNAVAILABLE"),
    ],
)
def test_as_corvane_error(bare_client, error, cls, code):
    public = bare_client._as_corvane_error(error)
    assert type(public) is cls and public is not error
    assert public.code == code and public.detail is None
    assert_public(public)


@pytest.mark.parametrize("display", [True, False])
def test_display_error_writes_only_the_user_message(bare_client, corvane_log, display):
    logger, records = corvane_log
    bare_client.logger = logger
    bare_client.display_errors = display
    error = CorvaneError(code="X_CODE", user_message="出错了 100%", retryable=True,
                         detail="token=abc123")
    assert bare_client._display_error(error) is None
    if not display:
        assert records == []
        return
    assert [(r.levelno, r.getMessage()) for r in records] == [(logging.ERROR, "出错了 100%")]
    assert records[0].exc_info is None and records[0].args == ()
