"""Pivot reads: the stored rows of a date range as one frame.

Only the files whose partition meets the range are opened; their footers and values are
read on a few threads (pyarrow releases the GIL), and block files are copied straight into
one preallocated (instruments x dates) array that becomes the frame without conversion.
"""

from __future__ import annotations

import base64

import numpy as np
import pandas as pd
import pyarrow as pa

from . import codec, dates
from .category import CategoryFolder, ColumnSets, Kept
from .pool import parallel
from .record import PivotRecord


def read_pivot(cat: CategoryFolder, record: PivotRecord, lo, hi, files=None,
               columns=None, sets=None, kept=None, kept_files=None) -> pd.DataFrame:
    """The rows in [lo, hi) of the current files, or of ``files`` (a callable giving the
    StoredFiles of a generation that meet a range; None: the whole generation). With
    ``columns`` (names checked by the caller) only those instruments, in that order.
    ``sets``: the ColumnSets to load the column lists with; ``kept``, ``kept_files``:
    value dtypes of schemas and StoredFiles that earlier reads made (category.Kept)."""
    if files is None:
        def files(lo, hi):
            paths = [path for path, _, _ in cat.partitions(lo, hi)]
            return codec.stored_files(paths, kept_files)
    stored = files(lo, hi)
    spans = [(f, *dates.row_span(f.wall, lo, hi)) for f in stored]
    spans = [span for span in spans if span[2] > span[1]]
    if sets is None:
        sets = ColumnSets(cat)
    if record.is_block and all(f.is_block for f, _, _ in spans):
        if columns is not None:
            return _read_chosen(record, spans, sets, columns, kept)
        return _read_blocks(record, spans, sets)
    frame = _read_frames(record, spans, sets, files)
    if columns is not None:
        frame = frame.reindex(columns=pd.Index(columns, dtype=frame.columns.dtype,
                                               name=frame.columns.name))
    return frame


def _index_of(record, plans) -> pd.Index:
    index_spec = record.index
    if index_spec["kind"] == "datetime":
        pieces = [np.asarray(f.footer["dates"], np.int64)[i0:i1] for f, i0, i1, *_ in plans]
        index_vals = np.concatenate(pieces) if pieces else np.empty(0, np.int64)
    else:
        index_vals = [v for f, i0, i1, *_ in plans for v in f.footer["dates"][i0:i1]]
    return codec.make_index(index_vals, index_spec)


def _read_chosen(record, spans, sets, columns, kept=None) -> pd.DataFrame:
    """Only the instruments ``columns``: each file's values of those rows of its block, a
    name the file lacks all NaN. The extension module copies the rows of the files it
    reads (only their pages) straight into the result; pyarrow reads the others whole."""
    dtype = np.dtype(record.dtype) if record.dtype else None
    plans, fill = [], False
    pairs_of = {}  # column list id -> ([out row], [file row]) of the names it holds
    kept = Kept() if kept is None else kept
    for stored, i0, i1 in spans:
        ident = stored.footer["columns"]
        pairs = pairs_of.get(ident)
        if pairs is None:
            position = sets.positions(ident)
            held = [(out, position[name]) for out, name in enumerate(columns) if name in position]
            pairs = pairs_of[ident] = ([o for o, _ in held], [r for _, r in held])
        fill |= len(pairs[0]) < len(columns)
        file_dtype = stored.value_dtype(kept)
        dtype = file_dtype if dtype is None else np.result_type(dtype, file_dtype)
        plans.append((stored, i0, i1, pairs, file_dtype))
    dtype = np.dtype("float64") if dtype is None or (fill and dtype.kind in "iu") else dtype
    total = sum(i1 - i0 for _, i0, i1, *_ in plans)
    out = np.empty((len(columns), total), dtype=dtype)
    if fill or not plans:
        out.fill(np.nan)
    offsets = np.cumsum([0] + [i1 - i0 for _, i0, i1, *_ in plans]).tolist()

    jobs, pending = [], []  # pending: (plan, start, its job's index or None)
    for plan, start in zip(plans, offsets):
        stored, i0, i1, (places, rows), file_dtype = plan
        if not rows:
            continue
        job = stored.rows_job(rows, places, i0, i1, start) if file_dtype == dtype else None
        pending.append((plan, start, None if job is None else len(jobs)))
        if job is not None:
            jobs.append(job)
    read = codec.read_rows(jobs, out)
    for (stored, i0, i1, (places, rows), _), start, index in pending:
        if index is None or not read[index]:
            out[places, start:start + i1 - i0] = stored.block_values(rows)[:, i0:i1]
    return pd.DataFrame(out.T, index=_index_of(record, plans),
                        columns=codec.make_columns(list(columns), record.column_axis), copy=False)


def _read_blocks(record, spans, sets) -> pd.DataFrame:
    union_id = record.columns
    names = list(sets(union_id))
    position = None
    dtype = np.dtype(record.dtype) if record.dtype else None
    plans = []
    for stored, i0, i1 in spans:
        ident = stored.footer["columns"]
        rows = None
        if ident != union_id:
            if position is None:
                position = {name: i for i, name in enumerate(names)}
            file_names = sets(ident)
            for name in file_names:
                if name not in position:  # written by an update that died before its record
                    position[name] = len(names)
                    names.append(name)
            rows = np.fromiter((position[n] for n in file_names), np.intp, len(file_names))
        file_dtype = stored.value_dtype()
        dtype = file_dtype if dtype is None else np.result_type(dtype, file_dtype)
        plans.append((stored, i0, i1, rows))
    width = len(sets(union_id))
    fill = any((width if rows is None else len(rows)) < len(names) for _, _, _, rows in plans)
    dtype = np.dtype("float64") if dtype is None or (fill and dtype.kind in "iu") else dtype
    total = sum(i1 - i0 for _, i0, i1, _ in plans)
    out = np.empty((len(names), total), dtype=dtype)
    if fill:
        out.fill(np.nan)
    offsets = np.cumsum([0] + [i1 - i0 for _, i0, i1, _ in plans]).tolist()

    def place(job):
        (stored, i0, i1, rows), start = job
        values = stored.block_values()[:, i0:i1]
        stop = start + i1 - i0
        if rows is None:
            out[:width, start:stop] = values
        else:
            out[rows, start:stop] = values

    parallel(place, list(zip(plans, offsets)))
    return pd.DataFrame(out.T, index=_index_of(record, plans),
                        columns=codec.make_columns(names, record.column_axis), copy=False)


def _read_frames(record, spans, sets, files) -> pd.DataFrame:
    frames = parallel(lambda span: span[0].to_frame(sets).iloc[span[1]:span[2]], spans)
    if len(frames) > 1:
        return pd.concat(frames)
    if frames:
        return frames[0]
    every = files(None, None)
    if every:  # an empty range reads as the newest file's columns
        return every[-1].to_frame(sets).iloc[:0]
    schema = pa.ipc.read_schema(pa.py_buffer(base64.b64decode(record.schema)))
    return schema.empty_table().to_pandas()
