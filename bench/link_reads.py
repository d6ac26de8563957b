"""Reading many partition-sized values over a far link: several pooled connections at once
(corvane._redis, one thread each, as the synchronisation's read-ahead does) against
pipelining them on one connection (redis-py), both against the link limit.

Redis is reached through corvane.testing.LinkRelay (a delay each way, a bandwidth cap on
the link). --values values of --kib KiB each; link limit = bytes / bandwidth + one round trip.

    dev/run python3 bench/link_reads.py [--links 40:400,10:1000] [--values 200 --kib 300]
"""

from __future__ import annotations

import argparse
import os
import sys
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, REPO)

import redis  # noqa: E402

from corvane import _redis  # noqa: E402
from corvane.testing import LinkRelay, LocalService  # noqa: E402

KEY = "corvane:bench:link_reads:{}"


def threaded(port: int, password: str, count: int, threads: int) -> float:
    client = _redis.Redis(host="127.0.0.1", port=port, password=password)
    keys = iter(range(count))
    lock = threading.Lock()

    def work():
        while True:
            with lock:
                index = next(keys, None)
            if index is None:
                return
            client.get(KEY.format(index))

    start = time.perf_counter()
    workers = [threading.Thread(target=work) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    elapsed = time.perf_counter() - start
    client.close()
    return elapsed


def pipelined(port: int, password: str, count: int, depth: int) -> float:
    conn = redis.Redis(host="127.0.0.1", port=port, password=password)
    conn.ping()
    start = time.perf_counter()
    for first in range(0, count, depth):
        pipe = conn.pipeline(transaction=False)
        for index in range(first, min(count, first + depth)):
            pipe.get(KEY.format(index))
        pipe.execute()
    elapsed = time.perf_counter() - start
    conn.close()
    return elapsed


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--links", default="40:400,10:1000", help="rtt_ms:mbit,...")
    parser.add_argument("--values", type=int, default=200)
    parser.add_argument("--kib", type=int, default=300)
    args = parser.parse_args()
    value = os.urandom(args.kib * 1024)
    with LocalService() as service:
        with service.redis.client() as admin:
            for index in range(args.values):
                admin.set(KEY.format(index), value)
        password = service.redis.password
        total = args.values * len(value)
        print(f"{args.values} values of {args.kib} KiB ({total / 1e6:.1f} MB)\n")
        print("| link | way | seconds | x link limit |\n|---|---|---:|---:|")
        for link in args.links.split(","):
            rtt_ms, mbit = (float(part) for part in link.split(":"))
            limit = total * 8 / (mbit * 1e6) + rtt_ms / 1000
            with LinkRelay(service.redis.port, delay=rtt_ms / 2000, bandwidth=mbit * 1e6 / 8) as relay:
                runs = [(f"{n} connections", threaded, n) for n in (1, 4, 16, 32)]
                runs += [(f"pipeline of {n}, one connection", pipelined, n) for n in (16, 64)]
                for name, run, width in runs:
                    seconds = run(relay.port, password, args.values, width)
                    print(f"| {rtt_ms:g} ms / {mbit:g} Mbit/s | {name} | {seconds:.2f} | "
                          f"{seconds / limit:.2f} |")


if __name__ == "__main__":
    main()
