"""The store as a whole: metadata, listing, names, errors, and two processes at once."""

from __future__ import annotations

import logging
import os
import shutil
import subprocess
import sys
import textwrap
import time

import numpy as np
import pandas as pd
import pytest
from store_support import wide

from corvane._store import files
from corvane.exceptions import LocalStorageError
from corvane.ParquetManager import ParquetDataManager

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture
def store(tmp_path):
    return ParquetDataManager(str(tmp_path / "root"), logger=logging.getLogger("test.store"))


def test_metadata_merges_key_by_key(store):
    assert store.get_category_meta("a_pivot#x") is None
    store.set_category_meta("a_pivot#x", {"partition_mode": "daily", "keys": [1], "n": 1},
                            merge=True)
    store.set_category_meta("a_pivot#x", {"n": 2, "extra": {"x": None}}, merge=True)
    assert store.get_category_meta("a_pivot#x") == {
        "partition_mode": "daily", "keys": [1], "n": 2, "extra": {"x": None}}
    store.set_category_meta("a_pivot#x", {"only": True}, merge=False)
    assert store.get_category_meta("a_pivot#x") == {"only": True}
    with pytest.raises(TypeError):
        store.set_category_meta("a_pivot#x", [("n", 1)])


def test_listing_names_the_categories_that_hold_data(store):
    root = store.save_path
    hashes = os.path.join(root, "_corvane_meta_hash")
    os.makedirs(hashes)
    with open(os.path.join(hashes, "ab" * 32 + ".txt"), "w") as f:
        f.write("sha256:" + "0" * 64)
    long_name = "x" * 128 + "_pivot#" + "y" * 128
    frame = wide("2024-01-01", 3, ["a"])
    for name in ("b_pivot#x", long_name):
        store.update_pivot_category(df=frame, category=name, strf="%Y-%m-%d",
                                    partition_mode="monthly")
    store.update_unstack_category(category="a_unstack#x", sub_df=pd.DataFrame({"k": [1]}),
                                  duplicate_keys=["k"])
    store.set_category_meta("c_pivot#only_meta", {"partition_mode": "monthly"})
    os.makedirs(os.path.join(root, "stray_folder"))
    assert store._get_all_categories() == ["a_unstack#x", "b_pivot#x", long_name]
    pd.testing.assert_frame_equal(store.read_pivot_category(long_name, None, None), frame)
    assert ParquetDataManager(root)._get_all_categories() == store._get_all_categories()


@pytest.mark.parametrize("name", ["../escape", "a/b", "..", ".", "", ".hidden",
                                  "_corvane_meta_hash", "a\\b", "a\0b", "bad\udcff"])
def test_names_that_are_not_one_safe_folder_are_refused(store, tmp_path, name):
    before = sorted(os.listdir(tmp_path))
    calls = [
        lambda: store.set_category_meta(name, {"a": 1}),
        lambda: store.update_pivot_category(df=wide("2024-01-01", 2, ["a"]), category=name,
                                            strf="%Y-%m-%d", partition_mode="daily"),
        lambda: store.update_unstack_category(category=name, sub_df=pd.DataFrame({"k": [1]}),
                                              duplicate_keys=None),
        lambda: store.read_pivot_category(name, None, None),
        lambda: store.read_unstack_category(name),
    ]
    for call in calls:
        with pytest.raises(LocalStorageError):
            call()
    assert sorted(os.listdir(tmp_path)) == before
    assert os.listdir(store.save_path) == []


def test_storage_failures_are_local_storage_errors(store):
    frame = wide("2024-01-01", 3, ["a"])
    store.update_pivot_category(df=frame, category="a_pivot#x", strf="%Y-%m-%d",
                                partition_mode="monthly")
    data = os.path.join(store.save_path, "a_pivot#x", "month=2024-01", "data.parquet")
    with open(data, "r+b") as f:
        f.truncate(100)
    with pytest.raises(LocalStorageError) as caught:
        store.read_pivot_category("a_pivot#x", None, None)
    assert caught.value.code == "LOCAL_STORAGE_FAILED"



