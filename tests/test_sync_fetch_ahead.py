"""Reading ahead while a pivot category synchronises, against the real local service behind a
relay that delays every chunk: order of the effects with the window full, failures and
interrupts in the middle of the window (no thread, no connection, no payload left), the
session lapsing inside it, and the byte bound, counted."""

import _thread
import os
import secrets
import signal
import threading
from datetime import datetime, timedelta

import pandas as pd
import pytest

from corvane import CorvaneClient
from corvane.exceptions import MetaError, RemoteDataError, SerializationError, SyncError
from corvane.testing import TICKET_PATH, LinkRelay, data_key_for, synthetic_pivot
from helpers import client_connections, fetch_threads, raised, wait_until

CATEGORY = "cn_stock_pivot#close"
BOUND = 60  # seconds: only keeps a broken build from hanging


class Recording(CorvaneClient):
    """Counts what the read-ahead fetched through the seams, as a tool built on the client
    would (calling super()), and what reached the store, in order."""

    def __init__(self, *args, window=None, workers=None, **kwargs):
        self.lock = threading.Lock()
        self.fetched = {}  # data key -> size, as the payload reads returned
        self.events = []   # ("fetched", key) and ("stored", partition), as they happened
        self.meta_reads = []
        if window is not None:
            self._fetch_ahead_bytes = window
        if workers is not None:
            self._fetch_ahead_workers = workers
        super().__init__(*args, **kwargs)

    def _get_partition_meta(self, category, partition):
        with self.lock:
            self.meta_reads.append(partition)
        return super()._get_partition_meta(category, partition)

    def _redis_get_with_retry(self, key, *args):
        value = super()._redis_get_with_retry(key, *args)
        if key.startswith("corvane:data:") and value is not None:
            with self.lock:
                self.fetched[key] = len(value)
                self.events.append(("fetched", key))
        return value


def publish(service, months=8, columns=20):
    frame = synthetic_pivot("2024-01-01", f"2024-{months:02d}-28", columns)
    service.publisher.set_categories([CATEGORY])
    return frame, service.publisher.publish_pivot(CATEGORY, frame)


def hold_first_store(client, until):
    """The store of the first partition waits until `until()` holds: the window fills."""
    store = client.CV_db.update_pivot_category
    stored = []

    def update_pivot_category(**kwargs):
        if not stored:
            wait_until(until, BOUND)
        store(**kwargs)
        stored.append(kwargs["df"].index[0].strftime("%Y-%m"))
        with client.lock:
            client.events.append(("stored", stored[-1]))

    client.CV_db.update_pivot_category = update_pivot_category
    return stored


def records(client, months):
    return [os.path.exists(client._get_hash_path(CATEGORY, m)) for m in months]


def stored_frame(client):
    return client.CV_db.read_pivot_category(CATEGORY)


def test_store_calls_and_records_in_order_with_the_window_full(service, relay, make_client):
    frame, months = publish(service)
    client = make_client(Recording, workers=4)
    writes = []
    write = client._write_local_hash
    client._write_local_hash = lambda *args: (writes.append(args[1]), write(*args))[1]
    stored = hold_first_store(client, lambda: len(client.fetched) >= 4)

    client.UpdateAllCategory()

    assert stored == writes == months
    assert sorted(client.meta_reads) == months and len(client.meta_reads) == len(months)
    assert len(client.fetched) == len(months)  # each payload read once, by the read-ahead
    pd.testing.assert_frame_equal(stored_frame(client), frame, check_freq=False)
    assert client._fetch_ahead_peak_bytes >= 3 * min(client.fetched.values())
    assert fetch_threads() == 0


def deleted(service, key):
    with service.redis.client() as admin:
        admin.delete(key)


def missing_meta(service, month):
    deleted(service, f"corvane:meta:partition:{CATEGORY}:{month}")


