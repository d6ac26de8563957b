"""Unstack categories: a long table, de-duplicated on its keys, the newest rows winning.

The category is a list of part files (part-<n>.parquet, written by pyarrow from pandas, so
any engine reads them and pandas gets the frame back with its dtypes). The record lists the
live parts in order; the table is their concatenation. An update gives exactly
``pd.concat([stored, new]).drop_duplicates(subset=keys, keep="last")`` (with a fresh
RangeIndex when the frames had a plain RangeIndex) without rewriting the whole table:

1. the key columns of every part and of the new rows are dictionary-encoded together and
   combined into one integer per row; a hash pass finds the rows that a later row
   replaces (the stored rows are unique on the keys of the last update, so with the same
   keys only the new rows need hashing and the stored ones are merely looked up);
2. the new rows that survive become a new part; a part that lost rows is rewritten under a
   new name, a part that lost all of them is dropped;
3. the record is replaced (the commit point), then the files it no longer lists are deleted.

A crash before the record is replaced leaves the old table; after it, the new one.
Parts hold at most PART_ROWS rows, so an update that replaces a few stored rows rewrites
one small part, not the table; neighbours that fit in one part together are merged.
"""

from __future__ import annotations

import json
import os

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from ..exceptions import LocalStorageError
from . import files, history
from .category import CategoryFolder
from .pool import parallel
from .record import PART_NAME, UnstackRecord

PART_ROWS = 1 << 16
_PANDAS_KEY = b"pandas"
_SHAPE_FIELDS = ("index_columns", "column_indexes", "columns")


def _plain_index(index: pd.Index) -> bool:
    """An unnamed RangeIndex carries no information: the stored table renumbers rows."""
    return isinstance(index, pd.RangeIndex) and index.name is None


def _to_table(df: pd.DataFrame) -> pa.Table:
    # One thread: the conversion is bound by its text columns, and a pool costs more.
    return pa.Table.from_pandas(df, preserve_index=not _plain_index(df.index), nthreads=1)


def _pandas_meta(schema: pa.Schema) -> dict:
    raw = (schema.metadata or {}).get(_PANDAS_KEY)
    return json.loads(raw) if raw else {}


def _same_shape(old: pa.Schema, new: pa.Schema) -> bool:
    if not old.equals(new, check_metadata=False):
        return False
    old_meta, new_meta = _pandas_meta(old), _pandas_meta(new)
    return all(old_meta.get(k) == new_meta.get(k) for k in _SHAPE_FIELDS)


def normalise_keys(keys, df: pd.DataFrame):
    """The key columns as a list, or None for whole-row duplicates (also for empty keys)."""
    if keys is None or (isinstance(keys, (str, list, tuple)) and len(keys) == 0):
        return None
    if isinstance(keys, str):
        keys = [keys]
    elif isinstance(keys, (list, tuple)):
        keys = list(keys)
    else:
        raise TypeError(f"duplicate_keys must be a list, a tuple, a text or None, "
                        f"not {type(keys).__name__}")
    missing = [k for k in keys if k not in df.columns]
    if missing:
        raise LocalStorageError(user_message=f"去重键不是数据列: {missing!r}")
    return keys


def _key_fields(schema: pa.Schema, keys) -> list:
    if keys is not None:
        return [str(k) for k in keys]
    index = {c for c in _pandas_meta(schema).get("index_columns", []) if isinstance(c, str)}
    return [name for name in schema.names if name not in index]


def _row_ids(columns) -> np.ndarray:
    """One int64 per row, equal for rows whose key columns are equal (nulls equal nulls)."""
    ids, size = None, 1
    for column in columns:
        if isinstance(column, pa.ChunkedArray):
            column = column.combine_chunks()
        if pa.types.is_dictionary(column.type):
            column = column.cast(column.type.value_type)
        if pa.types.is_floating(column.type):
            column = pc.add(column, 0.0)  # -0.0 becomes 0.0: pandas counts them as equal
        encoded = pc.dictionary_encode(column, null_encoding="encode")
        codes = encoded.indices.to_numpy(zero_copy_only=False).astype(np.int64)
        count = max(len(encoded.dictionary), 1)
        if ids is None:
            ids, size = codes, count
            continue
        if size * count >= 2**62:
            ids = pd.factorize(ids)[0].astype(np.int64)
            size = int(ids.max()) + 1 if len(ids) else 1
        ids = ids * count + codes
        size *= count
    return ids


