"""UpdateAllCategory("changed"): only the partitions missing locally or restated remotely are
downloaded, and a downloaded partition's dates hold exactly its new rows."""

import os
import shutil

import pandas as pd
import pytest

from corvane.exceptions import SerializationError, SyncError
from corvane.testing import data_key_for, parquet_bytes, payload_hash, synthetic_pivot, synthetic_unstack
from helpers import BarRecorder, CallCounter, FixedClock, mod, recorded

pytestmark = pytest.mark.service(categories=[])  # lists only what a test publishes

MONTHLY = "cn_stock_pivot#close"       # monthly partitions, monthly files
DAILY = "cn_index_pivot#open"          # daily partitions kept in monthly files
YEARLY = "CN_bond_pivot#yield"         # yearly partitions spread over monthly files
UNSTACK = "cn_trade_unstack#deal"
KEYS = ["date", "code"]


@pytest.fixture
def market(service):
    """The source frames by name, and the partition names of each category."""
    frames = {
        MONTHLY: synthetic_pivot("2023-11-01", "2024-03-31", 8, nan_fraction=0.05),
        DAILY: synthetic_pivot("2024-01-08", "2024-01-19", 6, seed=1),
        YEARLY: synthetic_pivot("2022-06-01", "2024-03-29", 4, seed=2),
        UNSTACK: synthetic_unstack(400),
    }
    publisher = service.publisher
    partitions = {
        MONTHLY: publisher.publish_pivot(MONTHLY, frames[MONTHLY], partition_mode="monthly"),
        DAILY: publisher.publish_pivot(DAILY, frames[DAILY], partition_mode="monthly",
                                       granularity="daily"),
        YEARLY: publisher.publish_pivot(YEARLY, frames[YEARLY], granularity="yearly"),
        UNSTACK: ["full"],
    }
    publisher.publish_unstack(UNSTACK, frames[UNSTACK], duplicate_keys=KEYS)
    return frames, partitions


class DataGets:
    """The data keys that a client reads from Redis (metadata reads are not counted)."""

    def __init__(self, client):
        self._calls = CallCounter(client, "_redis_get_with_retry").calls

    def take(self) -> list:
        keys = [args[0] for args, _ in self._calls if args[0].startswith("corvane:data:")]
        self._calls.clear()
        return sorted(keys)


def keys_of(category, partitions):
    return sorted(data_key_for(category, p) for p in partitions)


def count_lines(logs, counts):
    return [m for m in logs.messages("INFO") if "个，跳过分区" in m] == [
        f"{name}: 下载分区 {fetched} 个，跳过分区 {skipped} 个" for name, fetched, skipped in counts]


def assert_stored(client, category, expected):
    stored = client.GetCategory(category)
    if category == UNSTACK:
        stored, expected = (f.sort_values(KEYS).reset_index(drop=True) for f in (stored, expected))
        pd.testing.assert_frame_equal(stored, expected)
    else:
        pd.testing.assert_frame_equal(stored, expected, check_freq=False)


def test_first_run_fetches_everything_and_the_next_nothing(make_client, market, logs, monkeypatch):
    frames, partitions = market
    bars = BarRecorder()
    monkeypatch.setattr(mod, "tqdm", bars)
    client = make_client()
    gets = DataGets(client)
    order = sorted(frames)

    client.UpdateAllCategory("changed")
    assert gets.take() == sorted(k for name in order for k in keys_of(name, partitions[name]))
    assert count_lines(logs, [(name, len(partitions[name]), 0) for name in order])
    assert [items for _, items in bars.bars] == [partitions[n] for n in order if n != UNSTACK]
    for name in order:
        assert_stored(client, name, frames[name])
    assert logs.messages("INFO")[-1] == "数据更新完成"

    logs.records.clear()
    bars.bars.clear()
    client.UpdateAllCategory("changed")
    assert gets.take() == []
    assert count_lines(logs, [(name, 0, len(partitions[name])) for name in order])
    assert bars.bars == [({"desc": "同步 " + n}, []) for n in order if n != UNSTACK]


def restated(frame, first, last, factor):
    """The rows of ``frame`` between two dates, values scaled: a correction that may also
    drop dates of the partition."""
    return frame.loc[first:last] * factor


