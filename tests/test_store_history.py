"""Generations of a category: what each update changed, reads as of a generation or a moment,
the kept files, chosen columns, a store written before history, concurrent reads."""

from __future__ import annotations

import datetime
import json
import logging
import os
import shutil
import signal
import subprocess
import sys
import threading

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.dataset as ds
import pyarrow.parquet as pq
import history_crash_job as job
import pytest
from store_support import codes, wide

from corvane.exceptions import APIError, CategoryNotFoundError
from corvane.ParquetManager import ParquetDataManager

CAT = "cn_stock_pivot#close"
TABLE = "cn_trade_unstack#fills"


@pytest.fixture
def store(tmp_path):
    return ParquetDataManager(str(tmp_path), logger=logging.getLogger("test.store"))


def put(store, df, partition=None, category=CAT):
    store.update_pivot_category(df=df, category=category, strf="%Y-%m-%d",
                                partition_mode="monthly", partition=partition)


def restate(frame: pd.DataFrame, month: str, factor: float) -> pd.DataFrame:
    return frame.loc[month] * factor


def kept_files(store, category=CAT) -> list:
    folder = os.path.join(store.category_folder(category), "_history")
    return sorted(os.path.relpath(os.path.join(d, n), folder)
                  for d, _, names in os.walk(folder) for n in names
                  if n.endswith(".parquet"))


@pytest.fixture
def generations(store):
    """Three generations of CAT: Jan..Mar stored, February restated, April added and March
    restated in one run. Returns the frames read right after each and the history."""
    source = wide("2024-01-01", 91, codes(6), seed=1)
    put(store, source)
    frames = [store.read_pivot_category(CAT)]
    put(store, restate(source, "2024-02", 2.0), partition="2024-02")
    frames.append(store.read_pivot_category(CAT))
    store.begin_generation(CAT, "changed")
    put(store, wide("2024-04-01", 10, codes(7), seed=2))
    put(store, restate(source, "2024-03", 3.0).iloc[:5], partition="2024-03")
    assert store.end_generation(CAT) == 3
    frames.append(store.read_pivot_category(CAT))
    return frames, store.list_category_history(CAT)


def test_each_update_that_changes_rows_is_one_generation(store, generations):
    frames, history = generations
    assert history["generation"].tolist() == [1, 2, 3]
    assert history["mode"].tolist() == ["update", "update", "changed"]
    assert history[["added", "replaced", "removed"]].to_dict("records") == [
        {"added": ["2024-01", "2024-02", "2024-03"], "replaced": [], "removed": []},
        {"added": [], "replaced": ["2024-02"], "removed": []},
        {"added": ["2024-04"], "replaced": ["2024-03"], "removed": []},
    ]
    assert str(history["committed"].dt.tz) == "UTC"
    assert history["committed"].is_monotonic_increasing
    # The same rows again, whole or one partition: no generation, nothing kept.
    before = kept_files(store)
    put(store, frames[-1])
    put(store, frames[-1].loc["2024-03"], partition="2024-03")
    store.begin_generation(CAT, "full")
    put(store, frames[-1])
    assert store.end_generation(CAT) is None
    assert store.list_category_history(CAT)["generation"].tolist() == [1, 2, 3]
    assert kept_files(store) == before
    assert [f.split("/")[0] for f in before] == ["month=2024-02", "month=2024-03"]


def test_details_name_versions_of_every_changed_partition(store, generations):
    details = store.list_category_history(CAT, details=True)
    assert details[["generation", "partition", "change"]].values.tolist() == [
        [1, "2024-01", "added"], [1, "2024-02", "added"], [1, "2024-03", "added"],
        [2, "2024-02", "replaced"], [3, "2024-03", "replaced"], [3, "2024-04", "added"]]
    by = {(g, p): (o, n) for g, p, o, n in
          details[["generation", "partition", "old_version", "new_version"]].values}
    # A replacement's old version is what the generation before held.
    assert by[(2, "2024-02")][0] == by[(1, "2024-02")][1]
    assert by[(3, "2024-03")][0] == by[(1, "2024-03")][1]


