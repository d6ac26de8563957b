"""The data ticket's three service calls: obtain, renew and release."""

from datetime import datetime, timedelta

import pytest

from corvane.exceptions import (AuthError, DataConnectionError, ProtocolError,
                                ServiceUnavailableError)
from corvane.testing import DISCONNECT_PATH, HEARTBEAT_PATH, TICKET_PATH
from helpers import Clock, DROP, mod, program_ticket, raised

NOW = datetime(2025, 3, 14, 9, 30, 0)


@pytest.fixture
def clock(monkeypatch):
    fixed = Clock(NOW)
    monkeypatch.setattr(mod, "datetime", fixed)
    return fixed


@pytest.mark.parametrize("changes, check", [
    ({"expires_in": 86400}, lambda t: t.expires_at == NOW + timedelta(seconds=86400)),
    ({"expires_in": 1}, lambda t: t.expires_at == NOW + timedelta(seconds=1)),
    ({"redis.port": 65535}, lambda t: t.redis_port == 65535),
    ({"redis.username": None}, lambda t: t.redis_username is None),
    ({"redis.username": "reader"}, lambda t: t.redis_username == "reader"),
    ({"redis.transport_policy": None}, lambda t: t.redis_transport_policy is None),
    ({"redis.transport_policy": "p"}, lambda t: t.redis_transport_policy == "p"),
    ({"scope": DROP},
     lambda t: (t.datasets, t.key_patterns, t.category_patterns) == ([], [], [])),
    ({"scope.datasets": ["cn_stock_pivot"], "scope.category_patterns": DROP},
     lambda t: (t.datasets, t.category_patterns) == (["cn_stock_pivot"], [])),
    ({"unknown_member": {"anything": 1}}, lambda t: t.ticket_id == "tkt-programmed"),
])
def test_ticket_reply_accepted(service, client, clock, logs, changes, check):
    reply = program_ticket(service, **changes)
    ticket = client._fetch_ticket()
    assert client._ticket is ticket
    assert check(ticket)
    assert (ticket.ticket_id, ticket.session_id) == ("tkt-programmed", "sid-programmed")
    assert (ticket.redis_host, ticket.redis_password) == (reply["redis"]["host"],
                                                         reply["redis"]["password"])
    assert ticket.redis_ssl is False
    assert logs.lines()[-1] == ("DEBUG", "连接凭证已获取")
    assert service.api.requests_to(TICKET_PATH)[-1].json() == {"client_version": "3.0.5"}


@pytest.mark.parametrize("changes, expected", [
    ({"expires_in": 0}, ProtocolError),
    ({"expires_in": 86401}, ProtocolError),
    ({"expires_in": 30.5}, ProtocolError),
    ({"expires_in": True}, ProtocolError),
    ({"expires_in": "60"}, ProtocolError),
    ({"expires_in": DROP}, ProtocolError),
    ({"redis.port": 0}, ProtocolError),
    ({"redis.port": 65536}, ProtocolError),
    ({"redis.port": True}, ProtocolError),
    ({"redis.port": 6379.0}, ProtocolError),
    ({"redis.port": "6379"}, ProtocolError),
    ({"redis.port": 10**30}, ProtocolError),
    ({"redis.ssl": DROP}, ProtocolError),
    ({"redis.ssl": "true"}, ProtocolError),
    ({"redis.ssl": 1}, ProtocolError),
    ({"redis.username": ""}, ProtocolError),
    ({"redis.transport_policy": "x" * 65}, ProtocolError),
    ({"redis.host": "bad host"}, ProtocolError),
    ({"redis.password": ""}, ProtocolError),
    ({"session_id": "s" * 257}, ProtocolError),
    ({"ticket": None}, ProtocolError),
    ({"scope": []}, ProtocolError),
    ({"scope": None}, ProtocolError),
    ({"scope.datasets": None}, ProtocolError),
    ({"scope.category_patterns": ["ok", 5]}, ProtocolError),
    # The shape check comes before the missing ticket is noticed.
    ({"redis": [], "ticket": DROP}, ProtocolError),
    ({"ticket": DROP}, ServiceUnavailableError),
    ({"session_id": DROP}, ServiceUnavailableError),
    ({"redis": DROP}, ServiceUnavailableError),
    ({"redis.host": DROP}, ServiceUnavailableError),
    ({"redis.password": DROP}, ServiceUnavailableError),
])
def test_ticket_reply_refused_keeps_the_previous_ticket(service, client, logs, changes,
                                                        expected):
    previous = client._ticket
    expires_at = previous.expires_at
    program_ticket(service, **changes)
    raised(logs, expected, client._fetch_ticket)
    assert client._ticket is previous and previous.expires_at == expires_at