@pytest.mark.parametrize("category, partition, new_rows", [
    # Half of the month's days remain, with other values.
    (MONTHLY, "2023-12", lambda f: restated(f, "2023-12-01", "2023-12-15", 1.5)),
    # The day is gone: its rows leave the month file that holds its neighbours.
    (DAILY, "2024-01-10", lambda f: f.loc["2024-01-10":"2024-01-10"].iloc[:0]),
    (DAILY, "2024-01-11", lambda f: restated(f, "2024-01-11", "2024-01-11", 2.0)),
    # Three months of the year remain: the files of the other nine go.
    (YEARLY, "2023", lambda f: restated(f, "2023-03-01", "2023-05-31", 0.5)),
], ids=["month-loses-days", "day-emptied", "day-revalued", "year-loses-months"])
def test_restated_partition_is_fetched_alone_and_stored_exactly(
        service, make_client, market, logs, category, partition, new_rows):
    frames, _ = market
    client = make_client()
    client.UpdateAllCategory("full")
    source = frames[category]
    rows = new_rows(source)
    payload = parquet_bytes(rows)
    service.publisher.publish_partition(category, partition, payload)
    gets = DataGets(client)

    client.UpdateAllCategory("changed")
    assert gets.take() == [data_key_for(category, partition)]
    lo = pd.Timestamp(partition)
    hi = lo + {4: pd.DateOffset(years=1), 7: pd.DateOffset(months=1), 10: pd.DateOffset(days=1)}[
        len(partition)]
    expected = pd.concat([source[source.index < lo], rows, source[source.index >= hi]])
    assert_stored(client, category, expected)
    assert recorded(client, category, partition) == payload_hash(payload)


def test_restated_unstack_table_replaces_the_stored_one(service, make_client, market):
    frames, _ = market
    client = make_client()
    client.UpdateAllCategory("full")
    table = frames[UNSTACK].iloc[100:300].assign(close=lambda t: t["close"] * 2)
    service.publisher.publish_unstack(UNSTACK, table, duplicate_keys=KEYS)
    gets = DataGets(client)

    client.UpdateAllCategory("changed")
    assert gets.take() == [data_key_for(UNSTACK, "full")]
    assert_stored(client, UNSTACK, table)


def delete_folder(client, category, partition):
    shutil.rmtree(os.path.join(client.save_path, category))


def delete_month_folder(client, category, partition):
    shutil.rmtree(os.path.join(client.save_path, category, "month=" + partition))


def delete_record(client, category, partition):
    os.remove(client._get_hash_path(category, partition))


@pytest.mark.parametrize("lose, category, lost", [
    (delete_folder, MONTHLY, None),            # records left behind, no rows
    (delete_month_folder, MONTHLY, "2024-01"),
    (delete_folder, UNSTACK, None),
    (delete_record, MONTHLY, "2024-02"),       # rows left behind, no record
    (delete_record, UNSTACK, "full"),
], ids=["store-folder", "one-month", "unstack-folder", "one-record", "unstack-record"])
def test_what_the_store_or_the_records_lost_is_fetched_again(make_client, market, lose, category,
                                                             lost):
    frames, partitions = market
    client = make_client()
    client.UpdateAllCategory("full")
    lose(client, category, lost)
    gets = DataGets(client)

    client.UpdateAllCategory("changed")
    assert gets.take() == keys_of(category, partitions[category] if lost is None else [lost])
    assert_stored(client, category, frames[category])
    client.UpdateAllCategory("changed")
    assert gets.take() == []


EMPTY = "cn_quiet_pivot#close"  # a category whose one partition has no rows


@pytest.mark.parametrize("lose", [None, delete_folder], ids=["kept", "store-folder"])
def test_a_partition_published_without_rows_is_fetched_once(service, make_client, market, lose):
    frames, partitions = market
    none = frames[MONTHLY].iloc[:0]
    publisher = service.publisher
    publisher.publish_partition(MONTHLY, "2024-04", parquet_bytes(none))
    publisher.publish_category_meta(MONTHLY, partition_mode="monthly",
                                    partition_keys=partitions[MONTHLY] + ["2024-04"])
    publisher.publish_partition(EMPTY, "2024-01", parquet_bytes(none))
    publisher.publish_category_meta(EMPTY, partition_mode="monthly", partition_keys=["2024-01"])
    client = make_client()
    gets = DataGets(client)
    client.UpdateAllCategory("changed")
    assert data_key_for(MONTHLY, "2024-04") in gets.take()
    if lose is not None:  # the category folders go, the records stay
        for category in (MONTHLY, EMPTY):
            lose(client, category, None)

    client.UpdateAllCategory("changed")
    assert gets.take() == ([] if lose is None else sorted(
        keys_of(MONTHLY, partitions[MONTHLY] + ["2024-04"]) + keys_of(EMPTY, ["2024-01"])))
    assert_stored(client, MONTHLY, frames[MONTHLY])