def _moment(history, generation, where):
    committed = history["committed"].tolist()
    at = committed[generation - 1]
    if where == "at":
        return at.to_pydatetime()
    if where == "between":
        return (at + (committed[generation] - at) / 2).floor("us").to_pydatetime()
    if where == "text":
        return at.tz_convert("Asia/Shanghai").isoformat()
    raise AssertionError(where)


@pytest.mark.parametrize("as_of, expected", [
    (("at", 1), 1), (("at", 2), 2), (("at", 3), 3),
    (("between", 1), 1), (("between", 2), 2),
    (("text", 2), 2),                                     # ISO 8601 text in another zone
    (1, 1), (2, 2), (3, 3), (-1, 3), (-2, 2), (-3, 1),
    (datetime.datetime(2999, 1, 1, tzinfo=datetime.UTC), 3),   # after the latest: the latest
    (datetime.datetime(2000, 1, 1, tzinfo=datetime.UTC), CategoryNotFoundError),
    ("2000-01-01T00:00:00+00:00", CategoryNotFoundError),
    (datetime.datetime(2999, 1, 1), ValueError),          # naive: refused
    ("2999-01-01T00:00:00", ValueError),                  # text without an offset
    ("yesterday", ValueError),
    (0, ValueError), (4, APIError), (-4, APIError),
    (1.5, TypeError),
], ids=lambda v: repr(v))
@pytest.mark.parametrize("dates", [(None, None), ("2024-02-20", "2024-04-03")],
                         ids=["whole", "range"])
def test_as_of_reads_the_frame_read_at_the_time(store, generations, as_of, expected, dates):
    frames, history = generations
    if isinstance(as_of, tuple):
        as_of = _moment(history, as_of[1], as_of[0])
    if isinstance(expected, type):
        with pytest.raises(expected) as raised:
            store.read_pivot_category(CAT, *dates, as_of=as_of)
        if as_of == datetime.datetime(2999, 1, 1):
            assert "time zone" in str(raised.value)
        return
    got = store.read_pivot_category(CAT, *dates, as_of=as_of)
    want = frames[expected - 1]
    if dates[0] is not None:
        want = want.loc[dates[0]:dates[1]]
    pd.testing.assert_frame_equal(got, want, check_freq=False)


def test_restating_one_partition_twice_keeps_both_earlier_versions(store):
    source = wide("2024-01-01", 60, codes(4), seed=3)
    put(store, source)
    seen = [store.read_pivot_category(CAT)]
    for factor in (2.0, 5.0):
        put(store, restate(source, "2024-02", factor), partition="2024-02")
        seen.append(store.read_pivot_category(CAT))
    assert [f.split("/")[0] for f in kept_files(store)] == ["month=2024-02", "month=2024-02"]
    for generation, frame in enumerate(seen, 1):
        pd.testing.assert_frame_equal(store.read_pivot_category(CAT, as_of=generation), frame)


def test_a_partition_removed_and_its_rows_return_as_of(store):
    source = wide("2024-01-01", 60, codes(4), seed=3)
    put(store, source)
    put(store, source.iloc[:0], partition="2024-02")   # the service dropped February
    history = store.list_category_history(CAT)
    assert history.loc[1, "removed"] == ["2024-02"]
    pd.testing.assert_frame_equal(store.read_pivot_category(CAT, as_of=1), source)
    pd.testing.assert_frame_equal(store.read_pivot_category(CAT), source.loc["2024-01"])


