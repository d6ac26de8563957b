"""Unstack categories: the newest row of each key wins, as pandas would decide."""

from __future__ import annotations

import logging

import numpy as np
import pandas as pd
import pyarrow.dataset as ds
import pytest

from corvane._store import unstack
from corvane.exceptions import LocalStorageError
from corvane.ParquetManager import ParquetDataManager

CAT = "cn_trade_unstack#fills"


@pytest.fixture
def store(tmp_path):
    return ParquetDataManager(str(tmp_path), logger=logging.getLogger("test.store"))


def rows(seed: int, n: int = 400) -> pd.DataFrame:
    """Long rows with duplicate keys inside the frame and NaN in key columns."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({
        "date": pd.to_datetime("2024-01-01") + pd.to_timedelta(rng.integers(0, 5, n), "D"),
        "code": rng.choice(["000001", "000002", "600000", None], n),
        "px": rng.integers(0, 4, n).astype(float),
        "qty": rng.integers(0, 3, n),
    })
    frame.loc[rng.random(n) < 0.1, "px"] = np.nan
    return frame


def expected(frames, keys) -> pd.DataFrame:
    subset = None if keys in (None, "", []) else ([keys] if isinstance(keys, str) else list(keys))
    merged = frames[0].drop_duplicates(subset=subset, keep="last", ignore_index=True)
    for frame in frames[1:]:
        merged = pd.concat([merged, frame], ignore_index=True)
        merged = merged.drop_duplicates(subset=subset, keep="last", ignore_index=True)
    return merged


def put(store, df, keys):
    store.update_unstack_category(category=CAT, sub_df=df, duplicate_keys=keys)


@pytest.mark.parametrize("keys", [["date", "code"], ("code", "date"), "code", None, [], "",
                                  ["px"]])
def test_updates_keep_the_last_row_of_each_key(store, keys):
    frames = [rows(1), rows(2), rows(3)]
    for frame in frames:
        put(store, frame, keys)
    pd.testing.assert_frame_equal(store.read_unstack_category(CAT), expected(frames, keys))


def test_keys_that_change_between_updates(store):
    frames = [rows(1), rows(2)]
    put(store, frames[0], ["date", "code"])
    put(store, frames[1], "code")
    pd.testing.assert_frame_equal(store.read_unstack_category(CAT),
                                  expected([expected(frames[:1], ["date", "code"]), frames[1]],
                                           "code"))


def test_signed_zero_and_nan_keys_match_as_in_pandas(store):
    frames = [pd.DataFrame({"k": [0.0, np.nan, 1.0], "v": [1, 2, 3]}),
              pd.DataFrame({"k": [-0.0, np.nan], "v": [4, 5]})]
    for frame in frames:
        put(store, frame, "k")
    pd.testing.assert_frame_equal(store.read_unstack_category(CAT), expected(frames, "k"))


def test_changed_columns_and_dtypes_are_combined_by_pandas(store):
    first = pd.DataFrame({"k": [1, 2, 3], "v": [1, 2, 3]})
    second = pd.DataFrame({"k": [3, 4], "v": [0.5, 0.25], "weight": [1.5, 2.5]})
    put(store, first, "k")
    put(store, second, "k")
    pd.testing.assert_frame_equal(store.read_unstack_category(CAT), expected([first, second], "k"))


def test_a_meaningful_index_is_kept(store):
    first = pd.DataFrame({"k": [1, 2]}, index=pd.Index(["a", "b"], name="id"))
    second = pd.DataFrame({"k": [2, 3]}, index=pd.Index(["c", "d"], name="id"))
    put(store, first, "k")
    put(store, second, "k")
    pd.testing.assert_frame_equal(store.read_unstack_category(CAT),
                                  pd.concat([first, second]).drop_duplicates("k", keep="last"))


def test_empty_frames(store):
    empty = pd.DataFrame({"k": pd.Series([], dtype="int64"), "v": pd.Series([], dtype="str")})
    put(store, empty, "k")
    assert store._get_all_categories() == [CAT]
    pd.testing.assert_frame_equal(store.read_unstack_category(CAT), empty)
    frame = pd.DataFrame({"k": [1], "v": ["x"]})
    put(store, frame, "k")
    put(store, empty, "k")
    pd.testing.assert_frame_equal(store.read_unstack_category(CAT), frame)


def test_parts_stay_few_and_in_order(store, tmp_path):
    big = pd.DataFrame({"k": np.arange(unstack.PART_ROWS * 5 // 2), "v": 0})
    frames = [big,
              pd.DataFrame({"k": [5, unstack.PART_ROWS + 7, -1], "v": 1}),  # replaces two
              *[pd.DataFrame({"k": [-i, -i - 1], "v": 2}) for i in range(2, 40)]]
    for frame in frames:
        put(store, frame, "k")
    got = store.read_unstack_category(CAT)
    pd.testing.assert_frame_equal(got, expected(frames, "k"))
    parts = [p.name for p in (tmp_path / CAT).iterdir() if p.name.startswith("part-")]
    assert 3 <= len(parts) <= 2 * len(got) // unstack.PART_ROWS + 1
    table = ds.dataset(str(tmp_path / CAT), format="parquet").to_table()
    assert sorted(table.column("k").to_pylist()) == sorted(got["k"])


def test_keys_that_are_not_columns_are_refused(store):
    with pytest.raises(LocalStorageError, match="nope"):
        put(store, rows(1), ["date", "nope"])
    with pytest.raises(TypeError):
        put(store, rows(1), 5)