def flipped_byte(service, month):
    key = data_key_for(CATEGORY, month)
    payload = bytearray(service.publisher.get_raw(key))
    payload[len(payload) // 2] ^= 0x10
    service.publisher.set_raw(key, bytes(payload))


def missing_payload(service, month):
    deleted(service, data_key_for(CATEGORY, month))


@pytest.mark.parametrize("fault, error", [
    (missing_meta, MetaError), (flipped_byte, SerializationError), (missing_payload, RemoteDataError),
], ids=["metadata", "verification", "payload"])
def test_failure_on_the_third_of_five_while_the_window_runs(service, relay, make_client, logs,
                                                            fault, error):
    frame, months = publish(service, months=5)
    fault(service, months[2])
    client = make_client(Recording, workers=4)
    # Every read is done before the first partition is processed: the failure was met ahead.
    hold_first_store(client, lambda: len(client.meta_reads) == 5 and len(client.fetched) >= 4)

    raised(logs, SyncError, client.UpdateAllCategory)

    assert ("ERROR", f"{CATEGORY}: {error().user_message}") in logs.lines()
    assert records(client, months) == [True, True, False, False, False]
    pd.testing.assert_frame_equal(stored_frame(client), frame.loc[:"2024-02"], check_freq=False)
    assert fetch_threads() == 0
    # What the client keeps is sound: a repaired category synchronises on the same client.
    service.publisher.publish_pivot(CATEGORY, frame)
    client.UpdateAllCategory()
    pd.testing.assert_frame_equal(stored_frame(client), frame, check_freq=False)


def payload_reads(service):
    with service.redis.client() as admin:
        stats = admin.info("stats")
    return stats["keyspace_hits"] + stats["keyspace_misses"]


@pytest.mark.parametrize("verifiers", [None, 0], ids=["verified-ahead", "at-each-turn"])
@pytest.mark.parametrize("fault, error", [
    (None, None), (missing_meta, MetaError), (flipped_byte, SerializationError),
    (missing_payload, RemoteDataError),
], ids=["sound", "metadata", "verification", "payload"])
def test_own_methods_verify_ahead_with_the_same_outcome(service, relay, make_client, logs,
                                                        verifiers, fault, error):
    # The client's own seams: payloads are verified (and decoded) on the window's threads,
    # unless `_verify_ahead_workers` is 0; either way the same stores, records and error.
    frame, months = publish(service, months=5)
    if fault:
        fault(service, months[2])
    client = make_client()
    client._verify_ahead_workers = verifiers
    store = client.CV_db.update_pivot_category
    stored = []
    before = payload_reads(service)

    def update_pivot_category(**kwargs):
        if not stored:  # the window has read (and verified) what it can meanwhile
            wait_until(lambda: payload_reads(service) >= before + 8, BOUND)
        store(**kwargs)
        stored.append(kwargs["df"].index[0].strftime("%Y-%m"))

    client.CV_db.update_pivot_category = update_pivot_category
    if fault:
        raised(logs, SyncError, client.UpdateAllCategory)
        assert ("ERROR", f"{CATEGORY}: {error().user_message}") in logs.lines()
        assert records(client, months) == [True, True, False, False, False]
        assert stored == months[:2]
        pd.testing.assert_frame_equal(stored_frame(client), frame.loc[:"2024-02"], check_freq=False)
    else:
        client.UpdateAllCategory()
        assert records(client, months) == [True] * 5 and stored == months
        pd.testing.assert_frame_equal(stored_frame(client), frame, check_freq=False)
        assert client._fetch_ahead_peak_bytes <= client._fetch_ahead_bytes
    assert fetch_threads() == 0


def lapse_by_clock(service, client):
    client._ticket.expires_at = datetime.now() - timedelta(seconds=1)
    service.api.expire_sessions()


def new_redis_password(service, client):
    password = "pw-" + secrets.token_urlsafe(24)
    with service.redis.client() as admin:
        admin.config_set("requirepass", password)
    service.redis.password = password
    service.api.configure(redis_password=password)
    # Every connection of the client is cut, those of reads in flight too, so every read from
    # now on connects again with the old password.
    with service.redis.client() as admin:
        admin.client_kill_filter(_type="normal", skipme=True)


@pytest.mark.parametrize("lapse", [lapse_by_clock, new_redis_password],
                         ids=["ticket-expired", "credentials-rejected"])
def test_session_lost_inside_the_window_is_recovered_once(service, relay, make_client, lapse):
    frame, months = publish(service, months=10)
    client = make_client(Recording, workers=8)
    read = client._get_partition_meta
    lapsed = threading.Event()

    def lapse_before_the_sixth(category, partition):
        # The sixth partition's read starts once the session has lapsed, so at least it
        # meets the lapse, whatever the other threads had read by then (on a loaded machine
        # the replies of every read sent before may already wait in the relay).
        if partition == months[5] and not lapsed.is_set():
            lapsed.set()
            lapse(service, client)
        return read(category, partition)

    client._get_partition_meta = lapse_before_the_sixth
    client._fetch_ahead_bytes = 2 * len(service.publisher.get_raw(data_key_for(CATEGORY, months[0])))
    tickets = len(service.api.requests_to(TICKET_PATH))

    client.UpdateAllCategory()

    # The threads that met the lost session (up to eight) recovered it with one new ticket.
    assert len(service.api.requests_to(TICKET_PATH)) - tickets == 1
    pd.testing.assert_frame_equal(stored_frame(client), frame, check_freq=False)
    assert records(client, months) == [True] * len(months)


def test_redis_killed_while_the_window_is_full(service, relay, make_client, logs):
    frame, months = publish(service, months=10)
    client = make_client(Recording, workers=4)
    client._fetch_ahead_bytes = 3 * len(service.publisher.get_raw(data_key_for(CATEGORY, months[0])))

    def window_full_then_kill():
        if len(client.fetched) < 3:
            return False
        service.redis.kill()
        return True

    stored = hold_first_store(client, window_full_then_kill)
    raised(logs, SyncError, client.UpdateAllCategory)

    assert ("ERROR", f"{CATEGORY}: {RemoteDataError().user_message}") in logs.lines()
    # What was read before the kill is stored, in order, each with its record; nothing after.
    assert 1 <= len(stored) < len(months) and stored == months[:len(stored)]
    assert records(client, months) == [m in stored for m in months]
    assert fetch_threads() == 0
    service.redis.start()
    publish(service, months=10)
    client.UpdateAllCategory()
    pd.testing.assert_frame_equal(stored_frame(client), frame, check_freq=False)


@pytest.fixture
def ctrl_c():
    """Python's own handling of Ctrl-C for the test, whatever the run inherited: a suite
    started in the background (`dev/test &` from a script) ignores SIGINT, and then
    `_thread.interrupt_main()` does nothing. Yields an event set once the interrupt has been
    raised on the main thread."""
    raised_here = threading.Event()

    def interrupted(signum, frame):
        raised_here.set()
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGINT, interrupted)
    try:
        yield raised_here
    finally:
        signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("where", ["waiting", "storing"])
