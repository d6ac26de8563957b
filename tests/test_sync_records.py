"""A category whose last synchronisation did not complete (killed, failed half-way, disk full)
is completed by the next GetCategory before it is read; a completed one costs nothing."""

import os
import re
import signal
import subprocess
import sys
from datetime import datetime

import pandas as pd
import pytest

from corvane.ParquetManager import ParquetDataManager
from corvane.exceptions import LocalStorageError, SerializationError, SyncError
from corvane.testing import parquet_bytes, payload_hash, synthetic_pivot, synthetic_unstack
from helpers import CallCounter, mod

pytestmark = pytest.mark.service(categories=[])  # lists only what a test publishes

HERE = os.path.dirname(os.path.abspath(__file__))
FIRST = "cn_a_pivot#close"      # synchronised first, complete before any of the kills below
SECOND = "cn_b_pivot#open"
TRADES = "cn_trade_unstack#deal"
KEYS = ["date", "code"]


def interrupted(category):
    return f"本地 {category} 上次同步未完成，从远程补全..."


@pytest.fixture
def market(service):
    frames = {
        FIRST: synthetic_pivot("2024-01-01", "2024-04-30", 12),
        SECOND: synthetic_pivot("2024-01-01", "2024-03-31", 9, seed=1),
        TRADES: synthetic_unstack(300),
    }
    service.publisher.publish_pivot(FIRST, frames[FIRST])
    service.publisher.publish_pivot(SECOND, frames[SECOND])
    service.publisher.publish_unstack(TRADES, frames[TRADES], duplicate_keys=KEYS)
    return frames


def assert_whole(client, market, only=None):
    for category in only or market:
        got = client.GetCategory(category)
        if category == TRADES:
            got = got.sort_values(KEYS).reset_index(drop=True)
            want = market[TRADES].sort_values(KEYS).reset_index(drop=True)
            pd.testing.assert_frame_equal(got, want)
        else:
            pd.testing.assert_frame_equal(got, market[category], check_freq=False)


def synced(sync):
    return [args[0] for args, _ in sync.calls]


def tamper(service, category, frame, month):
    """Publishes `month` of a pivot category with a hash that its bytes do not have."""
    service.publisher.publish_partition(category, month, parquet_bytes(frame.loc[month]),
                                        hash=payload_hash(b"tampered"))


def mend(service, category, frame, month):
    service.publisher.publish_partition(category, month, parquet_bytes(frame.loc[month]))


