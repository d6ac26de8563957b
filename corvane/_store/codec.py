"""Pivot data files: the block encoding and the frame encoding.

Block file (the fast path): a wide frame whose columns share one numeric dtype is stored
long, one row per (instrument, date) cell, grouped by instrument and sorted by date inside
each instrument:

    date        timestamp[unit, tz]   (dictionary-encoded string for text dates)
    instrument  dictionary<int32, string>
    value       the frame's dtype (float64, float32, int64, ...); a missing cell is NaN

The column names, the index and the dates also sit in the footer (key "corvane"), so the
store rebuilds a frame from the value column alone: the values of one file are a
(instruments x dates) block that lands in the result with one copy.

Frame file (any other frame pandas can write): the frame as pyarrow writes it from pandas,
index included, plus the "corvane" footer entry with the row dates.
"""

from __future__ import annotations

import importlib
import json
import os
import sys

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

from ..exceptions import LocalStorageError
from . import dates, files

FOOTER_KEY = b"corvane"
_VALUE_KINDS = "iuf"
# Small data pages and an offset index: the values of a few instruments lie in a few pages,
# which a read of those instruments finds and decodes alone (block_rows.cpp).
_BLOCK_OPTIONS = dict(compression="snappy", use_dictionary=["date", "instrument"],
                      write_statistics=["date"], data_page_size=8192, write_page_index=True)


_EXTENSION = "corvane.CorvaneClient"


def _native():
    """The extension module's block reader, looked up when used: the module imports the
    store, so it is loaded before any store call runs."""
    return sys.modules.get(_EXTENSION) or importlib.import_module(_EXTENSION)


# -- describing frames -----------------------------------------------------------------
def _round_trip_text(dtype):
    texts = [str(dtype)]
    if isinstance(dtype, pd.StringDtype):
        texts.append(f"string[{dtype.storage}]")
    for text in texts:
        try:
            back = pd.api.types.pandas_dtype(text)
        except (TypeError, ValueError):
            continue
        if back == dtype and type(back) is type(dtype) and repr(back) == repr(dtype):
            return text
    return None


# The texts of the axis dtypes nearly every frame has, worked out once: asking pandas to
# parse them back costs more than the rest of the checks of a one-row frame.
_COMMON_TEXTS = {dtype: _round_trip_text(dtype) for dtype in map(np.dtype, (
    "object", "datetime64[ns]", "datetime64[us]", "datetime64[ms]", "datetime64[s]"))}


def dtype_text(dtype):
    """A text that pandas turns back into ``dtype``, or None."""
    if isinstance(dtype, np.dtype) and dtype.metadata is None and dtype in _COMMON_TEXTS:
        return _COMMON_TEXTS[dtype]
    return _round_trip_text(dtype)


def _axis_spec(axis: pd.Index):
    text = dtype_text(axis.dtype)
    if text is None or not (axis.name is None or isinstance(axis.name, str)):
        return None
    return {"dtype": text, "name": axis.name}


def _unique(names: list, known: list | None) -> bool:
    # Texts: as Index.is_unique, cheaper; a list equal to one known unique, cheaper still.
    return names == known or len(set(names)) == len(names)


def block_spec(df: pd.DataFrame, known_names: list | None = None):
    """How ``df`` is stored as block files, or None when only the frame encoding fits.
    ``known_names``: column names known to be unique (an earlier frame's)."""
    cols = df.columns
    if (isinstance(cols, pd.MultiIndex) or isinstance(df.index, pd.MultiIndex)
            or not (cols.dtype == object or isinstance(cols.dtype, pd.StringDtype))
            or cols.inferred_type not in ("string", "empty")
            or not _unique(cols.tolist(), known_names)):
        return None
    if isinstance(df.index, pd.DatetimeIndex):
        kind = "datetime"
    elif dates.is_text_index(df.index):
        kind = "text"
    else:
        return None
    index, axis = _axis_spec(df.index), _axis_spec(cols)
    if index is None or axis is None:
        return None
    value = None
    kinds = set(df.dtypes.tolist())  # a list hashes faster than the Series iterates
    if len(kinds) > 1:
        return None
    if kinds:
        dtype = kinds.pop()
        if not isinstance(dtype, np.dtype) or dtype.kind not in _VALUE_KINDS or dtype.itemsize < 4:
            return None
        value = dtype.name
    index["kind"] = kind
    return {"index": index, "column_axis": axis, "dtype": value}


