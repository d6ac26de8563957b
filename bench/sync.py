"""Synchronisation: corvane against the same flow written plainly in Python.

Both flows run side by side in one run against one local service (ticket API and
redis-server on loopback), each timing the best of --repeat runs (--big-repeat for the big
partition):

* update: ``UpdateAllCategory('full')`` over --categories pivot categories of --months monthly
  partitions x --instruments float64 columns, plus one unstack category of --unstack-rows
  rows, into an empty store; against redis-py GET, hashlib, pandas.read_parquet over BytesIO
  and one DataFrame.to_parquet per partition.
* big partition: one pivot partition of about --big-mib MiB synchronised into an empty store
  (``_sync_category``, the per-category step of an update), each run in a fresh process
  that first synchronises a small category (libraries loaded, allocators warm) and then
  reads the peak RSS of the big partition alone; against the same plain flow.
* one partition: ``_download_partition`` of one monthly partition (GET, size and hash checks,
  decoding) against redis-py GET, hashlib and pandas.read_parquet, best of 20 x --repeat.
* read: ``GetCategory`` of one full pivot history against pyarrow reading the same frame
  from one Parquet file (``pyarrow.parquet.read_table(...).to_pandas()``).

    dev/run python3 bench/sync.py [--months 120 --instruments 5000 ...]
"""

from __future__ import annotations

import argparse
import hashlib
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, REPO)

import pandas as pd  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402
import redis  # noqa: E402

import corvane  # noqa: E402
from corvane.testing import LocalService, synthetic_pivot, synthetic_unstack  # noqa: E402

BIG = "bench_big_pivot#close"
WARM_UP = "bench_warm_pivot#close"
UNSTACK = "bench_trade_unstack#deal"


def pivot_name(i: int) -> str:
    return f"bench_{i}_pivot#close"


# ---- the plain flow ----------------------------------------------------------------------

def plain_selection(partitions: list[str], since) -> list[str]:
    """The partitions an update from the day `since` reads (all when None): dated names
    (YYYY-MM-DD, YYYY-MM, YYYY) from that day, month or year on, and every other name."""
    if since is None:
        return partitions
    bounds = {10: since.strftime("%Y-%m-%d"), 7: since.strftime("%Y-%m"), 4: since.strftime("%Y")}
    return [p for p in partitions if len(p) not in bounds or p >= bounds[len(p)]]


def plain_sync(conn, category: str, out: str, since=None) -> None:
    """One category as a plain script would do it: GET, hash, read_parquet, to_parquet."""
    meta = json.loads(conn.get("corvane:meta:category:" + category))
    folder = os.path.join(out, category.replace("#", "@"))
    os.makedirs(folder, exist_ok=True)
    for partition in plain_selection(meta["partition_keys"], since):
        part = json.loads(conn.get(f"corvane:meta:partition:{category}:{partition}"))
        payload = conn.get(part["data_key"])
        if "sha256:" + hashlib.sha256(payload).hexdigest() != part["hash"]:
            raise ValueError("hash mismatch")
        frame = pd.read_parquet(io.BytesIO(payload))
        del payload
        frame.to_parquet(os.path.join(folder, partition + ".parquet"))


def plain_update(conn, out: str, timings: dict, since=None) -> None:
    for category in sorted(json.loads(conn.get("corvane:meta:categories"))):
        started = time.perf_counter()
        plain_sync(conn, category, out, since)
        timings[category] = time.perf_counter() - started


# ---- corvane ---------------------------------------------------------------------------

def corvane_update(client, timings: dict) -> None:
    sync = client._sync_category

    def timed(category, **kwargs):
        started = time.perf_counter()
        sync(category, **kwargs)
        timings[category] = time.perf_counter() - started

    client._sync_category = timed
    try:
        client.UpdateAllCategory("full")
    finally:
        del client._sync_category


# ---- the big partition, one process per run ----------------------------------------------

