"""Frames and a reference model shared by the store tests."""

from __future__ import annotations

import numpy as np
import pandas as pd


def wide(start: str, days: int, columns, seed: int = 0, dtype="float64", name="date",
         text: bool = False) -> pd.DataFrame:
    """A pivot frame: ``days`` consecutive days from ``start``, one column per instrument,
    a few NaN cells."""
    rng = np.random.default_rng(seed)
    index = pd.DatetimeIndex(pd.date_range(start, periods=days).values, name=name)
    values = rng.standard_normal((days, len(columns))) * 100
    if np.dtype(dtype).kind == "f":
        values[rng.random(values.shape) < 0.1] = np.nan
    frame = pd.DataFrame(values.astype(dtype), index=index, columns=list(columns))
    if text:
        frame.index = pd.Index(frame.index.strftime("%Y-%m-%d"), dtype=object, name=name)
    return frame


def codes(n: int, prefix: str = "") -> list:
    return [f"{prefix}{i:06d}.SZ" for i in range(n)]


def after_update(model: pd.DataFrame | None, df: pd.DataFrame) -> pd.DataFrame:
    """What a pivot category holds after ``df`` is stored over ``model``: the rows of the
    same dates replaced, the others kept, columns in order of first appearance."""
    if model is None:
        return df.sort_index(kind="stable")
    kept = model[~model.index.isin(df.index)]
    return pd.concat([kept, df]).sort_index(kind="stable")
