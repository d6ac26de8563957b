"""Synchronisation over a far link: corvane and the plain Python flow against the link limit.

Redis is reached through a relay (``python -m corvane.testing relay``, in a process of its own)
that delays every chunk by half the round trip in each direction and caps each direction of
the link, all connections together. The local service's tickets lead to the relay. Data: daily
pivot categories whose trading days end today (so that an incremental update has work) and
monthly ones, --instruments float64 columns each.

For each link setting, side by side in one run: ``UpdateAllCategory('full')`` into an empty
store, then ``UpdateAllCategory('incremental')`` on it, each with a client constructed (ticket
and connection) just before; and the plain flow of bench/sync.py (redis-py GET of metadata and
payload, hashlib, pandas.read_parquet(io.BytesIO), to_parquet), full, then incremental over
the same partitions the client's incremental update reads.

Link limit of a run = its payload bytes / bandwidth + one round trip per category. Before the
runs the bench measures the relay itself (no delay, no cap, against Redis directly) and, on
each setting, one large GET against its own limit.

    dev/run python3 bench/wan.py [--quick] [--links 40:400,10:1000] [--repeat 1]
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, REPO)
os.environ.setdefault("TQDM_DISABLE", "1")

import pandas as pd  # noqa: E402
import redis  # noqa: E402

import corvane  # noqa: E402
from corvane import _redis  # noqa: E402
from corvane.testing import LocalService, data_key_for, synthetic_pivot  # noqa: E402
from sync import plain_selection, plain_update  # noqa: E402  (bench/sync.py)

BLOB = "corvane:bench:wan_blob"
# The client's incremental update reads the partitions of the last 60 days.
INCREMENTAL_DAYS = 60


def daily_name(i: int) -> str:
    return f"wan_daily_{i}_pivot#close"


def monthly_name(i: int) -> str:
    return f"wan_monthly_{i}_pivot#close"


# ---- data --------------------------------------------------------------------------------

def publish(svc, args) -> dict[str, dict[str, int]]:
    """Publishes the categories; returns each one's payload size per partition."""
    today = pd.Timestamp(datetime.date.today())
    days = pd.bdate_range(end=today, periods=args.days)
    first_month = (today - pd.DateOffset(months=args.months - 1)).replace(day=1)
    plan = [(daily_name(i), days[0], "daily") for i in range(args.daily_categories)]
    plan += [(monthly_name(i), first_month, "monthly") for i in range(args.monthly_categories)]
    sizes = {}
    with svc.redis.client() as conn:
        for seed, (category, start, mode) in enumerate(plan):
            frame = synthetic_pivot(start, today, args.instruments, seed=seed, nan_fraction=0.01)
            partitions = svc.publisher.publish_pivot(category, frame, partition_mode=mode)
            sizes[category] = {p: conn.strlen(data_key_for(category, p)) for p in partitions}
        conn.set(BLOB, os.urandom(args.blob_mib << 20))
    return sizes


# ---- the link ----------------------------------------------------------------------------

@contextlib.contextmanager
def relay(upstream_port: int, rtt_ms: float = 0.0, mbit: float = 0.0):
    """A relay process with that round trip and cap (0: none); yields its port."""
    command = [sys.executable, "-m", "corvane.testing", "relay", "--to", str(upstream_port),
               "--delay-ms", str(rtt_ms / 2), "--bandwidth-mbit", str(mbit)]
    env = {**os.environ, "PYTHONPATH": REPO}
    with subprocess.Popen(command, stdout=subprocess.PIPE, text=True, env=env) as process:
        try:
            line = process.stdout.readline()
            if not line.startswith("Relay port:"):
                raise RuntimeError(f"the relay did not start: {line!r}")
            yield int(line.split(":")[1])
        finally:
            process.terminate()