def datetime_parts(index_plan):
    """(numpy unit, tz or None) of a datetime index plan."""
    text = index_plan["dtype"]
    if "," not in text:  # no zone: numpy reads the text far faster than pandas' registry
        return np.datetime_data(np.dtype(text))[0], None
    dtype = pd.api.types.pandas_dtype(text)
    if isinstance(dtype, pd.DatetimeTZDtype):
        return dtype.unit, str(dtype.tz)
    return np.datetime_data(dtype)[0], None


def make_index(values, index_plan) -> pd.Index:
    """The index from footer dates (epoch integers in the index unit, or texts)."""
    if index_plan["kind"] == "datetime":
        unit, tz = datetime_parts(index_plan)
        ints = np.asarray(values, dtype=np.int64)
        index = pd.DatetimeIndex(ints.view(f"datetime64[{unit}]"), name=index_plan["name"])
        if tz is not None:
            index = index.tz_localize("UTC").tz_convert(tz)
        return index
    return pd.Index(list(values), dtype=index_plan["dtype"], name=index_plan["name"])


def index_values(index: pd.Index, index_plan):
    """What the footer keeps of ``index``: epoch integers or texts."""
    if index_plan["kind"] == "datetime":
        return np.asarray(index.asi8, dtype=np.int64)
    return [str(v) for v in index]


def make_columns(names, axis_spec) -> pd.Index:
    return pd.Index(names, dtype=axis_spec["dtype"], name=axis_spec["name"])


# -- writing -----------------------------------------------------------------------------
def replace_data(path: str):
    """A data file written and made durable on its own (files.replacing), its folder made
    when missing."""
    created = files.make_dir(os.path.dirname(path), sync=False)
    return files.replacing(path, new_folder=created)


def _write_table(table: pa.Table, path: str, opener, footer: bytes | None = None,
                 **options) -> None:
    """``footer``: the "corvane" entry of the file's key-value metadata, written beside the
    Arrow schema rather than inside it, so that the Arrow schema of every block file of a
    category is the same bytes (a reader checks it once)."""
    # Encoded in memory and handed over in one write: pyarrow writing to a Python file
    # object pays a call through the interpreter for each of its many small writes.
    sink = pa.BufferOutputStream()
    if footer is None:
        pq.write_table(table, sink, **options)
    else:
        with pq.ParquetWriter(sink, table.schema, **options) as writer:
            writer.write_table(table)
            writer.add_key_value_metadata({FOOTER_KEY: footer})
    with opener(path) as f:
        f.write(sink.getvalue())


def write_block(path, *, columns_id, names: pa.Array, values: np.ndarray, index_vals,
                wall: np.ndarray, index_plan, column_axis, version: str,
                opener=replace_data) -> None:
    """Write a block file: ``values`` is (instruments x dates), C-contiguous. ``opener(path)``
    gives the file to write (a context manager), for this and ``write_frame``."""
    ncols, n = values.shape
    if index_plan["kind"] == "datetime":
        unit, tz = datetime_parts(index_plan)
        date_col = pa.array(np.tile(index_vals, ncols), type=pa.timestamp(unit, tz))
        dates_json = index_vals.tolist()
    else:
        date_col = pa.DictionaryArray.from_arrays(
            pa.array(np.tile(np.arange(n, dtype=np.int32), ncols)),
            pa.array(index_vals, type=pa.string()))
        dates_json = list(index_vals)
    instrument = pa.DictionaryArray.from_arrays(
        pa.array(np.repeat(np.arange(ncols, dtype=np.int32), n)), names)
    footer = {"layout": "block", "columns": columns_id, "ncols": ncols,
              "index": index_plan, "column_axis": column_axis,
              "dates": dates_json, "wall": wall.tolist(), "version": version}
    table = pa.table({"date": date_col, "instrument": instrument,
                      "value": pa.array(values.reshape(-1))})
    _write_table(table, path, opener, json.dumps(footer).encode(), **_BLOCK_OPTIONS)


def write_frame(path, frame: pd.DataFrame, wall: np.ndarray, version: str,
                opener=replace_data) -> None:
    table = pa.Table.from_pandas(frame, preserve_index=True)
    meta = dict(table.schema.metadata or {})
    meta[FOOTER_KEY] = json.dumps({"layout": "frame", "wall": wall.tolist(),
                                   "version": version}).encode()
    _write_table(table.replace_schema_metadata(meta), path, opener, compression="snappy")


def frame_schema(frame: pd.DataFrame) -> pa.Schema:
    return pa.Table.from_pandas(frame.iloc[:0], preserve_index=True).schema


