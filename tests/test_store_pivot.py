"""Pivot categories: round trips, date ranges, merging updates, dtypes and the layout."""

from __future__ import annotations

import logging
import os
import shutil

import numpy as np
import pandas as pd
import pyarrow.dataset as ds
import pytest
from store_support import after_update, codes, wide

from corvane.exceptions import APIError, CategoryNotFoundError, LocalStorageError
from corvane.ParquetManager import ParquetDataManager

CAT = "cn_stock_pivot#close"


@pytest.fixture
def store(tmp_path):
    return ParquetDataManager(str(tmp_path), logger=logging.getLogger("test.store"))


def put(store, df, mode="monthly", category=CAT):
    store.update_pivot_category(df=df, category=category, strf="%Y-%m-%d", partition_mode=mode)


def read(store, start=None, end=None, category=CAT):
    return store.read_pivot_category(category, start, end)


@pytest.mark.parametrize("mode", ["monthly", "daily"])
@pytest.mark.parametrize("text", [False, True], ids=["DatetimeIndex", "text-index"])
def test_overlapping_updates_replace_rows_of_the_same_dates(store, mode, text):
    # Three updates that overlap each other and cross month ends, out of date order.
    updates = [wide("2024-01-20", 25, codes(30), seed=1, text=text),
               wide("2024-01-01", 10, codes(30), seed=2, text=text),
               wide("2024-02-05", 40, codes(30), seed=3, text=text)]
    model = None
    for df in updates:
        put(store, df, mode)
        model = after_update(model, df)
    pd.testing.assert_frame_equal(read(store), model)
    if text:
        sliced = model[(model.index >= "2024-01-15") & (model.index <= "2024-02-10")]
    else:
        sliced = model.loc["2024-01-15":"2024-02-10"]
    pd.testing.assert_frame_equal(read(store, "2024-01-15", "2024-02-10"), sliced)


def test_date_bounds(store):
    df = wide("2024-01-01", 90, codes(5))
    put(store, df)
    cases = {(None, None): df, ("2024-02-01", None): df.loc["2024-02-01":],
             (None, "2024-01-31"): df.loc[:"2024-01-31"],
             ("2024-02-10", "2024-02-10"): df.loc["2024-02-10":"2024-02-10"],
             ("2025-01-01", None): df.iloc[:0], ("2024-02-10", "2024-02-01"): df.iloc[:0]}
    for (start, end), expected in cases.items():
        pd.testing.assert_frame_equal(read(store, start, end), expected, obj=f"{start}..{end}")


def test_end_bound_covers_its_whole_day(store):
    index = pd.DatetimeIndex(["2024-03-01 09:30", "2024-03-01 15:00", "2024-03-02 09:30"])
    df = pd.DataFrame({"a": [1.0, 2.0, 3.0]}, index=index)
    put(store, df)
    pd.testing.assert_frame_equal(read(store, "2024-03-01", "2024-03-01"), df.iloc[:2])


@pytest.mark.parametrize("bound", ["2024/01/01", "20240101", "2024-13-01", "yesterday"])
def test_malformed_date_text_is_refused(store, bound):
    put(store, wide("2024-01-01", 3, codes(2)))
    with pytest.raises(APIError):
        read(store, bound, None)


def test_index_dtypes_round_trip(store):
    frames = {
        "x_pivot#aware": wide("2024-01-30", 5, codes(3)).tz_localize("Asia/Shanghai"),
        "x_pivot#us": wide("2024-01-30", 5, codes(3)).set_axis(
            pd.DatetimeIndex(pd.date_range("2024-01-30", periods=5, unit="us").values,
                             name="d"), axis=0),
        "x_pivot#string": wide("2024-01-30", 5, codes(3), text=True).set_axis(
            pd.Index([f"2024-02-0{i}" for i in range(1, 6)], dtype="string"), axis=0),
    }
    for category, df in frames.items():
        put(store, df, category=category)
        pd.testing.assert_frame_equal(read(store, category=category), df)


@pytest.mark.parametrize("zone", [None, "Asia/Shanghai"])
def test_a_later_index_in_another_unit_or_zone_is_converted(store, zone):
    first = wide("2024-01-01", 40, ["a", "b"], seed=1)
    second = wide("2024-01-20", 40, ["a", "b"], seed=2)
    if zone:
        first.index, second.index = first.index.tz_localize(zone), second.index.tz_localize(zone)
    put(store, first, mode="daily")
    # The same instants, in microseconds and, for an aware index, seen from another zone.
    moved = second.index.as_unit("us")
    if zone:
        moved = moved.tz_convert("UTC")
    put(store, second.set_axis(moved, axis=0), mode="daily")
    pd.testing.assert_frame_equal(read(store), after_update(first, second))


