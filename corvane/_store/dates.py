"""Dates of pivot rows: wall-clock keys, file partitions and read ranges.

Every pivot row has a wall-clock time in nanoseconds (int64, naive): the index value itself
for a naive DatetimeIndex, its local time in its zone for an aware one, the parsed text for
text dates. Partitioning, replacing rows of the same date, sorting and date ranges all use it.
"""

from __future__ import annotations

import datetime
import re

import numpy as np
import pandas as pd

from ..exceptions import APIError, LocalStorageError

NS_PER_DAY = 86_400 * 10**9
GROUPINGS = {"monthly": ("month", "M"), "daily": ("day", "D")}
_FOLDER = re.compile(r"^(month)=(\d{4}-\d{2})$|^(day)=(\d{4}-\d{2}-\d{2})$")


def is_text_index(index: pd.Index) -> bool:
    return (index.dtype == object or isinstance(index.dtype, pd.StringDtype)) and (
        len(index) == 0 or index.inferred_type == "string")


def wall_clock_ns(index: pd.Index, strf: str) -> np.ndarray:
    """The wall-clock nanoseconds of each index entry; refuses an index that holds no dates."""
    if len(index) == 0:
        return np.empty(0, dtype=np.int64)
    try:
        if isinstance(index, pd.DatetimeIndex):
            dt = index.tz_localize(None) if index.tz is not None else index
        elif is_text_index(index):
            dt = pd.DatetimeIndex(pd.to_datetime(index, format=strf))
        elif index.inferred_type in ("date", "datetime", "datetime64"):
            dt = pd.DatetimeIndex(pd.to_datetime(index))
            if dt.tz is not None:
                dt = dt.tz_localize(None)
        else:
            raise ValueError(f"index of type {index.inferred_type}")
        if dt.hasnans:
            raise ValueError("missing dates")
        return np.asarray(dt.as_unit("ns").asi8, dtype=np.int64)
    except (ValueError, TypeError, OverflowError) as e:
        raise LocalStorageError(user_message="pivot 数据的索引必须是日期（DatetimeIndex 或日期文本）",
                                detail=str(e)) from None


def partition_keys(wall: np.ndarray, grouping: str) -> np.ndarray:
    """The partition value of each row ("2024-01" monthly, "2024-01-31" daily) as texts."""
    unit = GROUPINGS[grouping][1]
    return wall.view("datetime64[ns]").astype(f"datetime64[{unit}]").astype(str)


def folder_name(grouping: str, key: str) -> str:
    return f"{GROUPINGS[grouping][0]}={key}"


def parse_folder(name: str):
    """(grouping, key, first ns, end ns exclusive) of a partition folder name, or None."""
    m = _FOLDER.match(name)
    if m is None:
        return None
    # Calendar arithmetic on Python integers: numpy's parse costs more than the rest of a
    # read of a few instruments per file.
    try:
        if m.group(1):
            grouping, key = "monthly", m.group(2)
            year, month = int(key[:4]), int(key[5:7])
            first = datetime.date(year, month, 1)
            end = datetime.date(year + month // 12, month % 12 + 1, 1)
        else:
            grouping, key = "daily", m.group(4)
            first = datetime.date(int(key[:4]), int(key[5:7]), int(key[8:10]))
            end = first + datetime.timedelta(days=1)
    except (ValueError, OverflowError):
        return None
    return grouping, key, _day_ns(first), _day_ns(end)


_EPOCH_DAY = datetime.date(1970, 1, 1).toordinal()


def _day_ns(day: datetime.date) -> int:
    return (day.toordinal() - _EPOCH_DAY) * NS_PER_DAY


_PARTITION_UNITS = {4: "Y", 7: "M", 10: "D"}


def partition_span(partition: str):
    """(first ns, end ns exclusive) of a service partition "YYYY", "YYYY-MM" or "YYYY-MM-DD"."""
    unit = _PARTITION_UNITS.get(len(partition)) if isinstance(partition, str) else None
    try:
        if unit is None or not partition[:4].isdigit():
            raise ValueError
        first = np.datetime64(partition, unit)
    except ValueError:
        raise ValueError("partition must be 'full', 'YYYY', 'YYYY-MM' or 'YYYY-MM-DD', "
                         f"not {partition!r}") from None
    return (int(first.astype("datetime64[ns]").astype(np.int64)),
            int((first + 1).astype("datetime64[ns]").astype(np.int64)))


def day_text(ns: int) -> str:
    return str(np.datetime64(ns, "ns").astype("datetime64[D]"))


def _bound(value, name: str, end: bool):
    if value is None:
        return None
    if isinstance(value, str):
        try:
            day = datetime.datetime.strptime(value, "%Y-%m-%d")
        except ValueError:
            raise APIError(user_message=f"日期格式无效（应为 YYYY-MM-DD）: {value!r}") from None
        ns = pd.Timestamp(day).as_unit("ns").value
        return ns + NS_PER_DAY if end else ns
    if isinstance(value, (datetime.datetime, np.datetime64)):
        ts = pd.Timestamp(value)
        if ts.tz is not None:
            ts = ts.tz_localize(None)
        ns = ts.as_unit("ns").value
        return ns + 1 if end else ns
    if isinstance(value, datetime.date):
        ns = pd.Timestamp(value).as_unit("ns").value
        return ns + NS_PER_DAY if end else ns
    raise TypeError(f"{name} must be a 'YYYY-MM-DD' text, a date or None, "
                    f"not {type(value).__name__}")


def read_range(start, end):
    """(lo, hi): the rows wanted have lo <= wall < hi; None leaves that side open.

    Date texts and dates cover their whole day, so end "2024-01-31" includes that day."""
    return _bound(start, "start_date", False), _bound(end, "end_date", True)


def overlaps(first: int, stop: int, lo, hi) -> bool:
    return (lo is None or stop > lo) and (hi is None or first < hi)


def row_span(wall: np.ndarray, lo, hi):
    """(i0, i1): the slice of the sorted ``wall`` inside the range."""
    i0 = 0 if lo is None else int(np.searchsorted(wall, lo, "left"))
    i1 = len(wall) if hi is None else int(np.searchsorted(wall, hi, "left"))
    return i0, max(i0, i1)


def periods(grouping: str, lo: int, hi: int) -> list:
    """[(key, first ns, end ns exclusive)] of the periods of ``grouping`` (keys "2024-01"
    monthly, "2024-01-31" daily) that meet [lo, hi), in date order."""
    unit = GROUPINGS[grouping][1]
    first = np.datetime64(lo, "ns").astype(f"datetime64[{unit}]")
    last = np.datetime64(hi - 1, "ns").astype(f"datetime64[{unit}]")
    starts = np.arange(first, last + 2)  # each period's start, then the end of the last
    bounds = starts.astype("datetime64[ns]").astype(np.int64).tolist()
    return list(zip(starts[:-1].astype(str).tolist(), bounds[:-1], bounds[1:]))


def within(wall: np.ndarray, lo, hi) -> np.ndarray:
    """Which of the wall-clock times lie in [lo, hi); None leaves that side open."""
    inside = np.ones(len(wall), dtype=bool)
    if lo is not None:
        inside &= wall >= lo
    if hi is not None:
        inside &= wall < hi
    return inside
