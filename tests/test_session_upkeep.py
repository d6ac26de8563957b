"""Connection upkeep before remote work, and the heartbeat thread."""

from datetime import datetime, timedelta

import pytest

from corvane import CorvaneClient
from corvane.exceptions import NetworkError, ServiceUnavailableError
from corvane.testing import HEARTBEAT_PATH, TICKET_PATH
from helpers import Clock, mod, wait_until

NOW = datetime(2025, 3, 14, 9, 30, 0)


@pytest.mark.parametrize("seconds_left, action", [
    (31, None),
    (30, None),          # the threshold itself is not below the threshold
    (29, "renew"),
    (0, "reconnect"),    # the expiry instant counts as expired
    (-3600, "reconnect"),
    (None, "reconnect"),  # no ticket at all
])
def test_ensure_connection_by_time_left(service, client, logs, monkeypatch, seconds_left,
                                        action):
    monkeypatch.setattr(mod, "datetime", Clock(NOW))
    if seconds_left is None:
        client._ticket = None
    else:
        client._ticket.expires_at = NOW + timedelta(seconds=seconds_left)
    connection = client._redis_client
    service.api.clear_requests()
    before = len(logs.records)

    assert client._ensure_connection() is None

    paths = [request.path for request in service.api.requests]
    if action is None:
        assert paths == []
    elif action == "renew":
        assert paths == [HEARTBEAT_PATH]
        assert client._ticket.expires_at == NOW + timedelta(seconds=3600)
        assert client._redis_client is connection
    else:
        assert paths == [TICKET_PATH]
        assert logs.lines()[before] == ("INFO", "连接已过期，正在重新连接...")
        assert client._ticket.expires_at == NOW + timedelta(seconds=3600)
        assert client._redis_client is not connection
        assert client._redis_client.get("corvane:meta:categories") is not None


class QuickHeartbeat(CorvaneClient):
    """Wakes every 50 ms instead of every 30 s."""

    HEARTBEAT_INTERVAL = 0.05


SHORT_TICKETS = pytest.mark.service(expires_in=20)


@SHORT_TICKETS
def test_heartbeat_renews_a_short_ticket_and_stops_on_close(service, make_client):
    client = make_client(QuickHeartbeat)
    wait_until(lambda: service.api.sessions()[0].renewals >= 2)
    thread = client._heartbeat_thread
    client.close()
    assert not thread.is_alive()
    assert service.api.sessions() == []


def broken_renewal():
    raise ValueError("not for the log")


@SHORT_TICKETS
@pytest.mark.parametrize("breakage, warning", [
    ({"status": 500, "body": {"success": False, "error": "InternalError"}},
     ServiceUnavailableError().user_message),
    ({"drop": True}, NetworkError().user_message),
    # Not a member of the family: the default message of ServiceUnavailableError.
    (None, ServiceUnavailableError().user_message),
])
def test_heartbeat_survives_failures(service, make_client, logs, breakage, warning):
    client = make_client(QuickHeartbeat)
    if breakage is None:
        client._renew_ticket = broken_renewal
    else:
        service.api.program(HEARTBEAT_PATH, times=3, **breakage)
    renewals = service.api.sessions()[0].renewals
    warnings = lambda: [m for level, m in logs.lines() if level == "WARNING"]  # noqa: E731
    wait_until(lambda: len(warnings()) >= 3)
    assert client._heartbeat_thread.is_alive()
    assert set(warnings()) == {warning}
    if breakage is not None:
        # After three failures the service answers again, and the same thread renews.
        wait_until(lambda: service.api.sessions()[0].renewals > renewals)
        assert len(warnings()) == 3


@SHORT_TICKETS
def test_heartbeat_replaces_an_interrupted_session(service, make_client, logs):
    client = make_client(QuickHeartbeat)
    old_ticket, old_connection = client._ticket, client._redis_client
    service.api.forget_sessions()
    wait_until(lambda: client._ticket is not old_ticket)
    wait_until(lambda: client._redis_client is not old_connection)
    assert client._redis_client.get("corvane:meta:categories") is not None
    assert ("WARNING", "连接已中断，正在重新连接...") in logs.lines()


def test_heartbeat_restarts_after_a_stop(client):
    first = client._heartbeat_thread
    client._stop_heartbeat.set()
    first.join()
    client._start_heartbeat()
    assert client._heartbeat_thread is not first
    assert client._heartbeat_thread.is_alive() and not client._stop_heartbeat.is_set()
