"""ParquetDataManager: the local store of downloaded categories.

See docs/store.md for the layout on disk and the columns another Parquet reader sees.
"""

from __future__ import annotations

import contextlib
import logging
import os
import threading
from collections.abc import Mapping

import pandas as pd
import pyarrow as pa

from ..exceptions import CategoryNotFoundError, CorvaneError, LocalStorageError
from . import codec, dates, files, names, record as records
from .category import RECORD, CategoryFolder
from .durability import DurabilityGroup
from .pivot_read import read_pivot
from .pivot_write import PivotUpdate
from .unstack import UnstackUpdate, read_parts


@contextlib.contextmanager
def _storage_errors(category: str):
    """Turn file-system and Parquet failures into LocalStorageError; the cause stays
    available as ``detail`` (paths and library messages, nothing secret)."""
    try:
        yield
    except CorvaneError:
        raise
    except (OSError, pa.ArrowException) as e:
        raise LocalStorageError(user_message="本地存储失败: " + category,
                                detail=f"{type(e).__name__}: {e}") from e


class ParquetDataManager:
    """Keeps categories as Parquet datasets under ``path``; every call is safe against a
    crash at any moment and against other processes using the same store."""

    def __init__(self, path, logger: logging.Logger | None = None):
        self.save_path = os.path.abspath(os.fspath(path))
        self.logger = logger if logger is not None else logging.getLogger("corvane.store")
        # The column list of the last pivot frame stored as block files: the next frame
        # of a synchronisation has the same columns, which then need no encoding again.
        self._frame_columns = None
        self._threads = threading.local()  # the DurabilityGroup open on a thread, if any
        with _storage_errors(self.save_path):
            os.makedirs(self.save_path, exist_ok=True)

    def _folder(self, category) -> CategoryFolder:
        """The folder of ``category``; the calling thread's group lets it go first, if it
        holds it, so that every other call sees its files published and its lock free."""
        cat = CategoryFolder(names.category_folder(self.save_path, category), category)
        group = getattr(self._threads, "group", None)
        if group is not None and group.holds(cat.path):
            group.commit()
        return cat

    def _durability_group(self) -> DurabilityGroup:
        """Open (or, already open, enter again) the calling thread's group: its pivot updates
        are made durable together when it commits, each data file still old or new on disk
        at any moment; see durability.py. ``commit()`` makes everything durable so far (the
        caller may then record it as stored), ``close()`` commits and ends the group; a
        failure of either raises LocalStorageError."""
        group = getattr(self._threads, "group", None)
        if group is not None:
            return group.reopened()
        group = DurabilityGroup(lambda: delattr(self._threads, "group"), _storage_errors)
        self._threads.group = group
        return group

    @contextlib.contextmanager
    def _held(self, category):
        """Yield the folder and record of ``category`` (None when it holds no data), under
        its shared lock when the folder exists."""
        cat = self._folder(category)
        if not cat.exists():
            yield cat, None
            return
        with _storage_errors(category), cat.locked():
            yield cat, cat.read_record()

    @contextlib.contextmanager
    def _reading(self, category, kind: str):
        """Yield the folder and record of a stored category of ``kind`` under its shared lock."""
        with self._held(category) as (cat, record):
            if record is None:
                raise CategoryNotFoundError("数据类别不存在: " + category)
            if record.kind != kind:
                raise LocalStorageError(user_message=f"数据类别不是 {kind} 类别: " + category)
            yield cat, record

    # -- metadata ------------------------------------------------------------------------
    def set_category_meta(self, category, category_meta, merge=True) -> None:
        """Keep ``category_meta``; with ``merge`` its keys replace the same keys of the
        metadata already held and the other keys stay."""
        if not isinstance(category_meta, Mapping):
            raise TypeError(f"category_meta must be a mapping, not {type(category_meta).__name__}")
        cat = self._folder(category)
        with _storage_errors(category), cat.updating():
            held = cat.read_meta() if merge else None
            meta = dict(held) if isinstance(held, dict) else {}
            meta.update(category_meta)
            cat.write_meta(meta)

    def get_category_meta(self, category) -> dict | None:
        """The metadata held for ``category``, or None."""
        cat = self._folder(category)
        with _storage_errors(category):
            return cat.read_meta()

    # -- pivot categories ----------------------------------------------------------------
    def update_pivot_category(self, df, category, strf="%Y-%m-%d",
                              partition_mode="monthly", partition=None) -> None:
        """Store the rows of ``df`` (a frame indexed by date): they replace the stored rows
        of the same dates; the other stored rows stay.

        ``partition`` names the service partition that ``df`` holds ("YYYY", "YYYY-MM",
        "YYYY-MM-DD" or "full"): the stored rows of its year, month, day (every row for
        "full") become exactly the rows of ``df``, those of dates ``df`` lacks are deleted."""
        span = None
        if partition is not None:
            span = (None, None) if partition == "full" else dates.partition_span(partition)
        if not isinstance(df, pd.DataFrame):
            raise TypeError(f"df must be a pandas DataFrame, not {type(df).__name__}")
        if not isinstance(strf, str):
            raise TypeError(f"strf must be str, not {type(strf).__name__}")
        if partition_mode not in dates.GROUPINGS:
            raise ValueError(f"partition_mode must be 'daily' or 'monthly', not {partition_mode!r}")
        cat = CategoryFolder(names.category_folder(self.save_path, category), category,
                             getattr(self._threads, "group", None))
        with _storage_errors(category):
            update = PivotUpdate(cat, self.logger, df, strf, span, self._frame_columns)
            if cat.group is None:
                with cat.updating():
                    update.run(partition_mode)
            else:
                cat.group.hold(cat)
                update.run(partition_mode)
        if update.frame_columns is not None:
            self._frame_columns = update.frame_columns

    def read_pivot_category(self, category, start_date=None, end_date=None) -> pd.DataFrame:
        """The stored rows with start_date <= date <= end_date ('YYYY-MM-DD' texts, whole
        days; None leaves a side open), sorted by date."""
        lo, hi = dates.read_range(start_date, end_date)
        with self._reading(category, "pivot") as (cat, record):
            return read_pivot(cat, record, lo, hi)

    # -- unstack categories --------------------------------------------------------------
    def update_unstack_category(self, category, sub_df, duplicate_keys=None,
                                partition=None) -> None:
        """Add the rows of ``sub_df``; of rows with equal ``duplicate_keys`` columns (whole
        rows when None) only the newest stays.

        ``partition="full"`` (the one partition of an unstack category): the table becomes
        exactly the rows of ``sub_df``, de-duplicated the same way."""
        if partition not in (None, "full"):
            raise ValueError(f"partition of an unstack category must be 'full', not {partition!r}")
        if not isinstance(sub_df, pd.DataFrame):
            raise TypeError(f"sub_df must be a pandas DataFrame, not {type(sub_df).__name__}")
        cat = self._folder(category)
        with _storage_errors(category):
            update = UnstackUpdate(cat, self.logger, sub_df, duplicate_keys)
            with cat.updating():
                update.run(replace=partition is not None)

    def read_unstack_category(self, category) -> pd.DataFrame:
        with self._reading(category, "unstack") as (cat, record):
            return read_parts(cat, record.parts)

    # -- what is held --------------------------------------------------------------------
    def holds_partition(self, category, partition) -> bool:
        """Whether the store holds rows of the service's partition ``partition``.

        "full": the category holds data (an unstack category's one partition, or any row of
        a pivot category). "YYYY", "YYYY-MM", "YYYY-MM-DD": a pivot row dated in that year,
        month or day, whatever the category's monthly or daily grouping. Whether those rows
        are the partition's current ones is for the client's hash records to say."""
        span = None if partition == "full" else dates.partition_span(partition)
        with self._held(category) as (cat, record):
            if record is None:
                return False
            if span is None:
                return record.kind == "unstack" or bool(cat.partitions())
            if record.kind != "pivot":
                return False
            lo, hi = span
            for path, first, stop in cat.period_files(record.grouping, lo, hi):
                # Files hold rows only: one lying inside the span holds some of its days.
                if lo <= first and stop <= hi:
                    return True
                wall = codec.StoredFile(path).wall
                if ((wall >= lo) & (wall < hi)).any():
                    return True
            return False

    def category_folder(self, category) -> str:
        """The folder that holds (or would hold) ``category``: a Parquet dataset that other
        engines can read (docs/store.md)."""
        return self._folder(category).path

    def category_stats(self, category) -> dict | None:
        """What the store holds of ``category``, or None when it holds no data:
        ``kind``; ``partitions`` (pivot: its month or day files; unstack: 1); ``first`` and
        ``last``, the first and last row dates as "YYYY-MM-DD" (None for unstack);
        ``bytes``, the size of every file in the folder."""
        with self._held(category) as (cat, record):
            if record is None:
                return None
            first = last = None
            if record.kind == "pivot":
                held = cat.partitions()
                count = len(held)
                if held:  # files are sorted by date and never overlap
                    first = dates.day_text(int(codec.StoredFile(held[0][0]).wall.min()))
                    last = dates.day_text(int(codec.StoredFile(held[-1][0]).wall.max()))
            else:
                count = 1
            size = sum(os.path.getsize(os.path.join(folder, name))
                       for folder, _, file_names in os.walk(cat.path) for name in file_names)
            return {"kind": record.kind, "partitions": count, "first": first,
                    "last": last, "bytes": size}

    def run_lock(self) -> files.FolderLock:
        """The exclusive lock of the whole storage root, taken by runs that must not overlap
        (scheduled updates); the category locks still order every read and write inside."""
        return files.FolderLock(self.save_path, exclusive=True)

    # -- listing -------------------------------------------------------------------------
    def _get_all_categories(self) -> list:
        """The names of the categories holding data, sorted."""
        found = []
        with _storage_errors(self.save_path):
            try:
                entries = list(os.scandir(self.save_path))
            except FileNotFoundError:
                return found
            for entry in entries:
                if not names.is_category_folder_name(entry.name) or not entry.is_dir():
                    continue
                record_path = os.path.join(entry.path, RECORD)
                if entry.name.startswith(names.LONG_PREFIX):
                    name = records.stored_category(files.read_json(record_path))
                    if name is not None:
                        found.append(name)
                elif os.path.exists(record_path):
                    found.append(entry.name)
        return sorted(found)
