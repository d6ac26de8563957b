"""Faults injected while categories synchronise against the real local service: Redis dying
in the middle of a payload, the ticket lapsing during an update, a corrupted payload, and a
512 MiB partition that must not stop the heartbeat or any other Python thread."""

import io
import os
import threading
from datetime import datetime, timedelta

import numpy as np
import pandas as pd
import pytest

from corvane import CorvaneClient
from corvane.exceptions import RemoteDataError, SerializationError, SyncError
from corvane.testing import HEARTBEAT_PATH, TICKET_PATH, data_key_for, synthetic_pivot
from peers import StallingProxy
from helpers import raised, wait_until

MiB = 1 << 20
CATEGORY = "cn_stock_pivot#close"


class QuickHeartbeat(CorvaneClient):
    """Wakes every 50 ms instead of every 30 s."""

    HEARTBEAT_INTERVAL = 0.05


def publish(service, frame, partition_mode="monthly"):
    service.publisher.set_categories([CATEGORY])
    return service.publisher.publish_pivot(CATEGORY, frame, partition_mode=partition_mode)


def stored(client, category=CATEGORY):
    """What the local store holds for the category, read straight from the store."""
    return client.CV_db.read_pivot_category(category)


def hash_recorded(client, partition, category=CATEGORY):
    return os.path.exists(client._get_hash_path(category, partition))


class Receiving(CorvaneClient):
    """Tells which values have arrived (the read-ahead reads through this seam too)."""

    def __init__(self, *args, **kwargs):
        self.received = set()
        super().__init__(*args, **kwargs)

    def _redis_get_with_retry(self, key, *args):
        value = super()._redis_get_with_retry(key, *args)
        self.received.add(key)
        return value


def test_redis_killed_in_the_middle_of_a_payload(service, make_client, logs):
    # A small month, a month of about 8 MiB (minute rows), a small month.
    frame = pd.concat([synthetic_pivot("2024-01-02", "2024-01-31", 25),
                       synthetic_pivot("2024-02-01", "2024-02-29 23:59", 25, freq="min", seed=1),
                       synthetic_pivot("2024-03-01", "2024-03-29", 25, seed=2)])
    months = publish(service, frame)
    with StallingProxy(service.redis.port, limit=2 * MiB) as proxy:
        service.api.configure(redis_port=proxy.port)
        client = make_client(Receiving)

        def kill_once_stalled():
            # February's payload is cut; January's, read beside it, has arrived.
            if proxy.stalled.wait(60):
                wait_until(lambda: data_key_for(CATEGORY, months[0]) in client.received, 60)
                service.redis.kill()

        killer = threading.Thread(target=kill_once_stalled)
        killer.start()
        raised(logs, SyncError, client.UpdateAllCategory)
        killer.join()
        assert ("ERROR", f"{CATEGORY}: {RemoteDataError().user_message}") in logs.lines()
        # The month before the cut is stored with its record; the cut one and the rest not.
        assert [hash_recorded(client, month) for month in months] == [True, False, False]
        pd.testing.assert_frame_equal(stored(client), frame.loc["2024-01"], check_freq=False)

        proxy.limit = None  # from the next connection on
        service.redis.start()
        publish(service, frame)
        client.UpdateAllCategory()
    assert all(hash_recorded(client, month) for month in months)
    pd.testing.assert_frame_equal(stored(client), frame, check_freq=False)


def _lapse_by_clock(service, client):
    client._ticket.expires_at = datetime.now() - timedelta(seconds=1)
    service.api.expire_sessions()


def _renewal_due(service, client):
    client._ticket.expires_at = datetime.now() + timedelta(seconds=10)


def _session_forgotten(service, client):
    client._ticket.expires_at = datetime.now() + timedelta(seconds=10)
    service.api.forget_sessions()


