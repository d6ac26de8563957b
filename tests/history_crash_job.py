"""The store work that the history kill test stops: ``python history_crash_job.py ROOT
base|run [KILL_AT]``.

``run`` is one generation of a pivot category in a run (a month restated, one added, one
emptied) and an unstack table replaced. With KILL_AT = n the process SIGKILLs itself just
before its n-th file-system change (rename, link, unlink, mkdir); with 0 it prints how many
it made."""

from __future__ import annotations

import os
import signal
import sys

import numpy as np
import pandas as pd

from corvane.ParquetManager import ParquetDataManager

PIVOT = "kill_pivot#close"
TABLE = "kill_unstack#fills"
_CHANGES = ("replace", "rename", "link", "unlink", "mkdir", "rmdir")


def wide(start: str, days: int, seed: int) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    index = pd.DatetimeIndex(pd.date_range(start, periods=days).values, name="date")
    return pd.DataFrame(rng.standard_normal((days, 30)), index=index,
                        columns=[f"{i:06d}.SZ" for i in range(30)])


def table(start: int, n: int, seed: int) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    return pd.DataFrame({"n": np.arange(start, start + n), "px": rng.random(n)})


def base(store: ParquetDataManager) -> None:
    store.update_pivot_category(df=wide("2024-01-01", 91, 1), category=PIVOT)
    store.update_unstack_category(category=TABLE, sub_df=table(0, 1000, 1), duplicate_keys=["n"])


def run(store: ParquetDataManager) -> None:
    store.begin_generation(PIVOT, "changed")
    try:
        store.update_pivot_category(df=wide("2024-02-01", 10, 2), category=PIVOT,
                                    partition="2024-02")
        store.update_pivot_category(df=wide("2024-04-01", 20, 3), category=PIVOT)
        store.update_pivot_category(df=wide("2024-01-01", 1, 4).iloc[:0], category=PIVOT,
                                    partition="2024-01")
    finally:
        store.end_generation(PIVOT)
    store.update_unstack_category(category=TABLE, sub_df=table(500, 1000, 2),
                                  duplicate_keys=["n"], partition="full")


def _counting(kill_at: int) -> list:
    made = [0]
    for name in _CHANGES:
        original = getattr(os, name)

        def changed(*args, _original=original, **kwargs):
            made[0] += 1
            if made[0] == kill_at:
                os.kill(os.getpid(), signal.SIGKILL)
            return _original(*args, **kwargs)

        setattr(os, name, changed)
    return made


if __name__ == "__main__":
    target = ParquetDataManager(sys.argv[1])
    if sys.argv[2] == "base":
        base(target)
    else:
        made = _counting(int(sys.argv[3]) if len(sys.argv) > 3 else 0)
        run(target)
        print(made[0], flush=True)
