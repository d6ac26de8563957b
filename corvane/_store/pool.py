"""A few threads for independent file reads (pyarrow and numpy copies release the GIL)."""

from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor

_THREADS = max(2, min(8, os.cpu_count() or 2))


def parallel(func, items) -> list:
    """[func(item) for item in items], on threads when there is more than one item."""
    items = list(items)
    if len(items) < 2:
        return [func(item) for item in items]
    with ThreadPoolExecutor(max_workers=min(len(items), _THREADS)) as pool:
        return list(pool.map(func, items))
