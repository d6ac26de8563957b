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
import pyarrow.parquet as pq

from ..exceptions import CategoryNotFoundError, CorvaneError, LocalStorageError
from . import codec, dates, files, history, ledger, names, prune, record as records
from .category import RECORD, CategoryFolder, ColumnSets, Kept
from .durability import DurabilityGroup
from .pivot_read import read_pivot
from .pivot_write import PivotUpdate
from .unlisted import unlisted_partitions
from .unstack import UnstackUpdate, read_parts


@contextlib.contextmanager
def _storage_errors(category: str):
    """Turn file-system and Parquet failures into LocalStorageError (saying so when the disk
    is full or read-only); the cause stays available as ``detail`` (paths and library
    messages, nothing secret)."""
    try:
        yield
    except CorvaneError:
        raise
    except (OSError, pa.ArrowException) as e:
        raise LocalStorageError.from_os_error(e, user_message="本地存储失败: " + category,
                                              detail=f"{type(e).__name__}: {e}") from e


def _settle(cat: CategoryFolder) -> None:
    """A writer died inside an update: what it stored becomes a generation first."""
    held = ledger.Ledger(cat.path, cat.name)
    history.settle(cat, cat.read_record(), held.entries(), held, writer_died=True)


class ParquetDataManager:
    """Keeps categories as Parquet datasets under ``path``; every call is safe against a
    crash at any moment and against other processes using the same store."""

    def __init__(self, path, logger: logging.Logger | None = None):
        self.save_path = os.path.abspath(os.fspath(path))
        self.logger = logger if logger is not None else logging.getLogger("corvane.store")
        # The column list of the last pivot frame stored as block files: the next frame
        # of a synchronisation has the same columns, which then need no encoding again.
        self._frame_columns = None
        # What reads worked out and the next ones need again (Kept): column lists, so that
        # reads of a few instruments do not load thousands of names each time, and the
        # value dtypes of block file schemas.
        self._kept = Kept()
        self._kept_files = Kept(limit=1024)  # the footers of data files read (StoredFiles)
        # category -> the history.Run that begin_generation opened: its updates are one
        # generation, committed by end_generation.
        self._runs = {}
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
        with _storage_errors(category), cat.updating(_settle):
            held = cat.read_meta() if merge else None
            meta = dict(held) if isinstance(held, dict) else {}
            meta.update(category_meta)
            cat.write_meta(meta)

    def get_category_meta(self, category) -> dict | None:
        """The metadata held for ``category``, or None."""
        cat = self._folder(category)
        with _storage_errors(category):
            return cat.read_meta()

    # -- generations ---------------------------------------------------------------------
    def begin_generation(self, category, mode: str) -> None:
        """Make the updates of ``category`` until ``end_generation`` one generation, of
        ``mode`` (the client's synchronisation of a category is one). Without it, each
        update call that changes rows is a generation of its own ("update")."""
        if not isinstance(mode, str):
            raise TypeError(f"mode must be str, not {type(mode).__name__}")
        names.category_folder(self.save_path, category)  # a bad name fails here
        if category in self._runs:
            raise LocalStorageError(user_message="数据类别已在更新中: " + category)
        self._runs[category] = history.Run(mode)

    def end_generation(self, category) -> int | None:
        """Commit the generation that ``begin_generation`` opened, also after a failed
        update (what was stored stays and is that generation); the number, or None when no
        stored row changed."""
        run = self._runs.pop(category, None)
        if run is None:
            return None
        cat = self._folder(category)
        if not run.changes:
            run.close()
            return None
        with _storage_errors(category), cat.updating(_settle):
            entry = run.commit(cat)
        return None if entry is None else entry["generation"]

    def note_published_hash(self, category, partition, published) -> None:
        """The service's hash of a partition whose rows the current generation stored."""
        run = self._runs.get(category)
        if run is not None and partition in run.changes:
            run.note_hash(partition, published)

    @contextlib.contextmanager
    def _update(self, category, cat):
        """The exclusive lock of one update and the run it belongs to, committed at once
        when it is an update of its own."""
        run = self._runs.get(category)
        own = run is None
        if own:
            run = history.Run("update", spans_updates=False)
        if cat.group is None:
            with cat.updating(_settle):
                try:
                    yield run
                finally:
                    if own:
                        run.commit(cat)
            return
        # In a durability group the group holds the lock until its commit; an update of
        # its own is a generation at once, so its files are published before the ledger
        # names them.
        cat.group.hold(cat, _settle)
        try:
            yield run
        finally:
            if own:
                cat.settle_files()
                run.commit(cat)

    def list_category_history(self, category, details: bool = False) -> pd.DataFrame:
        """One row per generation: generation, committed (UTC), mode, and the partitions
        added, replaced and removed (lists of names). With ``details`` one row per changed
        partition: generation, committed, mode, partition, change, old and new version,
        old_hash and new_hash (the service's published hashes, where known)."""
        with self._reading_any(category) as (cat, record):
            entries = ledger.readable(cat, history.entries_of(cat, record))
        if details:
            rows = [{"generation": e["generation"], "committed": e["committed"], "mode": e["mode"],
                     "partition": partition, "change": change["change"],
                     "old_version": change.get("old"), "new_version": change.get("new"),
                     "old_hash": change.get("old_hash"), "new_hash": change.get("new_hash")}
                    for e in entries for partition, change in e["changes"].items()]
            frame = pd.DataFrame(rows, columns=["generation", "committed", "mode", "partition",
                                                "change", "old_version", "new_version",
                                                "old_hash", "new_hash"])
        else:
            rows = []
            for e in entries:
                row = {"generation": e["generation"], "committed": e["committed"], "mode": e["mode"]}
                for kind in ("added", "replaced", "removed"):
                    row[kind] = [p for p, c in e["changes"].items() if c["change"] == kind]
                rows.append(row)
            frame = pd.DataFrame(rows, columns=["generation", "committed", "mode", "added",
                                                "replaced", "removed"])
        frame["generation"] = frame["generation"].astype("int64")
        frame["committed"] = pd.to_datetime(frame["committed"], utc=True, format="ISO8601")
        return frame

    def prune_history(self, category, *, keep_generations=None, older_than_days=None,
                      dry_run=False) -> dict:
        """Remove the history that no kept generation reads: keep the latest
        ``keep_generations`` generations, or those committed in the last ``older_than_days``
        days (exactly one of the two); the latest generation, the current data, always
        stays. Decided from the ledger, never from file times. Returns ``category``,
        ``generations`` (the numbers no longer readable), ``files`` and ``bytes`` removed
        (or that would be, with ``dry_run``)."""
        if (keep_generations is None) == (older_than_days is None):
            raise ValueError("give exactly one of keep_generations and older_than_days")
        for name, value, least in (("keep_generations", keep_generations, 1),
                                   ("older_than_days", older_than_days, 0)):
            if value is not None and (isinstance(value, bool) or not isinstance(value, (int, float))
                                      or value < least):
                raise ValueError(f"{name} must be a number of at least {least}, not {value!r}")
        cat = self._folder(category)
        with self._held(category) as (_, record):
            if record is None:
                raise CategoryNotFoundError("数据类别不存在: " + category)
        with _storage_errors(category), cat.updating(_settle):
            record = cat.read_record()
            history.Run("prune").begin(cat, record)  # a dead run's generation first
            entries = ledger.Ledger(cat.path, category).entries()
            plan = prune.prune_plan(cat, entries, keep_generations, older_than_days)
            size = sum(os.path.getsize(p) for p in plan["files"] if os.path.exists(p))
            if not dry_run:
                prune.prune(cat, plan)
        return {"category": category, "generations": plan["generations"],
                "files": len(plan["files"]), "bytes": size}

    @contextlib.contextmanager
    def _reading_any(self, category):
        with self._held(category) as (cat, record):
            if record is None:
                raise CategoryNotFoundError("数据类别不存在: " + category)
            yield cat, record

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
            with self._update(category, cat) as run:
                update.run(partition_mode, run)
        if update.frame_columns is not None:
            self._frame_columns = update.frame_columns

    def read_pivot_category(self, category, start_date=None, end_date=None, *, as_of=None,
                            columns=None) -> pd.DataFrame:
        """The stored rows with start_date <= date <= end_date ('YYYY-MM-DD' texts, whole
        days; None leaves a side open), sorted by date.

        ``as_of``: the category as a generation held it (an int, negative counting back from
        the latest) or as the store knew it at a moment (an aware datetime or ISO 8601 text
        with an offset: the latest generation committed at or before it). ``columns``: only
        those instruments, in that order; a name the category never held is an error, one
        held only outside the range is all NaN."""
        lo, hi = dates.read_range(start_date, end_date)
        wanted = history.wanted_columns(columns)
        with self._reading(category, "pivot") as (cat, record):
            entries = None
            files = None
            if as_of is not None:
                entries = history.entries_of(cat, record)
                entry = ledger.choose(entries, as_of, category)
                ledger.check_readable(cat, entry)
                files = history.generation_files(cat, entries, entry, self._kept_files)
                record = ledger.stored_record(entry, category)
            sets = ColumnSets(cat, kept=self._kept)
            if wanted is not None and record.is_block:
                # The ledger (one file per generation) only when the record read lacks a name.
                known = sets.positions(record.columns) if record.columns else {}
                if any(name not in known for name in wanted):
                    if entries is None:
                        entries = history.entries_of(cat, record)
                    held = [record] + [ledger.stored_record(e, category) for e in entries]
                    lists = [sets.positions(ident) for ident in
                             dict.fromkeys(h.columns for h in held if h.is_block and h.columns)]
                    history.refuse_unknown(category, wanted,
                                           {name for name in wanted if any(name in p for p in lists)})
            frame = read_pivot(cat, record, lo, hi, files, wanted, sets, self._kept, self._kept_files)
            if wanted is not None and not record.is_block:
                history.refuse_unknown(category, [c for c in wanted if frame[c].isna().all()],
                                       set(read_pivot(cat, record, None, None, files).columns))
            return frame

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
            with self._update(category, cat) as run:
                update.run(run, replace=partition is not None)

    def read_unstack_category(self, category, *, as_of=None, columns=None) -> pd.DataFrame:
        """The whole table, as of a generation or a moment like read_pivot_category;
        ``columns``: only those columns (and the index), in that order."""
        wanted = history.wanted_columns(columns)
        with self._reading(category, "unstack") as (cat, current):
            record = current
            if as_of is not None:
                entry = ledger.choose(history.entries_of(cat, current), as_of, category)
                ledger.check_readable(cat, entry)
                record = ledger.stored_record(entry, category)
            if wanted is None:
                return read_parts(cat, record.parts)

            def names(held):  # every part of a table has one schema
                if not held.parts:
                    return []
                return pq.read_schema(history.part_path(cat.path, held.parts[0].file)).names

            here = names(record)
            history.refuse_unknown(category, wanted, set(here) | set(names(current)))
            if not record.parts:
                return pd.DataFrame(columns=wanted)
            return read_parts(cat, record.parts, [c for c in wanted if c in here]) \
                .reindex(columns=wanted)

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

    def unlisted_partitions(self, category, partitions) -> list:
        """The partitions of the rows stored for ``category`` that none of ``partitions``
        (the service's list: "full", "YYYY", "YYYY-MM", "YYYY-MM-DD") covers, sorted; named
        like the listed ones (years, months or days; the store's own months or days when
        their lengths differ or none is dated). The rows stay: only the service's list
        shrank."""
        if not isinstance(partitions, list):
            raise TypeError(f"partitions must be a list, not {type(partitions).__name__}")
        with self._held(category) as (cat, record), _storage_errors(category):
            return unlisted_partitions(cat, record, partitions)

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
                    "last": last, "bytes": size,
                    "generations": history.count(cat),
                    "history_bytes": history.history_bytes(cat.path)}

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
