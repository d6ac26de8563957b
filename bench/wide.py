"""Wide daily partitions: a full update of this checkout, optionally beside another build.

One local service (ticket API and redis-server on loopback) publishes --categories pivot
categories of --days daily partitions, each one day x --instruments float64 columns written
by ``DataFrame.to_parquet`` (pyarrow, its defaults: snappy, dictionary encoding), the shape
that the service publishes every day. A child process per build and round runs
``UpdateAllCategory('full')`` into an empty store and reports the time per partition; the
best round of each build is printed, with their ratio when --against is given.

The per-stage table comes from the same children, each stage timed on its own over the
same partitions, on the caller's thread, one after another (mean per partition):
GET (``_redis_get_with_retry``), digest (SHA-256 of the payload), footer
(``pyarrow.parquet.read_metadata``: the Parquet library's footer, which the fast path no
longer builds per partition; for reference), download (``_download_partition`` inside a
category run, its reads ahead and kept plan included: digest, footer and decode), store
(``update_pivot_category`` of the decoded frames) and records (``_write_local_hash``).

    dev/run python3 bench/wide.py [--against DIR] [--days 200] [--rounds 3]
"""

from __future__ import annotations

import argparse
import hashlib
import io
import json
import os
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def category_name(i: int) -> str:
    return f"bench_wide{i}_pivot#close"


class DiscardingStore:
    """Takes a run's metadata and frames and keeps them in memory: the run times the download."""

    def __init__(self):
        self.frames = []

    def set_category_meta(self, *args, **kwargs):
        pass

    def update_pivot_category(self, df, **kwargs):
        self.frames.append((df, kwargs))


def child(root: str) -> None:
    sys.path.insert(0, root)
    import pyarrow.parquet as pq

    import corvane
    env = os.environ
    categories = json.loads(env["BENCH_CATEGORIES"])
    client = corvane.CorvaneClient(api_token=env["BENCH_TOKEN"], api_url=env["BENCH_URL"],
                                   save_path=env["BENCH_OUT"], log_level=40)
    client._refresh_categories()
    started = time.perf_counter()
    client.UpdateAllCategory("full")
    update = time.perf_counter() - started
    partitions = sum(len(client._get_category_meta(c)["partition_keys"]) for c in categories)

    # The stages, one at a time over the first category's partitions.
    category = categories[0]
    days = client._get_category_meta(category)["partition_keys"]
    metas = [client._get_partition_meta(category, day) for day in days]
    stages = {}

    def timed(name, work, items):
        started = time.perf_counter()
        result = [work(item) for item in items]
        stages[name] = (time.perf_counter() - started) / len(items)
        return result

    payloads = timed("GET", lambda m: client._redis_get_with_retry(m["data_key"]), metas)
    timed("digest", lambda p: hashlib.sha256(p).hexdigest(), payloads)
    timed("footer (Parquet library, reference)", lambda p: pq.read_metadata(io.BytesIO(p)), payloads)
    store, hashes = client.CV_db, client._write_local_hash
    discarding = DiscardingStore()
    client.CV_db = discarding
    client._write_local_hash = lambda *args: None
    started = time.perf_counter()
    client._sync_pivot_category(category, None)
    stages["download (digest, footer, decode; in a run)"] = (time.perf_counter() - started) / len(days)
    client.CV_db, client._write_local_hash = store, hashes
    with tempfile.TemporaryDirectory(prefix="corvane-bench-store-") as fresh:
        again = type(store)(fresh)
        timed("store", lambda fk: again.update_pivot_category(df=fk[0], **fk[1]), discarding.frames)
    timed("records", lambda dm: client._write_local_hash(category, dm[0], dm[1]["hash"]),
          list(zip(days, metas)))
    client.close()
    print(json.dumps({"module": sys.modules["corvane.CorvaneClient"].__file__,
                      "update": update / partitions, "partitions": partitions, "stages": stages}))


def run_child(root: str, svc, categories: list[str]) -> dict:
    with tempfile.TemporaryDirectory(prefix="corvane-bench-") as out:
        env = {**os.environ, "BENCH_TOKEN": svc.token, "BENCH_URL": svc.url, "BENCH_OUT": out,
               "BENCH_CATEGORIES": json.dumps(categories), "PYTHONPATH": "", "TQDM_DISABLE": "1"}
        done = subprocess.run([sys.executable, "-P", __file__, "--child", root], env=env,
                              check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against", help="root of another checkout (its modules built)")
    parser.add_argument("--categories", type=int, default=2)
    parser.add_argument("--days", type=int, default=200)
    parser.add_argument("--instruments", type=int, default=5000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--child", metavar="ROOT", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child)
        return

    sys.path.insert(0, REPO)
    from corvane.testing import LocalService, synthetic_pivot

    with LocalService() as svc:
        frame = synthetic_pivot("2015-01-01", "2016-12-31", args.instruments, nan_fraction=0.01)
        frame = frame.iloc[: args.days]
        categories = [category_name(i) for i in range(args.categories)]
        size = 0
        for category in categories:
            days = []
            for i in range(len(frame)):
                day = frame.iloc[i: i + 1]
                buffer = io.BytesIO()
                day.to_parquet(buffer)
                name = day.index[0].strftime("%Y-%m-%d")
                svc.publisher.publish_partition(category, name, buffer.getvalue())
                size = len(buffer.getvalue())
                days.append(name)
            svc.publisher.publish_category_meta(category, partition_mode="daily", partition_keys=days)
        svc.publisher.set_categories(categories)
        builds = {"this checkout": REPO}
        if args.against:
            builds["other build"] = os.path.abspath(args.against)
        runs = {label: [] for label in builds}
        for _ in range(args.rounds):
            for label, root in builds.items():
                runs[label].append(run_child(root, svc, categories))

    load = os.getloadavg()
    print(f"{args.categories} categories x {len(frame)} days x {args.instruments} instruments, "
          f"{size / 2**20:.2f} MiB per partition; load average {load[0]:.1f} {load[1]:.1f}")
    best = {label: min(r["update"] for r in runs[label]) for label in builds}
    print("| full update, ms per partition | " + " | ".join(builds) +
          (" | ratio |" if args.against else " |"))
    print("|---|" + "---|" * (len(builds) + (1 if args.against else 0)))
    cells = [f"{best[label] * 1e3:.1f}" for label in builds]
    if args.against:
        cells.append(f"{best['this checkout'] / best['other build']:.2f}x")
    print("| UpdateAllCategory('full') | " + " | ".join(cells) + " |")
    print()
    print("| stage, ms per partition (best round) | " + " | ".join(builds) + " |")
    print("|---|" + "---|" * len(builds))
    for stage in runs["this checkout"][0]["stages"]:
        cells = [f"{min(r['stages'][stage] for r in runs[label]) * 1e3:.2f}" for label in builds]
        print(f"| {stage} | " + " | ".join(cells) + " |")
    for label in builds:
        print(f"{label}: {runs[label][0]['module']}", file=sys.stderr)


if __name__ == "__main__":
    main()
