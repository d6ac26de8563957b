"""What history costs: reads as of an earlier generation against current reads, a few
instruments against the whole frame, and the bytes that restated partitions add.

A pivot category of ``--instruments`` float64 columns and ``--months`` months of business
days is stored in one run (generation 1); then ``--restated`` months are restated in a
second run (generation 2). Rounds alternate the reads compared, and every figure is a
median over rounds with the paired ratio.

``--against DIR`` (a tree's store package: DIR holding ``_store/`` and ``exceptions.py``,
e.g. ``git archive REV corvane/_store corvane/exceptions.py`` unpacked) also times a
synchronisation that replaces nothing: ``--days`` new days of 1 x 500 values into a daily
category, this tree's as one run (one generation), the other tree's as the same calls,
alternating round by round; and the full read and the ``--columns`` read of the same
category written by each tree (one generation per month), alternating.

    dev/run python3 bench/history.py [--instruments 5000] [--months 36] [--restated 3]
                                     [--rounds 7] [--columns 10] [--against DIR] [--days 40]
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time
import types

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from corvane.ParquetManager import ParquetDataManager  # noqa: E402

CATEGORY = "bench_pivot#close"


def month_frame(month: pd.Period, names, rng) -> pd.DataFrame:
    days = pd.bdate_range(month.start_time, month.end_time, name="date")
    return pd.DataFrame(rng.standard_normal((len(days), len(names))), index=days, columns=names)


def other_store(folder: str):
    module = types.ModuleType("other_tree")
    module.__path__ = [folder]
    sys.modules["other_tree"] = module
    return __import__("other_tree._store.manager", fromlist=["x"]).ParquetDataManager


def sync_days(store, category: str, days: int, run: bool) -> float:
    """Seconds per partition of a run of ``days`` new days (nothing replaced)."""
    rng = np.random.default_rng(1)
    frames = [pd.DataFrame(rng.random((1, 500)),
                           index=pd.DatetimeIndex([np.datetime64("2020-01-01") + d], name="date"),
                           columns=[f"{600000 + i:06d}.SH" for i in range(500)])
              for d in range(days)]
    began = time.perf_counter()
    if run:
        store.begin_generation(category, "full")
    for frame in frames:
        store.update_pivot_category(df=frame, category=category, partition_mode="daily")
    if run:
        store.end_generation(category)
    return (time.perf_counter() - began) / days


def compare_syncs(folder: str, rounds: int, days: int) -> None:
    other = other_store(folder)
    mine, theirs = [], []
    with tempfile.TemporaryDirectory() as root:
        for i in range(rounds):
            mine.append(sync_days(ParquetDataManager(root), f"mine_pivot#{i}", days, True))
            theirs.append(sync_days(other(root), f"other_pivot#{i}", days, False))
    ratio = statistics.median(m / t for m, t in zip(mine, theirs))
    print(f"load {os.getloadavg()[0]:.2f}; a run of {days} new days (1 x 500), per partition, "
          f"median of {rounds} rounds: this tree {statistics.median(mine) * 1000:.2f} ms, "
          f"other tree {statistics.median(theirs) * 1000:.2f} ms, paired ratio x{ratio:.3f}")


def compare_reads(folder: str, args) -> None:
    """The full read and a read of a few instruments, this tree's against the other's, of
    the same months written by each."""
    other = other_store(folder)
    names = [f"{600000 + i:06d}.SH" for i in range(args.instruments)]
    months = pd.period_range("2021-01", periods=args.months, freq="M")
    chosen = list(np.random.default_rng(3).choice(names, args.columns, replace=False))
    with tempfile.TemporaryDirectory() as mine, tempfile.TemporaryDirectory() as theirs:
        stores = {"this tree": ParquetDataManager(mine), "other tree": other(theirs)}
        for store in stores.values():
            rng = np.random.default_rng(0)
            for month in months:
                store.update_pivot_category(df=month_frame(month, names, rng), category=CATEGORY)
        cases = {}
        for tree, store in stores.items():
            cases[f"{tree} full"] = lambda store=store: store.read_pivot_category(CATEGORY)
            cases[f"{tree} columns={args.columns}"] = \
                lambda store=store: store.read_pivot_category(CATEGORY, columns=chosen)
        times = {name: [] for name in cases}
        for call in cases.values():
            call()
        for _ in range(args.rounds):
            for name, call in cases.items():
                times[name].append(timed(call))
    print(f"load {os.getloadavg()[0]:.2f}; the same {args.instruments} x {args.months} months "
          f"written by each tree, {args.rounds} rounds (median; ratio: paired)")
    for name, values in times.items():
        print(f"  {name:<24} {statistics.median(values) * 1000:9.1f} ms")
    chosen_name = f"this tree columns={args.columns}"
    for base in ("this tree full", "other tree full", f"other tree columns={args.columns}"):
        ratio = statistics.median(b / c for b, c in zip(times[base], times[chosen_name]))
        print(f"  {base} / {chosen_name}: x{ratio:.2f}")


def timed(call) -> float:
    began = time.perf_counter()
    call()
    return time.perf_counter() - began


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--instruments", type=int, default=5000)
    parser.add_argument("--months", type=int, default=36)
    parser.add_argument("--restated", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--columns", type=int, default=10)
    parser.add_argument("--against", default=None)
    parser.add_argument("--days", type=int, default=40)
    args = parser.parse_args()
    if args.against:
        compare_syncs(args.against, args.rounds, args.days)
        compare_reads(args.against, args)
    rng = np.random.default_rng(0)
    names = [f"{600000 + i:06d}.SH" for i in range(args.instruments)]
    months = pd.period_range("2021-01", periods=args.months, freq="M")
    with tempfile.TemporaryDirectory() as root:
        store = ParquetDataManager(root)
        store.begin_generation(CATEGORY, "full")
        for month in months:
            store.update_pivot_category(df=month_frame(month, names, rng), category=CATEGORY)
        store.end_generation(CATEGORY)
        stored = store.category_stats(CATEGORY)
        data_bytes = stored["bytes"] - stored["history_bytes"]

        restated = months[:: max(1, args.months // args.restated)][: args.restated]
        store.begin_generation(CATEGORY, "changed")
        for month in restated:
            store.update_pivot_category(df=month_frame(month, names, rng), category=CATEGORY,
                                        partition=str(month))
        store.end_generation(CATEGORY)
        after = store.category_stats(CATEGORY)
        added = after["history_bytes"] - stored["history_bytes"]

        chosen = list(rng.choice(names, args.columns, replace=False))
        lo, hi = str(months[0].start_time.date()), str(months[-1].end_time.date())
        cases = {
            "current read": lambda: store.read_pivot_category(CATEGORY, lo, hi),
            "as_of=1 read": lambda: store.read_pivot_category(CATEGORY, lo, hi, as_of=1),
            "as_of=-1 read": lambda: store.read_pivot_category(CATEGORY, lo, hi, as_of=-1),
            f"columns={args.columns}": lambda: store.read_pivot_category(CATEGORY, columns=chosen),
            f"columns={args.columns}, as_of=1":
                lambda: store.read_pivot_category(CATEGORY, as_of=1, columns=chosen),
        }
        for call in cases.values():
            call()  # warm the page cache and the imports
        times = {name: [] for name in cases}
        for _ in range(args.rounds):
            for name, call in cases.items():
                times[name].append(timed(call))
        base = times["current read"]
        print(f"load {os.getloadavg()[0]:.2f}; {args.instruments} instruments x {args.months} "
              f"months, {args.rounds} rounds (median; ratio: median of paired ratios to the "
              f"current read)")
        for name, values in times.items():
            ratio = statistics.median(v / b for v, b in zip(values, base))
            print(f"  {name:<24} {statistics.median(values) * 1000:9.1f} ms   x{ratio:6.3f}"
                  f"   (current/this: {1 / ratio:6.1f})")
        print(f"  data {data_bytes:,} bytes; {len(restated)} of {args.months} months restated "
              f"add {added:,} bytes of history = {added / data_bytes:.3f} of the data "
              f"(N/M = {len(restated) / args.months:.3f})")


if __name__ == "__main__":
    main()
