"""Calls of the client's methods: argument parsing, and calls between methods that go through
the instance, as they run per partition while a category synchronises.

No service is needed: the methods timed take no connection. Each case is timed as the best of
--rounds rounds of --calls calls, in a fresh process per round; with --against DIR the same
cases run for the checkout in DIR too, the rounds of the two interleaved, and the ratio of the
two best times is printed (this checkout / DIR).

    dev/run python3 bench/method_calls.py [--against /path/to/other/checkout]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# name, setup, statement: `client` is an instance made without __init__ (no connection).
CASES = [
    ("_validate_category_name(c)", "c = 'cn_stock_pivot#close'",
     "client._validate_category_name(c)"),
    ("_validate_partition_name(p)", "p = '2024-05'", "client._validate_partition_name(p)"),
    ("_validate_hash(h)", "h = 'sha256:' + '0' * 64", "client._validate_hash(h)"),
    ("_filter_partitions_by_date(ps, d)  [120 partitions]",
     "from datetime import datetime\n"
     "ps = [f'{y}-{m:02d}' for y in range(2015, 2025) for m in range(1, 13)]\n"
     "d = datetime(2024, 1, 1)",
     "client._filter_partitions_by_date(ps, d)"),
    ("_normalize_api_url(u)  [calls 2 methods]", "u = 'http://127.0.0.1:8080'",
     "client._normalize_api_url(u)"),
    ("_validate_partition_name(partition=p)  [by keyword]", "p = 'full'",
     "client._validate_partition_name(partition=p)"),
]

WORKER = r"""
import json, sys, time
sys.path.insert(0, sys.argv[1])
import corvane
client = corvane.CorvaneClient.__new__(corvane.CorvaneClient)
calls = int(sys.argv[2])
results = {}
for name, setup, statement in json.loads(sys.argv[3]):
    scope = {"client": client}
    exec(setup, scope)
    code = compile("for _ in range(%d):\n    %s" % (calls, statement), name, "exec")
    start = time.perf_counter()
    exec(code, scope)
    results[name] = (time.perf_counter() - start) / calls * 1e9
print(json.dumps(results))
"""


def run_round(tree: str, calls: int) -> dict[str, float]:
    output = subprocess.run([sys.executable, "-c", WORKER, tree, str(calls), json.dumps(CASES)],
                            check=True, capture_output=True, text=True).stdout
    return json.loads(output)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against", help="another checkout, built, timed side by side")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--calls", type=int, default=200_000)
    options = parser.parse_args()
    trees = [REPO] + ([os.path.abspath(options.against)] if options.against else [])
    best: dict[str, dict[str, float]] = {tree: {} for tree in trees}
    for _ in range(options.rounds):
        for tree in trees:
            for name, ns in run_round(tree, options.calls).items():
                best[tree][name] = min(ns, best[tree].get(name, float("inf")))
    width = max(len(name) for name, _, _ in CASES)
    header = f"{'case':<{width}}  {'this ns/call':>12}"
    if options.against:
        header += f"  {'other ns/call':>13}  {'ratio':>6}"
    print(header)
    for name, _, _ in CASES:
        line = f"{name:<{width}}  {best[REPO][name]:>12.0f}"
        if options.against:
            other = best[trees[1]][name]
            line += f"  {other:>13.0f}  {best[REPO][name] / other:>6.3f}"
        print(line)


if __name__ == "__main__":
    main()
