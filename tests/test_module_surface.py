"""What a caller finds in corvane.CorvaneClient: constants, tables, docstrings, helper classes."""

import datetime as dt
import http.server
import inspect
import os
import re
import subprocess
import sys
import textwrap
import threading
import urllib.error
import urllib.parse
import urllib.request

import pandas
import pytest
import tqdm

import corvane
import corvane.exceptions as exc
import corvane.log

M = sys.modules["corvane.CorvaneClient"]
C = M.CorvaneClient


def test_versions_and_package_export():
    assert M.SDK_VERSION == "3.0.5" and type(M.SDK_VERSION) is str
    assert C.PROTOCOL_VERSION == 1 and type(C.PROTOCOL_VERSION) is int
    assert corvane.CorvaneClient is C
    for name in ("_NoRedirectHandler", "_BufferedResponse", "DataTicket", "CorvaneClient"):
        cls = vars(M)[name]
        assert isinstance(cls, type) and cls.__name__ == name
        assert cls.__module__ == "corvane.CorvaneClient"


def test_dependencies_are_bound_in_the_module_namespace():
    for name in exc.__all__:
        assert getattr(M, name) is getattr(exc, name)
    assert M.GetLogger is corvane.log.GetLogger
    assert M.pd is pandas and M.tqdm is tqdm.tqdm
    assert (M.datetime, M.timedelta) == (dt.datetime, dt.timedelta)
    assert M.urllib.request is urllib.request and M.urllib.parse is urllib.parse
    for name in ("fnmatch", "hashlib", "ipaddress", "io", "json", "logging", "os", "re", "ssl",
                 "tempfile", "threading", "time"):
        assert getattr(M, name) is sys.modules[name]


def test_class_constants():
    expected = {
        "DEFAULT_API_URL": C.DEFAULT_API_URL,  # deployment value; its form is checked below
        "OFFICIAL_PLAINTEXT_REDIS_POLICY": "mvp-plaintext-public-redis-v1",
        "OFFICIAL_PLAINTEXT_REDIS_SUFFIXES": C.OFFICIAL_PLAINTEXT_REDIS_SUFFIXES,
        "PROTOCOL_VERSION": 1,
        "DATA_FORMAT": "parquet",
        "MAX_API_RESPONSE_BYTES": 1048576,
        "MAX_METADATA_BYTES": 5242880,
        "MAX_PARTITION_BYTES": 536870912,
        "CATEGORY_PATTERN": C.CATEGORY_PATTERN,
        "PARTITION_PATTERN": C.PARTITION_PATTERN,
        "HASH_PATTERN": C.HASH_PATTERN,
        "HEARTBEAT_INTERVAL": 30,
        "TICKET_REFRESH_THRESHOLD": 30,
        "META_CATEGORIES_KEY": "corvane:meta:categories",
        "META_CATEGORY_KEY_PREFIX": "corvane:meta:category:",
        "META_PARTITION_KEY_PREFIX": "corvane:meta:partition:",
        "PUBLIC_ERROR_MESSAGES": C.PUBLIC_ERROR_MESSAGES,
        "LEGACY_ERROR_CODE_MAP": C.LEGACY_ERROR_CODE_MAP,
        "ERROR_CLASS_MAP": C.ERROR_CLASS_MAP,
    }
    constants = {k: v for k, v in vars(C).items() if re.fullmatch(r"[A-Z][A-Z0-9_]*", k)}
    assert constants == expected  # these and no other
    for name in ("PROTOCOL_VERSION", "MAX_API_RESPONSE_BYTES", "HEARTBEAT_INTERVAL"):
        assert type(constants[name]) is int

    url = urllib.parse.urlsplit(C.DEFAULT_API_URL)
    assert url.scheme == "https" and url.hostname
    assert C.DEFAULT_API_URL == "https://" + url.hostname
    suffixes = C.OFFICIAL_PLAINTEXT_REDIS_SUFFIXES
    assert type(suffixes) is tuple and len(suffixes) == 2
    assert all(s.startswith(".") and C._validate_redis_host(s[1:]) for s in suffixes)


