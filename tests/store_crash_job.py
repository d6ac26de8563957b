"""The store work that the crash test kills:
``python store_crash_job.py ROOT base|update|grouped``.

``update`` (everything) and ``grouped`` (its last step only) print "ready" before they start
writing and their duration when they end."""

from __future__ import annotations

import sys
import time

import numpy as np
import pandas as pd

from corvane.ParquetManager import ParquetDataManager

PROMOTED = "crash_pivot#promoted"   # float32 category that a float64 update rewrites whole
MERGED = "crash_pivot#merged"       # float64 category whose months are merged
TRADES = "crash_unstack#trades"
GROUPED = "crash_pivot#grouped"     # daily one-row updates made durable in groups


def wide(start: str, days: int, columns: int, seed: int, dtype="float64") -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    index = pd.DatetimeIndex(pd.date_range(start, periods=days).values, name="date")
    return pd.DataFrame(rng.standard_normal((days, columns)).astype(dtype), index=index,
                        columns=[f"{i:06d}.SZ" for i in range(columns)])


def trades(start: int, n: int, seed: int) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    return pd.DataFrame({"n": np.arange(start, start + n), "px": rng.random(n)})


def base(store: ParquetDataManager) -> None:
    store.set_category_meta(PROMOTED, {"partition_mode": "monthly", "a": 1})
    for category, dtype in ((PROMOTED, "float32"), (MERGED, "float64")):
        store.update_pivot_category(df=wide("2024-01-01", 90, 2000, 1, dtype),
                                    category=category, strf="%Y-%m-%d",
                                    partition_mode="monthly")
    store.update_unstack_category(category=TRADES, sub_df=trades(0, 300_000, 1),
                                  duplicate_keys=["n"])
    store.update_pivot_category(df=wide("2024-01-01", 20, 3000, 4), category=GROUPED,
                                strf="%Y-%m-%d", partition_mode="daily")


def grouped(store: ParquetDataManager) -> None:
    """Days 11-40 stored one by one (the first ten replace stored days), committed every
    eight days, as a synchronisation stores daily partitions."""
    days = wide("2024-01-11", 30, 3000, 5)
    store.begin_generation(GROUPED, "full")  # one generation, as a synchronisation's run
    group = store._durability_group()
    try:
        for n in range(len(days)):
            store.update_pivot_category(df=days.iloc[n:n + 1], category=GROUPED,
                                        strf="%Y-%m-%d", partition_mode="daily")
            if n % 8 == 7:
                group.commit()
    finally:
        group.close()
        store.end_generation(GROUPED)


def update(store: ParquetDataManager) -> None:
    store.set_category_meta(PROMOTED, {"b": 2}, merge=True)
    store.update_pivot_category(df=wide("2024-04-01", 25, 2100, 2), category=PROMOTED,
                                strf="%Y-%m-%d", partition_mode="monthly")
    store.update_pivot_category(df=wide("2024-02-10", 70, 2100, 3), category=MERGED,
                                strf="%Y-%m-%d", partition_mode="monthly")
    store.update_unstack_category(category=TRADES, sub_df=trades(250_000, 100_000, 2),
                                  duplicate_keys=["n"])
    grouped(store)


if __name__ == "__main__":
    target = ParquetDataManager(sys.argv[1])
    if sys.argv[2] == "base":
        base(target)
    else:
        print("ready", flush=True)
        began = time.perf_counter()
        (update if sys.argv[2] == "update" else grouped)(target)
        print(time.perf_counter() - began, flush=True)