def test_dataset_of_the_folder_shows_the_current_rows_only(store, generations):
    frames, _ = generations
    assert kept_files(store)  # history holds replaced files
    table = ds.dataset(store.category_folder(CAT), format="parquet",
                       partitioning="hive").to_table()
    wide_again = table.to_pandas().pivot(index="date", columns="instrument", values="value")
    current = frames[-1]
    wide_again = wide_again.reindex(index=current.index, columns=current.columns)
    np.testing.assert_array_equal(wide_again.to_numpy(), current.to_numpy())
    assert table.num_rows == sum(len(pq.read_table(os.path.join(d, "data.parquet")))
                                 for d in [os.path.join(store.category_folder(CAT), n)
                                           for n in os.listdir(store.category_folder(CAT))
                                           if n.startswith("month=")])


def test_columns_choose_instruments_in_the_order_given(store, generations):
    frames, _ = generations
    names = codes(7)
    # 7th instrument only from April on: all NaN in an earlier range or generation.
    got = store.read_pivot_category(CAT, "2024-01-01", "2024-02-15", columns=[names[6], names[0]])
    want = frames[-1].loc[:"2024-02-15"].reindex(columns=[names[6], names[0]])
    pd.testing.assert_frame_equal(got, want, check_freq=False)
    assert got[names[6]].isna().all()
    old = store.read_pivot_category(CAT, as_of=1, columns=[names[2], names[6]])
    pd.testing.assert_frame_equal(old, frames[0].reindex(columns=[names[2], names[6]]))
    with pytest.raises(ValueError, match="more than once"):
        store.read_pivot_category(CAT, columns=[names[0], names[0]])
    with pytest.raises(APIError) as raised:
        store.read_pivot_category(CAT, columns=["nope", names[1], "other"])
    assert "'nope'" in str(raised.value) and "'other'" in str(raised.value)
    with pytest.raises(TypeError):
        store.read_pivot_category(CAT, columns=names[0])


def test_unstack_generations_keep_their_parts(store):
    def put_table(frame, replace=False):
        store.update_unstack_category(category=TABLE, sub_df=frame, duplicate_keys=["k"],
                                      partition="full" if replace else None)

    first = pd.DataFrame({"k": np.arange(100), "v": np.arange(100) * 1.0, "w": "x"})
    put_table(first)
    seen = [store.read_unstack_category(TABLE)]
    put_table(first.iloc[:10].assign(v=-1.0))
    seen.append(store.read_unstack_category(TABLE))
    put_table(first.iloc[50:].assign(v=7.0), replace=True)
    seen.append(store.read_unstack_category(TABLE))
    put_table(first.iloc[50:].assign(v=7.0), replace=True)  # the same table: no generation
    history = store.list_category_history(TABLE)
    assert history["generation"].tolist() == [1, 2, 3]
    assert history["replaced"].tolist() == [[], ["full"], ["full"]]
    for generation, frame in enumerate(seen, 1):
        pd.testing.assert_frame_equal(store.read_unstack_category(TABLE, as_of=generation), frame)
    pd.testing.assert_frame_equal(store.read_unstack_category(TABLE, as_of=1, columns=["w", "k"]),
                                  seen[0][["w", "k"]])
    with pytest.raises(APIError, match="'z'"):
        store.read_unstack_category(TABLE, columns=["z"])
    # A part file in the folder is always one the current record lists.
    with open(os.path.join(store.category_folder(TABLE), "_store.json"), "rb") as f:
        listed = {p["file"] for p in json.load(f)["parts"]}
    assert {n for n in os.listdir(store.category_folder(TABLE)) if n.endswith(".parquet")} == listed


def _as_written_before_history(store, category=CAT):
    """The category as a release without history left it: no ledger, no version in the
    footers."""
    folder = store.category_folder(category)
    shutil.rmtree(os.path.join(folder, "_history"))
    for name in os.listdir(folder):
        if name.startswith("month="):
            path = os.path.join(folder, name, "data.parquet")
            table = pq.read_table(path)
            meta = dict(table.schema.metadata or {})  # the footer was inside the Arrow schema
            footer = json.loads(pq.read_metadata(path).metadata[b"corvane"])
            del footer["version"]
            meta[b"corvane"] = json.dumps(footer).encode()
            pq.write_table(table.replace_schema_metadata(meta), path)


