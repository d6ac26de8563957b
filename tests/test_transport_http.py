"""The HTTP JSON transport against a real HTTP server on loopback."""

import importlib
import socket
import threading
import urllib.request

import pytest

from corvane import CorvaneClient
from corvane.exceptions import (
    APIError,
    AuthError,
    DataConnectionError,
    NetworkError,
    PermissionDeniedError,
    QuotaExceededError,
    ServiceUnavailableError,
)
from corvane.testing import (
    HEARTBEAT_PATH,
    TICKET_PATH,
    ApiServer,
    CertificateFiles,
    free_port,
    json_body_of_size,
)
from helpers import assert_public

client_module = importlib.import_module("corvane.CorvaneClient")

LIMIT = 1048576


@pytest.fixture
def server():
    with ApiServer() as running:
        yield running


def http_client(api_url, api_token="tok-test"):
    client = CorvaneClient.__new__(CorvaneClient)
    client.api_url = api_url
    client.api_token = api_token
    client._http_opener = urllib.request.build_opener(client_module._NoRedirectHandler())
    return client


@pytest.fixture
def client(server):
    return http_client(server.url, server.token)


def post(client, endpoint=TICKET_PATH, payload=None, timeout=10):
    if payload is None:
        payload = {"client_version": "3.0.5"}
    return client._api_post_json(endpoint, payload, timeout)


def raises_bare(expected, call):
    """Runs `call`, which must raise exactly `expected` as a public error; returns it."""
    with pytest.raises(expected) as raised:
        call()
    return assert_public(raised.value, expected, from_none=True)


def test_ticket_request_and_envelope(server, client):
    payload = {"client_version": "3.0.5", "note": "行情 é😀", "n": 1, "nested": {"b": [1, None]}}
    envelope = post(client, payload=payload, timeout=30)

    assert envelope["success"] is True
    assert envelope["ticket"] in server.issued_secrets()
    [request] = server.requests
    assert (request.method, request.path) == ("POST", TICKET_PATH)
    assert request.header("Host") == f"127.0.0.1:{server.port}"
    assert request.header("Authorization") == "Bearer " + server.token
    assert request.header("Accept") == "application/json"
    assert request.header("Content-Type") == "application/json"
    assert request.header("User-Agent") == "CorvaneSDK/3.0.5"
    assert request.body == (
        b'{"client_version":"3.0.5","note":"\\u884c\\u60c5 \\u00e9\\ud83d\\ude00",'
        b'"n":1,"nested":{"b":[1,null]}}'
    )


@pytest.mark.parametrize(
    "status, envelope, size, expected",
    [
        (200, {"success": True, "pad": ""}, LIMIT, None),
        (200, {"success": True, "pad": ""}, LIMIT + 1, ServiceUnavailableError),
        (401, {"success": False, "error": "UserDisabled"}, LIMIT, PermissionDeniedError),
        (401, {"success": False, "error": "UserDisabled"}, LIMIT + 1, ServiceUnavailableError),
    ],
)
def test_body_cap_at_its_boundary(server, client, status, envelope, size, expected):
    server.program(TICKET_PATH, status=status, body=json_body_of_size(envelope, size))
    if expected is None:
        assert post(client) == envelope
    else:
        raises_bare(expected, lambda: post(client))


@pytest.mark.parametrize("status", [301, 302, 303, 307, 308])
@pytest.mark.parametrize(
    "body, expected, code",
    [
        (b'{"success":false,"error":"Unauthorized"}', AuthError, "AUTH_INVALID"),
        (b"<html><body>Moved</body></html>", ServiceUnavailableError, "SERVICE_UNAVAILABLE"),
    ],
)
def test_redirects_are_never_followed(server, client, status, body, expected, code):
    server.program(TICKET_PATH, status=status, body=body,
                   headers={"Location": server.url + HEARTBEAT_PATH, "Content-Type": "text/html"})
    error = raises_bare(expected, lambda: post(client))
    assert error.code == code
    assert [r.path for r in server.requests] == [TICKET_PATH]