def get_seconds(port: int, password: str, key: str, repeat: int) -> float:
    """Best time of one GET of `key` over a fresh connection through `port`."""
    client = _redis.Redis("127.0.0.1", port, password=password, socket_timeout=120)
    try:
        client.get("corvane:bench:none")  # connected and authenticated before the timing
        best = float("inf")
        for _ in range(repeat):
            started = time.perf_counter()
            value = client.get(key)
            best = min(best, time.perf_counter() - started)
            del value
        return best
    finally:
        client.close()


def round_trip_seconds(port: int, password: str, count: int = 200) -> float:
    client = _redis.Redis("127.0.0.1", port, password=password, socket_timeout=120)
    try:
        client.get("corvane:bench:none")
        started = time.perf_counter()
        for _ in range(count):
            client.get("corvane:bench:none")
        return (time.perf_counter() - started) / count
    finally:
        client.close()


# ---- the runs ------------------------------------------------------------------------------

def corvane_run(svc, store: str, method: str) -> float:
    client = corvane.CorvaneClient(api_token=svc.token, save_path=store, api_url=svc.url)
    try:
        started = time.perf_counter()
        client.UpdateAllCategory(method)
        return time.perf_counter() - started
    finally:
        client.close()


def plain_run(svc, port: int, out: str, since) -> float:
    conn = redis.Redis(host="127.0.0.1", port=port, password=svc.redis.password)
    try:
        conn.ping()
        started = time.perf_counter()
        plain_update(conn, out, {}, since)
        return time.perf_counter() - started
    finally:
        conn.close()


def runs_on_link(svc, port: int, work: str, repeat: int) -> dict[str, tuple[float, float]]:
    """Best (corvane, plain) seconds of the full and the incremental run through `port`."""
    svc.api.configure(redis_port=port)
    best = {"full": [float("inf")] * 2, "incremental": [float("inf")] * 2}
    for _ in range(repeat):
        store, out = tempfile.mkdtemp(dir=work), tempfile.mkdtemp(dir=work)
        for method in ("full", "incremental"):
            seconds = corvane_run(svc, store, method)
            best[method][0] = min(best[method][0], seconds)
        for method in ("full", "incremental"):
            since = incremental_since() if method == "incremental" else None
            seconds = plain_run(svc, port, out, since)
            best[method][1] = min(best[method][1], seconds)
        shutil.rmtree(store)
        shutil.rmtree(out)
    return {method: tuple(pair) for method, pair in best.items()}


def incremental_since() -> datetime.datetime:
    return datetime.datetime.now() - datetime.timedelta(days=INCREMENTAL_DAYS)


# ---- report --------------------------------------------------------------------------------

def link_limit(payload: int, categories: int, rtt_ms: float, mbit: float) -> float:
    return payload * 8 / (mbit * 1e6) + categories * rtt_ms / 1e3