def kill_update(service, save_path, method, category, nth, when):
    """Runs a full update in a child process that SIGKILLs itself at the given point."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path),
               CORVANE_JOB_TOKEN=service.token)
    job = subprocess.run([sys.executable, os.path.join(HERE, "sync_crash_job.py"), save_path,
                          service.url, method, category, str(nth), when],
                         env=env, capture_output=True, timeout=300)
    assert job.returncode == -signal.SIGKILL, job.stderr.decode(errors="replace")[-2000:]


def assert_costs_nothing(service, client, market):
    """Every category reads whole with the service gone and no session upkeep."""
    sync = CallCounter(client, "_sync_category")
    upkeep = CallCounter(client, "_ensure_connection")
    service.close()
    assert_whole(client, market)
    assert sync.calls == [] and upkeep.calls == []


def assert_records_name_stored_rows(make_client, save_path, market):
    """Every hash record that a kill left names a month whose rows are stored whole."""
    client = make_client(save_path=save_path)
    store = ParquetDataManager(save_path)
    for category in (FIRST, SECOND):
        for month, rows in market[category].groupby(market[category].index.strftime("%Y-%m")):
            if os.path.exists(client._get_hash_path(category, month)):
                got = store.read_pivot_category(category, rows.index[0].strftime("%Y-%m-%d"),
                                                rows.index[-1].strftime("%Y-%m-%d"))
                pd.testing.assert_frame_equal(got, rows, check_freq=False)


# (method, category, n-th call, before or after it): across the update of SECOND, which
# follows the complete FIRST, and of TRADES, the last one. SECOND's three months, committed
# as a group, rename in turn (os.replace): its metadata, column list, January's file and the
# category record, then February's and March's files, the three hash records, the run's
# completion record.
KILLS = {
    "before the first store call": ("set_category_meta", SECOND, 1, "before"),
    "after the first store call": ("set_category_meta", SECOND, 1, "after"),
    "after the first partition's rows": ("update_pivot_category", SECOND, 1, "after"),
    "mid-category, after a hash record": ("_write_local_hash", SECOND, 2, "after"),
    "after the last hash record": ("_sync_pivot_category", SECOND, 1, "after"),
    "unstack rows stored, no hash record": ("update_unstack_category", TRADES, 1, "after"),
    "grouped: one file of the group renamed": ("os.replace", SECOND, 5, "after"),
    "grouped: rows renamed, no hash record": ("os.replace", SECOND, 6, "after"),
    "grouped: between hash records": ("os.replace", SECOND, 8, "after"),
    "grouped: before the completion record": ("os.replace", SECOND, 9, "after"),
}


@pytest.mark.parametrize("point", KILLS.values(), ids=KILLS.keys())
def test_update_killed_then_read_whole(service, market, make_client, logs, tmp_path, point):
    save_path = str(tmp_path / "store")
    kill_update(service, save_path, *point)
    stopped_in = point[1]
    stored = ParquetDataManager(save_path)._get_all_categories()
    assert_records_name_stored_rows(make_client, save_path, market)

    client = make_client(save_path=save_path)
    sync = CallCounter(client, "_sync_category")
    assert_whole(client, market)
    # FIRST completed before the kill; what the kill left stored is flagged once.
    unfinished = [SECOND, TRADES] if stopped_in == SECOND else [TRADES]
    assert synced(sync) == unfinished
    assert all(kwargs == {} for _, kwargs in sync.calls)
    assert logs.messages("WARNING") == ([interrupted(stopped_in)] if stopped_in in stored else [])
    assert_costs_nothing(service, client, market)


@pytest.mark.parametrize("point", [point for name, point in KILLS.items()
                                   if name.startswith("grouped")])
def test_update_of_what_changed_after_a_kill_mid_group(service, market, make_client, tmp_path,
                                                       point):
    # Only the records tell this update what is held: none may name rows the kill lost.
    save_path = str(tmp_path / "store")
    kill_update(service, save_path, *point)
    client = make_client(save_path=save_path)
    client.UpdateAllCategory("changed")
    assert_costs_nothing(service, client, market)


@pytest.mark.parametrize("point", [KILLS["before the first store call"],
                                   KILLS["mid-category, after a hash record"]])
def test_killed_resynchronisation_of_a_complete_category(service, market, make_client, logs,
                                                         tmp_path, point):
    save_path = str(tmp_path / "store")
    make_client(save_path=save_path).UpdateAllCategory()
    # New values and a new month: a partial run over the old rows would still read as a
    # whole old category, and pass unnoticed without the records of this run.
    market[SECOND] = synthetic_pivot("2024-01-01", "2024-04-30", 9, seed=7)
    service.publisher.publish_pivot(SECOND, market[SECOND])
    kill_update(service, save_path, *point)

    client = make_client(save_path=save_path)
    sync = CallCounter(client, "_sync_category")
    assert_whole(client, market)
    assert synced(sync) == [SECOND]
    assert logs.messages("WARNING") == [interrupted(SECOND)]


@pytest.mark.parametrize("entry", ["GetCategory", "UpdateAllCategory"])
def test_failure_half_way_is_completed_by_the_next_read(service, market, make_client, logs,
                                                        entry):
    tamper(service, FIRST, market[FIRST], "2024-03")
    client = make_client(display_errors=False)
    first_try = client.UpdateAllCategory if entry == "UpdateAllCategory" else \
        (lambda: client.GetCategory(FIRST))
    with pytest.raises(SyncError if entry == "UpdateAllCategory" else SerializationError):
        first_try()
    assert FIRST in client.ListLocalCategories()  # two months stored
    # Never the partial frame: the read tries to complete it and meets the same fault.
    with pytest.raises(SerializationError):
        client.GetCategory(FIRST)

    mend(service, FIRST, market[FIRST], "2024-03")
    sync = CallCounter(client, "_sync_category")
    assert_whole(client, market, [FIRST])
    assert sync.calls == [((FIRST,), {})]
    # One warning per read that found the category unfinished.
    assert logs.messages("WARNING") == [interrupted(FIRST)] * 2
    assert_costs_nothing(service, client, {FIRST: market[FIRST]})
    assert logs.messages("WARNING") == [interrupted(FIRST)] * 2


class FixedClock(datetime):
    @classmethod
    def now(cls, tz=None):
        return cls(2024, 5, 10, 9, 0)  # incremental updates start on 2024-03-11


@pytest.mark.parametrize("failed_run, later_run, redone_from", [
    # A later run that starts later does not make an interrupted full one whole.
    ("full", "incremental", {}),
    ("incremental", None, {"incremental_start_date": "2024-03-11"}),
    # A full run reaches back past an interrupted incremental one.
    ("incremental", "full", None),
])
def test_interrupted_start_date_is_redone(service, market, make_client, monkeypatch, failed_run,
                                          later_run, redone_from):
    monkeypatch.setattr(mod, "datetime", FixedClock)
    client = make_client(display_errors=False)
    if failed_run == "incremental":
        client.UpdateAllCategory()
    tamper(service, FIRST, market[FIRST], "2024-04")
    with pytest.raises(SyncError):
        client.UpdateAllCategory(failed_run)
    mend(service, FIRST, market[FIRST], "2024-04")
    if later_run:
        client.UpdateAllCategory(later_run)

    sync = CallCounter(client, "_sync_category")
    assert_whole(client, market)
    assert sync.calls == ([] if redone_from is None else [((FIRST,), redone_from)])


@pytest.mark.parametrize("records", ["none (an older client)", "completed"])
def test_complete_category_is_read_without_the_service(service, market, make_client, tmp_path,
                                                       records):
    save_path = str(tmp_path / "store")
    if records == "completed":
        make_client(save_path=save_path).UpdateAllCategory()
    else:
        store = ParquetDataManager(save_path)
        for category in (FIRST, SECOND):
            store.update_pivot_category(df=market[category], category=category,
                                        strf="%Y-%m-%d", partition_mode="monthly")
        store.update_unstack_category(category=TRADES, sub_df=market[TRADES],
                                      duplicate_keys=KEYS)
    assert_costs_nothing(service, make_client(save_path=save_path), market)


def as_last_release(save_path):
    """The records as the last release kept them: the run records among the hash records,
    under the same names."""
    runs = os.path.join(save_path, "_corvane_meta_sync")
    for name in os.listdir(runs):
        os.replace(os.path.join(runs, name), os.path.join(save_path, "_corvane_meta_hash", name))
    os.rmdir(runs)


def assert_hash_records_only(save_path, market):
    folder = os.path.join(save_path, "_corvane_meta_hash")
    contents = []
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), encoding="utf-8") as record:
            contents.append(record.read())
    assert len(contents) == 4 + 3 + 1 and all(re.fullmatch(r"sha256:[0-9a-f]{64}", c) for c in contents)


@pytest.mark.parametrize("last_run, redone", [
    ("complete", []),
    ("failed", [((FIRST,), {})]),
    # The interrupted full run is not made whole by a later run that starts later.
    ("failed, then an incremental update", [((FIRST,), {})]),
])
def test_records_of_the_last_release_are_read_then_taken_over(
        service, market, make_client, monkeypatch, tmp_path, last_run, redone):
    monkeypatch.setattr(mod, "datetime", FixedClock)
    save_path = str(tmp_path / "store")
    client = make_client(save_path=save_path, display_errors=False)
    if last_run == "complete":
        client.UpdateAllCategory()
    else:
        tamper(service, FIRST, market[FIRST], "2024-04")
        with pytest.raises(SyncError):
            client.UpdateAllCategory()
        mend(service, FIRST, market[FIRST], "2024-04")
    as_last_release(save_path)

    client = make_client(save_path=save_path)
    if "incremental" in last_run:
        client.UpdateAllCategory("incremental")
        assert_hash_records_only(save_path, market)
    sync = CallCounter(client, "_sync_category")
    assert_whole(client, market)
    assert sync.calls == redone
    client.UpdateAllCategory()
    assert_hash_records_only(save_path, market)
    assert_costs_nothing(service, make_client(save_path=save_path), market)


def test_damaged_record_counts_as_unfinished(service, market, make_client, logs):
    client = make_client()
    client.UpdateAllCategory()
    records = os.path.join(client.save_path, "_corvane_meta_sync")
    # Damage every run record; each category then reads as unfinished.
    for name in os.listdir(records):
        with open(os.path.join(records, name), encoding="utf-8") as record:
            if not record.read().startswith("sha256:"):
                with open(os.path.join(records, name), "w") as damaged:
                    damaged.write("{not json")
    sync = CallCounter(client, "_sync_category")
    assert_whole(client, market)
    assert synced(sync) == sorted(market)
    assert logs.messages("WARNING") == [interrupted(category) for category in sorted(market)]


def test_disk_full_half_way_then_read_whole(service, make_client, logs, small_disk):
    frame = synthetic_pivot("2024-01-01", "2024-12-31", 60)
    service.publisher.publish_pivot(FIRST, frame)
    client = make_client(save_path=small_disk.path, display_errors=False)
    for _ in range(2):
        with pytest.raises(LocalStorageError) as raised:
            client.GetCategory(FIRST)
        assert raised.value.user_message == LocalStorageError.disk_full_message
        assert raised.value.code == "LOCAL_STORAGE_FAILED"
        assert FIRST in client.ListLocalCategories()  # some months fitted

    assert small_disk.resize() is None
    sync = CallCounter(client, "_sync_category")
    pd.testing.assert_frame_equal(client.GetCategory(FIRST), frame, check_freq=False)
    assert sync.calls == [((FIRST,), {})]
    assert logs.messages("WARNING") == [interrupted(FIRST)] * 2
    assert_costs_nothing(service, client, {FIRST: frame})


@pytest.mark.parametrize("disk", ["full", "read-only"])
def test_a_full_or_read_only_disk_says_so_before_anything_is_stored(service, market, make_client,
                                                                     logs, small_disk, disk):
    client = make_client(save_path=small_disk.path)
    expected = small_disk.break_as(disk)
    # The run's own record is the first thing written, then the store's files.
    with pytest.raises(LocalStorageError) as raised:
        client.GetCategory(FIRST)
    assert (raised.value.code, raised.value.user_message) == ("LOCAL_STORAGE_FAILED", expected)
    assert logs.messages("ERROR") == [expected]
    with pytest.raises(LocalStorageError) as raised:
        client.CV_db.set_category_meta(FIRST, {"partition_keys": []})
    assert raised.value.user_message == expected