PUBLIC_TABLE = [
    ("AUTH_INVALID", "API 凭证无效或已过期，请检查后重试", exc.AuthError),
    ("ACCOUNT_UNAVAILABLE", "账号不可用，请联系管理员处理", exc.PermissionDeniedError),
    ("SUBSCRIPTION_UNAVAILABLE", "套餐不可用或已过期，请续费后重试", exc.PermissionDeniedError),
    ("PERMISSION_DENIED", "权限不足：当前账号没有该数据权限", exc.PermissionDeniedError),
    ("CONNECTION_LIMIT", "连接数已达上限，请关闭其他连接后重试", exc.QuotaExceededError),
    ("CONNECTION_INTERRUPTED", "连接中断，请重新初始化客户端", exc.DataConnectionError),
    ("REQUEST_INVALID", "请求参数无效，请检查输入后重试", exc.APIError),
    ("SERVICE_UNAVAILABLE", "服务暂时不可用，请稍后重试", exc.ServiceUnavailableError),
    ("DATA_UNAVAILABLE", "数据暂时不可用，请稍后重试", exc.RemoteDataError),
    ("DATA_VERIFY_FAILED", "数据校验失败，请重新同步", exc.SerializationError),
]

SERVICE_CODES = [
    ("Unauthorized", "AUTH_INVALID"),
    ("UserDisabled", "ACCOUNT_UNAVAILABLE"),
    ("SubscriptionInvalid", "SUBSCRIPTION_UNAVAILABLE"),
    ("SubscriptionExpired", "SUBSCRIPTION_UNAVAILABLE"),
    ("NoDatasetAccess", "PERMISSION_DENIED"),
    ("ConnectionLimitExceeded", "CONNECTION_LIMIT"),
    ("InvalidRequest", "REQUEST_INVALID"),
    ("MissingParameters", "REQUEST_INVALID"),
    ("TicketNotFound", "CONNECTION_INTERRUPTED"),
    ("TicketExpired", "CONNECTION_INTERRUPTED"),
    ("SessionNotFound", "CONNECTION_INTERRUPTED"),
    ("SessionExpired", "CONNECTION_INTERRUPTED"),
    ("RenewFailed", "CONNECTION_INTERRUPTED"),
    ("InternalError", "SERVICE_UNAVAILABLE"),
]


def test_error_tables():
    assert C.PUBLIC_ERROR_MESSAGES == {c: m for c, m, _ in PUBLIC_TABLE}
    assert C.ERROR_CLASS_MAP == {c: k for c, _, k in PUBLIC_TABLE}
    assert C.LEGACY_ERROR_CODE_MAP == dict(SERVICE_CODES)


def test_docstrings():
    doc = M.__doc__
    assert doc.splitlines()[0] == "Corvane 3.0 Client - 独立简洁版"
    for line in ("获取/续租/释放 Data Ticket", "直连 Redis 下载数据", "本地 Parquet 缓存管理",
                 "一键更新和读取数据", "import corvane as cv", 'save_path="D:/Corvane/"',
                 "UpdateAllCategory(update_method='full')", "# 使用 with 语句（自动关闭）",
                 'GetCategory("cn_stock_pivot#open")'):
        assert line in doc
    assert re.search(r"with cv\.CorvaneClient\(api_token=.*, save_path=.*\) as client:", doc)

    lines = inspect.cleandoc(C.__doc__).splitlines()
    assert lines[:3] == ["Corvane 3.0 简洁版客户端", "", "独立完整实现，自动管理所有底层连接和数据缓存。"]
    for arg in ("api_token: API Token（认证凭据）", "save_path: 本地数据存储路径",
                "api_url: API 地址（可选，默认从环境变量 CORVANE_API_URL 读取）",
                "log_level: 日志级别"):
        assert arg in [line.strip() for line in lines]


@pytest.mark.parametrize("name, kind", [
    ("_validate_api_token", staticmethod),
    ("_required_text", staticmethod),
    ("_validate_redis_host", classmethod),
    ("_validate_scope_list", classmethod),
    ("_validate_partition_name", classmethod),
    ("_validate_hash", classmethod),
])
def test_method_kinds(name, kind):
    """A static method is one callable whichever way it is reached; a class method is bound
    to the class it is reached through, a subclass included, even from an instance."""
    class Sub(C):
        pass

    through_class, through_instance = getattr(Sub, name), getattr(Sub.__new__(Sub), name)
    if kind is staticmethod:
        assert through_class is through_instance
        assert getattr(through_class, "__self__", None) is not Sub
    else:
        assert through_class.__self__ is Sub and through_instance.__self__ is Sub


