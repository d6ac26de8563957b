"""The main job, end to end, against the embedded local service.

Starts corvane.testing.LocalService with a synthetic market data set, then uses
CorvaneClient as a user would: a full update, an incremental one, the category lists and
two reads. Run it with ``dev/demo`` (or ``python examples/demo.py`` where corvane is
installed); ``--data small`` makes it quick, ``--tls`` puts Redis behind TLS.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import tempfile
import time

import corvane as cv
from corvane.testing import LocalService
from corvane.testing.__main__ import publish_data_set


def store_size(path: str) -> int:
    return sum(os.path.getsize(os.path.join(folder, name))
               for folder, _, names in os.walk(path) for name in names)


def published(publisher, categories: list[str]) -> tuple[int, int]:
    """How many partitions and payload bytes the service holds for these categories."""
    partitions = payload = 0
    for name in categories:
        meta = json.loads(publisher.get_raw("corvane:meta:category:" + name))
        for partition in meta.get("partition_keys", []):
            part = json.loads(publisher.get_raw(f"corvane:meta:partition:{name}:{partition}"))
            payload += len(publisher.get_raw(part["data_key"]))
            partitions += 1
    return partitions, payload


def last_month() -> tuple[str, str]:
    """The first and last day of the previous calendar month, as "YYYY-MM-DD"."""
    last = datetime.date.today().replace(day=1) - datetime.timedelta(days=1)
    return last.replace(day=1).isoformat(), last.isoformat()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", choices=("small", "medium"), default="medium")
    parser.add_argument("--tls", action="store_true")
    args = parser.parse_args()

    with LocalService(tls=args.tls) as svc, tempfile.TemporaryDirectory() as save_path:
        print(f"Publishing the '{args.data}' synthetic data set to the local service...")
        categories = publish_data_set(svc.publisher, args.data)
        partitions, remote_bytes = published(svc.publisher, categories)

        started = time.perf_counter()
        with cv.CorvaneClient(api_token=svc.token, save_path=save_path,
                              api_url=svc.url) as client:
            client.UpdateAllCategory(update_method="full")
            client.UpdateAllCategory(update_method="incremental")

            print("Remote categories:", client.ListCategories())
            print("Local categories: ", client.ListLocalCategories())

            first, last = last_month()
            pivot = client.GetCategory("cn_stock_pivot#close", first, last)
            print(f"\ncn_stock_pivot#close, {first} to {last}: {pivot.shape[0]} days x "
                  f"{pivot.shape[1]} instruments")
            print(pivot.iloc[:5, :6])

            bars = client.GetCategory("cn_stock_unstack#daily_bar")
            print(f"\ncn_stock_unstack#daily_bar: {len(bars)} rows")
            print(bars.head())
        seconds = time.perf_counter() - started

        print(f"\nSummary: {len(categories)} categories, {partitions} partitions, "
              f"{remote_bytes / 2**20:.1f} MiB downloaded, {store_size(save_path) / 2**20:.1f} MiB "
              f"stored, {seconds:.1f} s")


if __name__ == "__main__":
    main()
