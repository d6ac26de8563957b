"""Reading the next category's metadata and partitions ahead during an update, against the
real local service behind a relay that delays every chunk: the effects in today's order
across categories, its failure raised at its category's turn, nothing left behind by a
failure or an interrupt, and a replaced `_get_category_meta` called exactly as without it."""

import json
import threading

import pandas as pd
import pytest

from corvane import CorvaneClient
from corvane.exceptions import MetaError, RemoteDataError, SerializationError, SyncError
from corvane.testing import LinkRelay, data_key_for, synthetic_pivot, synthetic_unstack
from helpers import client_connections, fetch_threads, raised, wait_until

pytestmark = pytest.mark.service(categories=[])  # lists only what a test publishes

FIRST, SECOND, THIRD = "cn_a_pivot#close", "cn_b_unstack#deal", "cn_c_pivot#open"
CATEGORIES = [FIRST, SECOND, THIRD]
META_PREFIX = "corvane:meta:category:"
BOUND = 60  # seconds: only keeps a broken build from hanging


class Recording(CorvaneClient):
    """Records every store call and hash record in order, and on which thread each
    category's metadata was read (through a seam that leaves the read-ahead on)."""

    def __init__(self, *args, **kwargs):
        self.lock = threading.Lock()
        self.effects = []
        self.fetched = []  # payload keys, as their reads returned
        self.meta_threads = []  # (category, read on the caller's thread)
        self.meta_started = threading.Event()
        super().__init__(*args, **kwargs)
        store = self.CV_db
        for name in ("set_category_meta", "update_pivot_category", "update_unstack_category"):
            setattr(store, name, self._recorded(name, getattr(store, name)))

    def _recorded(self, name, call):
        def record(*args, **kwargs):
            category = args[0] if args else kwargs["category"]
            frame = kwargs.get("df", kwargs.get("sub_df"))
            self.effects.append((name, category, None if frame is None else len(frame)))
            return call(*args, **kwargs)
        return record

    def _write_local_hash(self, category, partition, hash_value):
        self.effects.append(("_write_local_hash", category, partition))
        return super()._write_local_hash(category, partition, hash_value)

    def _redis_get_with_retry(self, key, *args):
        value = super()._redis_get_with_retry(key, *args)
        with self.lock:
            self.fetched.append(key)
        return value

    def _json_get_required(self, key):
        if key.startswith(META_PREFIX):
            with self.lock:
                self.meta_threads.append(
                    (key[len(META_PREFIX):], threading.current_thread() is threading.main_thread()))
            if threading.current_thread() is not threading.main_thread():
                self.meta_started.set()
        return super()._json_get_required(key)


class CategoryMetaReplaced(Recording):
    """A tool replacing `_get_category_meta` (calling super()): no read-ahead for it."""

    def __init__(self, *args, **kwargs):
        self.category_meta_calls = []
        super().__init__(*args, **kwargs)

    def _get_category_meta(self, category):
        self.category_meta_calls.append((category, threading.current_thread() is threading.main_thread()))
        return super()._get_category_meta(category)


@pytest.fixture
def market(service):
    publisher = service.publisher
    publisher.publish_pivot(FIRST, synthetic_pivot("2024-01-01", "2024-04-28", 10))
    publisher.publish_unstack(SECOND, synthetic_unstack(200), duplicate_keys=["date", "code"])
    # Daily partitions ending today: an incremental update has work.
    today = pd.Timestamp.today().normalize()
    publisher.publish_pivot(THIRD, synthetic_pivot(today - pd.Timedelta(days=20), today, 10, seed=1),
                            partition_mode="daily")
    return publisher


def update(make_client, tmp_path, cls, name, logs, method="full"):
    client = make_client(cls, save_path=str(tmp_path / name))
    first = len(logs.lines())
    client.UpdateAllCategory(method)
    return client, logs.lines()[first:]


@pytest.mark.parametrize("method", ["full", "incremental", "changed"])
def test_effects_and_log_lines_in_order_across_categories(market, relay, make_client, tmp_path,
                                                          logs, method):
    plain, plain_lines = update(make_client, tmp_path, CategoryMetaReplaced, "plain", logs, method)
    ahead, ahead_lines = update(make_client, tmp_path, Recording, "ahead", logs, method)

    assert ahead.effects == plain.effects and ahead_lines == plain_lines
    assert [c for c, _ in plain.category_meta_calls] == CATEGORIES
    # Each category's metadata read once; every one after the first read ahead.
    assert sorted(ahead.meta_threads) == [(FIRST, True), (SECOND, False), (THIRD, False)]
    assert fetch_threads() == 0


def third_payload_keys(service, method):
    partitions = json.loads(service.publisher.get_raw(META_PREFIX + THIRD))["partition_keys"]
    if method == "incremental":
        since = (pd.Timestamp.today() - pd.Timedelta(days=60)).strftime("%Y-%m-%d")
        partitions = [p for p in partitions if p >= since]
    return {data_key_for(THIRD, p) for p in partitions}


