"""The store's cost per partition of a synchronisation: update_pivot_category of a frame of
1 row x 500 float64 columns (``--columns``; fresh frame and label objects each call, as the
decoder hands them over) into a daily category: a new day each call, the same day again, a
new day with ``partition`` given (as an update of changed partitions stores it), and new
days made durable in groups of 32 calls as a synchronisation commits them (a store without
durability groups makes each call durable on its own).

``--against DIR``: the store package of another tree (DIR holding ``_store/`` and
``exceptions.py``, e.g. ``git archive REV corvane/_store corvane/exceptions.py``
unpacked) runs in the same process, round by round alternating with this tree's, and the
figures of both are shown with their paired ratios.

    dev/run python3 bench/partition_write.py [--against DIR] [--rounds 9] [--calls 60]
                                             [--columns 500]
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import tempfile
import time
import types

import numpy as np
import pandas as pd

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, HERE)  # the store reads block files through corvane.CorvaneClient
COLUMNS = []
CASES = ("new day", "same day", "new day, partition given", "new days, grouped")
GROUP = 32  # partitions per commit, as a synchronisation commits them
FSYNCS = [0]  # os.fsync calls so far, counted by counting_fsync


def store_class(package: str, folder: str):
    """ParquetDataManager of the store in ``folder``, imported as package ``package``."""
    module = types.ModuleType(package)
    module.__path__ = [folder]
    sys.modules[package] = module
    return __import__(f"{package}._store.manager", fromlist=["ParquetDataManager"]).ParquetDataManager


def frame(rng, day: int) -> pd.DataFrame:
    index = pd.DatetimeIndex([np.datetime64("2020-01-01") + day]).as_unit("ns")
    return pd.DataFrame(rng.random((1, len(COLUMNS))), index=index,
                        columns=pd.Index(list(COLUMNS), dtype=object))


def counting_fsync(fsync):
    def counted(fd):
        FSYNCS[0] += 1
        return fsync(fd)
    return counted


@contextlib.contextmanager
def grouped(store):
    """Commits every GROUP calls while open (the store's group, where it has one)."""
    opened = getattr(store, "_durability_group", None)
    group = opened() if opened else None
    calls = [0]

    def stored():
        calls[0] += 1
        if group is not None and calls[0] % GROUP == 0:
            group.commit()

    try:
        yield stored
    finally:
        if group is not None:
            group.close()


def one_round(store, category: str, calls: int, rng) -> dict:
    """{case: (wall ms, CPU ms, fsyncs) per call}."""
    store.update_pivot_category(df=frame(rng, 0), category=category, partition_mode="daily")
    plans = {"new day": [(frame(rng, d), None) for d in range(1, calls + 1)],
             "same day": [(frame(rng, 0), None) for _ in range(calls)],
             "new day, partition given": [(f, str(f.index[0].date())) for f in
                                          (frame(rng, d) for d in range(calls + 1, 2 * calls + 1))],
             "new days, grouped": [(frame(rng, d), None) for d in range(2 * calls + 1, 3 * calls + 1)]}
    out = {}
    for case in CASES:
        syncs = FSYNCS[0]
        wall, cpu = time.perf_counter(), time.thread_time()
        with (grouped(store) if case == "new days, grouped" else contextlib.nullcontext(
                lambda: None)) as stored:
            for df, partition in plans[case]:
                store.update_pivot_category(df=df, category=category, strf="%Y-%m-%d",
                                            partition_mode="daily", partition=partition)
                stored()
        out[case] = ((time.perf_counter() - wall) / calls * 1e3,
                     (time.thread_time() - cpu) / calls * 1e3, (FSYNCS[0] - syncs) / calls)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--calls", type=int, default=60)
    parser.add_argument("--columns", type=int, default=500)
    args = parser.parse_args()
    COLUMNS.extend(f"{600000 + i:06d}.SH" for i in range(args.columns))
    os.fsync = counting_fsync(os.fsync)
    classes = {"this tree": store_class("corvane_bench_this", os.path.join(HERE, "corvane"))}
    if args.against:
        classes["against"] = store_class("corvane_bench_against", os.path.abspath(args.against))
    rng = np.random.default_rng(1)
    with tempfile.TemporaryDirectory(prefix="corvane-bench-") as work:
        stores = {name: cls(os.path.join(work, str(i))) for i, (name, cls) in enumerate(classes.items())}
        runs = {name: [] for name in stores}
        for r in range(args.rounds):
            order = list(stores) if r % 2 == 0 else list(reversed(stores))
            for name in order:
                runs[name].append(one_round(stores[name], f"bench_pivot#r{r}", args.calls, rng))
    print(f"per call of 1 x {args.columns}, {args.rounds} rounds x {args.calls} calls: best / median")
    for case in CASES:
        for name, rounds in runs.items():
            wall = sorted(r[case][0] for r in rounds)
            cpu = sorted(r[case][1] for r in rounds)
            print(f"{case:26s} {name:9s} wall {wall[0]:.3f} / {wall[len(wall) // 2]:.3f} ms"
                  f"  CPU {cpu[0]:.3f} / {cpu[len(cpu) // 2]:.3f} ms"
                  f"  fsyncs {rounds[0][case][2]:.1f}")
        if "against" in runs:
            ratios = sorted(a[case][0] / b[case][0] for a, b in zip(runs["this tree"], runs["against"]))
            print(f"{case:26s} this / against, wall, paired by round: {ratios[0]:.2f}-{ratios[-1]:.2f},"
                  f" median {ratios[len(ratios) // 2]:.2f}")


if __name__ == "__main__":
    main()
