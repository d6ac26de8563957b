"""GET throughput, CPU time and peak memory of corvane._redis, side by side with redis-py
(hiredis parser) and a raw socket that reads into a preallocated buffer, against one
redis-server on loopback.

    dev/run python3 bench/redis_get.py [--repeat 5]

Each figure is the best of --repeat runs (16 times as many for 1 MiB). Peak memory is measured in a fresh subprocess
per client: the growth of the peak RSS while one 512 MiB value is received.
"""

from __future__ import annotations

import argparse
import json
import mmap
import os
import random
import socket
import subprocess
import sys
import time
from pathlib import Path

import hiredis
import redis as redis_py
import redis._parsers.hiredis as redis_py_hiredis

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from corvane import _redis  # noqa: E402
from corvane.testing.redis import RedisServer  # noqa: E402

MiB = 1 << 20
SIZES = [MiB, 64 * MiB, 512 * MiB]


class RawSocket:
    """One GET on a plain socket, its body read with recv_into. With `reuse`, into a buffer
    allocated and touched once per size (the practical limit); otherwise into a new
    buffer each time, as a client that returns a new object must when it has none to reuse."""

    def __init__(self, port: int, reuse: bool):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.reuse = reuse
        self.buffers: dict[int, memoryview] = {}

    def get(self, key: str):
        encoded = key.encode()
        self.sock.sendall(b"*2\r\n$3\r\nGET\r\n$%d\r\n%s\r\n" % (len(encoded), encoded))
        head = bytearray()
        while not head.endswith(b"\r\n"):
            head += self.sock.recv(1)
        length = int(head[1:-2])
        view = self.buffers.get(length)
        if view is None:
            # Fresh anonymous memory, like a new object's; faulted in once when reused.
            view = memoryview(mmap.mmap(-1, length + 2))
            if self.reuse:
                view[::4096] = b"\1" * len(range(0, length + 2, 4096))
                self.buffers[length] = view
        done = 0
        while done < length + 2:
            done += self.sock.recv_into(view[done:])
        return view[:length]


def hiredis_parser():
    """redis-py's hiredis parser. redis-py 6.4 turns it on by itself only from hiredis 3.2,
    while Debian ships hiredis 2.3, whose Reader has everything the parser uses."""
    redis_py_hiredis.HIREDIS_AVAILABLE = True
    return redis_py_hiredis._HiredisParser


def clients(port: int) -> dict:
    return {
        "corvane._redis": _redis.Redis("127.0.0.1", port, socket_timeout=60),
        "redis-py": redis_py.Redis(connection_pool=redis_py.ConnectionPool(
            host="127.0.0.1", port=port, socket_timeout=60, parser_class=hiredis_parser())),
        RAW: RawSocket(port, reuse=True),
        "raw socket, new buffer": RawSocket(port, reuse=False),
    }


RAW = "raw socket"


def measure(named: dict, key: str, repeat: int) -> dict[str, tuple[float, float]]:
    """Each client's best wall time and best process CPU time of one GET. The clients take
    turns, so that a busy moment of the machine does not fall on one of them only."""
    walls = {name: [] for name in named}
    cpus = {name: [] for name in named}
    for client in named.values():
        client.get(key)  # connect, warm up
    for _ in range(repeat):
        for name, client in named.items():
            cpu0, wall0 = time.process_time(), time.perf_counter()
            value = client.get(key)
            walls[name].append(time.perf_counter() - wall0)
            cpus[name].append(time.process_time() - cpu0)
            del value
    return {name: (min(walls[name]), min(cpus[name])) for name in named}


PEAK_SCRIPT = r"""
import json, sys
sys.path.insert(0, sys.argv[3])
from redis_get import clients
port, name = int(sys.argv[1]), sys.argv[2]
client = clients(port)[name]
client.get("bench:1")  # connected, imports done

def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) * 1024

before = status("VmRSS:")
with open("/proc/self/clear_refs", "w") as handle:
    handle.write("5")  # resets the peak to the current RSS
value = client.get("bench:%d" % (512 << 20))
assert len(value) == 512 << 20
print(json.dumps(status("VmHWM:") - before))
"""


def peak_growth(port: int, name: str) -> int:
    result = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, str(port), name,
                             str(Path(__file__).parent)],
                            check=True, capture_output=True, text=True,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    return json.loads(result.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    with RedisServer() as server:
        with server.client() as admin:
            admin.set("bench:1", b"x")
            for size in SIZES:
                admin.set(f"bench:{size}", random.Random(size).randbytes(size))
        named = clients(server.port)

        print(f"GET on loopback, best of {args.repeat} (1 MiB: {args.repeat * 16}); redis-py {redis_py.__version__} with "
              f"hiredis {hiredis.__version__}; CPU is this process's (user+sys).\n")
        print("| value | client | MB/s | vs raw socket | vs redis-py | CPU s/GiB | CPU vs redis-py |")
        print("|---|---|---:|---:|---:|---:|---:|")
        for size in SIZES:
            key = f"bench:{size}"
            # Small values are quick: more turns steady their figures.
            results = measure(named, key, args.repeat * max(1, (64 * MiB) // size // 4))
            raw_wall = results[RAW][0]
            py_wall, py_cpu = results["redis-py"]
            for name, (wall, cpu) in results.items():
                gib = size / (1 << 30)
                print(f"| {size // MiB} MiB | {name} | {size / wall / 1e6:,.0f} | "
                      f"{raw_wall / wall:.2f} | {py_wall / wall:.2f} | {cpu / gib:.3f} | "
                      f"{cpu / py_cpu:.2f} |")

        print("\nPeak RSS growth while receiving one 512 MiB value (fresh process each):\n")
        print("| client | growth MiB | growth / value size |")
        print("|---|---:|---:|")
        for name in ("corvane._redis", "redis-py", "raw socket, new buffer"):
            growth = peak_growth(server.port, name)
            print(f"| {name} | {growth / MiB:,.0f} | {growth / (512 * MiB):.2f} |")


if __name__ == "__main__":
    main()
