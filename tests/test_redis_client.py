"""corvane._redis against a real redis-server and scripted peers on loopback."""

from __future__ import annotations

import gc
import random
import signal
import socket
import sys
import threading
import time
import weakref

import pytest

from corvane import _redis
from corvane._redis import exceptions
from corvane.testing import RedisServer, free_port
from peers import ScriptedPeer, StallingProxy

MiB = 1 << 20


@pytest.fixture(scope="module")
def server():
    with RedisServer() as started:
        yield started


def admin_of(server, **options):
    """A redis-py connection for preparing data, patient with large values."""
    return server.client(socket_timeout=60, **options)


@pytest.fixture(scope="module")
def admin(server):
    with admin_of(server) as connection:
        yield connection


@pytest.fixture
def client(server):
    with _redis.Redis("127.0.0.1", server.port, socket_timeout=30) as connected:
        yield connected


def wait_until(condition, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition not reached"
        time.sleep(0.02)


def wrong_from_threads(client, values, threads, gets):
    """Has `threads` threads issue `gets` GETs each of keys of `values` on `client` at once;
    returns what came back wrong: (key, length or None)."""
    barrier = threading.Barrier(threads)
    failures = []

    def work(seed):
        keys = random.Random(seed).choices(sorted(values), k=gets)
        barrier.wait()
        for key in keys:
            got = client.get(key)
            if got != values[key]:
                failures.append((key, None if got is None else len(got)))

    workers = [threading.Thread(target=work, args=(seed,)) for seed in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return failures


def test_exception_hierarchy_and_submodule():
    assert issubclass(exceptions.RedisError, Exception)
    for name in ("ConnectionError", "TimeoutError", "ResponseError"):
        assert getattr(exceptions, name).__bases__ == (exceptions.RedisError,)
    assert exceptions.AuthenticationError.__bases__ == (exceptions.ConnectionError,)
    assert _redis.AuthenticationError is exceptions.AuthenticationError
    from corvane._redis.exceptions import ResponseError
    assert ResponseError is _redis.ResponseError


@pytest.mark.parametrize("size", [0, 1, MiB, 64 * MiB], ids=["empty", "1B", "1MiB", "64MiB"])
def test_get_returns_value_byte_for_byte(admin, client, size):
    value = random.Random(size).randbytes(size)
    admin.set(f"value:{size}", value)
    got = client.get(f"value:{size}")
    assert type(got) is bytes
    assert got == value


def test_get_of_512_mib_value(admin, client):
    size = 512 * MiB
    value = random.Random(7).randbytes(size)
    admin.set("value:512MiB", value)
    try:
        got = client.get("value:512MiB")
        assert len(got) == size
        assert got == value
    finally:
        admin.delete("value:512MiB")


# Large enough for the client to keep a value's memory for the next large value.
BIG = 33 * MiB


@pytest.fixture(scope="module")
def big_values(admin):
    """Large values: two of one size, one larger."""
    values = {"big:a": random.Random(1).randbytes(BIG), "big:b": random.Random(2).randbytes(BIG),
              "big:c": random.Random(3).randbytes(BIG + 5 * MiB)}
    for key, value in values.items():
        admin.set(key, value)
    yield values
    admin.delete(*values)


@pytest.mark.parametrize("keys", [("big:a", "big:b"), ("big:a", "big:c"), ("big:c", "big:a")],
                         ids=["same size", "larger", "smaller"])
def test_large_value_received_into_a_dropped_one_is_exact(client, big_values, keys):
    previous = client.get(keys[0])
    hash(previous)  # cached in the object, which must not answer for the next content
    del previous
    got = client.get(keys[1])
    assert type(got) is bytes
    assert got == big_values[keys[1]]
    assert hash(got) == hash(big_values[keys[1]])


@pytest.mark.parametrize("hold, unwrap", [
    (lambda value: value, bytes),
    (memoryview, bytes),
    (lambda value: [value], lambda held: held[0]),
], ids=["name", "memoryview", "list"])
def test_large_value_still_held_is_never_overwritten(client, big_values, hold, unwrap):
    first = client.get("big:a")
    expected_hash = hash(first)
    held = hold(first)
    del first
    for key in ("big:b", "big:c", "big:b"):
        assert client.get(key) == big_values[key]
    assert unwrap(held) == big_values["big:a"]
    assert hash(unwrap(held)) == expected_hash


def test_threads_receiving_large_values_each_get_their_own(server, big_values):
    client = _redis.Redis("127.0.0.1", server.port, socket_timeout=30)
    assert wrong_from_threads(client, big_values, threads=4, gets=5) == []


@pytest.mark.parametrize("release", ["release_spare", "close", "__exit__"])
@pytest.mark.parametrize("key, kept", [("big:a", True), ("value:1MiB", False)], ids=["large", "small"])
def test_last_large_value_is_kept_until_released(server, admin, big_values, release, key, kept):
    admin.set("value:1MiB", bytes(MiB))
    client = _redis.Redis("127.0.0.1", server.port, socket_timeout=30)
    value = client.get(key)
    before = sys.getrefcount(value)
    getattr(client, release)(*([None] * 3 if release == "__exit__" else []))
    assert sys.getrefcount(value) == before - kept
    assert client.get(key) == value  # a released client goes on working


@pytest.mark.parametrize("key", ["plain", "ключ:日本", b"\x00\xffbinary", bytearray(b"ba")])
def test_get_keys_of_every_kind(admin, client, key):
    raw = key.encode() if isinstance(key, str) else bytes(key)
    admin.set(raw, b"v:" + raw)
    assert client.get(key) == b"v:" + raw


@pytest.mark.parametrize("host", ["127.0.0.1", "::1", "localhost"])
def test_every_loopback_address_reaches_the_server(server, admin, host):
    admin.set("greeting", b"hello")
    with _redis.Redis(host, server.port) as client:
        assert client.get("greeting") == b"hello"


def test_missing_key_is_none_and_ping_is_true(client):
    assert client.get("no-such-key") is None
    assert client.ping() is True


def test_huge_time_outs_mean_no_limit(server):
    with _redis.Redis("127.0.0.1", server.port, socket_timeout=1e300,
                      socket_connect_timeout=float(2**70)) as client:
        assert client.ping() is True


def test_decode_responses_and_database_selection(server, admin):
    admin.set("where", b"db0")
    with admin_of(server, db=3) as db3:
        db3.set("where", "数据库3".encode())
    with _redis.Redis("127.0.0.1", server.port, db=3, decode_responses=True) as client:
        assert client.get("where") == "数据库3"
    with _redis.Redis("127.0.0.1", server.port) as client:
        assert client.get("where") == b"db0"


def test_wrong_key_type_is_a_response_error(admin, client):
    admin.delete("a-list")
    admin.rpush("a-list", "x")
    with pytest.raises(exceptions.ResponseError, match="WRONGTYPE"):
        client.get("a-list")
    assert client.ping() is True


@pytest.mark.parametrize("kwargs, error, text", [
    (dict(port=0), ValueError, "port"),
    (dict(port="6379"), TypeError, "port"),
    (dict(db=-1), ValueError, "db"),
    (dict(socket_timeout=0), ValueError, "socket_timeout"),
    (dict(socket_timeout="5"), TypeError, "socket_timeout"),
    (dict(ssl=True, ssl_cert_reqs="sometimes"), ValueError, "ssl_cert_reqs"),
    (dict(ssl=True, ssl_min_version=0x0300), ValueError, "ssl_min_version"),
    (dict(ssl=True, ssl_cert_reqs="none", ssl_check_hostname=True), ValueError, "ssl_check_hostname"),
    (dict(colour="blue"), TypeError, "colour"),
])
def test_bad_arguments_are_refused(kwargs, error, text):
    with pytest.raises(error, match=text):
        _redis.Redis(**{"host": "127.0.0.1", **kwargs})


def test_get_needs_a_key(client):
    with pytest.raises(TypeError, match="key must be str or bytes"):
        client.get(5)


@pytest.fixture(scope="module")
def acl_server():
    server = RedisServer(password="default-secret",
                         options=("--user", "alice", "on", ">alice-secret", "~*", "&*", "+@all"))
    with server as started:
        with admin_of(started) as admin:
            admin.set("guarded", b"payload")
        yield started


@pytest.mark.parametrize("username, password", [(None, "default-secret"), ("alice", "alice-secret")])
@pytest.mark.parametrize("db", [0, 2])
def test_accepted_credentials(acl_server, username, password, db):
    with _redis.Redis("127.0.0.1", acl_server.port, db=db, username=username,
                      password=password) as client:
        assert client.ping() is True
        assert client.get("guarded") == (b"payload" if db == 0 else None)


@pytest.mark.parametrize("username, password", [
    (None, "wrong-secret-1"),
    ("alice", "wrong-secret-2"),
    ("nobody", "wrong-secret-3"),
    (None, None),  # the server answers NOAUTH
])
def test_rejected_credentials_raise_authentication_error(acl_server, username, password):
    client = _redis.Redis("127.0.0.1", acl_server.port, username=username, password=password)
    for command in (client.ping, lambda: client.get("guarded")):
        with pytest.raises(exceptions.AuthenticationError) as raised:
            command()
        if password is not None:
            assert password not in str(raised.value)
            assert password not in repr(raised.value)
    assert "secret" not in repr(client)


def test_auth_error_that_quotes_the_arguments_is_cut():
    reply = b"-ERR unknown command 'AUTH', with args beginning with: 'alice' 'pw-secret' \r\n"
    with ScriptedPeer(reply) as peer:
        client = _redis.Redis("127.0.0.1", peer.port, username="alice", password="pw-secret",
                              socket_timeout=5)
        with pytest.raises(exceptions.AuthenticationError) as raised:
            client.ping()
    assert str(raised.value) == "ERR unknown command"


class _Alarm(Exception):
    pass


def _raise_alarm(signum, frame):
    raise _Alarm


@pytest.mark.parametrize("script, error, text", [
    (None, exceptions.TimeoutError, "Timeout reading"),
    (b"$1073741825\r\n", exceptions.ConnectionError, "exceeds the limit"),
    (b"*1\r\n$1\r\nx\r\n", exceptions.ConnectionError, "unexpected array"),
    (b"?what\r\n", exceptions.ConnectionError, "unknown reply type"),
    (b"$3\r\nabcXY", exceptions.ConnectionError, "not ended by CRLF"),
    (b"$-2\r\n", exceptions.ConnectionError, "invalid bulk length"),
    (b"+OK\n", exceptions.ConnectionError, "not ended by CRLF"),
    (b"-ERR boom\r\n", exceptions.ResponseError, "ERR boom"),
    (b"-NOAUTH Authentication required.\r\n", exceptions.AuthenticationError, "NOAUTH"),
    (b":12\r\n", exceptions.ResponseError, "unexpected integer reply"),
], ids=["silent", "oversize", "array", "type", "crlf", "length", "bare-lf", "error", "noauth",
        "integer"])
def test_failures_of_a_peer(script, error, text):
    with ScriptedPeer(script) as peer:
        client = _redis.Redis("127.0.0.1", peer.port, socket_timeout=0.5)
        with pytest.raises(error, match=text) as raised:
            client.get("k")
        if error is not exceptions.AuthenticationError:
            assert not isinstance(raised.value, exceptions.AuthenticationError)


def test_peer_that_closes_mid_body():
    with ScriptedPeer(b"$100\r\n" + b"x" * 40, close=True) as peer:
        client = _redis.Redis("127.0.0.1", peer.port, socket_timeout=5)
        with pytest.raises(exceptions.ConnectionError, match="Connection closed by server"):
            client.get("k")


def test_connect_to_a_listener_with_a_full_backlog_times_out():
    with socket.create_server(("127.0.0.1", 0), backlog=0) as listener:
        port = listener.getsockname()[1]
        queued = [socket.socket() for _ in range(3)]
        for pending in queued:
            pending.setblocking(False)
            pending.connect_ex(("127.0.0.1", port))
        try:
            client = _redis.Redis("127.0.0.1", port, socket_connect_timeout=0.5)
            with pytest.raises(exceptions.TimeoutError, match="Timeout connecting"):
                client.ping()
        finally:
            for pending in queued:
                pending.close()


def test_refused_connection_is_a_connection_error():
    client = _redis.Redis("127.0.0.1", free_port(), socket_timeout=2)
    with pytest.raises(exceptions.ConnectionError, match="Connection refused") as raised:
        client.ping()
    assert not isinstance(raised.value, exceptions.AuthenticationError)


@pytest.mark.parametrize("reply, expected", [
    (b"$10\r\n0123456789\r\n", b"0123456789"),
    (b"$0\r\n\r\n", b""),
    (b"$-1\r\n", None),
])
def test_replies_arriving_byte_by_byte(reply, expected):
    with ScriptedPeer(reply, chunk=1) as peer:
        client = _redis.Redis("127.0.0.1", peer.port, socket_timeout=5)
        assert client.get("k") == expected
        assert client.get("k") == expected


def test_signal_handler_interrupts_a_blocked_command():
    with ScriptedPeer(None) as peer:
        client = _redis.Redis("127.0.0.1", peer.port)
        previous = signal.signal(signal.SIGALRM, _raise_alarm)
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.2)
            with pytest.raises(_Alarm):
                client.get("k")
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)


