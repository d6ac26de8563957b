"""Reference and memory leaks of the main operations, measured under a debug interpreter
(`dev/test --leaks`; skipped elsewhere).

Each operation runs a few hundred times: once to warm caches up, then in rounds. After each
round the test takes the interpreter's total reference count, the number of objects that the
collector tracks, the number of allocated memory blocks and the bytes that tracemalloc sees
in use. A leak of one reference, object or block (or 64 bytes) in every other call makes
every round grow by more than the measuring itself adds; noise and caches that fill up do
not grow every round.

numpy, pandas and pyarrow are release builds: their own reference changes never reach the
total, which then drifts by thousands per call without any leak (a bare numpy.zeros drifts
by one). Operations that go through them are judged on the reference counts of the objects
that our code holds and passes around instead; leaked objects of their making still show
in the other three measures. The service runs in a child process so that its own
allocations stay out of the counts.
"""

import gc
import json
import logging
import subprocess
import sys
import tracemalloc
from pathlib import Path

import pytest

from corvane import CorvaneClient, _redis
from corvane.exceptions import CorvaneError
from corvane.testing import HEARTBEAT_PATH, free_port

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug interpreter: dev/test --leaks")

PIVOT = "cn_stock_pivot#close"
UNSTACK = "cn_fund_unstack#nav"
ROUNDS = 4


@pytest.fixture(scope="module")
def remote():
    """The service's address, token and Redis credentials."""
    # Leaving the block closes its standard input, which ends it, and waits for it.
    with subprocess.Popen([sys.executable, str(Path(__file__).with_name("leak_service.py"))],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) as child:
        yield json.loads(child.stdout.readline())


@pytest.fixture(scope="module")
def client(remote, tmp_path_factory):
    with CorvaneClient(api_token=remote["token"], save_path=str(tmp_path_factory.mktemp("store")),
                       api_url=remote["url"], log_level=logging.WARNING) as connected:
        yield connected


@pytest.fixture(scope="module", autouse=True)
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


# What one leak adds to each measure; a round grows by half of it per call at least.
LABELS = ("references", "objects", "memory blocks", "traced bytes")
UNITS = (1, 1, 1, 64)


def counts(anchors):
    # The interpreter's type cache keeps the last attribute name of each of its slots, and
    # new slots fill for a long while: it would pass for a slow leak.
    sys._clear_internal_caches()
    gc.collect()
    references = (sys.gettotalrefcount() if anchors is None
                  else sum(sys.getrefcount(anchor) for anchor in anchors()
                           if not sys._is_immortal(anchor)))
    return (references, len(gc.get_objects()), sys.getallocatedblocks(),
            tracemalloc.get_traced_memory()[0])


