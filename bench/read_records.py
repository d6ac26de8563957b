"""What the synchronisation records cost a read: GetCategory of a small local pivot category
with its two run records in place and with them removed (as a store of an older client),
alternated in one run against one local service. ``dev/run python3 bench/read_records.py``"""

from __future__ import annotations

import logging
import os
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import corvane as cv  # noqa: E402
from corvane.testing import LocalService, synthetic_pivot  # noqa: E402

CATEGORY = "cn_stock_pivot#close"
READS = 300
ROUNDS = 5


def per_read_us(client) -> float:
    began = time.perf_counter()
    for _ in range(READS):
        client.GetCategory(CATEGORY)
    return (time.perf_counter() - began) / READS * 1e6


def main() -> None:
    with LocalService() as service, tempfile.TemporaryDirectory() as root:
        service.publisher.publish_pivot(CATEGORY, synthetic_pivot("2024-01-01", "2024-03-31", 20))
        with cv.CorvaneClient(api_token=service.token, save_path=root, api_url=service.url,
                              log_level=logging.WARNING) as client:
            client.UpdateAllCategory()
            folder = os.path.join(root, "_corvane_meta_hash")
            hashes = {os.path.basename(client._get_hash_path(CATEGORY, month))
                      for month in ("2024-01", "2024-02", "2024-03")}
            runs = {}
            for name in set(os.listdir(folder)) - hashes:
                with open(os.path.join(folder, name), encoding="utf-8") as record:
                    runs[name] = record.read()
            with_records, without = [], []
            for _ in range(ROUNDS):
                for name, content in runs.items():
                    with open(os.path.join(folder, name), "w", encoding="utf-8") as record:
                        record.write(content)
                with_records.append(per_read_us(client))
                for name in runs:
                    os.unlink(os.path.join(folder, name))
                without.append(per_read_us(client))
    print(f"GetCategory, local 3-month category of 20 columns, median of {ROUNDS} x {READS} "
          f"reads: with run records {statistics.median(with_records):,.0f} us, without "
          f"{statistics.median(without):,.0f} us, ratio "
          f"{statistics.median(with_records) / statistics.median(without):.2f}")


if __name__ == "__main__":
    main()