@pytest.mark.parametrize("lapse, new_tickets, renewals, line", [
    (_lapse_by_clock, 1, 0, ("INFO", "连接已过期，正在重新连接...")),
    (_renewal_due, 0, 1, None),
    (_session_forgotten, 1, 1, ("WARNING", "连接已中断，正在重新连接...")),
], ids=["expired", "renewal-due", "session-forgotten"])
def test_ticket_lapses_during_a_long_update(service, make_client, logs, lapse, new_tickets,
                                            renewals, line):
    frame = synthetic_pivot("2024-01-01", "2024-06-30", 20)
    months = publish(service, frame)
    client = make_client()
    store_month = client.CV_db.update_pivot_category
    stored_months = []

    def store_then_lapse(**kwargs):
        store_month(**kwargs)
        stored_months.append(kwargs["df"])
        if len(stored_months) == 2:  # in the middle of the category
            lapse(service, client)

    client.CV_db.update_pivot_category = store_then_lapse
    first = client._ticket
    tickets = len(service.api.requests_to(TICKET_PATH))
    heartbeats = len(service.api.requests_to(HEARTBEAT_PATH))

    client.UpdateAllCategory()

    assert len(stored_months) == len(months) == 6
    pd.testing.assert_frame_equal(stored(client), frame, check_freq=False)
    assert len(service.api.requests_to(TICKET_PATH)) - tickets == new_tickets
    # A renewal at most once more than asked: a renewed ticket of 1 hour needs no other.
    assert len(service.api.requests_to(HEARTBEAT_PATH)) - heartbeats == renewals
    assert (client._ticket is first) == (new_tickets == 0)
    if line is not None:
        assert line in logs.lines()


@pytest.mark.parametrize("where", [0, 0.5, -1], ids=["first-byte", "middle", "last-byte"])
def test_one_flipped_byte_fails_verification(service, make_client, logs, where):
    frame = synthetic_pivot("2024-01-01", "2024-02-29", 30)
    months = publish(service, frame)
    key = data_key_for(CATEGORY, months[1])
    payload = bytearray(service.publisher.get_raw(key))
    payload[int(where * len(payload)) if where != -1 else -1] ^= 0x10
    service.publisher.set_raw(key, bytes(payload))
    client = make_client()

    error = raised(logs, SerializationError, client.GetCategory, CATEGORY)
    assert error.code == "DATA_VERIFY_FAILED"
    assert [hash_recorded(client, month) for month in months] == [True, False]
    pd.testing.assert_frame_equal(stored(client), frame.loc["2024-01"], check_freq=False)


def minute_prices(rows, columns=64):
    index = pd.date_range("2020-01-01", periods=rows, freq="min", name="date")
    values = np.random.default_rng(5).random((rows, columns))
    return pd.DataFrame(values, index=index, columns=[f"{i:06d}.SZ" for i in range(columns)])


def big_payload(target_bytes):
    """A frame of minute rows of random prices and its Parquet image, 1 % under
    `target_bytes`: plain encoding without compression, eight bytes a value."""
    columns = 64
    frame = minute_prices(int(0.99 * target_bytes / (8 * (columns + 1))), columns)
    buffer = io.BytesIO()
    frame.to_parquet(buffer, use_dictionary=False, compression=None)
    return frame, buffer.getvalue()


@pytest.mark.slow
@pytest.mark.service(expires_in=20)
def test_512_mib_partition_while_the_heartbeat_renews(service, make_client, logs):
    frame, payload = big_payload(CorvaneClient.MAX_PARTITION_BYTES)
    shape, probe = frame.shape, frame.iloc[:: len(frame) // 97].copy()
    del frame
    assert 500 * MiB < len(payload) <= CorvaneClient.MAX_PARTITION_BYTES
    service.publisher.set_categories([CATEGORY])
    service.publisher.publish_partition(CATEGORY, "full", payload)
    service.publisher.publish_category_meta(CATEGORY, partition_keys=["full"])
    del payload

    # Tickets of 20 s are below the 30 s threshold: every wake-up renews.
    client = make_client(QuickHeartbeat)
    renewals = lambda: len(service.api.requests_to(HEARTBEAT_PATH))  # noqa: E731
    marks = {}
    get, download = client._redis_get_with_retry, client._download_partition

    def timed_get(key, *args):
        marks["get starts"] = renewals()
        try:
            return get(key, *args)
        finally:
            marks["get ends"] = renewals()

    def timed_download(*args):
        frame = download(*args)
        marks["decoded"] = renewals()
        return frame

    client._download_partition = timed_download
    client._redis_get_with_retry = lambda key, *args: (
        timed_get(key, *args) if key == data_key_for(CATEGORY, "full") else get(key, *args))

    client.UpdateAllCategory()

    # The service saw renewals while the payload arrived, and while it was hashed and
    # decoded: the transfer never held the interpreter's lock for long.
    assert marks["get ends"] > marks["get starts"], marks
    assert marks["decoded"] > marks["get ends"], marks
    assert logs.lines(min_level=30) == []
    assert client._heartbeat_thread.is_alive()
    client._redis_get_with_retry, client._download_partition = get, download
    read = client.GetCategory(CATEGORY)
    assert read.shape == shape
    pd.testing.assert_frame_equal(read.loc[probe.index], probe, check_freq=False)
