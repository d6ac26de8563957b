"""Update modes side by side on a store that is already up to date.

One local service (ticket API and redis-server on loopback) publishes --categories pivot
categories of --months monthly partitions and one of --days daily partitions (kept in monthly
files), --instruments float64 columns each, plus one unstack category. After one full update
into an empty store, each mode runs --repeat times in turns and the best time is kept:

* changed, nothing changed: every partition's metadata read, nothing downloaded;
* changed, one partition restated: the same, plus one monthly partition downloaded and its
  month replaced;
* incremental: the partitions of the last 60 days (the clock is set to the data's last day);
* full: every partition.

    dev/run python3 bench/changed.py [--months 60 --days 750 --instruments 500 ...]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from datetime import datetime

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, REPO)

import corvane  # noqa: E402
from corvane.testing import LocalService, parquet_bytes, synthetic_pivot, synthetic_unstack  # noqa: E402

client_module = sys.modules["corvane.CorvaneClient"]
DAILY = "bench_daily_pivot#close"
UNSTACK = "bench_trade_unstack#deal"


def monthly_name(i: int) -> str:
    return f"bench_{i}_pivot#close"


def publish(service, args) -> tuple:
    """Publishes the data; returns a restatement of one monthly partition (name, payload)."""
    end = "2024-12-31"
    months = synthetic_pivot(f"{2025 - args.months // 12}-01-01", end, args.instruments)
    for i in range(args.categories):
        service.publisher.publish_pivot(monthly_name(i), months, partition_mode="monthly")
    days = synthetic_pivot("2022-01-01", end, args.instruments, seed=1).iloc[-args.days:]
    service.publisher.publish_pivot(DAILY, days, partition_mode="monthly", granularity="daily")
    service.publisher.publish_unstack(UNSTACK, synthetic_unstack(args.unstack_rows),
                                      duplicate_keys=["date", "code"])
    partition = months.index[len(months) // 2].strftime("%Y-%m")
    month = months.loc[partition]
    restated = month.iloc[: len(month) // 2] * 1.01  # other values, and half the days gone
    return monthly_name(0), partition, parquet_bytes(restated), parquet_bytes(month)


class LastDay(datetime):
    @classmethod
    def now(cls, tz=None):
        return cls(2024, 12, 31, 18, 0)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--categories", type=int, default=4)
    parser.add_argument("--months", type=int, default=60)
    parser.add_argument("--days", type=int, default=750)
    parser.add_argument("--instruments", type=int, default=500)
    parser.add_argument("--unstack-rows", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    client_module.datetime = LastDay
    partitions = args.categories * args.months + args.days + 1

    with LocalService() as service, tempfile.TemporaryDirectory() as store:
        service.publisher.set_categories([])
        category, partition, restated, original = publish(service, args)
        with corvane.CorvaneClient(api_token=service.token, save_path=store, api_url=service.url,
                                   log_level=40) as client:
            client_module.tqdm = lambda iterable, **_: iterable
            client.UpdateAllCategory("full")

            def publish_restated():
                service.publisher.publish_partition(category, partition, restated)

            def undo_restated():  # back as it was, so that the next turn starts up to date
                service.publisher.publish_partition(category, partition, original)
                client.UpdateAllCategory("changed")

            def nothing():
                pass

            # name: (untimed before, timed update mode, untimed after)
            runs = {
                "changed, nothing changed": (nothing, "changed", nothing),
                "changed, one partition restated": (publish_restated, "changed", undo_restated),
                "incremental": (nothing, "incremental", nothing),
                "full": (nothing, "full", nothing),
            }
            best = {name: float("inf") for name in runs}
            for _ in range(args.repeat):
                for name, (before, mode, after) in runs.items():
                    before()
                    started = time.perf_counter()
                    client.UpdateAllCategory(mode)
                    best[name] = min(best[name], time.perf_counter() - started)
                    after()

    print(f"{partitions} partitions ({args.categories} x {args.months} monthly, {args.days} daily, "
          f"1 unstack), {args.instruments} instruments; best of {args.repeat}, loopback")
    print("| mode | seconds | vs full |")
    print("|---|---:|---:|")
    for name, seconds in best.items():
        print(f"| {name} | {seconds:.3f} | {seconds / best['full']:.2f} |")


if __name__ == "__main__":
    main()