@pytest.mark.parametrize(
    "status, body, expected, code",
    [
        (200, b"<html>ok</html>", ServiceUnavailableError, "SERVICE_UNAVAILABLE"),
        (200, b"", ServiceUnavailableError, "SERVICE_UNAVAILABLE"),
        (200, b'\xef\xbb\xbf{"success":true}', ServiceUnavailableError, "SERVICE_UNAVAILABLE"),
        (200, '{"success":true}'.encode("utf-16"), ServiceUnavailableError, "SERVICE_UNAVAILABLE"),
        (400, b"bad request", APIError, "REQUEST_INVALID"),
        (401, b"", AuthError, "AUTH_INVALID"),
        (401, b'{"error":"UserDisabled\xff"}', AuthError, "AUTH_INVALID"),
        (403, b"<h1>Forbidden</h1>", PermissionDeniedError, "PERMISSION_DENIED"),
        (429, b"slow down", QuotaExceededError, "CONNECTION_LIMIT"),
        (404, b"not found", ServiceUnavailableError, "SERVICE_UNAVAILABLE"),
        (502, b"<html>Bad Gateway</html>", ServiceUnavailableError, "SERVICE_UNAVAILABLE"),
    ],
)
def test_unparseable_bodies_are_mapped_by_status(server, client, status, body, expected, code):
    server.program(TICKET_PATH, status=status, body=body)
    error = raises_bare(expected, lambda: post(client))
    assert error.code == code


@pytest.mark.parametrize("status", [200, 401])
@pytest.mark.parametrize("body", [b"[]", b'[{"success":true}]', b'"ok"', b"null", b"1"])
def test_json_that_is_no_object_is_an_invalid_shape(server, client, status, body):
    server.program(TICKET_PATH, status=status, body=body)
    error = raises_bare(ServiceUnavailableError, lambda: post(client))
    assert error.detail == "invalid response shape"


@pytest.mark.parametrize(
    "status, envelope",
    [
        (200, {"ticket": "t"}),
        (200, {"success": True, "x": [1]}),
        (200, {"success": "false"}),
        (200, {"success": 1, "error": "Unauthorized"}),
        (201, {"success": {"a": 0}}),
    ],
)
def test_successful_envelope_is_returned_untouched(server, client, status, envelope):
    server.program(TICKET_PATH, status=status, body=envelope)
    assert post(client) == envelope


@pytest.mark.parametrize(
    "status, envelope, expected, code",
    [
        (200, {"success": False, "error": "TicketExpired"}, DataConnectionError,
         "CONNECTION_INTERRUPTED"),
        (200, {"success": False}, ServiceUnavailableError, "SERVICE_UNAVAILABLE"),
        (200, {"success": None, "error": "NoDatasetAccess"}, PermissionDeniedError,
         "PERMISSION_DENIED"),
        (200, {"success": "", "error": "AUTH_INVALID"}, AuthError, "AUTH_INVALID"),
        (200, {"success": [], "error": "Whatever"}, ServiceUnavailableError,
         "SERVICE_UNAVAILABLE"),
        (500, {"success": True}, ServiceUnavailableError, "SERVICE_UNAVAILABLE"),
        (401, {"success": True, "ticket": "t"}, AuthError, "AUTH_INVALID"),
        (403, {"success": False, "error": "SubscriptionExpired"}, PermissionDeniedError,
         "SUBSCRIPTION_UNAVAILABLE"),
        (429, {"error": "ConnectionLimitExceeded"}, QuotaExceededError, "CONNECTION_LIMIT"),
        (404, {"success": False, "error": "SessionNotFound"}, DataConnectionError,
         "CONNECTION_INTERRUPTED"),
    ],
)
def test_failed_envelope_raises_its_public_error(server, client, status, envelope, expected, code):
    server.program(TICKET_PATH, status=status, body=envelope)
    error = raises_bare(expected, lambda: post(client))
    assert error.code == code
    assert error.detail is None