def test_keyboard_interrupt_stops_the_read_ahead(service, make_client, ctrl_c, where):
    frame, months = publish(service, months=10)
    with LinkRelay(service.redis.port, delay=0.2) as slow:
        service.api.configure(redis_port=slow.port)
        client = make_client(Recording, workers=4)
        if where == "waiting":
            # Ctrl-C while the caller's thread waits for the first partition's read: the
            # read ahead holds it until the interrupt has been raised.
            read = client._get_partition_meta

            def read_after_ctrl_c(category, partition):
                if partition == months[0] and threading.current_thread() is not threading.main_thread():
                    _thread.interrupt_main()
                    ctrl_c.wait(BOUND)
                return read(category, partition)

            client._get_partition_meta = read_after_ctrl_c
        else:
            def interrupted(**kwargs):
                raise KeyboardInterrupt
            client.CV_db.update_pivot_category = interrupted
        with pytest.raises(KeyboardInterrupt):
            client.UpdateAllCategory()
        assert ctrl_c.is_set() == (where == "waiting")
        assert fetch_threads() == 0
        assert records(client, months) == [False] * len(months)
        # The reads cut short closed their connections: only pooled, idle ones remain.
        client._redis_client.close()
        wait_until(lambda: client_connections(service) == 0, BOUND)


def test_payloads_held_stay_within_the_window(service, relay, make_client):
    big = "2024-06"
    # One month of hourly rows, far larger than the window: read alone, never beside another.
    frame = pd.concat([synthetic_pivot("2024-01-01", "2024-05-31", 20),
                       synthetic_pivot("2024-06-01", "2024-06-28 23:00", 20, freq="h", seed=3),
                       synthetic_pivot("2024-07-01", "2024-12-28", 20, seed=4)])
    service.publisher.set_categories([CATEGORY])
    months = service.publisher.publish_pivot(CATEGORY, frame)
    sizes = {m: len(service.publisher.get_raw(data_key_for(CATEGORY, m))) for m in months}
    window = int(2.5 * max(s for m, s in sizes.items() if m != big))
    assert sizes[big] > window
    client = make_client(Recording, window=window, workers=6)
    hold_first_store(client, lambda: len(client.fetched) >= 2)

    client.UpdateAllCategory()

    assert client._fetch_ahead_peak_bytes <= window
    held, stored = set(), []
    for event, name in client.events:
        if event == "stored":
            stored.append(name)
            held.discard(name)
            continue
        month = name.rsplit(":", 1)[1]
        if month == big:
            assert stored == months[:months.index(big)], "the big one came beside earlier ones"
        if months.index(month) > months.index(big):
            assert big in stored, "a later partition came beside the big one"
        held.add(month)
        processed = min(held, key=months.index)
        assert sum(sizes[m] for m in held if m != processed) <= window
    assert stored == months