def assert_no_leak(capfd, name, operation, calls, anchors=None):
    """`anchors`, when given, returns the objects whose reference counts stand in for the
    interpreter's total. The figures go to the terminal through `capfd`, which captures into
    a file: a capture in memory would grow with the progress bars."""
    for _ in range(calls):
        operation()
    history = [counts(anchors)]
    for _ in range(ROUNDS):
        for _ in range(calls):
            operation()
        history.append(counts(anchors))
    shown = ("references to its objects" if anchors else LABELS[0], *LABELS[1:])
    with capfd.disabled():
        print(f"\n{name}: {calls} calls x {ROUNDS} rounds after warm-up; "
              + ", ".join(f"{label} {history[0][i]} -> {history[-1][i]}"
                          for i, label in enumerate(shown)))
    for i, label in enumerate(LABELS):
        growth = [after[i] - before[i] for before, after in zip(history, history[1:])]
        assert not all(step >= UNITS[i] * calls // 2 for step in growth), \
            f"{name}: {label} grow every round: {growth}"


def swallow(call, *args):
    """Runs a call that may refuse; a refusal is part of what is measured."""
    try:
        call(*args)
    except (CorvaneError, TypeError, _redis.RedisError):
        pass


def validators():
    for call, good, bad in [
        (CorvaneClient._validate_api_token, "tok-abc", "bad token"),
        (lambda value: CorvaneClient._required_text(value, 16), "text", "x" * 17),
        (CorvaneClient._validate_redis_host, "redis.example.com", "bad_host"),
        (CorvaneClient._validate_scope_list, ["a", "b"], ("a",)),
        (CorvaneClient._validate_partition_name, "2024-05", "2024/05"),
        (CorvaneClient._validate_hash, "sha256:" + "0" * 64, "sha256:XYZ"),
        (CorvaneClient._normalize_api_url, "https://api.example.com/", "ftp://x"),
        (CorvaneClient._validate_api_token, 5, None),
    ]:
        swallow(call, good)
        swallow(call, bad)


def test_validators(capfd):
    assert_no_leak(capfd, "validators", validators, 300)


def test_api_post_json(capfd, client):
    ticket = client._ticket
    renewal = {"ticket": ticket.ticket_id, "session_id": ticket.session_id}
    unknown = {"ticket": "tkt-unknown", "session_id": "sid-unknown"}

    def post():
        client._api_post_json(HEARTBEAT_PATH, renewal, 10)
        swallow(client._api_post_json, HEARTBEAT_PATH, unknown, 10)  # refused by the service

    assert_no_leak(capfd, "_api_post_json", post, 100)


def test_construction_and_close(capfd, remote, tmp_path):
    def construct():
        CorvaneClient(api_token=remote["token"], save_path=str(tmp_path), api_url=remote["url"],
                      log_level=logging.WARNING).close()

    assert_no_leak(capfd, "construction + close", construct, 50)


def test_construction_and_drop_without_close(capfd, remote, tmp_path):
    def abandon():
        client = CorvaneClient(api_token=remote["token"], save_path=str(tmp_path),
                               api_url=remote["url"], log_level=logging.WARNING)
        thread = client._heartbeat_thread
        del client  # the finaliser releases the session and stops the heartbeat
        thread.join()

    assert_no_leak(capfd, "construction + drop", abandon, 50)


def test_metadata_reads(capfd, client):
    def read():
        client._refresh_categories()
        client._get_category_meta(PIVOT)
        client._get_partition_meta(PIVOT, "2024-02")
        swallow(client._json_get_required, "corvane:meta:category:none_pivot#x")

    assert_no_leak(capfd, "metadata reads", read, 200)


def held_by(client):
    """The objects that the client's code holds and hands around during an update or read."""
    module = sys.modules["corvane.CorvaneClient"]
    names = ("pd", "io", "json", "os", "tqdm", "redis", "datetime", "ParquetDataManager",
             "SerializationError", "RemoteDataError")
    return lambda: [client, client.CV_db, client.logger, client._ticket, client._redis_client,
                    CorvaneClient, module, *map(module.__dict__.get, names),
                    *client._remote_categories, PIVOT, UNSTACK]


def test_update_all_category(capfd, client):
    # The store rewrites the same partitions each time: its files do not grow either.
    assert_no_leak(capfd, "UpdateAllCategory", client.UpdateAllCategory, 20,
                   anchors=held_by(client))


def test_get_category_of_a_local_category(capfd, client):
    client.UpdateAllCategory()

    def read():
        client.GetCategory(PIVOT, "2024-02-01", "2024-02-29")
        client.GetCategory(UNSTACK)

    assert_no_leak(capfd, "GetCategory (local)", read, 100, anchors=held_by(client))


def test_redis_client(capfd, remote):
    port, password = remote["redis_port"], remote["redis_password"]
    shared = _redis.Redis("127.0.0.1", port, password=password)
    refused = free_port()

    def use():
        shared.ping()
        shared.get("corvane:meta:categories")
        shared.get("no-such-key")
        with _redis.Redis("127.0.0.1", port, password=password) as fresh:
            fresh.ping()
        swallow(_redis.Redis("127.0.0.1", port, password="wrong").ping)
        swallow(_redis.Redis("127.0.0.1", refused, socket_connect_timeout=1).get, "k")

    assert_no_leak(capfd, "corvane._redis", use, 200)
    shared.close()
