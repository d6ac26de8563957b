"""The local stand-in for the service: ticket API, redis-server runner and publisher."""

import hashlib
import http.client
import io
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import urllib.error
import urllib.request

import pandas as pd
import pytest
import redis

from corvane.testing import (DISCONNECT_PATH, HEARTBEAT_PATH, OMIT, TICKET_PATH, ApiServer,
                             LocalService, RedisServer, json_body_of_size, synthetic_pivot,
                             synthetic_unstack)


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args):
        return None


_OPENER = urllib.request.build_opener(_NoRedirect)


def post(url, path, body=None, token=None, timeout=10, method="POST"):
    """One request; returns (status, headers, body bytes) whatever the status."""
    data = body if isinstance(body, bytes) else json.dumps(body or {}).encode()
    headers = {"Content-Type": "application/json"}
    if token is not None:
        headers["Authorization"] = "Bearer " + token
    request = urllib.request.Request(url + path, data=data, headers=headers, method=method)
    try:
        with _OPENER.open(request, timeout=timeout) as reply:
            return reply.status, reply.headers, reply.read()
    except urllib.error.HTTPError as error:
        with error:
            return error.code, error.headers, error.read()


def call(api, path, body=None, token=None):
    status, _, raw = post(api.url, path, body, api.token if token is None else token)
    return status, json.loads(raw)


def take_ticket(api):
    status, reply = call(api, TICKET_PATH, {"client_version": "3.0.5"})
    assert status == 200, reply
    return {"ticket": reply["ticket"], "session_id": reply["session_id"]}


class Clock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


@pytest.fixture
def clock():
    return Clock()


@pytest.fixture
def api(clock):
    with ApiServer(clock=clock, redis_host="localhost", redis_port=6390,
                   redis_password="secret-pw", redis_username="alice", redis_ssl=True,
                   transport_policy="policy-x", datasets=("cn_stock_pivot",),
                   category_patterns=("cn_*",), expires_in=600, session_limit=2) as server:
        yield server


# -- ticket API ---------------------------------------------------------------------------

def test_ticket_heartbeat_disconnect_cycle(api, clock):
    status, reply = call(api, TICKET_PATH, {"client_version": "3.0.5"})
    assert status == 200
    assert reply["success"] is True and reply["expires_in"] == 600
    assert reply["redis"] == {"host": "localhost", "port": 6390, "password": "secret-pw",
                              "username": "alice", "ssl": True,
                              "transport_policy": "policy-x"}
    assert reply["scope"] == {"datasets": ["cn_stock_pivot"], "key_patterns": ["corvane:*"],
                              "category_patterns": ["cn_*"]}
    ids = {"ticket": reply["ticket"], "session_id": reply["session_id"]}
    assert api.session_state(ids["session_id"]) == "live"

    # A renewal restarts the lifetime from the renewal, not from the issue.
    clock.now += 500
    assert call(api, HEARTBEAT_PATH, ids) == (200, {"success": True, "expires_in": 600})
    clock.now += 500
    assert api.session_state(ids["session_id"]) == "live"
    assert [s.session_id for s in api.sessions()] == [ids["session_id"]]

    assert call(api, DISCONNECT_PATH, ids) == (200, {"success": True})
    assert api.session_state(ids["session_id"]) == "released"
    assert api.sessions() == []
    assert call(api, HEARTBEAT_PATH, ids) == (404, {"success": False,
                                                    "error": "SessionNotFound"})


def test_restart_keeps_the_port_and_the_sessions(api):
    ids = take_ticket(api)
    url = api.url
    api.stop()
    with pytest.raises(urllib.error.URLError):
        _OPENER.open(url + TICKET_PATH, data=b"{}", timeout=5)
    api.start()
    assert api.url == url
    assert call(api, HEARTBEAT_PATH, ids)[0] == 200


def test_tickets_carry_distinct_random_ids(api):
    first, second = take_ticket(api), take_ticket(api)
    values = [*first.values(), *second.values()]
    assert len(set(values)) == 4 and all(len(v) > 20 for v in values)
    assert sorted(api.issued_secrets()) == sorted(values)