def test_column_axis_name_and_dtypes_are_kept(store):
    for category, dtype in [("x_pivot#f32", "float32"), ("x_pivot#i64", "int64"),
                            ("x_pivot#u32", "uint32")]:
        df = wide("2024-01-01", 40, codes(4), dtype=dtype)
        df.columns.name = "instrument"
        put(store, df, category=category)
        pd.testing.assert_frame_equal(read(store, category=category), df)


def test_empty_frames(store):
    empty = wide("2024-01-01", 0, codes(3))
    put(store, empty)
    assert store._get_all_categories() == [CAT]
    pd.testing.assert_frame_equal(read(store), empty)
    df = wide("2024-01-01", 5, codes(3))
    put(store, df)
    put(store, empty)  # stores nothing, replaces nothing
    pd.testing.assert_frame_equal(read(store), df)


def test_new_columns_are_appended_and_missing_cells_are_nan(store):
    first = wide("2024-01-01", 40, ["a", "b", "c"], seed=1)
    second = wide("2024-01-25", 30, ["c", "d", "a"], seed=2)
    put(store, first)
    put(store, second)
    expected = after_update(first, second)
    assert list(expected.columns) == ["a", "b", "c", "d"]
    pd.testing.assert_frame_equal(read(store), expected)
    pd.testing.assert_frame_equal(read(store, "2024-02-01", None), expected.loc["2024-02-01":])


def test_column_lists_kept_between_updates_are_stored_in_each_category(store, tmp_path):
    """The store keeps the last frame's column list for the next update: another category
    with the same columns, one whose folder was removed meanwhile, and frames that reorder
    or extend the columns still get their own lists on disk."""
    names = codes(3)
    updates = [("x#a", wide("2024-01-01", 3, names, seed=1)),
               ("x#b", wide("2024-01-02", 3, names, seed=2)),
               ("x#a", wide("2024-02-01", 3, names[::-1], seed=3)),
               ("x#a", wide("2024-02-02", 3, names + ["new"], seed=4)),
               ("x#c", wide("2024-03-01", 3, names + ["new"], seed=5))]
    models = {}
    for category, df in updates:
        put(store, df, category=category)
        models[category] = after_update(models.get(category), df)
    shutil.rmtree(tmp_path / "x#c")
    again = wide("2024-04-01", 3, names + ["new"], seed=6)
    put(store, again, category="x#c")
    models["x#c"] = again
    other = ParquetDataManager(str(tmp_path))  # reads only what is on disk
    for category, model in models.items():
        pd.testing.assert_frame_equal(read(other, category=category), model)


@pytest.mark.parametrize("stored, incoming, result, full_columns", [
    ("float32", "float64", "float64", True),   # wider values: every file is rewritten
    ("float64", "int64", "float64", True),     # ints fit the stored floats
    ("int32", "int64", "int64", True),
    ("int64", "int64", "float64", False),      # a missing cell needs NaN
])
def test_value_dtypes_are_promoted(store, stored, incoming, result, full_columns):
    first = wide("2024-01-01", 40, ["a", "b"], seed=1, dtype=stored)
    second = wide("2024-02-05", 40, ["a", "b"] if full_columns else ["a", "z"], seed=2,
                  dtype=incoming)
    put(store, first)
    put(store, second)
    got = read(store)
    expected = after_update(first.astype(result), second.astype(result))
    assert got.dtypes.unique().tolist() == [np.dtype(result)]
    pd.testing.assert_frame_equal(got, expected)


@pytest.mark.parametrize("make", [
    lambda df: df.assign(b=df["b"].astype(str)),                           # mixed dtypes
    lambda df: df.astype(bool),
    lambda df: df.astype("Float64"),
    lambda df: df.set_axis([1, 2, 3], axis=1),                             # non-text labels
    lambda df: df.assign(c=pd.Categorical(["x", "y"] * 20)),
    lambda df: df.assign(c=pd.Timestamp("2020-01-01 10:00:00.000001", tz="UTC")),
], ids=["mixed", "bool", "nullable", "int-labels", "categorical", "timestamps"])
def test_frames_of_any_dtype_round_trip(store, make):
    df = make(wide("2024-01-10", 40, ["a", "b", "c"]).fillna(1.5))
    put(store, df.iloc[:30])
    put(store, df.iloc[20:])
    pd.testing.assert_frame_equal(read(store), df)
    pd.testing.assert_frame_equal(read(store, "2024-02-01", "2024-02-10"),
                                  df.loc["2024-02-01":"2024-02-10"])
    pd.testing.assert_frame_equal(read(store, "2030-01-01", None), df.iloc[:0])