def test_a_store_written_before_history_opens_as_generation_one(store):
    source = wide("2024-01-01", 60, codes(4), seed=3)
    put(store, source)
    _as_written_before_history(store)
    history = store.list_category_history(CAT)
    assert history["generation"].tolist() == [1] and history["mode"].tolist() == ["baseline"]
    pd.testing.assert_frame_equal(store.read_pivot_category(CAT, as_of=-1), source)
    assert not os.path.exists(os.path.join(store.category_folder(CAT), "_history"))  # read only

    put(store, restate(source, "2024-01", 4.0), partition="2024-01")
    assert store.list_category_history(CAT)["mode"].tolist() == ["baseline", "update"]
    assert kept_files(store) == ["month=2024-01/base.parquet"]
    pd.testing.assert_frame_equal(store.read_pivot_category(CAT, as_of=1), source)


def test_a_run_that_died_is_committed_by_the_next_writer(store, tmp_path):
    source = wide("2024-01-01", 60, codes(4), seed=3)
    put(store, source)
    store.begin_generation(CAT, "changed")
    put(store, restate(source, "2024-02", 2.0), partition="2024-02")
    run = store._runs.pop(CAT)
    os.close(run._marker._fd)  # the process died: its lock goes, its marker stays
    run._marker._fd = None
    # Until a writer comes, the ledger's latest generation reads whole.
    pd.testing.assert_frame_equal(store.read_pivot_category(CAT, as_of=-1), source)
    later = ParquetDataManager(store.save_path)
    put(later, wide("2024-03-01", 3, codes(4), seed=4))
    history = later.list_category_history(CAT)
    assert history["mode"].tolist() == ["update", "recovered", "update"]
    assert history.loc[1, "replaced"] == ["2024-02"]
    pd.testing.assert_frame_equal(later.read_pivot_category(CAT, as_of=-1),
                                  later.read_pivot_category(CAT))
    pd.testing.assert_frame_equal(later.read_pivot_category(CAT, as_of=1), source)
    assert not [n for n in os.listdir(os.path.join(store.category_folder(CAT), "_history"))
                if n.startswith(".run-")]


def test_a_read_during_commits_returns_one_generation_whole(store):
    source = wide("2024-01-01", 120, codes(40), seed=5)
    put(store, source)
    seen = [store.read_pivot_category(CAT)]
    done = threading.Event()
    reads, failures = [], []

    def reader():
        while not done.is_set() or len(reads) < 3:
            try:
                reads.append(store_reader.read_pivot_category(CAT, as_of=-1))
            except Exception as e:  # noqa: BLE001 - reported below
                failures.append(e)
                return

    store_reader = ParquetDataManager(store.save_path)
    thread = threading.Thread(target=reader)
    thread.start()
    try:
        for factor in (2.0, 3.0, 4.0):
            store.begin_generation(CAT, "changed")
            for month in ("2024-01", "2024-02", "2024-03", "2024-04"):
                put(store, restate(source, month, factor), partition=month)
            store.end_generation(CAT)
            seen.append(store.read_pivot_category(CAT))
    finally:
        done.set()
        thread.join(timeout=300)
    assert failures == []
    for frame in reads:
        assert any(frame.equals(whole) for whole in seen)


