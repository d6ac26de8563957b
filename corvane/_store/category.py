"""One category's folder: its record, metadata, column sets and data files.

    <root>/<category>/
        .lock                  advisory lock (FolderLock)
        .writing               present while a writer works (a second name of .lock where
                               links work); found at the start of an update, it means a
                               writer died: its temporaries are swept
        _store.json            the store's record; present once the category holds data
        _meta.json             the category metadata (set_category_meta)
        _columns/<id>.json     column-name lists of pivot block files, content-addressed
        month=2024-01/data.parquet   pivot data, one file per partition folder
        part-<n>.parquet       unstack data, the parts listed by the record
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import shutil
import threading

import pyarrow as pa

from ..exceptions import LocalStorageError
from . import codec, dates, files, record

RECORD = "_store.json"
META = "_meta.json"
COLUMNS = "_columns"
DATA = "data.parquet"
WRITING = ".writing"


class CategoryFolder:
    """``group``: the DurabilityGroup (durability.py) holding this folder's new data files
    for a later publish, or None when each file is made durable as it is written."""

    def __init__(self, folder: str, name: str, group=None):
        self.path = folder
        self.name = name
        self.group = group

    def _settle(self, paths=None) -> None:
        """Publish the files held for a later publish before data files are looked up:
        all of them, or those among ``paths``."""
        if self.group is not None and (paths is None or self.group.pending(paths)):
            self.group.publish()

    # -- locking ------------------------------------------------------------------------
    def locked(self) -> files.FolderLock:
        """The shared lock of a reader."""
        return files.FolderLock(self.path, exclusive=False)

    @contextlib.contextmanager
    def updating(self, after_death=None):
        """Hold the exclusive lock for one update, after clearing what a dead writer left
        (``after_death(self)`` is called then, under the lock)."""
        created = files.make_dir(self.path, sync=False)
        with files.FolderLock(self.path, exclusive=True):
            marker = os.path.join(self.path, WRITING)
            if not files.put_marker(marker, os.path.join(self.path, files.LOCK_NAME)):
                self._sweep_temporaries()  # a writer died; its marker stays for this one
                if after_death is not None:
                    after_death(self)
            try:
                yield self
            finally:
                os.unlink(marker)
        if created:  # after the files inside: their syncs have mostly committed it already
            files.fsync_dir(os.path.dirname(self.path))

    def _sweep_temporaries(self) -> None:
        files.remove_temporaries(self.path)
        for entry in list(os.scandir(self.path)):
            if entry.is_dir(follow_symlinks=False):
                files.remove_temporaries(entry.path)

    def exists(self) -> bool:
        return os.path.isdir(self.path)

    # -- record and metadata -------------------------------------------------------------
    def read_record(self):
        """The category's PivotRecord or UnstackRecord, or None before it holds data."""
        raw = files.read_json(os.path.join(self.path, RECORD))
        return None if raw is None else record.from_json(raw, self.name)

    def write_record(self, held) -> None:
        self._settle()  # the data files are durable before the record that lists them
        files.write_json(os.path.join(self.path, RECORD), held.to_json(self.name))

    def read_meta(self):
        return files.read_json(os.path.join(self.path, META))

    def write_meta(self, meta: dict) -> None:
        files.write_json(os.path.join(self.path, META), meta)

    # -- column sets ---------------------------------------------------------------------
    def save_columns(self, columns: ColumnList) -> None:
        """Store a column-name list once (its id is a digest of its content)."""
        folder = os.path.join(self.path, COLUMNS)
        path = os.path.join(folder, columns.ident + ".json")
        if not os.path.exists(path):
            files.make_dir(folder)
            files.write_bytes(path, columns.data)

    def load_columns(self, ident: str) -> list:
        names = files.read_json(os.path.join(self.path, COLUMNS, ident + ".json"))
        if not isinstance(names, list):
            raise LocalStorageError(user_message="本地存储文件缺失: " + self.name,
                                    detail="column set " + ident)
        return names

    # -- data files ----------------------------------------------------------------------
    def partition_file(self, grouping: str, key: str) -> str:
        return os.path.join(self.path, dates.folder_name(grouping, key), DATA)

    def data_file(self, path: str):
        """The file to write a data file ``path`` into (a context manager): held by the
        group for its publish, or replaced and made durable at once."""
        if self.group is not None:
            return self.group.staging(path)
        return codec.replace_data(path)

    def settle_file(self, path: str) -> None:
        """Before ``path`` is read or written again: published if it is held."""
        self._settle((path,))

    def settle_files(self) -> None:
        """Every data file held for a later publish published (the lock stays held)."""
        self._settle()

    def partitions(self, lo=None, hi=None):
        """[(path, first ns, stop ns)] of the pivot data files meeting [lo, hi), by date."""
        self._settle()
        found = []
        try:
            entries = list(os.scandir(self.path))
        except FileNotFoundError:
            return found
        for entry in entries:
            parsed = dates.parse_folder(entry.name)
            if parsed is None or not dates.overlaps(parsed[2], parsed[3], lo, hi):
                continue
            path = os.path.join(entry.path, DATA)
            if os.path.exists(path):
                found.append((path, parsed[2], parsed[3]))
        found.sort(key=lambda item: item[1])
        return found

    def period_files(self, grouping: str, lo: int, hi: int, written=()):
        """[(path, first ns, stop ns)] of the pivot data files of ``grouping`` meeting
        [lo, hi), by date, leaving out ``written`` (the caller's own new files). One stat per
        period of the range rather than a folder listing, so that asking about every
        partition of a long category does not grow with its square."""
        periods = [(self.partition_file(grouping, key), first, stop)
                   for key, first, stop in dates.periods(grouping, lo, hi)]
        periods = [period for period in periods if period[0] not in written]
        self._settle([path for path, _, _ in periods])
        found = []
        for path, first, stop in periods:
            if os.path.exists(path):
                found.append((path, first, stop))
        return found

    def remove_partition_file(self, path: str) -> None:
        """Delete a pivot data file that lost all its rows, and its folder when empty."""
        os.unlink(path)
        folder = os.path.dirname(path)
        with contextlib.suppress(OSError):  # something else left inside: the folder stays
            os.rmdir(folder)
        if self.group is not None:
            self.group.folder_changed(self.path)
        else:
            files.fsync_dir(self.path)

    def remove_uncommitted(self) -> None:
        """Delete pivot data left by a first update that died before writing the record:
        the category was never listed, so nobody has seen that data."""
        self._settle()
        for entry in list(os.scandir(self.path)):
            if dates.parse_folder(entry.name) is not None or entry.name == COLUMNS:
                shutil.rmtree(entry.path, ignore_errors=True)