class _Piece:
    """A run of rows of the new table: a stored part kept as it is, or rows to write."""

    def __init__(self, rows: int, part=None, load=None):
        self.rows, self.part, self.load = rows, part, load


class UnstackUpdate:
    """One update of one category. Built (and the frame converted) before the lock is
    taken; ``run`` works under the category's exclusive lock."""

    def __init__(self, cat: CategoryFolder, log, df: pd.DataFrame, keys):
        self._cat = cat
        self._log = log
        self._df = df
        self._keys = normalise_keys(keys, df)
        self._new = _to_table(df)

    def _path(self, name: str) -> str:
        return os.path.join(self._cat.path, name)

    def _read(self, name: str, columns=None) -> pa.Table:
        return pq.ParquetFile(self._path(name)).read(columns=columns)

    def run(self, run: history.Run, replace: bool = False) -> None:
        """Add the rows, or with ``replace`` make them the whole table; the parts that an
        earlier generation lists are kept for it (told to ``run``)."""
        df, keys, new = self._df, self._keys, self._new
        record = self._cat.read_record()
        self._history = run
        run.begin(self._cat, record)
        stored = record is not None
        if record is None:
            self._cat.remove_uncommitted()
            self._remove_unlisted([])
            record = UnstackRecord()
        elif record.kind != "unstack":
            raise LocalStorageError(user_message="数据类别已按 pivot 类别存储: " + self._cat.name)
        else:
            self._remove_unlisted(record.parts)
            if df.empty and not replace:
                return
        stored_parts = list(record.parts)
        if replace:  # the parts go once the new record is committed
            record.parts = []
        parts = record.parts
        if parts and not _same_shape(pq.read_schema(self._path(parts[0].file)), new.schema):
            merged = self._merge_in_pandas(parts, df, keys)
            pieces = [_Piece(merged.num_rows, load=lambda: merged)]
        else:
            pieces = self._merge(record, new, keys)
        if stored and self._unchanged(stored_parts, pieces):
            return  # the same table: no new part, no new generation
        run.mark(self._cat)
        record.parts = self._write(record, _group(pieces))
        record.keys = _key_fields(new.schema, keys)
        files.fsync_dir(self._cat.path)  # the new parts are durable before the record names them
        self._cat.write_record(record)
        run.table_changed(self._cat, had_parts=bool(stored_parts))
        self._remove_unlisted(record.parts)
        self._log.debug("本地存储: %s 写入 %d 行, 共 %d 行, %d 个文件", self._cat.name,
                        len(df), sum(p.rows for p in record.parts), len(record.parts))

    def _merge(self, record: UnstackRecord, new: pa.Table, keys) -> list:
        """The pieces of the table after the update, in order."""
        old_parts = record.parts
        fields = _key_fields(new.schema, keys)
        if not fields:
            return ([_Piece(p.rows, part=p) for p in old_parts]
                    + [_Piece(new.num_rows, load=lambda: new)])
        old_keys = parallel(lambda part: self._read(part.file, fields), old_parts)
        columns = [pa.chunked_array([c for t in [*old_keys, new] for c in t.column(f).chunks],
                                    type=new.schema.field(f).type) for f in fields]
        ids = _row_ids(columns)
        stored = sum(p.rows for p in old_parts)
        if record.keys == fields:
            # The stored rows are already unique on these keys: only the new rows can
            # replace a row, which is cheaper to find than every duplicate.
            fresh = pd.Series(ids[stored:])
            replaced = np.concatenate([pd.Series(ids[:stored]).isin(fresh).to_numpy(),
                                       fresh.duplicated(keep="last").to_numpy()])
        else:
            replaced = pd.Series(ids).duplicated(keep="last").to_numpy()
        kept = ~replaced
        pieces, start = [], 0
        for part in old_parts:
            mask = kept[start:start + part.rows]
            start += part.rows
            if mask.all():
                pieces.append(_Piece(part.rows, part=part))
            elif mask.any():
                pieces.append(_Piece(int(mask.sum()), load=lambda p=part, m=mask:
                                     self._read(p.file).filter(pa.array(m))))
        mask = kept[start:]
        fresh_rows = new if mask.all() else new.filter(pa.array(mask))
        if fresh_rows.num_rows or not pieces:
            pieces.append(_Piece(fresh_rows.num_rows, load=lambda: fresh_rows))
        return pieces

    def _merge_in_pandas(self, parts, df: pd.DataFrame, keys) -> pa.Table:
        """Columns or dtypes differ from the stored table: pandas decides the result."""
        stored = read_parts(self._cat, parts)
        fresh = _plain_index(stored.index) and _plain_index(df.index)
        merged = pd.concat([stored, df], ignore_index=fresh)
        merged = merged.drop_duplicates(subset=keys, keep="last", ignore_index=fresh)
        return _to_table(merged)

    def _write(self, record: UnstackRecord, groups) -> list:
        """The parts of the table: a group that is one kept part stays; any other group is
        written as new parts of at most PART_ROWS rows, balanced so that they write evenly
        on threads. Each file is written once; the caller fsyncs the folder."""
        layout, loads = [], []
        for group in groups:
            if len(group) == 1 and group[0].part is not None:
                layout.append([group[0].part])
            else:
                layout.append(None)
                loads.append(group)

        def load(group) -> pa.Table:
            return pa.concat_tables([piece.load() if piece.part is None
                                     else self._read(piece.part.file) for piece in group])

        chunks = []
        for slot, table in zip([i for i, item in enumerate(layout) if item is None],
                               parallel(load, loads)):
            count = max(1, -(-table.num_rows // PART_ROWS))
            size = max(1, -(-table.num_rows // count))
            layout[slot] = []
            for i in range(count):
                part = record.new_part()
                layout[slot].append(part)
                chunks.append((part, table.slice(i * size, size)))

        def write(chunk) -> None:
            part, table = chunk
            part.rows = table.num_rows
            with files.replacing(self._path(part.file), sync_folder=False) as f:
                pq.write_table(table, f, compression="snappy")

        parallel(write, chunks)
        return [part for parts in layout for part in parts]

    def _unchanged(self, stored_parts, pieces) -> bool:
        """Whether the table after the update is the stored one, row for row."""
        if sum(p.rows for p in stored_parts) != sum(p.rows for p in pieces):
            return False
        if all(p.part is not None for p in pieces):
            return [p.part.file for p in pieces] == [p.file for p in stored_parts]
        if not stored_parts:
            return True  # both empty
        old = pa.concat_tables([self._read(p.file) for p in stored_parts])
        new = pa.concat_tables([p.load() if p.part is None else self._read(p.part.file)
                                for p in pieces])
        return old.equals(new.replace_schema_metadata(old.schema.metadata), check_metadata=True)

    def _remove_unlisted(self, parts) -> None:
        """Parts that the record does not list: kept for the generations that list them
        (moved under ``_history/``), deleted otherwise (written by an update that died, or
        replaced within the run that wrote them)."""
        live = {p.file for p in parts}
        referenced = self._history.referenced_parts()
        moved = False
        for entry in list(os.scandir(self._cat.path)):
            if PART_NAME.match(entry.name) and entry.name not in live:
                if entry.name in referenced:
                    target = history.kept_part_path(self._cat.path, entry.name)
                    files.make_dir(os.path.dirname(target))
                    os.replace(entry.path, target)
                    moved = True
                else:
                    os.unlink(entry.path)
        if moved:
            files.fsync_dir(os.path.dirname(target))
            files.fsync_dir(self._cat.path)


def _group(pieces) -> list:
    """Neighbouring pieces that fit in one part together are joined, smallest pair first,
    so that the parts stay fewer than twice the table's rows over PART_ROWS."""
    groups = [[piece] for piece in pieces]
    while True:
        sizes = [sum(p.rows for p in group) for group in groups]
        pairs = [(sizes[i] + sizes[i + 1], i) for i in range(len(groups) - 1)
                 if sizes[i] + sizes[i + 1] <= PART_ROWS]
        if not pairs:
            return groups
        i = min(pairs)[1]
        groups[i:i + 2] = [groups[i] + groups[i + 1]]


def read_parts(cat: CategoryFolder, parts, columns=None) -> pd.DataFrame:
    """The table of ``parts`` (only ``columns`` and the index, when given); a part that the
    current record no longer lists is read where history keeps it."""
    tables = parallel(lambda p: pq.ParquetFile(history.part_path(cat.path, p.file)).read(
        columns=columns, use_pandas_metadata=True), parts)
    if len(tables) == 1:
        return tables[0].to_pandas()
    schema = tables[-1].schema
    return pa.concat_tables([t.replace_schema_metadata(schema.metadata) for t in tables]).to_pandas()