def test_a_numeric_category_that_receives_another_frame_keeps_every_row(store):
    # The stored block files are rewritten in the general encoding; reads concatenate.
    numeric = wide("2024-01-01", 31, ["a", "b"], seed=1)
    texts = wide("2024-02-05", 10, ["a", "b"], seed=2).astype(str)
    put(store, numeric)
    put(store, texts)
    pd.testing.assert_frame_equal(read(store), pd.concat([numeric, texts]))
    put(store, numeric.iloc[:5] * 2)
    pd.testing.assert_frame_equal(read(store, None, "2024-01-31"),
                                  pd.concat([numeric.iloc[:5] * 2, numeric.iloc[5:]]))


@pytest.mark.parametrize("mode", ["monthly", "daily"])
@pytest.mark.parametrize("layout", [lambda df: df, lambda df: df.astype(str)], ids=["block", "frame"])
@pytest.mark.parametrize("partition, new_days", [
    ("2024", slice(40, 50)),         # keeps ten days of February: other months' files go
    ("2024-02", slice(31, 31)),      # the month emptied
    ("2024-02-10", slice(40, 41)),   # one day, inside a monthly file
    ("full", slice(0, 3)),
])
def test_a_partition_replaces_the_rows_of_its_dates(store, tmp_path, mode, layout, partition,
                                                     new_days):
    stored = layout(wide("2023-12-20", 80, codes(4), seed=1))   # 2023-12-20 .. 2024-03-08
    put(store, stored, mode)
    new = layout(wide("2024-01-01", 60, codes(4), seed=2)).iloc[new_days]
    store.update_pivot_category(df=new, category=CAT, strf="%Y-%m-%d", partition_mode=mode,
                                partition=partition)
    if partition == "full":
        lo, hi = pd.Timestamp.min, pd.Timestamp.max
    else:
        lo, hi = pd.Period(partition).start_time, pd.Period(partition).end_time
    kept = stored[(stored.index < lo) | (stored.index > hi)]
    pd.testing.assert_frame_equal(read(store), pd.concat([kept, new]).sort_index(), check_freq=False)
    # A file left without rows is gone, with its folder.
    folders = {p.name for p in (tmp_path / CAT).iterdir() if "=" in p.name}
    days = read(store).index
    assert folders == {("month=" if mode == "monthly" else "day=") + d
                       for d in days.strftime("%Y-%m" if mode == "monthly" else "%Y-%m-%d")}
    assert store.holds_partition(CAT, partition) == (len(new) > 0 or partition == "full")


@pytest.mark.parametrize("partition", ["2024-13", "24", "2024-1-1", "full ", None])
def test_a_bad_partition_is_refused_before_anything_is_stored(store, partition):
    with pytest.raises((ValueError, TypeError)):
        store.update_pivot_category(df=wide("2024-01-01", 3, codes(2)), category=CAT,
                                    partition=partition or 2024)
    assert store._get_all_categories() == []


def test_a_year_partition_lands_in_monthly_files_readable_by_pyarrow(store, tmp_path):
    df = wide("2023-01-01", 365, codes(50))
    df.columns.name = "code"
    put(store, df)
    folder = tmp_path / CAT
    months = sorted(p.name for p in folder.iterdir() if p.name.startswith("month="))
    assert months == [f"month=2023-{m:02d}" for m in range(1, 13)]
    table = ds.dataset(str(folder), format="parquet", partitioning="hive").to_table()
    assert table.column_names == ["date", "instrument", "value", "month"]
    long = table.to_pandas()
    back = long.pivot(index="date", columns="instrument", values="value")
    back = back.reindex(columns=df.columns).rename_axis(index="date", columns="code")
    pd.testing.assert_frame_equal(back, df, check_freq=False)
    assert (long["month"] == long["date"].dt.strftime("%Y-%m")).all()


def test_mode_of_the_first_update_governs_the_files(store, tmp_path):
    put(store, wide("2024-01-01", 3, codes(2)), mode="daily")
    put(store, wide("2024-01-04", 3, codes(2), seed=5), mode="monthly")
    names = sorted(p.name for p in (tmp_path / CAT).iterdir() if "=" in p.name)
    assert names == [f"day=2024-01-0{d}" for d in range(1, 7)]