def test_service_error_replies_of_the_real_endpoints(server, client):
    raises_bare(AuthError, lambda: post(http_client(server.url, "wrong-token")))
    raises_bare(APIError, lambda: post(client, payload={}))
    error = raises_bare(DataConnectionError,
                        lambda: post(client, HEARTBEAT_PATH, {"ticket": "t", "session_id": "s"}))
    assert error.code == "CONNECTION_INTERRUPTED"


@pytest.mark.parametrize(
    "endpoint", ["/v1/data/ticket/", "api/v1/data/ticket/", "", "/api", "/API/v1/", "//api/"]
)
def test_endpoint_outside_api_opens_no_connection(server, client, endpoint):
    error = raises_bare(ServiceUnavailableError, lambda: post(client, endpoint))
    assert error.code == "SERVICE_UNAVAILABLE"
    assert server.requests == []


def test_connection_refused_is_a_network_error():
    client = http_client(f"http://127.0.0.1:{free_port()}")
    raises_bare(NetworkError, lambda: post(client))


def test_unknown_host_is_a_network_error():
    client = http_client("https://api.corvane-test.invalid")
    raises_bare(NetworkError, lambda: post(client))


def test_time_out_is_a_network_error(server, client):
    server.program(TICKET_PATH, delay=30)
    raises_bare(NetworkError, lambda: post(client, timeout=1))


def test_reset_without_reply_is_a_network_error(server, client):
    server.program(TICKET_PATH, drop=True)
    raises_bare(NetworkError, lambda: post(client))


def test_untrusted_certificate_is_a_network_error(tmp_path, monkeypatch):
    monkeypatch.delenv("SSL_CERT_FILE", raising=False)
    certificates = CertificateFiles(tmp_path)
    with ApiServer(ssl_context=certificates.server_context()) as tls_server:
        client = http_client(tls_server.url, tls_server.token)
        raises_bare(NetworkError, lambda: post(client))
        assert tls_server.requests == []


class RawPeer:
    """A loopback peer speaking raw bytes: it reads one request head, sends `reply`, then
    keeps the connection open and silent until the test ends."""

    def __init__(self, reply):
        self._reply = reply
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(10)
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self.url = f"http://127.0.0.1:{self._listener.getsockname()[1]}"

    def _serve(self):
        try:
            connection, _ = self._listener.accept()
        except OSError:
            return
        with connection:
            connection.settimeout(10)
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = connection.recv(65536)
                if not chunk:
                    return
                head += chunk
            connection.sendall(self._reply)
            self._done.wait(10)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc_info):
        self._done.set()
        self._thread.join()
        self._listener.close()


@pytest.mark.parametrize(
    "reply, expected",
    [
        # The error reply's body stalls after its head: a transport failure while reading
        # the body of an HTTP error reply.
        (b"HTTP/1.1 500 Oops\r\nContent-Length: 100\r\n\r\n{\"error\":", NetworkError),
        (b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"success\":", NetworkError),
        # One byte past the cap ends the exchange at once: the rest is never waited for.
        (b"HTTP/1.1 200 OK\r\nContent-Length: 10485760\r\n\r\n" + b" " * (LIMIT + 1),
         ServiceUnavailableError),
        (b"HTTP/1.1 503 Busy\r\n\r\n" + b" " * (LIMIT + 1), ServiceUnavailableError),
        (b"NONSENSE\r\n\r\n", ServiceUnavailableError),
    ],
    ids=["error-body-stalls", "body-stalls", "over-cap-with-length", "over-cap-until-close",
         "malformed-status-line"],
)
def test_failures_inside_the_reply(reply, expected):
    with RawPeer(reply) as peer:
        raises_bare(expected, lambda: post(http_client(peer.url), timeout=1))