def test_subclass_and_instance_replacement_are_honoured():
    class Custom(C):
        MAX_API_RESPONSE_BYTES = 10

    client = Custom.__new__(Custom)
    assert client.MAX_API_RESPONSE_BYTES == 10 and client.DATA_FORMAT == "parquet"
    client._validate_hash = lambda value: "replaced"
    assert client._validate_hash("anything") == "replaced"
    assert Custom.__new__(Custom)._validate_hash("sha256:" + "a" * 64) == "sha256:" + "a" * 64


# ---------------------------------------------------------------- _BufferedResponse

@pytest.mark.parametrize("status, ok", [
    (200, True), (204, True), (299, True), (199, False), (300, False), (302, False),
    (404, False), (500, False), (-200, False), (2 ** 70, False),
])
def test_buffered_response_ok(status, ok):
    body = b'{"a": 1}'
    response = M._BufferedResponse(status, body)
    assert response.status_code is status and response.ok is ok and response._body is body


@pytest.mark.parametrize("body, value", [
    (b"{}", {}),
    (b'[1, "\xc3\xa9", null]', [1, "é", None]),
    (b"  42 ", 42),
])
def test_buffered_response_json(body, value):
    assert M._BufferedResponse(200, body).json() == value


@pytest.mark.parametrize("body", [
    b"\xef\xbb\xbf{}",            # UTF-8 byte-order mark
    '{"a": "é"}'.encode("latin-1"),
    '{"a": 1}'.encode("utf-16"),
    b"",
    b"{",
    b"[" * 100_000 + b"]" * 100_000,  # deeper than the parser goes
])
def test_buffered_response_json_is_strict(body):
    with pytest.raises(ValueError):
        M._BufferedResponse(200, body).json()


# ---------------------------------------------------------------- _NoRedirectHandler

class _Redirecting(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path == "/target":
            self.send_response(200)
        else:
            self.send_response(302)
            self.send_header("Location", "/target")
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


@pytest.fixture
def redirecting_server():
    with http.server.ThreadingHTTPServer(("127.0.0.1", 0), _Redirecting) as server:
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        try:
            yield f"http://127.0.0.1:{server.server_address[1]}"
        finally:
            server.shutdown()
            thread.join()


def test_no_redirect_handler_stops_at_the_redirect(redirecting_server):
    handler = M._NoRedirectHandler()
    assert isinstance(handler, urllib.request.HTTPRedirectHandler)
    assert handler.redirect_request(None, None, 302, "Found", {}, "http://x/") is None
    opener = urllib.request.build_opener(handler)
    with pytest.raises(urllib.error.HTTPError) as info:
        opener.open(redirecting_server + "/start", timeout=10)
    assert info.value.code == 302
    info.value.close()
    with opener.open(redirecting_server + "/target", timeout=10) as reply:
        assert reply.status == 200


# ---------------------------------------------------------------- one initialisation

def test_second_initialisation_in_one_process_fails():
    script = textwrap.dedent("""
        import importlib, sys
        import concurrent.interpreters as interpreters
        import corvane
        first = sys.modules.pop("corvane.CorvaneClient")
        try:
            importlib.import_module("corvane.CorvaneClient")
        except ImportError as e:
            print("again:", e)
        interp = interpreters.create()
        try:
            interp.exec("import corvane.CorvaneClient")
        except interpreters.ExecutionFailed as e:
            print("subinterpreter:", e.excinfo.type.__name__)
        finally:
            interp.close()
        print(first.CorvaneClient._validate_partition_name("full"))
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            env=os.environ, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "again: corvane.CorvaneClient can be initialised only once per process",
        "subinterpreter: ImportError",
        "full",
    ]


# ---------------------------------------------------------------- one Arrow per process

def test_import_refuses_a_pyarrow_on_another_arrow():
    # pyarrow reports the Arrow C++ it has loaded in cpp_version; the extension compares it
    # with the one it was built against, so another value stands for another library.
    script = textwrap.dedent("""
        import pyarrow
        built = pyarrow.cpp_version
        pyarrow.cpp_version = "1.2.3"
        try:
            import corvane
        except ImportError as e:
            print(built in str(e), "1.2.3" in str(e))
        pyarrow.cpp_version = built
        import corvane
        print(corvane.CorvaneClient.__name__)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            env=os.environ, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["True True", "CorvaneClient"]
