"""Faults of the session's peers, injected into the real local service: Redis restarted, hung
or gone between operations, the ticket API down or slower than the client's time-outs."""

import pytest

from corvane import CorvaneClient
from corvane.exceptions import NetworkError, RemoteDataError
from corvane.testing import HEARTBEAT_PATH, TICKET_PATH
from helpers import CATEGORIES, raised, wait_until



class QuickHeartbeat(CorvaneClient):
    """Wakes every 50 ms instead of every 30 s."""

    HEARTBEAT_INTERVAL = 0.05


class ImpatientClient(QuickHeartbeat):
    """Waits one second for the ticket API instead of 10 or 30."""

    def _api_post_json(self, endpoint, payload, timeout):
        return super()._api_post_json(endpoint, payload, 1)


def warnings(logs):
    return [message for level, message in logs.lines() if level == "WARNING"]


def listed(client):
    """The remote category list, read afresh from Redis by the public operation."""
    return client.ListCategories()


@pytest.mark.parametrize("outage", ["restart", "crash"])
def test_redis_back_between_two_operations(service, client, logs, outage):
    assert listed(client) == sorted(CATEGORIES)
    ticket, connection = client._ticket, client._redis_client
    if outage == "restart":
        service.redis.restart()
    else:
        service.redis.kill()
        service.redis.start()
        service.publisher.set_categories(CATEGORIES)

    assert listed(client) == sorted(CATEGORIES)
    # The connection object opened a new socket on demand: no new ticket, no retry.
    assert client._ticket is ticket and client._redis_client is connection
    assert warnings(logs) == []


def test_redis_gone_fails_the_read_and_the_next_one_succeeds(service, client, logs):
    service.redis.kill()
    raised(logs, RemoteDataError, listed, client)
    service.redis.start()
    service.publisher.set_categories(CATEGORIES)
    assert listed(client) == sorted(CATEGORIES)


def test_hung_redis_times_out_and_the_next_read_succeeds(service, make_client, redis_spy,
                                                         logs):
    real = redis_spy._real
    # Half a second per command instead of 20, so three attempts stay short.
    redis_spy.replace = lambda options: real.Redis(**{**options, "socket_timeout": 0.5})
    client = make_client()
    service.redis.pause()
    try:
        raised(logs, RemoteDataError, listed, client)
    finally:
        service.redis.resume()
    assert listed(client) == sorted(CATEGORIES)


@pytest.mark.service(expires_in=2)
def test_api_down_during_heartbeats(service, make_client, logs):
    client = make_client(QuickHeartbeat)
    first = client._ticket
    service.api.stop()
    # Down for longer than the ticket lives, so the session has lapsed on both sides.
    wait_until(lambda: len(warnings(logs)) >= 3 and first.is_expired)
    assert set(warnings(logs)) == {NetworkError().user_message}
    assert client._heartbeat_thread.is_alive()

    service.api.start()
    assert listed(client) == sorted(CATEGORIES)
    assert client._ticket is not first
    assert service.api.session_state(client._ticket.session_id) == "live"
    assert client._heartbeat_thread.is_alive()


def test_ticket_api_slower_than_the_time_out(service, logs, tmp_path):
    service.api.program(TICKET_PATH, delay=3)
    raised(logs, NetworkError, ImpatientClient, api_token=service.token,
           save_path=str(tmp_path), api_url=service.url)
    assert ("ERROR", NetworkError().user_message) in logs.lines()


@pytest.mark.service(expires_in=20)
def test_heartbeat_slower_than_the_time_out(service, make_client, logs):
    client = make_client(ImpatientClient)
    service.api.program(HEARTBEAT_PATH, delay=3, times=2)
    wait_until(lambda: len(service.api.requests_to(HEARTBEAT_PATH)) >= 3)
    renewals = service.api.sessions()[0].renewals
    wait_until(lambda: service.api.sessions()[0].renewals > renewals)
    assert warnings(logs) == [NetworkError().user_message] * 2
    assert client._heartbeat_thread.is_alive()