@pytest.mark.parametrize("fault, body, expected", [
    ("lapse by clock", None, (401, "TicketExpired")),
    ("expire_sessions", None, (401, "TicketExpired")),
    ("forget_sessions", None, (404, "SessionNotFound")),
    ("other ticket", {"ticket": "tkt-other"}, (404, "TicketNotFound")),
    ("missing member", {"ticket": None}, (400, "MissingParameters")),
    ("not json", b"{", (400, "InvalidRequest")),
    ("json array", b"[]", (400, "InvalidRequest")),
])
@pytest.mark.parametrize("path", [HEARTBEAT_PATH, DISCONNECT_PATH])
def test_session_faults(api, clock, path, fault, body, expected):
    ids = take_ticket(api)
    if fault == "lapse by clock":
        clock.now += 600  # the expiry instant itself counts as lapsed
    elif fault == "expire_sessions":
        api.expire_sessions(ids["session_id"])
    elif fault == "forget_sessions":
        api.forget_sessions()
    if isinstance(body, dict):
        body = {k: v for k, v in {**ids, **body}.items() if v is not None}
    request_body = ids if body is None else body
    if path == DISCONNECT_PATH and expected[1] == "TicketExpired":
        # Giving back a lapsed session is allowed.
        expected = (200, None)
    status, reply = call(api, path, request_body)
    assert status == expected[0]
    assert reply == ({"success": True} if expected[1] is None
                     else {"success": False, "error": expected[1]})


@pytest.mark.parametrize("path", [TICKET_PATH, HEARTBEAT_PATH, DISCONNECT_PATH])
@pytest.mark.parametrize("authorization", [None, "Bearer wrong", "{token}", "Bearer  {token}",
                                           "bearer {token}"])
def test_wrong_token_is_unauthorized(api, path, authorization):
    headers = {} if authorization is None else {
        "Authorization": authorization.format(token=api.token)}
    request = urllib.request.Request(api.url + path, data=b'{"client_version":"3.0.5"}',
                                     headers=headers, method="POST")
    with pytest.raises(urllib.error.HTTPError) as caught:
        _OPENER.open(request, timeout=10)
    with caught.value as error:
        assert error.code == 401
        assert json.loads(error.read()) == {"success": False, "error": "Unauthorized"}
    assert api.sessions() == []


def test_session_limit_counts_live_sessions_only(api):
    first = take_ticket(api)
    take_ticket(api)
    assert call(api, TICKET_PATH, {"client_version": "3.0.5"}) == (
        429, {"success": False, "error": "ConnectionLimitExceeded"})
    call(api, DISCONNECT_PATH, first)
    third = take_ticket(api)
    api.expire_sessions(third["session_id"])
    take_ticket(api)
    assert len(api.sessions()) == 2


def test_ticket_request_needs_client_version(api):
    assert call(api, TICKET_PATH, {}) == (400, {"success": False, "error": "MissingParameters"})


@pytest.mark.parametrize("method, path, expected", [
    ("POST", "/api/v1/data/other/", (404, "NotFound")),
    ("GET", TICKET_PATH, (405, "MethodNotAllowed")),
])
def test_unknown_paths_and_methods(api, method, path, expected):
    status, _, raw = post(api.url, path, {}, api.token, method=method)
    assert (status, json.loads(raw)) == (expected[0], {"success": False, "error": expected[1]})


def test_programmed_answers_run_out_in_order(api):
    api.program(TICKET_PATH, status=503, body=b"<html>busy</html>", times=2)
    api.program(TICKET_PATH, status=200, body={"success": False, "error": "UserDisabled"})
    api.program(None, status=500, body=b"", times=None)
    ticket_replies = [post(api.url, TICKET_PATH, {"client_version": "3.0.5"}, api.token)
                      for _ in range(4)]
    assert [(s, b) for s, _, b in ticket_replies] == [
        (503, b"<html>busy</html>"), (503, b"<html>busy</html>"),
        (200, b'{"success": false, "error": "UserDisabled"}'), (500, b"")]
    # The answer for every path stays until cleared.
    assert post(api.url, HEARTBEAT_PATH, {}, api.token)[0] == 500
    api.clear_programs()
    take_ticket(api)


def test_programmed_redirect_headers_and_size(api):
    api.program(TICKET_PATH, status=302, headers={"Location": "https://elsewhere.invalid/"},
                body=json_body_of_size({"success": False, "error": "Unauthorized"}, 1 << 20))
    status, headers, body = post(api.url, TICKET_PATH, {}, api.token)
    assert status == 302 and headers["Location"] == "https://elsewhere.invalid/"
    assert len(body) == 1 << 20
    assert json.loads(body) == {"success": False, "error": "Unauthorized"}