def memory_bytes(field: str) -> int:
    """VmRSS or VmHWM of this process image (ru_maxrss would carry the parent's over exec)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


class StallWatch:
    """A Python thread that wakes every millisecond; records its longest wait for the GIL."""

    def __init__(self):
        self.longest = 0.0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            before = time.perf_counter()
            time.sleep(0.001)
            self.longest = max(self.longest, time.perf_counter() - before)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc_info):
        self._stop.set()
        self._thread.join()


def child(flow: str) -> None:
    """Runs the big partition once in this process; prints its figures as JSON.

    A small category goes first, so that both flows have loaded their libraries and warmed
    their allocators; the peak is then taken over the big partition alone."""
    env = os.environ
    out = env["BENCH_OUT"]
    if flow == "corvane":
        client = corvane.CorvaneClient(api_token=env["BENCH_TOKEN"], save_path=out,
                                       api_url=env["BENCH_URL"])
        sync, close = client._sync_category, client.close
    else:
        conn = redis.Redis(host="127.0.0.1", port=int(env["BENCH_REDIS_PORT"]),
                           password=env["BENCH_REDIS_PASSWORD"])
        sync, close = (lambda category: plain_sync(conn, category, out)), conn.close
    sync(WARM_UP)
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # peak RSS starts again from the current RSS
    start_rss = memory_bytes("VmRSS")
    with StallWatch() as watch:
        started = time.perf_counter()
        sync(BIG)
        seconds = time.perf_counter() - started
    peak_rss = memory_bytes("VmHWM")
    close()
    print(json.dumps({"seconds": seconds, "peak_rss": peak_rss, "start_rss": start_rss,
                      "stall": watch.longest}))


def run_child(flow: str, svc, work: str) -> dict:
    out = tempfile.mkdtemp(dir=work)
    env = {**os.environ, "BENCH_OUT": out, "BENCH_TOKEN": svc.token, "BENCH_URL": svc.url,
           "BENCH_REDIS_PORT": str(svc.redis.port), "BENCH_REDIS_PASSWORD": svc.redis.password,
           "TQDM_DISABLE": "1"}
    done = subprocess.run([sys.executable, __file__, "--child", flow], env=env, check=True,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    shutil.rmtree(out)
    return json.loads(done.stdout.strip().splitlines()[-1])


# ---- set-up ----------------------------------------------------------------------------

def publish_market(svc, args) -> pd.DataFrame:
    """Publishes the pivot and unstack categories; returns the last pivot history."""
    end = pd.Timestamp("2015-01-01") + pd.DateOffset(months=args.months) - pd.Timedelta(days=1)
    history = None
    for i in range(args.categories):
        history = synthetic_pivot("2015-01-01", end, args.instruments, seed=i, nan_fraction=0.01)
        months = svc.publisher.publish_pivot(pivot_name(i), history, partition_mode="monthly")
        assert len(months) == args.months, len(months)
    svc.publisher.publish_unstack(UNSTACK, synthetic_unstack(args.unstack_rows),
                                  duplicate_keys=["date", "code"])
    return history


def publish_big(svc, args, dates: pd.DatetimeIndex) -> tuple[int, int]:
    """Publishes a pivot payload of about --big-mib MiB over `dates` as one partition "full";
    returns the sizes of the payload and of its decoded values."""
    def payload_of(columns: int) -> bytes:
        buffer = io.BytesIO()
        synthetic_pivot(dates[0], dates[-1], columns, seed=99).to_parquet(buffer)
        return buffer.getvalue()

    sample = 64
    small = payload_of(sample)
    svc.publisher.publish_partition(WARM_UP, "full", small)
    svc.publisher.publish_category_meta(WARM_UP, partition_mode="monthly", partition_keys=["full"])
    columns = max(1, args.big_mib * 2**20 * sample // len(small))
    payload = payload_of(columns)
    svc.publisher.publish_partition(BIG, "full", payload)
    svc.publisher.publish_category_meta(BIG, partition_mode="monthly", partition_keys=["full"])
    return len(payload), 8 * len(dates) * columns


def best(runs):
    return min(runs)


def row(name, ours, theirs, ratio_text, goal="", met=None):
    verdict = "" if met is None else ("yes" if met else "NO")
    return f"| {name} | {ours} | {theirs} | {ratio_text} | {goal} | {verdict} |"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--categories", type=int, default=4)
    parser.add_argument("--months", type=int, default=120)
    parser.add_argument("--instruments", type=int, default=5000)
    parser.add_argument("--unstack-rows", type=int, default=2_000_000)
    parser.add_argument("--big-mib", type=int, default=400)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--big-repeat", type=int, default=5,
                        help="runs of the big partition (one process each; the machine is shared)")
    parser.add_argument("--child", choices=["corvane", "plain"])
    args = parser.parse_args()
    if args.child:
        child(args.child)
        return

    with LocalService() as svc, tempfile.TemporaryDirectory(prefix="corvane-bench-") as work:
        started = time.perf_counter()
        history = publish_market(svc, args)
        print(f"published in {time.perf_counter() - started:.0f} s", file=sys.stderr)
        conn = redis.Redis(host="127.0.0.1", port=svc.redis.port, password=svc.redis.password)
        pivots = [pivot_name(i) for i in range(args.categories)]
        ours_update, plain_update_runs, ours_pivot, plain_pivot = [], [], [], []
        store = None
        for _ in range(args.repeat):
            if store is not None:
                shutil.rmtree(store)
            store = tempfile.mkdtemp(dir=work)
            client = corvane.CorvaneClient(api_token=svc.token, save_path=store, api_url=svc.url)
            timings = {}
            started = time.perf_counter()
            corvane_update(client, timings)
            ours_update.append(time.perf_counter() - started)
            ours_pivot.append(sum(timings[p] for p in pivots))
            client.close()

            out = tempfile.mkdtemp(dir=work)
            timings = {}
            started = time.perf_counter()
            plain_update(conn, out, timings)
            plain_update_runs.append(time.perf_counter() - started)
            plain_pivot.append(sum(timings[p] for p in pivots))
            shutil.rmtree(out)

        # One monthly partition fetched, verified and decoded, without the store.
        client = corvane.CorvaneClient(api_token=svc.token, save_path=store, api_url=svc.url)
        month = json.loads(conn.get("corvane:meta:category:" + pivots[0]))["partition_keys"][0]
        meta = client._get_partition_meta(pivots[0], month)
        ours_one, plain_one = [], []
        for _ in range(20 * args.repeat):
            started = time.perf_counter()
            client._download_partition(pivots[0], month, meta)
            ours_one.append(time.perf_counter() - started)
            started = time.perf_counter()
            payload = conn.get(meta["data_key"])
            assert "sha256:" + hashlib.sha256(payload).hexdigest() == meta["hash"]
            pd.read_parquet(io.BytesIO(payload))
            plain_one.append(time.perf_counter() - started)

        # One full pivot history read back, against pyarrow reading it from one file.
        single = os.path.join(work, "history.parquet")
        pq.write_table(pa.Table.from_pandas(client.GetCategory(pivots[-1])), single)
        ours_read, arrow_read = [], []
        for _ in range(args.repeat):
            started = time.perf_counter()
            client.GetCategory(pivots[-1])
            ours_read.append(time.perf_counter() - started)
            started = time.perf_counter()
            pq.read_table(single).to_pandas()
            arrow_read.append(time.perf_counter() - started)
        client.close()
        shutil.rmtree(store)

        big_size, big_frame = publish_big(svc, args, history.index)
        big_ours, big_plain = [], []
        for _ in range(args.big_repeat):
            big_ours.append(run_child("corvane", svc, work))
            big_plain.append(run_child("plain", svc, work))
        conn.close()

    update_ratio = best(plain_update_runs) / best(ours_update)
    pivot_ratio = best(plain_pivot) / best(ours_pivot)
    big_time_ratio = min(r["seconds"] for r in big_plain) / min(r["seconds"] for r in big_ours)
    big_rss_ours = min(r["peak_rss"] for r in big_ours)
    big_rss_plain = min(r["peak_rss"] for r in big_plain)
    read_ratio = best(ours_read) / best(arrow_read)
    scale = (f"{args.categories} pivot categories x {args.months} monthly partitions x "
             f"{args.instruments} instruments (21-23 rows each), unstack {args.unstack_rows:,} rows; "
             f"big partition {big_size / 2**20:.0f} MiB ({len(history)} rows); best of {args.repeat}, "
             f"big partition best of {args.big_repeat}")
    print(f"Scale: {scale}\n")
    print("| measure | corvane | plain Python | ratio | goal | met |")
    print("|---|---|---|---|---|---|")
    print(row("UpdateAllCategory('full'), pivot categories", f"{best(ours_pivot):.1f} s",
              f"{best(plain_pivot):.1f} s", f"{pivot_ratio:.1f}x faster", ">= 4x", pivot_ratio >= 4))
    print(row("UpdateAllCategory('full'), whole run with the unstack category",
              f"{best(ours_update):.1f} s", f"{best(plain_update_runs):.1f} s",
              f"{update_ratio:.1f}x faster"))
    print(row(f"one monthly partition: GET, SHA-256, decode ({args.instruments} columns)",
              f"{best(ours_one) * 1e3:.1f} ms", f"{best(plain_one) * 1e3:.1f} ms",
              f"{best(plain_one) / best(ours_one):.1f}x faster"))
    print(row(f"big partition ({big_size / 2**20:.0f} MiB), time",
              f"{min(r['seconds'] for r in big_ours):.2f} s",
              f"{min(r['seconds'] for r in big_plain):.2f} s", f"{big_time_ratio:.1f}x faster",
              ">= 2x", big_time_ratio >= 2))
    print(row(f"big partition ({big_size / 2**20:.0f} MiB), peak RSS",
              f"{big_rss_ours / 2**20:.0f} MiB", f"{big_rss_plain / 2**20:.0f} MiB",
              f"{big_rss_ours / big_rss_plain:.2f}x", "<= 0.6x",
              big_rss_ours <= 0.6 * big_rss_plain))
    above = min(r["peak_rss"] - r["start_rss"] for r in big_ours)
    bound = big_size + 2 * big_frame
    print(row("big partition, corvane's peak above the RSS it started with",
              f"{above / 2**20:.0f} MiB", "", f"{above / bound:.2f}x of the bound",
              f"<= payload + 2 x frame = {bound / 2**20:.0f} MiB", above <= bound))
    print(row("big partition, longest wait of another Python thread",
              f"{min(r['stall'] for r in big_ours) * 1e3:.0f} ms",
              f"{min(r['stall'] for r in big_plain) * 1e3:.0f} ms", ""))
    print(row("GetCategory, full pivot history (vs pyarrow, one file)",
              f"{best(ours_read):.3f} s", f"{best(arrow_read):.3f} s", f"{read_ratio:.2f}x",
              "<= 1.5x", read_ratio <= 1.5))


if __name__ == "__main__":
    main()
