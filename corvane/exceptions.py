"""The corvane exception family.

Every failure that leaves the SDK is a :class:`CorvaneError` carrying three public
attributes: ``code`` (a stable error code), ``user_message`` (a privacy-safe message,
shown as the exception's text) and ``retryable`` (whether trying again later can succeed).
Each class has its own defaults, used when it is raised without arguments. The client's
public error tables (``PUBLIC_ERROR_MESSAGES``, ``ERROR_CLASS_MAP``) and retry flags are built
from these defaults, so a code, message or flag is changed here only.
"""

from __future__ import annotations

import errno as _errno

__all__ = [
    "CorvaneError",
    "APIError",
    "AuthError",
    "CategoryNotFoundError",
    "DataConnectionError",
    "HostSelectionError",
    "InvalidCategoryError",
    "LocalStorageError",
    "MetaError",
    "NetworkError",
    "PermissionDeniedError",
    "ProtocolError",
    "QuotaExceededError",
    "RemoteDataError",
    "SerializationError",
    "ServiceUnavailableError",
    "SyncError",
]

_UNSET = object()


class CorvaneError(Exception):
    """Base of every corvane failure."""

    default_code = "CORVANE_ERROR"
    default_user_message = "操作失败，请稍后重试"
    default_retryable = False

    def __init__(self, message=_UNSET, *, code=None, user_message=None, retryable=None,
                 detail=None):
        if message is not _UNSET and user_message is None:
            user_message = message
        self.code = self.default_code if code is None else str(code)
        self.user_message = (self.default_user_message if user_message is None
                             else str(user_message))
        self.retryable = self.default_retryable if retryable is None else bool(retryable)
        # Internal context for debugging; never shown by str() or repr().
        self.detail = detail
        super().__init__(self.user_message)

    def __str__(self):
        return self.user_message

    def __repr__(self):
        return (f"{type(self).__name__}(code={self.code!r}, "
                f"user_message={self.user_message!r}, retryable={self.retryable!r})")

    def __reduce__(self):
        return (_rebuild, (type(self), self.code, self.user_message, self.retryable))


def _os_errno(error: BaseException):
    """The errno of ``error`` or of the OSError it was raised from (a library may wrap one)."""
    seen = 0
    while error is not None and seen < 8:
        if isinstance(error, OSError) and error.errno is not None:
            return error.errno
        error = error.__cause__ or error.__context__
        seen += 1
    return None


def _rebuild(cls, code, user_message, retryable):
    return cls(code=code, user_message=user_message, retryable=retryable)


class AuthError(CorvaneError):
    """The API token was refused or is malformed."""

    default_code = "AUTH_INVALID"
    default_user_message = "API 凭证无效或已过期，请检查后重试"
    default_retryable = False


class PermissionDeniedError(CorvaneError):
    """The account, its subscription or its data permissions do not allow the request."""

    default_code = "PERMISSION_DENIED"
    default_user_message = "权限不足：当前账号没有该数据权限"
    default_retryable = False


class QuotaExceededError(CorvaneError):
    """The account has reached its limit of live sessions."""

    default_code = "CONNECTION_LIMIT"
    default_user_message = "连接数已达上限，请关闭其他连接后重试"
    default_retryable = True


class DataConnectionError(CorvaneError):
    """The data session or the data-store connection was lost or refused."""

    default_code = "CONNECTION_INTERRUPTED"
    default_user_message = "连接中断，请重新初始化客户端"
    default_retryable = True


class APIError(CorvaneError):
    """The service refused the request as invalid."""

    default_code = "REQUEST_INVALID"
    default_user_message = "请求参数无效，请检查输入后重试"
    default_retryable = False


class ServiceUnavailableError(CorvaneError):
    """The service failed or answered in an unexpected way."""

    default_code = "SERVICE_UNAVAILABLE"
    default_user_message = "服务暂时不可用，请稍后重试"
    default_retryable = True


class RemoteDataError(CorvaneError):
    """Remote data could not be read."""

    default_code = "DATA_UNAVAILABLE"
    default_user_message = "数据暂时不可用，请稍后重试"
    default_retryable = True


class SerializationError(CorvaneError):
    """Downloaded data failed its size, hash or format check."""

    default_code = "DATA_VERIFY_FAILED"
    default_user_message = "数据校验失败，请重新同步"
    default_retryable = True


class CategoryNotFoundError(CorvaneError):
    """The category is neither stored locally nor authorised remotely."""

    default_code = "CATEGORY_NOT_FOUND"
    default_user_message = "数据类别不存在"
    default_retryable = False


class InvalidCategoryError(CorvaneError):
    """A category name does not have the form <dataset>_pivot#<field> or <dataset>_unstack#<field>."""

    default_code = "CATEGORY_INVALID"
    default_user_message = "数据类别名称无效，请检查拼写"
    default_retryable = False


class HostSelectionError(CorvaneError):
    """The API address is malformed or unsafe."""

    default_code = "API_URL_INVALID"
    default_user_message = "API 地址无效，请检查 api_url 或 CORVANE_API_URL"
    default_retryable = False


class LocalStorageError(CorvaneError):
    """The local store or storage directory could not be used."""

    default_code = "LOCAL_STORAGE_FAILED"
    default_user_message = "本地存储失败，请检查存储路径和磁盘空间"
    default_retryable = False

    disk_full_message = "本地磁盘空间已满，请清理磁盘或更换存储路径后重试"
    read_only_message = "本地存储路径所在的文件系统为只读，请检查存储路径"

    @classmethod
    def from_os_error(cls, error: BaseException, user_message=None, detail=None):
        """The error for a failed file operation: when the disk is full (or over quota) or
        mounted read-only, the user message says so and nothing else (no path, no name);
        otherwise ``user_message`` (the class default when None)."""
        number = _os_errno(error)
        if number in (_errno.ENOSPC, _errno.EDQUOT):
            user_message = cls.disk_full_message
        elif number == _errno.EROFS:
            user_message = cls.read_only_message
        return cls(user_message=user_message, detail=detail)


class MetaError(CorvaneError):
    """Remote metadata is missing or malformed."""

    default_code = "METADATA_UNAVAILABLE"
    default_user_message = "数据元信息不可用，请稍后重试"
    default_retryable = True


class NetworkError(CorvaneError):
    """The service could not be reached."""

    default_code = "NETWORK_ERROR"
    default_user_message = "网络连接失败，请检查网络后重试"
    default_retryable = True


class ProtocolError(CorvaneError):
    """The service answered with values outside the protocol."""

    default_code = "PROTOCOL_ERROR"
    default_user_message = "服务响应格式不兼容，请升级 SDK 后重试"
    default_retryable = False


class SyncError(CorvaneError):
    """An update run finished with categories that failed."""

    default_code = "SYNC_INCOMPLETE"
    default_user_message = "部分数据更新失败，请稍后重试"
    default_retryable = True