def test_programmed_content_length_replaces_the_true_one(api):
    api.program(TICKET_PATH, status=200, body=b'{"a"', headers={"Content-Length": "100"})
    with pytest.raises(http.client.IncompleteRead):
        post(api.url, TICKET_PATH, {}, api.token)


@pytest.mark.parametrize("program, error", [
    ({"delay": 5}, TimeoutError),
    ({"delay": 5, "status": 200, "body": {}}, TimeoutError),
    ({"drop": True}, ConnectionError),
])
def test_programmed_delay_and_drop(api, program, error):
    api.program(TICKET_PATH, **program)
    with pytest.raises(error):
        post(api.url, TICKET_PATH, {"client_version": "3.0.5"}, api.token, timeout=0.3)
    # One time only: the next request is served normally.
    take_ticket(api)


def test_requests_are_recorded_without_revealing_the_token(api):
    take_ticket(api)
    post(api.url, "/elsewhere", b"raw bytes", api.token)
    recorded = api.requests
    assert [(r.method, r.path) for r in recorded] == [("POST", TICKET_PATH),
                                                      ("POST", "/elsewhere")]
    assert recorded[0].json() == {"client_version": "3.0.5"}
    assert recorded[0].header("authorization") == "Bearer " + api.token
    assert recorded[1].body == b"raw bytes"
    assert api.token not in repr(recorded)
    assert api.requests_to("/elsewhere") == recorded[1:]
    api.clear_requests()
    assert api.requests == []


def test_https_api_with_generated_authority(tmp_path):
    from corvane.testing import CertificateFiles

    certificates = CertificateFiles(tmp_path)
    with ApiServer(ssl_context=certificates.server_context()) as server:
        assert server.url.startswith("https://")
        trusting = urllib.request.build_opener(
            urllib.request.HTTPSHandler(
                context=ssl.create_default_context(cafile=certificates.ca_path)))
        request = urllib.request.Request(server.url + TICKET_PATH,
                                         data=b'{"client_version":"3.0.5"}',
                                         headers={"Authorization": "Bearer " + server.token})
        with trusting.open(request, timeout=10) as reply:
            assert json.loads(reply.read())["success"] is True
        # Without the authority the certificate is refused, and the server keeps serving.
        with pytest.raises(urllib.error.URLError) as caught:
            urllib.request.build_opener(urllib.request.HTTPSHandler(
                context=ssl.create_default_context())).open(request, timeout=10)
        assert isinstance(caught.value.reason, ssl.SSLCertVerificationError)
        with trusting.open(request, timeout=10) as reply:
            assert reply.status == 200


# -- redis-server ---------------------------------------------------------------------------

@pytest.fixture(scope="module")
def redis_servers():
    """One server per mode, shared by the tests of this module."""
    servers = {
        "plaintext": RedisServer(),
        "password": RedisServer(password="pw-only"),
        "acl": RedisServer(username="alice"),
        "tls": RedisServer(tls=True, username="bob"),
    }
    try:
        for server in servers.values():
            server.start()
        yield servers
    finally:
        for server in servers.values():
            server.close()


@pytest.mark.parametrize("mode", ["plaintext", "password", "acl", "tls"])
def test_redis_answers_with_the_right_credentials(redis_servers, mode):
    server = redis_servers[mode]
    with server.client() as conn:
        assert conn.ping() is True
        assert conn.config_get("save") == {"save": ""}
        assert conn.config_get("appendonly") == {"appendonly": "no"}


@pytest.mark.parametrize("mode, overrides, error", [
    ("password", {"password": None}, redis.AuthenticationError),
    ("password", {"password": "wrong"}, redis.AuthenticationError),
    ("acl", {"password": "wrong"}, redis.AuthenticationError),
    # The default user is disabled once a user is configured.
    ("acl", {"username": None}, redis.AuthenticationError),
    ("acl", {"username": "default"}, redis.AuthenticationError),
    ("tls", {"password": "wrong"}, redis.AuthenticationError),
    ("tls", {"ssl": False}, redis.ConnectionError),
    ("tls", {"ssl_ca_certs": None}, redis.ConnectionError),
])
def test_redis_refuses_wrong_credentials(redis_servers, mode, overrides, error, monkeypatch):
    monkeypatch.delenv("SSL_CERT_FILE", raising=False)
    with redis_servers[mode].client(socket_timeout=5, **overrides) as conn:
        with pytest.raises(error):
            conn.ping()