def test_renewal_extends_the_ticket_it_was_sent_for(service, client, clock, logs):
    ticket = client._ticket
    assert client._renew_ticket() is None
    assert client._ticket is ticket
    assert ticket.expires_at == NOW + timedelta(seconds=service.api.settings.expires_in)
    [request] = service.api.requests_to(HEARTBEAT_PATH)
    assert list(request.json().items()) == [("ticket", ticket.ticket_id),
                                            ("session_id", ticket.session_id)]
    assert service.api.sessions()[0].renewals == 1
    assert logs.lines()[-1] == ("DEBUG", "连接已保持")


def test_renewal_without_expires_in_extends_by_60_seconds(service, client, clock):
    service.api.program(HEARTBEAT_PATH, status=200, body={"success": True})
    client._renew_ticket()
    assert client._ticket.expires_at == NOW + timedelta(seconds=60)


@pytest.mark.parametrize("body", [
    b'{"success": true, "expires_in": "soon"}',
    b'{"success": true, "expires_in": null}',
    b'{"success": true, "expires_in": [60]}',
    b'{"success": true, "expires_in": NaN}',
    b'{"success": true, "expires_in": 1e400}',
])
def test_renewal_with_an_unusable_expiry_fails_and_keeps_the_ticket(service, client, logs, body):
    expires_at = client._ticket.expires_at
    service.api.program(HEARTBEAT_PATH, status=200, body=body)
    raised(logs, ServiceUnavailableError, client._renew_ticket)
    assert client._ticket.expires_at == expires_at


@pytest.mark.parametrize("interrupt", ["forget_sessions", "expire_sessions"])
def test_interrupted_session_gets_a_new_ticket_and_connection(service, client, logs, interrupt):
    old_ticket, old_connection = client._ticket, client._redis_client
    getattr(service.api, interrupt)()
    assert client._renew_ticket() is None
    assert client._ticket is not old_ticket
    assert client._ticket.session_id != old_ticket.session_id
    assert client._redis_client is not old_connection
    assert client._redis_client.get("corvane:meta:categories") is not None
    assert ("WARNING", "连接已中断，正在重新连接...") in logs.lines()
    assert [s.session_id for s in service.api.sessions()] == [client._ticket.session_id]


def test_renewal_refused_otherwise_reaches_the_caller(service, client, logs):
    expires_at = client._ticket.expires_at
    service.api.program(HEARTBEAT_PATH, status=401, body={"success": False,
                                                          "error": "Unauthorized"})
    raised(logs, AuthError, client._renew_ticket)
    assert client._ticket.expires_at == expires_at
    assert len(service.api.requests_to(TICKET_PATH)) == 1


def test_renewal_and_release_without_a_ticket_send_nothing(service, client, logs):
    ticket, client._ticket = client._ticket, None
    try:
        raised(logs, DataConnectionError, client._renew_ticket)
        assert client._disconnect_server() is None
        assert service.api.requests_to(HEARTBEAT_PATH) == []
        assert service.api.requests_to(DISCONNECT_PATH) == []
    finally:
        client._ticket = ticket


def test_release_sends_the_identifiers_and_keeps_the_ticket(service, client):
    ticket = client._ticket
    client._disconnect_server()
    [request] = service.api.requests_to(DISCONNECT_PATH)
    assert list(request.json().items()) == [("ticket", ticket.ticket_id),
                                            ("session_id", ticket.session_id)]
    assert client._ticket is ticket
    assert service.api.session_state(ticket.session_id) == "released"


@pytest.mark.parametrize("failure", [
    {"drop": True},
    {"status": 500, "body": {"success": False, "error": "InternalError"}},
    {"status": 404, "body": {"success": False, "error": "SessionNotFound"}},
    {"status": 200, "body": b"not json"},
])
def test_release_failures_are_silent(service, client, logs, failure):
    before = len(logs.records)
    service.api.program(DISCONNECT_PATH, **failure)
    assert client._disconnect_server() is None
    assert len(logs.records) == before
    assert client._ticket is not None

