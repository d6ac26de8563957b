"""The partition decoder of this checkout against another build of corvane, side by side.

One local service (ticket API and redis-server on loopback) publishes a monthly pivot
partition (--rows x --instruments float64 columns, 1% NaN) and a wide one (--wide-rows x
--wide-instruments). Child processes, alternating between the two builds, time
``_download_partition`` (GET, size and hash checks, decoding) as the best of --repeat calls
per partition and report it; ``pandas.read_parquet`` over the same bytes is timed in the
same children for reference. A daily category (--days partitions of one row x
--day-instruments columns) is synchronised too, its store and hash records left out, and its
time per partition reported: the decoder's share of a run, where one partition's plan
serves the next. The best over --rounds rounds is printed as a Markdown table.

    dev/run python3 bench/decoder.py --against /path/to/other/checkout
"""

from __future__ import annotations

import argparse
import io
import json
import os
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PARTITIONS = {"month": ("bench_month_pivot#close", "2015-01"),
              "wide": ("bench_wide_pivot#close", "full")}
DAILY = "bench_daily_pivot#close"


class DiscardingStore:
    """Takes a run's metadata and frames and keeps nothing: the run times the decoder."""

    def set_category_meta(self, *args, **kwargs):
        pass

    def update_pivot_category(self, *args, **kwargs):
        pass


def child(root: str) -> None:
    """Times both partitions with the corvane found under `root`; prints JSON."""
    sys.path.insert(0, root)
    import pandas as pd

    import corvane
    env = os.environ
    client = corvane.CorvaneClient(api_token=env["BENCH_TOKEN"], api_url=env["BENCH_URL"],
                                   save_path=env["BENCH_OUT"], log_level=40)
    repeat = int(env["BENCH_REPEAT"])
    figures = {}
    for name, (category, partition) in PARTITIONS.items():
        meta = client._get_partition_meta(category, partition)
        ours, plain = [], []
        for _ in range(repeat):
            started = time.perf_counter()
            client._download_partition(category, partition, meta)
            ours.append(time.perf_counter() - started)
            payload = client._redis_get_with_retry(meta["data_key"])
            started = time.perf_counter()
            pd.read_parquet(io.BytesIO(payload))
            plain.append(time.perf_counter() - started)
        figures[name] = {"corvane": min(ours), "read_parquet": min(plain)}
    days = client._get_category_meta(DAILY)["partition_keys"]
    payload = client._redis_get_with_retry(client._get_partition_meta(DAILY, days[0])["data_key"])
    client.CV_db = DiscardingStore()
    client._write_local_hash = lambda *args: None
    ours, plain = [], []
    for _ in range(max(1, repeat // 4)):
        started = time.perf_counter()
        client._sync_pivot_category(DAILY, None)
        ours.append((time.perf_counter() - started) / len(days))
        started = time.perf_counter()
        pd.read_parquet(io.BytesIO(payload))
        plain.append(time.perf_counter() - started)
    figures["day run"] = {"corvane": min(ours), "read_parquet": min(plain)}
    client.close()
    print(json.dumps({"module": sys.modules["corvane.CorvaneClient"].__file__, **figures}))


def run_child(root: str, svc, out: str, repeat: int) -> dict:
    env = {**os.environ, "BENCH_TOKEN": svc.token, "BENCH_URL": svc.url, "BENCH_OUT": out,
           "BENCH_REPEAT": str(repeat), "PYTHONPATH": "", "TQDM_DISABLE": "1"}
    done = subprocess.run([sys.executable, "-P", __file__, "--child", root], env=env,
                          check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against", help="root of the other checkout (its modules built)")
    parser.add_argument("--rows", type=int, default=21)
    parser.add_argument("--instruments", type=int, default=5000)
    parser.add_argument("--wide-rows", type=int, default=250)
    parser.add_argument("--wide-instruments", type=int, default=20000)
    parser.add_argument("--days", type=int, default=120)
    parser.add_argument("--day-instruments", type=int, default=500)
    parser.add_argument("--repeat", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--child", metavar="ROOT", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child)
        return
    if not args.against:
        parser.error("--against is required")

    sys.path.insert(0, REPO)
    import pandas as pd

    from corvane.testing import LocalService, synthetic_pivot

    with LocalService() as svc, tempfile.TemporaryDirectory(prefix="corvane-bench-") as out:
        svc.publisher.set_categories([])
        sizes = {}
        for name, rows, columns in (("month", args.rows, args.instruments),
                                    ("wide", args.wide_rows, args.wide_instruments)):
            category, partition = PARTITIONS[name]
            dates = pd.bdate_range("2015-01-01", periods=rows)
            buffer = io.BytesIO()
            synthetic_pivot(dates[0], dates[-1], columns, nan_fraction=0.01).to_parquet(buffer)
            svc.publisher.publish_partition(category, partition, buffer.getvalue())
            sizes[name] = f"{rows} x {columns}, {len(buffer.getvalue()) / 2**20:.1f} MiB"
        days = pd.bdate_range("2015-01-01", periods=args.days)
        svc.publisher.publish_pivot(DAILY, synthetic_pivot(days[0], days[-1], args.day_instruments,
                                                           nan_fraction=0.01),
                                    partition_mode="daily")
        sizes["day run"] = f"{args.days} x 1 x {args.day_instruments}, per partition"
        builds = {"this checkout": REPO, "other build": os.path.abspath(args.against)}
        runs = {label: [] for label in builds}
        for _ in range(args.rounds):
            for label, root in builds.items():
                runs[label].append(run_child(root, svc, out, args.repeat))

    print("| partition | " + " | ".join(builds) + " | ratio | pandas.read_parquet |")
    print("|---|---|---|---|---|")
    for name in [*PARTITIONS, "day run"]:
        ours, other = (min(r[name]["corvane"] for r in runs[label]) for label in builds)
        plain = min(r[name]["read_parquet"] for label in builds for r in runs[label])
        print(f"| {name} ({sizes[name]}) | {ours * 1e3:.1f} ms | {other * 1e3:.1f} ms | "
              f"{ours / other:.2f}x | {plain * 1e3:.1f} ms |")
    for label in builds:
        print(f"{label}: {runs[label][0]['module']}", file=sys.stderr)


if __name__ == "__main__":
    main()