def test_redis_tls_certificate_names_localhost(redis_servers):
    server = redis_servers["tls"]
    for host in ("localhost", "127.0.0.1"):
        with server.client(host=host, ssl_check_hostname=True) as conn:
            assert conn.ping() is True


def test_redis_restart_kill_and_close():
    server = RedisServer(password="pw")
    with server:
        port = server.port
        with server.client() as conn:
            conn.set("kept", b"\x00value")
            conn.set("expiring", b"v", ex=100)
            server.restart()
            assert server.port == port
            assert conn.get("kept") == b"\x00value"
            assert 0 < conn.ttl("expiring") <= 100
            server.kill()
            assert not server.is_running
            with pytest.raises(redis.ConnectionError):
                conn.ping()
            server.start()
            assert server.port == port and conn.get("kept") is None
            server.restart(keep_data=False)
            assert conn.dbsize() == 0
            server.pause()
            with server.client(socket_timeout=0.3) as frozen, pytest.raises(redis.TimeoutError):
                frozen.ping()
            server.resume()
            assert conn.ping() is True
            server.pause()
            server.stop()  # a paused server stops too
            server.start()
        folder = server._dir
    assert not server.is_running and not folder.exists()
    with socket.socket() as probe:
        assert probe.connect_ex(("127.0.0.1", port)) != 0


# -- publisher ------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def published(redis_servers):
    server = redis_servers["acl"]
    with server.client() as conn:
        conn.flushall()
        yield conn


def read_json(conn, key):
    return json.loads(conn.get(key))


def payload_frame(conn, category, partition):
    meta = read_json(conn, f"corvane:meta:partition:{category}:{partition}")
    payload = conn.get(meta["data_key"])
    assert meta["hash"] == "sha256:" + hashlib.sha256(payload).hexdigest()
    assert meta["protocol_version"] == 1 and meta["data_format"] == "parquet"
    return pd.read_parquet(io.BytesIO(payload))


@pytest.mark.parametrize("granularity, partitions", [
    ("monthly", ["2024-01", "2024-02", "2024-03"]),
    ("daily", None),
    ("yearly", ["2024"]),
])
def test_publish_pivot_round_trip(published, granularity, partitions):
    from corvane.testing import Publisher

    category = f"cn_stock_pivot#close_{granularity}"
    frame = synthetic_pivot("2024-01-01", "2024-03-31", 7, seed=3, nan_fraction=0.1)
    names = Publisher(published).publish_pivot(category, frame, partition_mode="monthly",
                                               granularity=granularity)
    if partitions is None:
        partitions = list(frame.index.strftime("%Y-%m-%d"))
    assert names == partitions
    meta = read_json(published, "corvane:meta:category:" + category)
    assert meta == {"protocol_version": 1, "data_format": "parquet", "category": category,
                    "partition_mode": "monthly", "partition_keys": partitions}
    assert category in read_json(published, "corvane:meta:categories")
    parts = [payload_frame(published, category, p) for p in partitions]
    for part in parts:
        assert part.index.name == "date" and (part.dtypes == "float64").all()
    pd.testing.assert_frame_equal(pd.concat(parts), frame, check_freq=False)