def test_a_failed_replacement_keeps_the_old_file_and_no_temporary(tmp_path):
    target = tmp_path / "f.bin"
    files.write_bytes(str(target), b"old")
    with pytest.raises(ZeroDivisionError):
        with files.replacing(str(target)) as f:
            f.write(b"new" * 400_000)  # more than the write buffer: some of it reached the file
            1 / 0
    assert target.read_bytes() == b"old"
    assert [p.name for p in tmp_path.iterdir()] == ["f.bin"]

WRITER = textwrap.dedent("""
    import sys, time
    import numpy as np, pandas as pd
    from corvane.ParquetManager import ParquetDataManager
    root, who, start = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    store = ParquetDataManager(root)
    while time.time() < start:  # both writers begin together
        time.sleep(0.002)
    columns = [f"c{i}" for i in range(who * 5, who * 5 + 10)]
    for month in range(who * 3 + 1, who * 3 + 7):
        index = pd.DatetimeIndex(pd.date_range(f"2024-{month:02d}-01", periods=20).values)
        frame = pd.DataFrame(np.full((20, 10), float(who)), index=index, columns=columns)
        store.update_pivot_category(df=frame, category="p_pivot#x", strf="%Y-%m-%d",
                                    partition_mode="monthly")
        rows = pd.DataFrame({"who": [who] * 50, "n": range(month * 100, month * 100 + 50)})
        store.update_unstack_category(category="u_unstack#x", sub_df=rows,
                                      duplicate_keys=["who", "n"])
        store.set_category_meta("p_pivot#x", {f"w{who}m{month}": month})
""")


def test_two_processes_updating_one_store(store):
    env = dict(os.environ, PYTHONPATH=REPO)
    start = str(time.time() + 3)
    writers = [subprocess.Popen([sys.executable, "-c", WRITER, store.save_path, str(who), start],
                                env=env) for who in (0, 1)]
    assert [w.wait(timeout=120) for w in writers] == [0, 0]
    got = store.read_pivot_category("p_pivot#x", None, None)
    assert sorted(got.columns) == sorted(f"c{i}" for i in range(15))
    for month, part in got.groupby(got.index.month):
        owners = [who for who in (0, 1) if who * 3 + 1 <= month <= who * 3 + 6]
        # A month written by both holds the rows of one writer whole, NaN elsewhere.
        values = part.to_numpy()
        who = int(np.nanmax(values))
        assert who in owners and len(part) == 20
        mine = [f"c{i}" for i in range(who * 5, who * 5 + 10)]
        assert (part[mine] == who).all().all()
        assert part.drop(columns=mine).isna().all().all()
    assert len(store.read_unstack_category("u_unstack#x")) == 2 * 6 * 50
    assert len(store.get_category_meta("p_pivot#x")) == 12


# ---------------------------------------------------------------- what the store holds

@pytest.fixture
def held(store):
    """A monthly category with rows on 2024-01-30..2024-02-02 and 2024-04-10, a daily one
    with rows on 2024-03-01..02, an unstack one, and one with metadata only."""
    monthly = pd.concat([wide("2024-01-30", 4, ["a", "b"]), wide("2024-04-10", 1, ["a"])])
    store.update_pivot_category(df=monthly, category="m_pivot#x", partition_mode="monthly")
    store.update_pivot_category(df=wide("2024-03-01", 2, ["a"]), category="d_pivot#x",
                                partition_mode="daily")
    store.update_unstack_category(category="u_unstack#x", sub_df=pd.DataFrame({"k": [1, 2]}),
                                  duplicate_keys=["k"])
    store.set_category_meta("e_pivot#x", {"partition_mode": "monthly"})
    return store


