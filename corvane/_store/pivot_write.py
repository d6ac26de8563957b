"""Pivot updates: the rows of a frame replace the stored rows of the same dates, or, for
a service partition's rows, every stored row of that partition's dates.

The category's PivotRecord (record.py) says how it is stored.

Writers hold the category's exclusive lock. The order of writes keeps a crash harmless:
column lists before the files naming them, data files before the record that lists the
category, and a record marked pending before a rewrite of existing files.
"""

from __future__ import annotations

import base64
import dataclasses
import os

import numpy as np
import pandas as pd

from ..exceptions import LocalStorageError
from . import codec, dates, history
from .category import CategoryFolder, ColumnList, ColumnSets
from .pool import parallel
from .record import PivotRecord

def _partition_key(path: str) -> str:
    return dates.parse_folder(os.path.basename(os.path.dirname(path)))[1]


def _same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return (a.dtype == b.dtype and a.shape == b.shape
            and np.array_equal(np.ascontiguousarray(a).view(np.uint8),
                               np.ascontiguousarray(b).view(np.uint8)))


def _same_block(stored: codec.StoredFile, sets, columns, values, index_vals, wall,
                target) -> bool:
    """Whether a block file already holds these rows as a read sees them: the same dates
    and, instrument by instrument, the same cells (compared as bits), an instrument that
    only one side has being all NaN."""
    footer = stored.footer
    if (footer["index"] != target.index or footer["column_axis"] != target.column_axis
            or not np.array_equal(stored.wall, wall)):
        return False
    held_dates = _footer_dates(footer)
    if isinstance(index_vals, np.ndarray) != isinstance(held_dates, np.ndarray):
        return False
    if not np.array_equal(np.asarray(held_dates), np.asarray(index_vals)):
        return False
    held = stored.block_values()
    if held.dtype != values.dtype:
        return False
    if footer["columns"] == columns:
        return _same_bits(held, values)
    old_names, new_names = sets(footer["columns"]), sets(columns)
    old_at = {name: i for i, name in enumerate(old_names)}
    new_at = {name: i for i, name in enumerate(new_names)}
    for name in set(old_names) | set(new_names):
        if name in old_at and name in new_at:
            if not _same_bits(held[old_at[name]], values[new_at[name]]):
                return False
        else:
            row = held[old_at[name]] if name in old_at else values[new_at[name]]
            if row.dtype.kind != "f" or not np.isnan(row).all():
                return False
    return True


def _same_frame(held: pd.DataFrame, part: pd.DataFrame) -> bool:
    return (held.equals(part) and held.index.equals(part.index)
            and held.index.names == part.index.names and held.columns.equals(part.columns)
            and held.columns.names == part.columns.names
            and list(held.dtypes) == list(part.dtypes) and held.index.dtype == part.index.dtype)


def _footer_dates(footer, keep=None):
    """The index values that a block file's footer keeps (epoch integers or texts),
    limited to the rows of the mask ``keep``."""
    values = footer["dates"]
    if footer["index"]["kind"] == "datetime":
        values = np.asarray(values, dtype=np.int64)
        return values if keep is None else values[keep]
    return values if keep is None else [v for v, k in zip(values, keep) if k]


def _promote(stored, incoming, complete: bool):
    if stored is None or incoming is None:
        dtype = stored if incoming is None else incoming
    else:
        dtype = np.result_type(stored, incoming).name
    if dtype is not None and not complete and np.dtype(dtype).kind in "iu":
        dtype = "float64"
    return dtype


def _fit_index(df: pd.DataFrame, frame_plan, stored):
    """``df`` with its index in the stored index dtype, or None when it cannot be."""
    if frame_plan["index"]["kind"] != stored["kind"]:
        return None
    if stored["kind"] == "datetime" and frame_plan["index"]["dtype"] != stored["dtype"]:
        unit, tz = codec.datetime_parts(stored)
        index = df.index
        if (index.tz is None) != (tz is None):
            return None
        if tz is not None:
            index = index.tz_convert(tz)
        converted = index.as_unit(unit)
        if not (converted == index).all():
            return None
        df = df.set_axis(converted, axis=0)
    return df, dict(frame_plan, index=stored)


