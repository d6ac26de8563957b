"""Local store speed against plain pyarrow on the same data, side by side in one run.

Pivot: 120 monthly partitions of 21 rows x 5,000 float64 columns written one by one with
update_pivot_category, then a full read and a one-month read with read_pivot_category.
The limit is the whole 2,520 x 5,000 history written with one pyarrow.parquet.write_table
and read back from that one file (to an Arrow table, and on to pandas).
Unstack: a 2,000,000-row category updated in 20 slices (each resending 1% of the previous
one); each update against writing the merged result once with pyarrow.parquet.write_table;
then the whole table sent again, as the client does on every synchronisation.
Every figure is the minimum of REPEATS runs. Run: dev/run python3 bench/store.py
"""

from __future__ import annotations

import logging
import os
import shutil
import sys
import tempfile
import time

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from corvane.ParquetManager import ParquetDataManager  # noqa: E402

REPEATS = 5
MONTHS, DAYS, INSTRUMENTS = 120, 21, 5000
UNSTACK_ROWS, SLICES = 2_000_000, 20


def timed(func):
    start = time.perf_counter()
    result = func()
    return time.perf_counter() - start, result


def pivot_months() -> list[pd.DataFrame]:
    rng = np.random.default_rng(7)
    days = []
    for month in pd.period_range("2015-01", periods=MONTHS, freq="M"):
        days.extend(pd.date_range(month.start_time, periods=DAYS))  # the 1st to the 21st
    index = pd.DatetimeIndex(np.array(days, dtype="datetime64[ns]"), name="date")
    values = (100 + rng.standard_normal((len(index), INSTRUMENTS)).cumsum(axis=0)).round(2)
    values[rng.random(values.shape) < 0.02] = np.nan
    columns = [f"{i:06d}.{'SZ' if i % 2 else 'SH'}" for i in range(INSTRUMENTS)]
    full = pd.DataFrame(values, index=index, columns=columns)
    return [full.iloc[i * DAYS:(i + 1) * DAYS].copy() for i in range(MONTHS)]


def bench_pivot(work: str) -> list[tuple]:
    months = pivot_months()
    full = pd.concat(months)
    table = pa.Table.from_pandas(full)
    limit_path = os.path.join(work, "limit.parquet")
    best = dict(limit_write=[], limit_read=[], limit_pandas=[], write=[], read=[], month=[])
    category = "bench_pivot#close"
    for _ in range(REPEATS):
        best["limit_write"].append(timed(lambda: pq.write_table(table, limit_path))[0])
        t_read, arrow = timed(lambda: pq.read_table(limit_path))
        t_pandas, _ = timed(lambda: arrow.to_pandas())
        best["limit_read"].append(t_read)
        best["limit_pandas"].append(t_read + t_pandas)
        del arrow
        root = os.path.join(work, "pivot")
        shutil.rmtree(root, ignore_errors=True)
        store = ParquetDataManager(root, logger=logging.getLogger("bench"))

        def write_all():
            for month in months:
                store.update_pivot_category(df=month, category=category, strf="%Y-%m-%d",
                                            partition_mode="monthly")
        best["write"].append(timed(write_all)[0])
        t_full, got = timed(lambda: store.read_pivot_category(category, None, None))
        best["read"].append(t_full)
        t_month, one = timed(lambda: store.read_pivot_category(category, "2019-06-01",
                                                               "2019-06-30"))
        best["month"].append(t_month)
    pd.testing.assert_frame_equal(got, full)
    pd.testing.assert_frame_equal(one, full.loc["2019-06"])
    b = {k: min(v) for k, v in best.items()}
    return [
        ("pivot write, 120 partitions", b["write"], "limit write", b["limit_write"], 1.5),
        ("pivot full read", b["read"], "limit read (Arrow)", b["limit_read"], 1.5),
        ("pivot full read", b["read"], "limit read (pandas)", b["limit_pandas"], 1.5),
        ("pivot one-month read", b["month"], "limit full read (Arrow)", b["limit_read"], 0.1),
    ]


