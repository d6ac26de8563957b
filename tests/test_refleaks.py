"""Reference and memory leaks of the main operations, measured under a debug interpreter
(`dev/test --leaks`; skipped elsewhere).

Each operation runs a few hundred times: once to warm caches up, then in rounds, with the
interpreter's total reference count, the number of objects the collector tracks and the
number of allocated memory blocks taken after each round. A leak of one reference, object
or block in every few calls makes every round grow; noise and caches that fill up do not.
The service runs in a child process so that its own allocations stay out of the counts.
"""

import gc
import json
import logging
import subprocess
import sys
from pathlib import Path

import pytest

from corvane import CorvaneClient, _redis
from corvane.exceptions import CorvaneError
from corvane.testing import HEARTBEAT_PATH, free_port

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug interpreter: dev/test --leaks")

PIVOT = "cn_stock_pivot#close"
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


def counts():
    # The interpreter's type cache keeps the last attribute name of each of its slots, and
    # new slots fill for a long while: it would pass for a slow leak.
    sys._clear_internal_caches()
    gc.collect()
    return sys.gettotalrefcount(), len(gc.get_objects()), sys.getallocatedblocks()


def assert_no_leak(capsys, name, operation, calls):
    for _ in range(calls):
        operation()
    history = [counts()]
    for _ in range(ROUNDS):
        for _ in range(calls):
            operation()
        history.append(counts())
    with capsys.disabled():
        print(f"\n{name}: {calls} calls x {ROUNDS} rounds after warm-up; "
              + ", ".join(f"{label} {history[0][i]} -> {history[-1][i]}"
                          for i, label in enumerate(("refs", "objects", "blocks"))))
    for i, label in enumerate(("references", "objects", "memory blocks")):
        growth = [after[i] - before[i] for before, after in zip(history, history[1:])]
        assert not all(step >= max(1, calls // 4) for step in growth), \
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


def test_validators(capsys):
    assert_no_leak(capsys, "validators", validators, 300)


def test_api_post_json(capsys, client):
    ticket = client._ticket
    renewal = {"ticket": ticket.ticket_id, "session_id": ticket.session_id}
    unknown = {"ticket": "tkt-unknown", "session_id": "sid-unknown"}

    def post():
        client._api_post_json(HEARTBEAT_PATH, renewal, 10)
        swallow(client._api_post_json, HEARTBEAT_PATH, unknown, 10)  # refused by the service

    assert_no_leak(capsys, "_api_post_json", post, 100)


def test_construction_and_close(capsys, remote, tmp_path):
    def construct():
        CorvaneClient(api_token=remote["token"], save_path=str(tmp_path), api_url=remote["url"],
                      log_level=logging.WARNING).close()

    assert_no_leak(capsys, "construction + close", construct, 50)


def test_metadata_reads(capsys, client):
    def read():
        client._refresh_categories()
        client._get_category_meta(PIVOT)
        client._get_partition_meta(PIVOT, "2024-02")
        swallow(client._json_get_required, "corvane:meta:category:none_pivot#x")

    assert_no_leak(capsys, "metadata reads", read, 200)


def test_redis_client(capsys, remote):
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

    assert_no_leak(capsys, "corvane._redis", use, 200)
    shared.close()