# -- reading -----------------------------------------------------------------------------
class StoredFile:
    """A data file's footer, read once; the values are read on demand.

    The footer of a block file is read by the extension module; the Parquet library's
    metadata only when needed (and for any file that the module does not recognise)."""

    def __init__(self, path: str, native=False):
        """``native``: what the extension module read of its footer, when it was asked
        already (stored_files)."""
        self.path = path
        if native is False:
            [native] = _native()._block_footers([path])
        if native is None:
            self._metadata = pq.read_metadata(path)
            raw = (self._metadata.metadata or {}).get(FOOTER_KEY)
            self._schema_key = None
        else:
            self._metadata = None
            raw, *schemas = native
            self._schema_key = tuple(schemas)
        if raw is None:
            raise LocalStorageError(user_message="本地数据文件无法识别: " + path)
        self.footer = json.loads(raw)
        self.wall = np.asarray(self.footer["wall"], dtype=np.int64)

    @property
    def metadata(self) -> pq.FileMetaData:
        if self._metadata is None:
            self._metadata = pq.read_metadata(self.path)
        return self._metadata

    @property
    def is_block(self) -> bool:
        return self.footer.get("layout") == "block"

    def value_dtype(self, known=None) -> np.dtype:
        """``known``: the dtypes of the schemas met before (a category.Kept; the same
        Parquet and Arrow schema bytes read the same way), given this file's when it is
        new."""
        if known is None or self._schema_key is None:
            return self._value_dtype()
        dtype = known.get(self._schema_key)
        if dtype is None:
            dtype = self._value_dtype()
            known.put(self._schema_key, dtype)
        return dtype

    def _value_dtype(self) -> np.dtype:
        return np.dtype(self.metadata.schema.to_arrow_schema().field("value").type.to_pandas_dtype())

    def rows_job(self, rows: list, places: list, i0: int, i1: int, start: int):
        """The extension module's job (read_rows) that copies the dates [i0, i1) of the
        instruments ``rows`` to the rows ``places`` of an output, from its column
        ``start`` on; None when the module does not read this file."""
        if self._schema_key is None or not self.is_block:
            return None
        return (self.path, rows, places, self.footer["ncols"], len(self.wall), i0, i1, start)

    def block_values(self, rows=None) -> np.ndarray:
        """The (instruments x dates) block of a block file, or its ``rows`` (instrument
        positions) only."""
        ncols, n = self.footer["ncols"], len(self.wall)
        column = pq.ParquetFile(self.path, metadata=self.metadata).read(
            columns=["value"], use_threads=False).column(0)
        values = column.to_numpy()
        if values.size != ncols * n:
            raise LocalStorageError(user_message="本地数据文件已损坏: " + self.path)
        values = values.reshape(ncols, n)
        return values if rows is None else values[rows]

    def block_index(self) -> pd.Index:
        return make_index(self.footer["dates"], self.footer["index"])

    def to_frame(self, load_columns) -> pd.DataFrame:
        """The file as the frame it stores (either encoding)."""
        if not self.is_block:
            return pq.ParquetFile(self.path, metadata=self.metadata).read().to_pandas()
        names = load_columns(self.footer["columns"])
        return pd.DataFrame(self.block_values().T, index=self.block_index(),
                            columns=make_columns(names, self.footer["column_axis"]))


def stored_files(paths: list, kept=None) -> list:
    """The StoredFiles of ``paths``, their footers read together by the extension module.
    ``kept``: StoredFiles read before (a category.Kept), each used again while its file is
    the same one: data files are replaced by renaming, never rewritten in place, so the
    same inode, size and times mean the same bytes."""
    if kept is None:
        return [StoredFile(path, native) for path, native in zip(paths, _native()._block_footers(paths))]
    found, missing = [], []
    for path in paths:
        st = os.stat(path)
        key = (path, st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)
        held = kept.get(key)
        if held is None:
            missing.append(len(found))
        found.append(held if held is not None else key)
    if missing:
        natives = _native()._block_footers([found[i][0] for i in missing])
        for i, native in zip(missing, natives):
            key = found[i]
            found[i] = StoredFile(key[0], native)
            kept.put(key, found[i])
    return found


def read_rows(jobs: list, out: np.ndarray) -> list:
    """Runs the jobs (StoredFile.rows_job) into ``out`` (C-contiguous, of the files' value
    dtype): whether each was read (only the pages of its rows); the others are left to
    pyarrow."""
    return _native()._block_rows(jobs, out) if jobs else []