class PivotUpdate:
    """One update of one category. Built (and the frame checked) before the lock is taken;
    ``run`` works under the category's exclusive lock.

    ``span`` (lo, hi), given for the rows of one service partition: the stored rows dated
    in [lo, hi) that the frame does not have are deleted (None for an open side).
    ``known_columns``: the column list of an earlier update's frame (category.ColumnSets);
    after ``run``, ``frame_columns`` is this frame's, when it is stored as block files."""

    def __init__(self, cat: CategoryFolder, log, df: pd.DataFrame, strf: str, span=None,
                 known_columns: ColumnList | None = None):
        self._cat = cat
        self._span = span
        self._log = log
        self._sets = ColumnSets(cat, known_columns)
        self.frame_columns = None
        self._df = df
        self._strf = strf
        known_names = None if known_columns is None else known_columns.names
        self._frame_plan = codec.block_spec(df, known_names)
        self._wall = dates.wall_clock_ns(df.index, strf)

    def run(self, mode: str, run: history.Run) -> None:
        """Store the rows; every file replaced or deleted is told to ``run`` first, so that
        the generations that saw it keep it."""
        df, frame_plan, wall = self._df, self._frame_plan, self._wall
        record = self._cat.read_record()
        self._history = run
        run.begin(self._cat, record)
        if record is None:
            self._cat.remove_uncommitted()
        elif record.kind != "pivot":
            raise LocalStorageError(user_message="数据类别已按 unstack 类别存储: " + self._cat.name)
        elif record.pending:
            self._rewrite_all(record)
        if record is not None and len(df) == 0:
            if self._span is not None:
                self._clear_span(record, written=())
            return  # no row to store
        target, df, frame_columns = self._plan(record, frame_plan, df, mode)
        if df is not self._df:  # the index moved to the stored zone: its wall clock too
            wall = dates.wall_clock_ns(df.index, self._strf)
        if record is not None and self._needs_rewrite(record, target):
            self._log.info("本地存储: %s 改为 %s 布局 (%s)，重写已存文件", self._cat.name,
                           target.layout, target.dtype)
            self._cat.write_record(dataclasses.replace(target, pending=True))
            self._rewrite_all(target)
        written = self._write_rows(target, df, wall, frame_columns) if len(df) else ()
        if record is not None and self._span is not None:
            self._clear_span(target, written)
        if record is None or record.pending or record != target:
            self._cat.write_record(target)

    # -- planning ----------------------------------------------------------------------
    def _plan(self, record, frame_plan, df, mode):
        """(target record, df fitted to it, id of df's column list for block files)."""
        grouping = mode if record is None else record.grouping
        if grouping != mode:
            self._log.debug("本地存储: %s 保持 %s 分组", self._cat.name, grouping)
        if frame_plan is not None and (record is None or record.is_block):
            fitted = (df, frame_plan) if record is None else _fit_index(df, frame_plan, record.index)
            if fitted is not None:
                df, frame_plan = fitted
                self.frame_columns = self._sets.save(df.columns.tolist())
                frame_columns = self.frame_columns.ident
                return self._block_record(grouping, frame_plan, frame_columns, record), df, frame_columns
        if record is not None and not record.is_block:
            return record.settled(), df, None
        # A new category, or a block category that gets a frame only pandas can store.
        schema = codec.frame_schema(df).serialize().to_pybytes()
        return (PivotRecord(layout="frame", grouping=grouping,
                            schema=base64.b64encode(schema).decode()), df, None)

    def _block_record(self, grouping, frame_plan, frame_columns, record):
        if record is None:
            return PivotRecord(layout="block", grouping=grouping, columns=frame_columns,
                               complete=True, dtype=frame_plan["dtype"],
                               index=frame_plan["index"], column_axis=frame_plan["column_axis"])
        columns, same_set = record.columns, frame_columns == record.columns
        if not same_set:
            union, names = self._sets(columns), self._sets(frame_columns)
            have = set(union)
            extra = [c for c in names if c not in have]
            same_set = not extra and len(names) == len(union)
            if extra:
                columns = self._sets.save(union + extra).ident
        complete = record.complete and (same_set or not self._cat.partitions())
        return record.settled(columns=columns, complete=complete,
                              dtype=_promote(record.dtype, frame_plan["dtype"], complete))

    @staticmethod
    def _needs_rewrite(record, target) -> bool:
        if record.layout != target.layout:
            return True
        return target.is_block and record.dtype is not None and record.dtype != target.dtype

    # -- history ---------------------------------------------------------------------
    def _replacing(self, grouping, stored: codec.StoredFile) -> str:
        """The version of the file that replaces ``stored``'s, once its own is kept."""
        version = history.new_version()
        self._history.replacing(self._cat, grouping, _partition_key(stored.path), stored.path,
                                stored.footer, version)
        return version

    def _removing(self, grouping, stored: codec.StoredFile) -> None:
        self._history.replacing(self._cat, grouping, _partition_key(stored.path), stored.path,
                                stored.footer, None)
        self._cat.remove_partition_file(stored.path)

    def _adding(self, path) -> str:
        version = history.new_version()
        self._history.adding(self._cat, _partition_key(path), version)
        return version

    # -- rewriting every file ----------------------------------------------------------
    def _rewrite_all(self, target) -> None:
        for path, _, _ in self._cat.partitions():
            stored = codec.StoredFile(path)
            if not target.is_block:
                if stored.is_block:
                    codec.write_frame(path, stored.to_frame(self._sets), stored.wall,
                                      self._replacing(target.grouping, stored),
                                      opener=self._cat.data_file)
                continue
            if not stored.is_block:
                raise LocalStorageError(user_message="本地数据文件与类别记录不符: " + path)
            dtype = np.dtype(target.dtype)
            if stored.value_dtype() != dtype:
                self._rewrite_block(target, stored, stored.block_values().astype(dtype))
        self._log.debug("本地存储: %s 已重写全部文件", self._cat.name)

    def _rewrite_block(self, target, stored: codec.StoredFile, values, keep=None) -> None:
        """Write a block file again with ``values`` (its rows of the mask ``keep``)."""
        version = self._replacing(target.grouping, stored)
        footer = stored.footer
        wall = stored.wall if keep is None else stored.wall[keep]
        codec.write_block(stored.path, columns_id=footer["columns"],
                          names=self._sets.array(footer["columns"]),
                          values=np.ascontiguousarray(values), index_vals=_footer_dates(footer, keep),
                          wall=wall, index_plan=footer["index"],
                          column_axis=footer["column_axis"], version=version,
                          opener=self._cat.data_file)

    # -- replacing a partition's dates -------------------------------------------------
    def _kept(self, stored_wall, wall) -> np.ndarray:
        """Which stored rows stay beside the new rows ``wall`` of their file."""
        keep = ~np.isin(stored_wall, wall)
        if self._span is not None:
            keep &= ~dates.within(stored_wall, *self._span)
        return keep

    def _clear_span(self, target, written) -> None:
        """Delete the stored rows of the span from the files that got no new rows: a file
        left without rows goes, any other is written again with the rest."""
        lo, hi = self._span
        # A partition's span asks after its own periods, one stat each, rather than listing
        # and parsing every folder of the category, once per partition of a synchronisation.
        held = (self._cat.partitions() if lo is None
                else self._cat.period_files(target.grouping, lo, hi, written))
        for path, _, _ in held:
            if path in written:
                continue
            stored = codec.StoredFile(path)
            keep = ~dates.within(stored.wall, *self._span)
            if keep.all():
                continue
            if not keep.any():
                self._removing(target.grouping, stored)
            elif target.is_block:
                self._rewrite_block(target, stored, stored.block_values()[:, keep], keep)
            else:
                codec.write_frame(path, stored.to_frame(self._sets).iloc[keep], stored.wall[keep],
                                  self._replacing(target.grouping, stored),
                                  opener=self._cat.data_file)
        self._log.debug("本地存储: %s 已替换分区日期范围", self._cat.name)

    # -- writing rows ------------------------------------------------------------------
    def _write_rows(self, target, df, wall, frame_columns) -> set:
        """Store the rows of ``df``; returns the paths of the files written."""
        grouping = target.grouping
        order = np.argsort(wall, kind="stable")
        in_order = bool((order == np.arange(len(order))).all())
        wall = wall[order]
        keys = dates.partition_keys(wall, grouping)
        cuts = [0, *(np.flatnonzero(keys[1:] != keys[:-1]) + 1).tolist(), len(keys)]
        values = None
        if target.is_block:
            values = df.to_numpy().T
            if values.dtype != np.dtype(target.dtype or values.dtype):
                values = values.astype(target.dtype)
        def write_partition(bounds):
            a, b = bounds
            rows = slice(a, b) if in_order else order[a:b]
            path = self._cat.partition_file(grouping, str(keys[a]))
            self._cat.settle_file(path)  # held by the group from an earlier update: merged here
            if values is None:
                self._write_frame_rows(grouping, path, df.iloc[rows], wall[a:b])
            else:
                self._write_block_rows(target, path, df.index[rows], wall[a:b],
                                       np.ascontiguousarray(values[:, rows]), frame_columns)
            return path

        # Each partition is its own file, replaced atomically on its own; encoding, writing
        # and fsync release the GIL, so a frame spanning many months is written on threads.
        written = parallel(write_partition, zip(cuts[:-1], cuts[1:]))
        self._log.debug("本地存储: %s 写入 %d 行, %d 个文件", self._cat.name, len(df), len(cuts) - 1)
        return set(written)

    def _write_frame_rows(self, grouping, path, part: pd.DataFrame, wall) -> None:
        if not os.path.exists(path):
            codec.write_frame(path, part, wall, self._adding(path), opener=self._cat.data_file)
            return
        stored = codec.StoredFile(path)
        held = stored.to_frame(self._sets)
        keep = self._kept(stored.wall, wall)
        if keep.any():
            part = pd.concat([held.iloc[keep], part])
            wall = np.concatenate([stored.wall[keep], wall])
            order = np.argsort(wall, kind="stable")
            part, wall = part.iloc[order], wall[order]
        if _same_frame(held, part) and np.array_equal(stored.wall, wall):
            return  # the same rows: no new file, no new generation
        codec.write_frame(path, part, wall, self._replacing(grouping, stored),
                          opener=self._cat.data_file)

    def _write_block_rows(self, target, path, index, wall, values, columns) -> None:
        index_vals = codec.index_values(index, target.index)
        stored = None
        if os.path.exists(path):
            stored = codec.StoredFile(path)
            if not stored.is_block:
                raise LocalStorageError(user_message="本地数据文件与类别记录不符: " + path)
            keep = self._kept(stored.wall, wall)
            if keep.any():
                columns, values = self._merge_blocks(
                    target, stored.footer["columns"], stored.block_values()[:, keep],
                    columns, values)
                wall = np.concatenate([stored.wall[keep], wall])
                old_vals = _footer_dates(stored.footer, keep)
                if target.index["kind"] == "datetime":
                    index_vals = np.concatenate([old_vals, index_vals])
                else:
                    index_vals = old_vals + index_vals
                order = np.argsort(wall, kind="stable")
                if not (order == np.arange(len(order))).all():
                    wall, values = wall[order], np.ascontiguousarray(values[:, order])
                    index_vals = (index_vals[order] if isinstance(index_vals, np.ndarray)
                                  else [index_vals[i] for i in order])
        if stored is None:
            version = self._adding(path)
        elif _same_block(stored, self._sets, columns, values, index_vals, wall, target):
            return  # the same rows: no new file, no new generation
        else:
            version = self._replacing(target.grouping, stored)
        codec.write_block(path, columns_id=columns, names=self._sets.array(columns),
                          values=values, index_vals=index_vals, wall=wall,
                          index_plan=target.index, column_axis=target.column_axis,
                          version=version, opener=self._cat.data_file)

    def _merge_blocks(self, target, old_id, old_vals, new_id, new_vals):
        """(column list id, values) of the stored rows kept beside the new rows."""
        dtype = new_vals.dtype
        if old_id == new_id:
            return new_id, np.concatenate([old_vals.astype(dtype, copy=False), new_vals], axis=1)
        old_names, new_names = self._sets(old_id), self._sets(new_id)
        rank = {name: i for i, name in enumerate(self._sets(target.columns))}
        known = set(old_names)
        merged = old_names + [c for c in new_names if c not in known]
        merged.sort(key=lambda name: rank.get(name, len(rank)))
        position = {name: i for i, name in enumerate(merged)}
        n_old = old_vals.shape[1]
        out = np.empty((len(merged), n_old + new_vals.shape[1]), dtype=dtype)
        if len(old_names) < len(merged) or len(new_names) < len(merged):
            out.fill(np.nan)
        out[[position[c] for c in old_names], :n_old] = old_vals
        out[[position[c] for c in new_names], n_old:] = new_vals
        return self._sets.save(merged).ident, out