def parse_links(text: str) -> list[tuple[float, float]]:
    links = []
    for item in text.split(","):
        rtt, _, mbit = item.partition(":")
        links.append((float(rtt), float(mbit)))
        if links[-1][0] < 0 or links[-1][1] <= 0:
            raise argparse.ArgumentTypeError(f"a link is RTT_MS:MBIT with MBIT > 0, not {item!r}")
    return links


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--links", type=parse_links, default=parse_links("40:400,10:1000"),
                        help="link settings as RTT_MS:MBIT_PER_S, comma-separated")
    parser.add_argument("--daily-categories", type=int, default=4)
    parser.add_argument("--days", type=int, default=120, help="trading days, ending today")
    parser.add_argument("--monthly-categories", type=int, default=2)
    parser.add_argument("--months", type=int, default=24, help="months, ending this one")
    parser.add_argument("--instruments", type=int, default=500)
    parser.add_argument("--blob-mib", type=int, default=64,
                        help="size of the value that measures the relay and each link")
    parser.add_argument("--repeat", type=int, default=1, help="runs per figure (best kept)")
    parser.add_argument("--quick", action="store_true",
                        help="a small data set: 2 daily x 70 days, 1 monthly x 6, 200 instruments")
    args = parser.parse_args()
    if args.quick:
        args.daily_categories, args.days, args.monthly_categories = 2, 70, 1
        args.months, args.instruments, args.blob_mib = 6, 200, 16

    with LocalService() as svc, tempfile.TemporaryDirectory(prefix="corvane-wan-") as work:
        started = time.perf_counter()
        sizes = publish(svc, args)
        print(f"published in {time.perf_counter() - started:.0f} s", file=sys.stderr)
        direct_port, password = svc.redis.port, svc.redis.password
        since = incremental_since()
        payload = {"full": sum(sum(s.values()) for s in sizes.values()),
                   "incremental": sum(sizes[c][p] for c in sizes
                                      for p in plain_selection(sorted(sizes[c]), since))}
        partitions = {"full": sum(map(len, sizes.values())),
                      "incremental": sum(len(plain_selection(sorted(s), since))
                                         for s in sizes.values())}

        blob = args.blob_mib << 20
        overhead = {}
        with relay(direct_port) as open_port:
            for name, port in (("direct", direct_port), ("relay, no delay, no cap", open_port)):
                svc.api.configure(redis_port=port)
                overhead[name] = (blob / get_seconds(port, password, BLOB, 5),
                                  round_trip_seconds(port, password),
                                  corvane_run(svc, tempfile.mkdtemp(dir=work), "full"))

        results = []
        for rtt_ms, mbit in args.links:
            with relay(direct_port, rtt_ms, mbit) as port:
                blob_seconds = get_seconds(port, password, BLOB, 2)
                results.append((rtt_ms, mbit, blob_seconds, runs_on_link(svc, port, work,
                                                                          args.repeat)))
                print(f"{rtt_ms:g} ms / {mbit:g} Mbit/s done", file=sys.stderr)

    categories = len(sizes)
    print(f"Data: {args.daily_categories} daily pivot categories x {args.days} trading days "
          f"ending today, {args.monthly_categories} monthly x {args.months} months, "
          f"{args.instruments} instruments; full: {partitions['full']} partitions, "
          f"{payload['full'] / 1e6:.1f} MB of payload; incremental (last {INCREMENTAL_DAYS} "
          f"days): {partitions['incremental']} partitions, {payload['incremental'] / 1e6:.1f} MB; "
          f"best of {args.repeat}\n")
    print(f"Relay's own cost ({args.blob_mib} MiB GET best of 5, round trip of a small GET, "
          f"UpdateAllCategory('full') on loopback):\n")
    print("| path | GET MB/s | small GET round trip | full update |")
    print("|---|---:|---:|---:|")
    for name, (rate, trip, full) in overhead.items():
        print(f"| {name} | {rate / 1e6:,.0f} | {trip * 1e3:.3f} ms | {full:.2f} s |")
    print()
    print("| link | run | link limit | corvane | plain Python flow | corvane <= 1.5x limit |")
    print("|---|---|---:|---:|---:|---|")
    for rtt_ms, mbit, blob_seconds, best in results:
        blob_limit = link_limit(blob, 1, rtt_ms, mbit)
        print(f"| {rtt_ms:g} ms, {mbit:g} Mbit/s | one {args.blob_mib} MiB GET (the link "
              f"itself) | {blob_limit:.2f} s | {blob_seconds:.2f} s "
              f"({blob_seconds / blob_limit:.2f}x) | | |")
        for method, (ours, plain) in best.items():
            limit = link_limit(payload[method], categories, rtt_ms, mbit)
            met = "yes" if ours <= 1.5 * limit else "NO"
            print(f"| {rtt_ms:g} ms, {mbit:g} Mbit/s | {method} | {limit:.2f} s | "
                  f"{ours:.1f} s ({ours / limit:.1f}x) | {plain:.1f} s ({plain / limit:.1f}x) "
                  f"| {met} |")


if __name__ == "__main__":
    main()