class ColumnList:
    """A column-name list with its id, its stored JSON (for a list being saved) and, made on
    first use, its names as the Arrow array of block files. Never changed once made, so
    one can serve many updates."""

    def __init__(self, names: list, ident: str, data: bytes | None = None):
        self.names = names
        self.ident = ident
        self.data = data
        self._array = None
        self._positions = None

    @classmethod
    def of(cls, names: list) -> ColumnList:
        data = json.dumps(names, ensure_ascii=False, separators=(",", ":")).encode()
        return cls(names, hashlib.sha256(data).hexdigest()[:32], data)

    def array(self) -> pa.Array:
        if self._array is None:
            self._array = pa.array(self.names, type=pa.string())
        return self._array

    def positions(self) -> dict:
        """name -> its position in the list."""
        if self._positions is None:
            self._positions = {name: i for i, name in enumerate(self.names)}
        return self._positions


class ColumnSets:
    """Column-name lists by id, each loaded once per operation (ids never change meaning).

    ``known``: a list saved by an earlier operation, used again when the same names are
    saved (a synchronisation stores partition after partition with the same columns), so
    that they are encoded and digested once. ``kept``: lists loaded by earlier operations
    (a Kept), so that reads of a few instruments do not load thousands of names each
    time."""

    def __init__(self, cat: CategoryFolder, known: ColumnList | None = None, kept: Kept | None = None):
        self._cat = cat
        self._known = known
        self._lists = {}
        self._kept = kept

    def _list(self, ident: str) -> ColumnList:
        held = self._lists.get(ident)
        if held is None:
            if self._kept is not None:
                held = self._kept.get((self._cat.path, ident))
            if held is None:
                held = ColumnList(self._cat.load_columns(ident), ident)
                if self._kept is not None:
                    self._kept.put((self._cat.path, ident), held)
            self._lists[ident] = held
        return held

    def __call__(self, ident: str) -> list:
        return self._list(ident).names

    def positions(self, ident: str) -> dict:
        """name -> position of the names of list ``ident``."""
        return self._list(ident).positions()

    def array(self, ident: str) -> pa.Array:
        """The names of list ``ident`` as an Arrow string array."""
        return self._list(ident).array()

    def save(self, names: list) -> ColumnList:
        known = self._known
        columns = known if known is not None and known.names == names else ColumnList.of(names)
        self._cat.save_columns(columns)
        return self._lists.setdefault(columns.ident, columns)


class Kept:
    """Values that reads worked out, kept for the next ones, for keys whose value never
    changes: column lists by (category folder, id) (an id is a digest of the names), value
    dtypes by the bytes of a Parquet schema. At most ``limit`` are kept (the oldest go
    first)."""

    def __init__(self, limit: int = 32):
        self._limit = limit
        self._values = {}  # oldest first
        self._lock = threading.Lock()

    def get(self, key):
        with self._lock:
            return self._values.get(key)

    def put(self, key, value) -> None:
        with self._lock:
            self._values[key] = value
            while len(self._values) > self._limit:
                del self._values[next(iter(self._values))]