@pytest.mark.parametrize("df, error", [
    (pd.DataFrame({"a": [1.0]}), LocalStorageError),                       # RangeIndex
    (pd.DataFrame({"a": [1.0]}, index=["not a date"]), LocalStorageError),
    (pd.DataFrame({"a": [1.0]}, index=pd.DatetimeIndex([pd.NaT])), LocalStorageError),
    ({"a": [1.0]}, TypeError),
])
def test_frames_without_dates_are_refused(store, df, error):
    with pytest.raises(error):
        put(store, df)
    assert store._get_all_categories() == []


def test_bad_partition_mode_is_refused(store):
    with pytest.raises(ValueError, match="weekly"):
        put(store, wide("2024-01-01", 3, codes(2)), mode="weekly")


def test_reading_a_missing_or_other_kind_of_category(store):
    with pytest.raises(CategoryNotFoundError):
        read(store, category="nothing_pivot#here")
    store.update_unstack_category(category="x_unstack#t", sub_df=pd.DataFrame({"a": [1]}),
                                  duplicate_keys=None)
    with pytest.raises(LocalStorageError):
        read(store, category="x_unstack#t")
    with pytest.raises(LocalStorageError):
        put(store, wide("2024-01-01", 3, codes(2)), category="x_unstack#t")


def one_row_days(start, days, seed, columns=codes(20)):
    frame = wide(start, days, columns, seed=seed)
    return [frame.iloc[n:n + 1] for n in range(days)]


# Updates stored one call each, as a synchronisation does: new days, days stored again in
# the same group, daily rows into monthly files, a promotion that rewrites every file.
GROUPED = {
    "new days": [(df, None) for df in one_row_days("2024-01-01", 12, 1)],
    "days again": [(df, None) for df in
                   one_row_days("2024-01-01", 6, 1) + one_row_days("2024-01-03", 6, 2)],
    "partitions given": [(df, str(df.index[0].date())) for df in
                         one_row_days("2024-01-01", 6, 1) + one_row_days("2024-01-02", 3, 3)],
    "promoted": [(wide("2024-01-01", 40, codes(20), seed=1).astype("float32"), None),
                 (wide("2024-01-20", 30, codes(25), seed=2), None)],
}


@pytest.mark.parametrize("mode", ["monthly", "daily"])
@pytest.mark.parametrize("updates", GROUPED.values(), ids=GROUPED.keys())
def test_updates_in_a_durability_group_store_what_single_updates_do(tmp_path, mode, updates):
    alone = ParquetDataManager(str(tmp_path / "alone"))
    grouped = ParquetDataManager(str(tmp_path / "grouped"))
    for store in (alone, grouped):  # one generation each, as a synchronisation's run
        store.begin_generation(CAT, "full")
    group = grouped._durability_group()
    for n, (df, partition) in enumerate(updates):
        for store in (alone, grouped):
            store.update_pivot_category(df=df, category=CAT, strf="%Y-%m-%d",
                                        partition_mode=mode, partition=partition)
        if n == len(updates) // 2:
            # Any other call on the category sees what the group holds: it commits first.
            pd.testing.assert_frame_equal(read(grouped), read(alone))
    group.close()
    for store in (alone, grouped):
        store.end_generation(CAT)
    pd.testing.assert_frame_equal(read(grouped), read(alone))
    assert files_of(tmp_path / "grouped") == files_of(tmp_path / "alone")


def files_of(root) -> list:
    """The files under ``root``; a kept file of the history by its folder only (its name is
    the random version of the file it was)."""
    def named(folder, name):
        rel = os.path.relpath(os.path.join(folder, name), root)
        kept = f"{os.sep}_history{os.sep}" in os.sep + rel and name.endswith(".parquet")
        return os.path.join(os.path.dirname(rel), "<version>.parquet") if kept else rel
    return sorted(named(folder, name) for folder, _, names in os.walk(root) for name in names)


def test_a_group_holds_its_files_back_until_it_commits(store):
    first, second = one_row_days("2024-01-01", 2, 1)
    put(store, first, "daily")
    folder = store.category_folder(CAT)
    store.begin_generation(CAT, "full")  # grouping serves a run's updates: one generation
    group = store._durability_group()
    put(store, second, "daily")
    assert not os.path.exists(os.path.join(folder, "day=2024-01-02", "data.parquet"))
    group.commit()
    assert os.path.exists(os.path.join(folder, "day=2024-01-02", "data.parquet"))
    group.close()
    store.end_generation(CAT)
    pd.testing.assert_frame_equal(read(store), pd.concat([first, second]))
