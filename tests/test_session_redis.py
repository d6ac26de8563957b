"""The Redis connection of the current ticket and its transport policy."""

import ssl
from datetime import datetime, timedelta

import pytest

from corvane import CorvaneClient
from corvane.exceptions import DataConnectionError, ProtocolError
from helpers import SleepRecorder, mod, program_ticket, raised

DEFAULT = CorvaneClient.DEFAULT_API_URL
POLICY = CorvaneClient.OFFICIAL_PLAINTEXT_REDIS_POLICY
REDIS_SUFFIX, TAIR_SUFFIX = CorvaneClient.OFFICIAL_PLAINTEXT_REDIS_SUFFIXES


def ticket(host="127.0.0.1", port=6379, policy=None, ssl=False, password="pw", username=None):
    return mod.DataTicket(
        ticket_id="t", session_id="s", redis_host=host, redis_port=port,
        redis_password=password, expires_at=datetime.now() + timedelta(hours=1), datasets=[],
        key_patterns=[], category_patterns=[], redis_username=username, redis_ssl=ssl,
        redis_transport_policy=policy)


@pytest.mark.parametrize("api_url, host, port, policy, allowed", [
    (DEFAULT, "R-ABC" + TAIR_SUFFIX.upper(), 6379, POLICY, True),
    (DEFAULT, "r-abc" + REDIS_SUFFIX, 6379, POLICY, True),
    (DEFAULT, "r-abc" + TAIR_SUFFIX, 6380, POLICY, False),
    (DEFAULT, "r-abc" + TAIR_SUFFIX, 6379, POLICY.upper(), False),
    (DEFAULT, "r-abc" + TAIR_SUFFIX, 6379, None, False),
    (DEFAULT, TAIR_SUFFIX[1:], 6379, POLICY, False),
    (DEFAULT, "r-abc" + TAIR_SUFFIX + ".example.com", 6379, POLICY, False),
    (DEFAULT + ":443", "r-abc" + TAIR_SUFFIX, 6379, POLICY, False),
    ("https://127.0.0.1:8443", "r-abc" + TAIR_SUFFIX, 6379, POLICY, False),
])
def test_official_plaintext_rule(bare_client, api_url, host, port, policy, allowed):
    bare_client.api_url = api_url
    assert bare_client._official_plaintext_redis_is_allowed(ticket(host, port, policy)) is allowed


@pytest.mark.parametrize("host, port, policy", [
    ("redis.example.com", 6379, None),
    ("r-abc" + TAIR_SUFFIX, 6380, POLICY),
    ("r-abc" + TAIR_SUFFIX, 6379, "other-policy"),
    ("127.0.0.1.example.com", 6379, None),
])
def test_refused_plaintext_opens_no_socket(client, redis_spy, logs, host, port, policy):
    client._ticket = ticket(host, port, policy)
    before = client._redis_client
    raised(logs, DataConnectionError, client._connect_redis)
    assert redis_spy.options == []
    assert client._redis_client is before


def test_official_plaintext_ticket_is_connected_without_tls(client, redis_spy, logs):
    client.api_url = DEFAULT
    client._ticket = ticket("r-abc" + TAIR_SUFFIX, 6379, POLICY)

    def unreachable(options):
        raise mod.redis.ConnectionError("no route")

    redis_spy.replace = unreachable
    raised(logs, DataConnectionError, client._connect_redis)
    [options] = redis_spy.options
    assert options["ssl"] is False and options["host"] == "r-abc" + TAIR_SUFFIX


@pytest.mark.parametrize("host", ["localhost", "LocalHost", "127.0.0.1", "::1"])
def test_plaintext_to_loopback_hosts_connects(service, client, logs, host):
    program_ticket(service, **{"redis.host": host})
    client._fetch_ticket()
    client._connect_redis()
    assert client._ticket.redis_host == host
    assert client._redis_client.get("corvane:meta:categories") is not None
    assert logs.lines()[-1] == ("INFO", "数据连接已建立")


@pytest.mark.parametrize("service_options, account", [
    ({}, {"db": 0}),
    ({"redis_user": "reader"}, {"username": "reader"}),
    ({"tls": True}, {"db": 0}),
    ({"tls": True, "redis_user": "reader"}, {"username": "reader"}),
])
def test_connection_parameters(service, redis_spy, make_client, service_options, account):
    client = make_client()
    [options], [connection] = redis_spy.options, redis_spy.made
    assert client._redis_client is connection
    assert options.pop("password") == service.redis.password
    tls = service_options.get("tls", False)
    expected = {"host": "localhost" if tls else "127.0.0.1", "port": service.redis.port,
                "socket_timeout": 20, "socket_connect_timeout": 5, "decode_responses": False,
                "ssl": tls, **account}
    if tls:
        expected.update(ssl_cert_reqs="required", ssl_check_hostname=True,
                        ssl_min_version=ssl.TLSVersion.TLSv1_2)
    assert options == expected


@pytest.mark.parametrize("accepted_after", [0, 2, None])
def test_rejected_credentials_are_retried(service, client, redis_spy, logs, monkeypatch,
                                          accepted_after):
    program_ticket(service, **{"redis.password": "not-yet-known"})
    client._fetch_ticket()

    def server_learns_the_password(pauses):
        if pauses == accepted_after:
            with service.redis.client() as admin:
                admin.acl_setuser("default", enabled=True, passwords=["+not-yet-known"])

    recorder = SleepRecorder(server_learns_the_password)
    monkeypatch.setattr(mod, "time", recorder)
    server_learns_the_password(0)
    retries = 5 if accepted_after is None else accepted_after

    if accepted_after is None:
        raised(logs, DataConnectionError, client._connect_redis)
        assert client._redis_client is None
        assert len(redis_spy.made) == 6
    else:
        client._connect_redis()
        assert client._redis_client is redis_spy.made[-1]
        assert len(redis_spy.made) == accepted_after + 1
        assert logs.lines()[-1] == ("INFO", "数据连接已建立")
    assert recorder.sleeps == [3] * retries
    warnings = [message for level, message in logs.lines() if level == "WARNING"]
    assert warnings == [f"数据连接暂未就绪，正在重试 {n}/5" for n in range(1, retries + 1)]


class SilentPing:
    def ping(self):
        return False

    def close(self):
        pass


def refuse_with_protocol_error(options):
    raise ProtocolError()


@pytest.mark.parametrize("breakage, expected, made", [
    ("closed port", DataConnectionError, 1),
    ("silent ping", DataConnectionError, 1),
    ("family error", ProtocolError, 0),
    ("no ticket", DataConnectionError, 0),
])
def test_other_failures_end_at_once(service, client, redis_spy, logs, sleeps, breakage,
                                    expected, made):
    if breakage == "closed port":
        service.redis.stop()
    elif breakage == "silent ping":
        redis_spy.replace = lambda options: SilentPing()
    elif breakage == "family error":
        redis_spy.replace = refuse_with_protocol_error
    else:
        client._ticket = None
    before = len(logs.records)
    raised(logs, expected, client._connect_redis)
    assert sleeps.sleeps == [] and len(logs.records) == before
    assert len(redis_spy.made) == made
    if made:
        # The unverified object of the failed attempt stays the current connection.
        assert client._redis_client is redis_spy.made[0]


@pytest.mark.service(tls=True)
def test_untrusted_certificate_fails_without_retry(client, logs, sleeps, monkeypatch):
    monkeypatch.delenv("SSL_CERT_FILE")
    raised(logs, DataConnectionError, client._connect_redis)
    assert sleeps.sleeps == []
