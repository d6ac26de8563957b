"""A full update of wide daily partitions through the client: each partition one day x
--columns float64 instruments (``DataFrame.to_parquet``'s bytes, as the service writes
them), one category of --days partitions, from a local service on loopback into an empty
store.

``--against TREE``: another tree with its extension built (``dev/build`` in it) runs the
same update, round by round alternating with this one, each run in a fresh process; the
figures of both are printed with their ratios paired by round. Per run: the whole update,
the time inside the store (its ``update_pivot_category`` calls and the commits of its
durability groups), and the fsyncs.

    dev/run python3 bench/daily_sync.py [--against TREE] [--rounds 5] [--days 200]
                                        [--columns 5000]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, HERE)

CATEGORY = "bench_daily_pivot#close"

# Runs in the child, with the tree to measure first on sys.path.
CHILD = r"""
import json, os, sys, time
tree, url, token, store = sys.argv[1:5]
sys.path.insert(0, tree)
import corvane
fsyncs = [0]
fsync = os.fsync
def counted(fd):
    fsyncs[0] += 1
    return fsync(fd)
os.fsync = counted
client = corvane.CorvaneClient(api_token=token, save_path=store, api_url=url)
inside = [0.0]
update = client.CV_db.update_pivot_category
def timed(**kwargs):
    began = time.perf_counter()
    try:
        return update(**kwargs)
    finally:
        inside[0] += time.perf_counter() - began
client.CV_db.update_pivot_category = timed
class TimedGroup:  # a store with durability groups: its commits count as store time
    def __init__(self, group):
        self._group = group
    def __getattr__(self, name):
        method = getattr(self._group, name)
        def timed(*args):
            began = time.perf_counter()
            try:
                return method(*args)
            finally:
                inside[0] += time.perf_counter() - began
        return timed
if hasattr(client.CV_db, "_durability_group"):
    open_group = client.CV_db._durability_group
    client.CV_db._durability_group = lambda: TimedGroup(open_group())
began = time.perf_counter()
client.UpdateAllCategory("full")
total = time.perf_counter() - began
client.close()
print(json.dumps({"update": total, "store": inside[0], "fsyncs": fsyncs[0]}))
"""


def run(tree: str, svc, store: str) -> dict:
    done = subprocess.run([sys.executable, "-c", CHILD, tree, svc.url, svc.token, store],
                          capture_output=True, text=True, check=True,
                          env=dict(os.environ, TQDM_DISABLE="1"))
    return json.loads(done.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--days", type=int, default=200)
    parser.add_argument("--columns", type=int, default=5000)
    args = parser.parse_args()

    import numpy as np
    import pandas as pd

    from corvane.testing import LocalService

    trees = {"this tree": HERE}
    if args.against:
        trees["against"] = os.path.abspath(args.against)
    rng = np.random.default_rng(1)
    index = pd.bdate_range("2024-01-01", periods=args.days, name="date")
    frame = pd.DataFrame(rng.random((args.days, args.columns)), index=index,
                         columns=[f"{600000 + i:06d}.SH" for i in range(args.columns)])
    with LocalService() as svc, tempfile.TemporaryDirectory(prefix="corvane-bench-") as work:
        svc.publisher.publish_pivot(CATEGORY, frame, partition_mode="daily")
        runs = {name: [] for name in trees}
        for r in range(args.rounds):
            for name in (list(trees) if r % 2 == 0 else list(reversed(trees))):
                runs[name].append(run(trees[name], svc, os.path.join(work, f"{name}-{r}")))
    per = 1e3 / args.days
    print(f"full update of {args.days} daily partitions x {args.columns} instruments, "
          f"{args.rounds} runs each: best / median per partition")
    for name, results in runs.items():
        update = sorted(r["update"] * per for r in results)
        store = sorted(r["store"] * per for r in results)
        print(f"{name:9s} update {update[0]:.2f} / {update[len(update) // 2]:.2f} ms"
              f"  in the store {store[0]:.2f} / {store[len(store) // 2]:.2f} ms"
              f"  fsyncs {results[0]['fsyncs'] / args.days:.2f}")
    if args.against:
        for key in ("update", "store"):
            ratios = sorted(a[key] / b[key] for a, b in zip(runs["this tree"], runs["against"]))
            print(f"this / against, {key}, paired by round: {ratios[0]:.2f}-{ratios[-1]:.2f},"
                  f" median {ratios[len(ratios) // 2]:.2f}")


if __name__ == "__main__":
    main()
