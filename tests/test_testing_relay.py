"""The relay that puts a delay and a bandwidth cap between a client and the local Redis."""

import concurrent.futures
import os
import socket
import subprocess
import sys
import threading

import pytest
import redis

from corvane.testing import LinkRelay, RedisServer

# Enough to cross many relay chunks and, at the cap below, to queue behind each other.
VALUE_BYTES = 3 << 20


@pytest.fixture(scope="module")
def server():
    with RedisServer(password="pw-relay") as running:
        with running.client() as conn:
            for i in range(3):
                conn.set(f"corvane:relay:{i}", bytes([i]) * VALUE_BYTES + os.urandom(64))
        yield running


def through(relay, server):
    return redis.Redis(host="127.0.0.1", port=relay.port, password=server.password,
                       socket_timeout=30)


def relay_threads():
    return [t for t in threading.enumerate() if t.name.startswith("corvane-test-relay")]


def test_connections_share_the_link_and_get_every_byte_in_order(server):
    with server.client() as direct:
        expected = [direct.get(f"corvane:relay:{i}") for i in range(3)]
    # A cap far above what a test waits for, yet low enough that the chunks of three
    # connections queue on one link.
    with LinkRelay(server.port, delay=0.002, bandwidth=400e6) as relay:
        def fetch(i):
            with through(relay, server) as conn:
                pipe = conn.pipeline(transaction=False)
                pipe.get(f"corvane:relay:{i}").echo(b"after").get(f"corvane:relay:{i}")
                return pipe.execute()

        with concurrent.futures.ThreadPoolExecutor(3) as pool:
            replies = list(pool.map(fetch, range(3)))
        assert replies == [[value, b"after", value] for value in expected]
        assert relay.bytes_down >= 2 * sum(map(len, expected))
        assert 0 < relay.bytes_up < 1000


def test_upstream_gone_ends_the_relayed_connection():
    with RedisServer(password="pw-kill") as doomed, LinkRelay(doomed.port, delay=0.001) as relay:
        with socket.create_connection(("127.0.0.1", relay.port), 5) as relayed:
            relayed.settimeout(10)
            relayed.sendall(b"PING\r\n")
            assert relayed.recv(100).startswith(b"-NOAUTH")  # the upstream answers
            doomed.kill()
            assert relayed.recv(1) == b""
        # A new connection is closed at once while the service is down, never left hanging.
        with socket.create_connection(("127.0.0.1", relay.port), 5) as probe:
            probe.settimeout(10)
            assert probe.recv(1) == b""


def test_close_cuts_open_connections_and_leaves_no_thread(server):
    before = set(threading.enumerate())
    relay = LinkRelay(server.port, delay=0.001).start()
    conn = through(relay, server)
    assert conn.ping()
    relay.close()
    with pytest.raises(redis.ConnectionError):
        conn.ping()
    conn.close()
    assert set(threading.enumerate()) <= before
    assert not relay_threads()


@pytest.mark.parametrize("options, error", [({"delay": -0.001}, "delay"),
                                            ({"bandwidth": 0}, "bandwidth")])
def test_relay_refuses_impossible_links(options, error):
    with pytest.raises(ValueError, match=error):
        LinkRelay(1, **options)


@pytest.mark.timeout(60)
def test_relay_command_prints_its_port_and_relays(server):
    process = subprocess.Popen(
        [sys.executable, "-m", "corvane.testing", "relay", "--to", str(server.port),
         "--delay-ms", "1", "--bandwidth-mbit", "1000"],
        stdout=subprocess.PIPE, text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    try:
        line = process.stdout.readline()
        assert line.startswith("Relay port: ")
        port = int(line.split()[-1])
        with redis.Redis(host="127.0.0.1", port=port, password=server.password) as conn:
            assert conn.get("corvane:relay:1")[:4] == b"\x01" * 4
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