def test_publish_unstack_and_broken_partitions(published):
    from corvane.testing import Publisher

    publisher = Publisher(published)
    frame = synthetic_unstack(50, seed=1)
    assert not frame.duplicated(["date", "code"]).any()
    publisher.publish_unstack("cn_x_unstack#bar", frame, duplicate_keys=["date", "code"])
    meta = read_json(published, "corvane:meta:category:cn_x_unstack#bar")
    assert meta["partition_keys"] == ["full"] and meta["duplicate_keys"] == ["date", "code"]
    pd.testing.assert_frame_equal(payload_frame(published, "cn_x_unstack#bar", "full"), frame)

    part = publisher.publish_partition("cn_x_pivot#f", "2024-01", b"not parquet",
                                       hash="sha256:" + "A" * 64, data_key="elsewhere",
                                       data_format=OMIT, extra=1)
    assert part == {"protocol_version": 1, "hash": "sha256:" + "A" * 64,
                    "data_key": "elsewhere", "extra": 1}
    assert published.get("elsewhere") == b"not parquet"
    assert publisher.publish_category_meta("cn_x_pivot#f", listed=False, category=None) == {
        "protocol_version": 1, "data_format": "parquet", "category": None}
    assert "cn_x_pivot#f" not in publisher.categories()
    publisher.publish_pivot("cn_y_pivot#f", synthetic_pivot("2024-01-01", "2024-01-05", 2),
                            partition_mode=OMIT, partition_keys=[1])
    assert read_json(published, "corvane:meta:category:cn_y_pivot#f") == {
        "protocol_version": 1, "data_format": "parquet", "category": "cn_y_pivot#f",
        "partition_keys": [1]}
    publisher.set_categories(["b", "a", "b"])
    assert publisher.categories() == ["b", "a", "b"]
    publisher.set_raw("corvane:meta:categories", b"\xff")
    assert publisher.get_raw("corvane:meta:categories") == b"\xff"
    publisher.delete("corvane:meta:categories")
    assert publisher.categories() == []


# -- the joined service ---------------------------------------------------------------------

@pytest.mark.parametrize("options", [{}, {"tls": True, "redis_user": "carol"},
                                     {"api_tls": True}])
def test_local_service_tickets_lead_to_its_redis(options, monkeypatch):
    monkeypatch.setenv("SSL_CERT_FILE", "/nonexistent/before.pem")
    with LocalService(datasets=["cn_stock_pivot"], **options) as svc:
        if svc.ca_path:
            assert os.environ["SSL_CERT_FILE"] == svc.ca_path
        opener = urllib.request.build_opener(urllib.request.HTTPSHandler(
            context=ssl.create_default_context()))
        request = urllib.request.Request(svc.url + TICKET_PATH,
                                         data=b'{"client_version":"3.0.5"}',
                                         headers={"Authorization": "Bearer " + svc.token})
        with opener.open(request, timeout=10) as reply:
            ticket = json.loads(reply.read())
        settings = ticket["redis"]
        assert settings["host"] == ("localhost" if options.get("tls") else "127.0.0.1")
        assert ticket["scope"]["datasets"] == ["cn_stock_pivot"]
        # The ticket's credentials, with the platform trust store as the client uses it.
        with redis.Redis(host=settings["host"], port=settings["port"],
                         username=settings.get("username"), password=settings["password"],
                         ssl=settings["ssl"], ssl_cert_reqs="required") as conn:
            svc.publisher.set_categories(["cn_stock_pivot#close"])
            assert json.loads(conn.get("corvane:meta:categories")) == ["cn_stock_pivot#close"]
        assert set(svc.secrets()) >= {svc.token, settings["password"], ticket["ticket"],
                                      ticket["session_id"]}
    assert os.environ["SSL_CERT_FILE"] == "/nonexistent/before.pem"
    assert not svc.redis.is_running


def started_as_from_a_terminal(command):
    """`command` started with Ctrl-C at its default, as a command typed at a terminal: a run
    of the suite started in the background (`dev/test &`) ignores SIGINT, and its children
    would inherit that. (A handler, unlike an ignored signal, does not survive the exec.)"""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                text=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    finally:
        signal.signal(signal.SIGINT, previous)


@pytest.mark.timeout(120)
@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "kill"])
def test_serve_command_prints_its_address_and_stops_on_interrupt(stop):
    process = started_as_from_a_terminal(
        [sys.executable, "-m", "corvane.testing", "serve", "--data", "small"])
    try:
        lines = [process.stdout.readline() for _ in range(4)]
        assert lines[0].startswith("API URL:   http://127.0.0.1:")
        url = lines[0].split()[-1]
        token = lines[1].split()[-1]
        assert lines[2].startswith("4 categories") and lines[3].startswith("Ctrl-C")
        status, _, body = post(url, TICKET_PATH, {"client_version": "3.0.5"}, token)
        assert status == 200
        port = json.loads(body)["redis"]["port"]
        process.send_signal(stop)
        # Stopped cleanly, whichever the signal: exit status 0, Redis gone.
        assert process.wait(timeout=60) == 0
        with socket.socket() as probe:
            assert probe.connect_ex(("127.0.0.1", port)) != 0
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