@pytest.mark.parametrize("method", ["full", "incremental"])
@pytest.mark.parametrize("before, held", [
    (FIRST, "update_pivot_category"), (SECOND, "update_unstack_category"),
], ids=["after-pivot", "after-unstack"])
def test_the_next_categorys_partitions_are_read_while_one_is_stored(market, service, relay, make_client,
                                                                     tmp_path, logs, method, before,
                                                                     held):
    market.set_categories([before, THIRD])
    plain, plain_lines = update(make_client, tmp_path, CategoryMetaReplaced, "plain", logs, method)
    client = make_client(Recording, save_path=str(tmp_path / "ahead"))
    third = third_payload_keys(service, method)
    store = getattr(client.CV_db, held)
    waited = []

    def held_store(*args, **kwargs):
        # The category before stores its first partition once every payload of the next
        # one has been read.
        if not waited:
            waited.append(True)
            wait_until(lambda: third <= set(client.fetched), BOUND)
        return store(*args, **kwargs)

    setattr(client.CV_db, held, held_store)
    first = len(logs.lines())
    client.UpdateAllCategory(method)

    assert client.effects == plain.effects and logs.lines()[first:] == plain_lines
    assert sorted(k for k in client.fetched if k in third) == sorted(third)  # each read once
    assert fetch_threads() == 0


def corrupt_first_payload(service):
    key = data_key_for(FIRST, "2024-02")
    payload = bytearray(service.publisher.get_raw(key))
    payload[len(payload) // 2] ^= 0x10
    service.publisher.set_raw(key, bytes(payload))


def drop_second_meta(service):
    with service.redis.client() as admin:
        admin.delete(META_PREFIX + SECOND)


def drop_third_payload(service):
    partitions = json.loads(service.publisher.get_raw(META_PREFIX + THIRD))["partition_keys"]
    with service.redis.client() as admin:
        admin.delete(data_key_for(THIRD, partitions[len(partitions) // 2]))


@pytest.mark.parametrize("fault, failed, error", [
    (drop_second_meta, SECOND, MetaError), (corrupt_first_payload, FIRST, SerializationError),
    (drop_third_payload, THIRD, RemoteDataError),
], ids=["next-metadata", "current-payload", "next-payload"])
def test_a_failure_is_its_own_categorys(service, market, relay, make_client, tmp_path, logs,
                                        fault, failed, error):
    fault(service)
    plain = make_client(CategoryMetaReplaced, save_path=str(tmp_path / "plain"))
    raised(logs, SyncError, plain.UpdateAllCategory)
    ahead = make_client(Recording, save_path=str(tmp_path / "ahead"))

    raised(logs, SyncError, ahead.UpdateAllCategory)

    errors = [m for level, m in logs.lines() if level == "ERROR" and m.split(": ")[0] in CATEGORIES]
    assert errors == [f"{failed}: {error().user_message}"] * 2
    assert ahead.effects == plain.effects
    assert any(effect[1] == THIRD for effect in ahead.effects)  # the update went on
    assert (SECOND, False) in ahead.meta_threads  # the failing read was the one ahead
    assert fetch_threads() == 0


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, RuntimeError])
def test_an_ended_update_leaves_no_read_ahead(service, market, make_client, interrupt):
    with LinkRelay(service.redis.port, delay=0.2) as slow:
        service.api.configure(redis_port=slow.port)
        client = make_client(Recording)

        def ended(**kwargs):
            # The next category's read has begun, and over this link is still in flight.
            assert client.meta_started.wait(BOUND)
            raise interrupt

        client.CV_db.update_pivot_category = ended
        # An interrupt ends the update; any other failure is its category's alone.
        with pytest.raises(KeyboardInterrupt if interrupt is KeyboardInterrupt else SyncError):
            client.UpdateAllCategory()
        assert fetch_threads() == 0
        if interrupt is KeyboardInterrupt:
            assert [e[0] for e in client.effects] == ["set_category_meta"]
        # The read cut short closed its connection: only pooled, idle ones remain.
        client._redis_client.close()
        wait_until(lambda: client_connections(service) == 0, BOUND)


@pytest.mark.parametrize("where", ["subclass", "instance"])
def test_a_replaced_category_meta_sees_todays_calls(market, relay, make_client, where):
    calls = []
    if where == "subclass":
        client = make_client(CategoryMetaReplaced)
        client.UpdateAllCategory()
        calls = client.category_meta_calls
    else:
        client = make_client(Recording)
        own = client._get_category_meta

        def replaced(category):
            calls.append((category, threading.current_thread() is threading.main_thread()))
            return own(category)

        client._get_category_meta = replaced
        client.UpdateAllCategory()
    assert calls == [(c, True) for c in CATEGORIES]
    assert client.meta_threads == [(c, True) for c in CATEGORIES]