def unstack_slices() -> list[pd.DataFrame]:
    rng = np.random.default_rng(11)
    days = pd.bdate_range("2012-01-02", periods=UNSTACK_ROWS // 1000)
    date = np.repeat(days.values, 1000)
    code = np.tile(np.array([f"{i:06d}" for i in range(1000)], dtype=object), len(days))
    frame = pd.DataFrame({"date": date, "code": code,
                          "volume": rng.integers(0, 10**7, UNSTACK_ROWS),
                          "price": rng.random(UNSTACK_ROWS).round(3) * 100})
    step = UNSTACK_ROWS // SLICES
    # Each slice also resends the last 1% of the previous one, as a corrected feed does.
    return [frame.iloc[max(0, i * step - step // 100):(i + 1) * step].reset_index(drop=True)
            for i in range(SLICES)]


def bench_unstack(work: str) -> list[tuple]:
    slices = unstack_slices()
    merged = [pd.concat(slices[:k + 1]).drop_duplicates(["date", "code"], keep="last")
              .reset_index(drop=True) for k in range(SLICES)]
    tables = [pa.Table.from_pandas(m, preserve_index=False) for m in merged]
    limit_path = os.path.join(work, "limit_unstack.parquet")
    ours = np.full(SLICES, np.inf)
    limit = np.full(SLICES, np.inf)
    category = "bench_unstack#trades"
    for _ in range(REPEATS):
        root = os.path.join(work, "unstack")
        shutil.rmtree(root, ignore_errors=True)
        store = ParquetDataManager(root, logger=logging.getLogger("bench"))
        for k, part in enumerate(slices):
            ours[k] = min(ours[k], timed(lambda: store.update_unstack_category(
                category=category, sub_df=part, duplicate_keys=["date", "code"]))[0])
            limit[k] = min(limit[k], timed(lambda: pq.write_table(tables[k], limit_path))[0])
    pd.testing.assert_frame_equal(store.read_unstack_category(category), merged[-1])
    # The client's own pattern: the whole table arrives again and replaces every row.
    whole = merged[-1]
    again = min(timed(lambda: store.update_unstack_category(
        category=category, sub_df=whole, duplicate_keys=["date", "code"]))[0]
        for _ in range(REPEATS))
    pd.testing.assert_frame_equal(store.read_unstack_category(category), whole)
    worst = int(np.argmax(ours / limit))
    note = "unstack update / write merged once, per update: " + " ".join(
        f"{r:.2f}" for r in ours / limit)
    return note, [
        (f"unstack update, worst of {SLICES} (no. {worst + 1})", ours[worst],
         "write merged once", limit[worst], 2.0),
        (f"unstack update, last of {SLICES}", ours[-1], "write merged once", limit[-1], 2.0),
        ("unstack update, whole table again", again, "write merged once", limit[-1], None),
    ]


def main() -> int:
    work = tempfile.mkdtemp(prefix="corvane-bench-")
    try:
        rows = bench_pivot(work)
        note, unstack_rows = bench_unstack(work)
        rows += unstack_rows
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"pyarrow {pa.__version__}, pandas {pd.__version__}, minimum of {REPEATS} runs\n")
    print(f"| {'measure':<36} | {'store s':>8} | {'against':<24} | {'limit s':>8} | "
          f"{'ratio':>6} | {'goal':>6} | met |")
    print(f"|{'-' * 38}|{'-' * 10}|{'-' * 26}|{'-' * 10}|{'-' * 8}|{'-' * 8}|-----|")
    failed = 0
    for name, ours, against, limit, goal in rows:
        ratio = ours / limit
        if goal is None:  # measured for information, no goal set
            goal_text, met_text = "—", "—"
        else:
            met = ratio <= goal
            failed += not met
            goal_text, met_text = "≤" + format(goal, ".1f"), "yes" if met else "NO"
        print(f"| {name:<36} | {ours:8.3f} | {against:<24} | {limit:8.3f} | "
              f"{ratio:6.2f} | {goal_text:>6} | {met_text:<3} |")
    print("\n" + note)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
