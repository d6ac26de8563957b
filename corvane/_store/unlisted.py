"""Stored rows that no partition the service lists covers any longer.

The service may stop listing a partition; its rows stay (a shrinking list never deletes a
user's data), and this names them so that the client can say so.
"""

from __future__ import annotations

import numpy as np

from . import codec, dates
from .category import CategoryFolder

# The length of a partition name for each grouping of the store's files.
_NAME_LENGTH = {"monthly": 7, "daily": 10}


def _covered_spans(partitions) -> tuple[np.ndarray, np.ndarray]:
    """The union of the listed partitions' spans as sorted, disjoint [start, end) arrays."""
    spans = sorted({dates.partition_span(p) for p in partitions})
    starts, ends = [], []
    for first, stop in spans:
        if ends and first <= ends[-1]:
            ends[-1] = max(ends[-1], stop)
        else:
            starts.append(first)
            ends.append(stop)
    return np.asarray(starts, dtype=np.int64), np.asarray(ends, dtype=np.int64)


def _inside(starts: np.ndarray, ends: np.ndarray, wall: np.ndarray) -> np.ndarray:
    if len(starts) == 0:
        return np.zeros(len(wall), dtype=bool)
    at = np.searchsorted(starts, wall, "right") - 1
    return (at >= 0) & (wall < ends[np.maximum(at, 0)])


def unlisted_partitions(cat: CategoryFolder, held, partitions: list) -> list:
    """The partitions, named like the listed ones, of the rows that ``held`` (the category's
    record; None when it holds no data) stores and that none of ``partitions`` covers.

    A pivot row's partition is its year, month or day, as long as the listed dated names are
    (the store's own month or day when they differ in length or none is dated); an unstack
    category has the one partition "full"."""
    if held is None or "full" in partitions:
        return []
    if held.kind != "pivot":
        return ["full"]
    lengths = {len(p) for p in partitions}
    length = lengths.pop() if len(lengths) == 1 else _NAME_LENGTH[held.grouping]
    starts, ends = _covered_spans(partitions)
    found = set()
    for path, first, stop in cat.partitions():
        # The file's period, [first, stop), against the listed spans: wholly inside one, or
        # meeting none with names no finer than the file's, it needs no footer read.
        at = int(np.searchsorted(starts, first, "right")) - 1
        if at >= 0 and stop <= ends[at]:
            continue
        after = int(np.searchsorted(ends, first, "right"))
        if (after == len(starts) or starts[after] >= stop) and length <= _NAME_LENGTH[held.grouping]:
            found.add(dates.day_text(first)[:length])
            continue
        wall = codec.StoredFile(path).wall
        outside = wall[~_inside(starts, ends, wall)]
        days = outside.view("datetime64[ns]").astype("datetime64[D]").astype(str)
        found.update(day[:length] for day in days.tolist())
    return sorted(found)