@pytest.mark.parametrize("category, partition, holds", [
    ("m_pivot#x", "2024-01", True),
    ("m_pivot#x", "2024-03", False),
    ("m_pivot#x", "2024", True),
    ("m_pivot#x", "2023", False),
    ("m_pivot#x", "2024-01-31", True),    # a day inside a month file that holds it
    ("m_pivot#x", "2024-01-29", False),   # a day of a month file that does not
    ("m_pivot#x", "2024-04-11", False),
    ("m_pivot#x", "full", True),
    ("d_pivot#x", "2024-03-02", True),
    ("d_pivot#x", "2024-03-03", False),
    ("d_pivot#x", "2024-03", True),       # a month over day files
    ("d_pivot#x", "2024-02", False),
    ("d_pivot#x", "2024", True),
    ("u_unstack#x", "full", True),
    ("u_unstack#x", "2024-01", False),
    ("e_pivot#x", "full", False),         # metadata only: no rows
    ("e_pivot#x", "2024-01", False),
    ("never_pivot#x", "2024-01", False),
])
def test_holds_partition_answers_for_the_rows_held(held, category, partition, holds):
    assert held.holds_partition(category, partition) is holds


def test_holds_partition_follows_the_files_and_refuses_other_names(held):
    shutil.rmtree(os.path.join(held.category_folder("m_pivot#x"), "month=2024-01"))
    assert not held.holds_partition("m_pivot#x", "2024-01")
    assert held.holds_partition("m_pivot#x", "2024-02")
    shutil.rmtree(held.category_folder("d_pivot#x"))
    assert not held.holds_partition("d_pivot#x", "full")
    for bad in ("2024-13", "24-01", "2024-02-30", "month=2024-01"):
        with pytest.raises(ValueError):
            held.holds_partition("m_pivot#x", bad)


@pytest.mark.parametrize("category, listed, unlisted", [
    # Rows on 2024-01-30..02-02 and 2024-04-10, in month files.
    ("m_pivot#x", ["2024-01", "2024-02", "2024-04"], []),
    ("m_pivot#x", ["2024-02"], ["2024-01", "2024-04"]),
    ("m_pivot#x", ["2024-01-30", "2024-02-01"], ["2024-01-31", "2024-02-02", "2024-04-10"]),
    ("m_pivot#x", ["2023", "2025"], ["2024"]),
    ("m_pivot#x", ["2024-01", "2024-04-10"], ["2024-02"]),  # mixed: named by the month files
    ("m_pivot#x", [], ["2024-01", "2024-02", "2024-04"]),
    ("m_pivot#x", ["full"], []),
    ("d_pivot#x", ["2024-03"], []),                          # day files, a listed month
    ("d_pivot#x", ["2024-03-02"], ["2024-03-01"]),
    ("d_pivot#x", [], ["2024-03-01", "2024-03-02"]),
    ("u_unstack#x", ["full"], []),
    ("u_unstack#x", [], ["full"]),
    ("e_pivot#x", ["2024-01"], []),                          # metadata only: no rows
    ("never_pivot#x", [], []),
])
def test_unlisted_partitions_name_the_rows_no_listed_partition_covers(held, category, listed,
                                                                      unlisted):
    assert held.unlisted_partitions(category, listed) == unlisted


def test_category_stats_and_folder(held):
    folder = held.category_folder("m_pivot#x")
    assert folder == os.path.join(held.save_path, "m_pivot#x")
    size = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(folder) for f in fs)
    ledger = os.path.join(folder, "_history")
    kept = sum(os.path.getsize(os.path.join(ledger, f)) for f in os.listdir(ledger))
    assert held.category_stats("m_pivot#x") == {
        "kind": "pivot", "partitions": 3, "first": "2024-01-30", "last": "2024-04-10",
        "bytes": size, "generations": 1, "history_bytes": kept}
    assert held.category_stats("d_pivot#x")["partitions"] == 2
    unstack = held.category_stats("u_unstack#x")
    assert unstack["kind"] == "unstack" and unstack["partitions"] == 1
    assert unstack["first"] is None and unstack["bytes"] > 0
    assert held.category_stats("e_pivot#x") is None
    assert held.category_stats("never_pivot#x") is None


def test_run_lock_excludes_a_second_holder(store):
    first = store.run_lock()
    with first:
        second = ParquetDataManager(store.save_path).run_lock()
        assert second.acquire(wait=False) is False
    assert second.acquire(wait=False) is True
    second.release()
