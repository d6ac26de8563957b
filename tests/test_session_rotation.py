"""The service rotates its Redis password in the middle of an update: with the read-ahead
window full, every connection of the client cut, and (in one variant) while the heartbeat is
still connecting with a ticket that carries the old password. The update takes one new
session for all its threads and goes on; close() afterwards leaves no retry running.

The scenario is repeated a bounded number of times with the cores kept busy, since the
threads meet the broken session in an order the scheduler picks; what decides each run is
its outcome, never how long it took."""

import contextlib
import os
import secrets
import subprocess
import sys
import time

import pandas as pd
import pytest

from corvane import CorvaneClient
from corvane.testing import LinkRelay, data_key_for, synthetic_pivot
from helpers import fetch_threads, wait_until

CATEGORY = "cn_stock_pivot#close"
BOUND = 60  # seconds: only keeps a broken build from hanging
REPEATS = 4
TIME_BUDGET = 90  # seconds of repeats per variant, at least one run


class RotationClient(CorvaneClient):
    """Wakes every 50 ms, so that the heartbeat renews and reconnects during the update;
    counts the payloads its reads returned."""

    HEARTBEAT_INTERVAL = 0.05

    def __init__(self, *args, **kwargs):
        self.payloads = 0
        self._fetch_ahead_workers = 4
        super().__init__(*args, **kwargs)

    def _redis_get_with_retry(self, key, *args):
        value = super()._redis_get_with_retry(key, *args)
        if key.startswith("corvane:data:") and value is not None:
            self.payloads += 1
        return value


@contextlib.contextmanager
def busy_cores():
    """One busy loop per core for the duration."""
    loops = [subprocess.Popen([sys.executable, "-c", "while True: pass"])
             for _ in range(os.cpu_count() or 2)]
    try:
        yield
    finally:
        for loop in loops:
            loop.kill()
            loop.wait()


def rotate_password(service):
    """Redis takes a new password, the service's new tickets carry it, and every connection
    made with the old one is cut."""
    password = "pw-" + secrets.token_urlsafe(24)
    with service.redis.client() as admin:
        admin.config_set("requirepass", password)
        service.redis.password = password
        service.api.configure(redis_password=password)
        admin.client_kill_filter(_type="normal", skipme=True)


def lose_session(service):
    """The service forgets the session; the first thread to renew (the heartbeat, or a read's
    upkeep) connects with a new ticket, issued before the rotation that follows at once."""
    issued = len(service.api.issued_secrets())
    service.api.forget_sessions()
    wait_until(lambda: len(service.api.issued_secrets()) > issued, BOUND)


def one_update(service, frame, payload, tmp_path, logs, run, when):
    client = RotationClient(api_token=service.token, save_path=str(tmp_path / f"store-{run}"),
                            api_url=service.url, log_level=10)
    client._fetch_ahead_bytes = 3 * payload
    store = client.CV_db.update_pivot_category
    rotated = []

    def rotate(lost):
        if lost:
            lose_session(service)
        rotated.append(len(service.api.issued_secrets()))
        rotate_password(service)

    def rotate_once_the_window_is_full(**kwargs):
        if not rotated:
            wait_until(lambda: client.payloads >= 3, BOUND)
            rotate(when == "window-full-session-lost")
        store(**kwargs)

    if when == "heartbeat-reconnecting":
        rotate(True)  # no update runs yet: the heartbeat is the one that renews
    else:
        client.CV_db.update_pivot_category = rotate_once_the_window_is_full
    try:
        client.UpdateAllCategory()
        pd.testing.assert_frame_equal(client.CV_db.read_pivot_category(CATEGORY), frame,
                                      check_freq=False)
        # Each issue adds a ticket id and a session id. One new session for the update and
        # its four readers; a stale one made meanwhile gave way to it.
        tickets = (len(service.api.issued_secrets()) - rotated[0]) // 2
        if when == "window-full-session-lost":
            # The caller's own renewal may have met the forgotten session as well.
            assert 1 <= tickets <= 2
        else:
            assert tickets == 1
    finally:
        heartbeat = client._heartbeat_thread
        client.close()
    closed_at = len(logs.records)
    heartbeat.join(BOUND)
    assert not heartbeat.is_alive()
    # Nothing of the closed client went on trying (or saying so).
    assert logs.records[closed_at:] == []
    assert fetch_threads() == 0


@pytest.mark.service(expires_in=20)  # every read renews: renewals meet the lost session
@pytest.mark.parametrize("when", ["window-full", "window-full-session-lost",
                                  "heartbeat-reconnecting"])
def test_password_rotated_during_an_update(service, tmp_path, logs, when):
    service.publisher.set_categories([CATEGORY])
    # Published once: the rotation cuts the publisher's connection too.
    frame = synthetic_pivot("2024-01-01", "2024-10-28", 20)
    months = service.publisher.publish_pivot(CATEGORY, frame)
    payload = len(service.publisher.get_raw(data_key_for(CATEGORY, months[0])))
    with LinkRelay(service.redis.port, delay=0.005) as relay, busy_cores():
        service.api.configure(redis_port=relay.port)
        started = time.monotonic()
        for run in range(REPEATS):
            one_update(service, frame, payload, tmp_path, logs, run, when)
            if time.monotonic() - started > TIME_BUDGET:
                break