def test_server_killed_mid_reply_then_restarted():
    value = random.Random(3).randbytes(4 * MiB)
    with RedisServer() as server, StallingProxy(server.port, limit=MiB) as proxy:
        with admin_of(server) as admin:
            admin.set("big", value)
        client = _redis.Redis("127.0.0.1", proxy.port, socket_timeout=30)
        outcome = []
        reader = threading.Thread(target=lambda: outcome.append(_capture(client.get, "big")))
        reader.start()
        assert proxy.stalled.wait(10)
        server.kill()
        reader.join(30)
        assert isinstance(outcome[0], exceptions.ConnectionError)

        proxy.limit = None
        server.start()
        with admin_of(server) as admin:
            admin.set("big", value)
        assert client.get("big") == value


def _capture(function, *args):
    try:
        return function(*args)
    except Exception as error:  # noqa: BLE001 - handed to the test thread
        return error


def test_idle_connections_survive_a_server_restart():
    with RedisServer() as server:
        client = _redis.Redis("127.0.0.1", server.port, socket_timeout=10)
        barrier = threading.Barrier(3)

        def ping():
            barrier.wait()
            return client.ping()

        # Three connections go idle in the pool, then the server restarts under them.
        threads = [threading.Thread(target=ping) for _ in range(3)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        server.kill()
        server.start()
        assert [client.ping() for _ in range(4)] == [True] * 4


def test_eight_threads_share_one_client(admin, server):
    values = {f"t:{n}": random.Random(n).randbytes(n * 37_000 + 1) for n in range(16)}
    for key, value in values.items():
        admin.set(key, value)
    client = _redis.Redis("127.0.0.1", server.port, socket_timeout=30)
    assert wrong_from_threads(client, values, threads=8, gets=60) == []


def _connected_clients(admin):
    return admin.info("clients")["connected_clients"]


def test_close_and_deallocation_release_connections(server, admin):
    baseline = _connected_clients(admin)
    client = _redis.Redis("127.0.0.1", server.port)
    assert client.ping() is True
    wait_until(lambda: _connected_clients(admin) == baseline + 1)
    client.close()
    wait_until(lambda: _connected_clients(admin) == baseline)

    assert client.ping() is True  # connects again on demand
    wait_until(lambda: _connected_clients(admin) == baseline + 1)
    reference = weakref.ref(client)
    del client
    gc.collect()
    assert reference() is None
    wait_until(lambda: _connected_clients(admin) == baseline)

    with _redis.Redis("127.0.0.1", server.port) as client:
        client.ping()
        wait_until(lambda: _connected_clients(admin) == baseline + 1)
    wait_until(lambda: _connected_clients(admin) == baseline)


def test_subclass_in_a_reference_cycle_is_collected(server):
    class Tracked(_redis.Redis):
        pass

    client = Tracked("127.0.0.1", server.port)
    client.me = client
    assert client.ping() is True
    reference = weakref.ref(client)
    del client
    gc.collect()
    assert reference() is None


def test_repr_names_the_endpoint_only(server):
    client = _redis.Redis("127.0.0.1", server.port, password="very-secret", username="u")
    assert repr(client) == f"<corvane._redis.Redis host='127.0.0.1' port={server.port} db=0 ssl=False>"