def test_prune_keeps_exactly_what_the_kept_generations_read(store):
    source = wide("2024-01-01", 121, codes(4), seed=6)
    put(store, source)
    seen = [store.read_pivot_category(CAT)]
    for month, factor in (("2024-02", 2.0), ("2024-03", 3.0), ("2024-02", 4.0)):
        put(store, restate(source, month, factor), partition=month)
        seen.append(store.read_pivot_category(CAT))
    details = store.list_category_history(CAT, details=True).set_index(["generation", "partition"])
    before = kept_files(store)
    # Generation 3 reads February as generation 2 wrote it, kept since generation 4.
    needed = ["month=2024-02/" + details.loc[(2, "2024-02"), "new_version"] + ".parquet"]
    assert set(needed) < set(before) and len(before) == 3

    plan = store.prune_history(CAT, keep_generations=2, dry_run=True)
    assert (plan["generations"], plan["files"]) == ([1, 2], 2) and plan["bytes"] > 0
    assert kept_files(store) == before
    store.prune_history(CAT, keep_generations=2)
    assert kept_files(store) == needed
    assert store.list_category_history(CAT)["generation"].tolist() == [3, 4]
    for generation in (3, 4):
        pd.testing.assert_frame_equal(store.read_pivot_category(CAT, as_of=generation),
                                      seen[generation - 1])
    with pytest.raises(CategoryNotFoundError, match="pruned"):
        store.read_pivot_category(CAT, as_of=1)
    assert store.prune_history(CAT, keep_generations=2)["files"] == 0

    # Nothing younger than a day ago... but the latest generation, the current data, stays.
    store.prune_history(CAT, older_than_days=0)
    assert kept_files(store) == []
    pd.testing.assert_frame_equal(store.read_pivot_category(CAT, as_of=-1), seen[-1])
    pd.testing.assert_frame_equal(store.read_pivot_category(CAT), seen[-1])
    with pytest.raises(ValueError):
        store.prune_history(CAT, keep_generations=0)
    with pytest.raises(ValueError):
        store.prune_history(CAT)


# -- a writer killed at each step of a commit ------------------------------------------------
def _job(root: str, *args: str) -> subprocess.CompletedProcess:
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONPATH=os.path.dirname(here))
    return subprocess.run([sys.executable, os.path.join(here, "history_crash_job.py"), root,
                           *args], capture_output=True, text=True, env=env, timeout=300)


def _reads(root: str, as_of) -> dict:
    store = ParquetDataManager(root)
    return {job.PIVOT: store.read_pivot_category(job.PIVOT, as_of=as_of),
            job.TABLE: store.read_unstack_category(job.TABLE, as_of=as_of)}


def test_a_writer_killed_at_any_step_leaves_a_generation_whole(tmp_path):
    template, final = str(tmp_path / "template"), str(tmp_path / "final")
    assert _job(template, "base").returncode == 0
    shutil.copytree(template, final)
    counted = _job(final, "run")
    assert counted.returncode == 0, counted.stderr
    steps = int(counted.stdout.split()[-1])
    old, new = _reads(template, -1), _reads(final, -1)
    for kill in range(1, steps + 1):
        root = str(tmp_path / f"kill{kill}")
        shutil.copytree(template, root)
        assert _job(root, "run", str(kill)).returncode == -signal.SIGKILL
        latest = _reads(root, -1)
        for category in (job.PIVOT, job.TABLE):
            assert (latest[category].equals(old[category])
                    or latest[category].equals(new[category])), f"kill at {kill}: {category}"
        store = ParquetDataManager(root)
        for category, read in ((job.PIVOT, store.read_pivot_category),
                               (job.TABLE, store.read_unstack_category)):
            for number in store.list_category_history(category)["generation"]:
                read(category, as_of=int(number))
        # The next writer commits what the dead one left, then its own.
        job.run(ParquetDataManager(root))
        after, first = _reads(root, -1), _reads(root, 1)
        for category in (job.PIVOT, job.TABLE):
            pd.testing.assert_frame_equal(after[category], new[category])
            pd.testing.assert_frame_equal(first[category], old[category])
        pd.testing.assert_frame_equal(store.read_pivot_category(job.PIVOT), new[job.PIVOT])
        leftovers = [name for _, _, names in os.walk(root) for name in names
                     if name.startswith((".tmp-", ".run-")) or name == ".writing"]
        assert leftovers == [], f"kill at {kill}"
        shutil.rmtree(root)