def unlisted_lines(logs):
    return [m for m in logs.messages("INFO") if "远程不再列出的分区" in m]


def test_partitions_no_longer_listed_keep_their_rows_and_are_logged(service, make_client, market,
                                                                   logs):
    frames, partitions = market
    publisher = service.publisher
    client = make_client()
    client.UpdateAllCategory("changed")
    assert unlisted_lines(logs) == []
    listed = {MONTHLY: partitions[MONTHLY][2:], DAILY: partitions[DAILY][:-3],
              YEARLY: ["2024"], UNSTACK: ["full"]}
    publisher.publish_category_meta(MONTHLY, partition_mode="monthly", partition_keys=listed[MONTHLY])
    publisher.publish_category_meta(DAILY, partition_mode="monthly", partition_keys=listed[DAILY])
    publisher.publish_category_meta(YEARLY, partition_keys=listed[YEARLY])
    logs.records.clear()
    gets = DataGets(client)

    client.UpdateAllCategory("changed")
    assert gets.take() == []
    assert unlisted_lines(logs) == [f"{YEARLY}: 远程不再列出的分区 2 个，本地数据保留",
                                    f"{DAILY}: 远程不再列出的分区 3 个，本地数据保留",
                                    f"{MONTHLY}: 远程不再列出的分区 2 个，本地数据保留"]
    dropped = {name: client.CV_db.unlisted_partitions(name, listed[name]) for name in listed}
    assert dropped == {MONTHLY: partitions[MONTHLY][:2], DAILY: partitions[DAILY][-3:],
                       YEARLY: ["2022", "2023"], UNSTACK: []}
    for name in listed:
        assert_stored(client, name, frames[name])


def test_a_restated_partition_that_fails_its_check_leaves_the_stored_rows(
        service, make_client, market, logs):
    frames, _ = market
    client = make_client()
    client.UpdateAllCategory("full")
    held = recorded(client, MONTHLY, "2023-12")
    payload = parquet_bytes(restated(frames[MONTHLY], "2023-12-01", "2023-12-10", 3.0))
    service.publisher.publish_partition(MONTHLY, "2023-12", payload, hash=payload_hash(b"other"))

    with pytest.raises(SyncError):
        client.UpdateAllCategory("changed")
    assert logs.messages("ERROR")[0] == f"{MONTHLY}: 数据校验失败，请重新同步"
    # The store keeps the old rows; the client itself refuses to read a category whose last
    # synchronisation failed, and its attempt to complete it meets the same bad payload.
    pd.testing.assert_frame_equal(client.CV_db.read_pivot_category(MONTHLY, None, None),
                                  frames[MONTHLY], check_freq=False)
    assert recorded(client, MONTHLY, "2023-12") == held
    with pytest.raises(SerializationError):
        client.GetCategory(MONTHLY)


@pytest.mark.parametrize("method, sync_keywords, store_keywords", [
    ("full", {"incremental_start_date"}, {"df", "category", "strf", "partition_mode"}),
    ("incremental", {"incremental_start_date"}, {"df", "category", "strf", "partition_mode"}),
    ("changed", {"only_changed"}, {"df", "category", "strf", "partition_mode", "partition"}),
])
def test_only_the_changed_mode_passes_its_keywords(make_client, market, monkeypatch, method,
                                                   sync_keywords, store_keywords):
    monkeypatch.setattr(mod, "datetime", FixedClock)  # recent partitions exist
    client = make_client()
    sync = CallCounter(client, "_sync_category")
    pivot = CallCounter(client.CV_db, "update_pivot_category")
    unstack = CallCounter(client.CV_db, "update_unstack_category")
    client.UpdateAllCategory(method)
    assert {frozenset(kwargs) for _, kwargs in sync.calls} == {frozenset(sync_keywords)}
    assert {frozenset(kwargs) for _, kwargs in pivot.calls} == {frozenset(store_keywords)}
    assert {frozenset(kwargs) for _, kwargs in unstack.calls} == {
        frozenset({"category", "sub_df", "duplicate_keys"} | (store_keywords & {"partition"}))}
