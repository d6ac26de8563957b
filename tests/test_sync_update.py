"""UpdateAllCategory and the synchronisation of each kind of category, end to end."""

import json
from datetime import datetime

import pandas as pd
import pytest

from corvane.exceptions import ProtocolError, ServiceUnavailableError, SyncError
from corvane.testing import payload_hash, synthetic_pivot, synthetic_unstack
from helpers import (BarRecorder, CallCounter, FixedClock, assert_public, mod, parquet_payload,
                     recorded)

pytestmark = pytest.mark.service(categories=[])  # lists only what a test publishes

MONTHLY = "cn_stock_pivot#close"
DAILY = "cn_index_pivot#open"
YEARLY = "CN_bond_pivot#yield"  # upper case: first in code-point order, not in dictionary order
UNSTACK = "cn_trade_unstack#deal"


@pytest.fixture
def market(service):
    """Four categories, listed remotely out of name order; their source frames by name."""
    frames = {
        UNSTACK: synthetic_unstack(3000),
        MONTHLY: synthetic_pivot("2023-11-01", "2024-03-31", 40, nan_fraction=0.05),
        DAILY: synthetic_pivot("2024-01-10", "2024-01-19", 12, seed=1),
        YEARLY: synthetic_pivot("2022-06-01", "2024-03-29", 5, seed=2),
    }
    publisher = service.publisher
    publisher.publish_unstack(UNSTACK, frames[UNSTACK], duplicate_keys=["date", "code"])
    publisher.publish_pivot(MONTHLY, frames[MONTHLY], partition_mode="monthly")
    publisher.publish_pivot(DAILY, frames[DAILY], partition_mode="daily")
    publisher.publish_pivot(YEARLY, frames[YEARLY], granularity="yearly")
    return frames


def partitions_of(service, category):
    meta = json.loads(service.publisher.get_raw("corvane:meta:category:" + category))
    return meta["partition_keys"]


def published_hash(service, category, partition):
    raw = service.publisher.get_raw(f"corvane:meta:partition:{category}:{partition}")
    return json.loads(raw)["hash"]


def synced_order(logs):
    prefix = "正在同步: "
    return [m[len(prefix):] for m in logs.messages("INFO") if m.startswith(prefix)]


def assert_unstack_equal(stored, source):
    keys = ["date", "code"]
    pd.testing.assert_frame_equal(stored.sort_values(keys).reset_index(drop=True),
                                  source.sort_values(keys).reset_index(drop=True))


def test_full_update_stores_every_category_in_name_order(service, make_client, market, logs):
    client = make_client()
    sync = CallCounter(client, "_sync_category")
    assert client.UpdateAllCategory() is None

    assert synced_order(logs) == sorted(market) == [YEARLY, DAILY, MONTHLY, UNSTACK]
    assert [kwargs for _, kwargs in sync.calls] == [{"incremental_start_date": None}] * 4
    info = logs.messages("INFO")
    assert "开始更新数据 [方式: full]" in info and "发现 4 个类别" in info
    assert info[-1] == "数据更新完成"
    assert not any(m.startswith("增量更新起始日期") for m in info)

    for pivot in (MONTHLY, DAILY, YEARLY):
        pd.testing.assert_frame_equal(client.GetCategory(pivot), market[pivot], check_freq=False)
        for partition in partitions_of(service, pivot):
            assert recorded(client, pivot, partition) == published_hash(service, pivot, partition)
    assert_unstack_equal(client.GetCategory(UNSTACK), market[UNSTACK])
    assert recorded(client, UNSTACK, "full") == published_hash(service, UNSTACK, "full")


def test_incremental_update_takes_partitions_from_sixty_days_back(
        service, make_client, market, logs, monkeypatch):
    client = make_client()
    monkeypatch.setattr(mod, "datetime", FixedClock)
    sync = CallCounter(client, "_sync_category")
    client.UpdateAllCategory("incremental")

    start = datetime(2024, 1, 15, 10, 30)
    assert [kwargs for _, kwargs in sync.calls] == [{"incremental_start_date": start}] * 4
    info = logs.messages("INFO")
    assert "增量更新起始日期: 2024-01-15" in info
    # The start day, its month and its year are included.
    expected = {
        DAILY: ["2024-01-15", "2024-01-16", "2024-01-17", "2024-01-18", "2024-01-19"],
        MONTHLY: ["2024-01", "2024-02", "2024-03"],
        YEARLY: ["2024"],
    }
    for category, selected in expected.items():
        every = partitions_of(service, category)
        assert f"{category}: 全量分区 {len(every)} 个，增量分区 {len(selected)} 个" in info
        assert [p for p in every if recorded(client, category, p)] == selected
    # An unstack category is always fetched whole.
    assert recorded(client, UNSTACK, "full") is not None
    pd.testing.assert_frame_equal(client.GetCategory(MONTHLY), market[MONTHLY].loc["2024-01":],
                                  check_freq=False)


def break_first_partition(service, category):
    first = partitions_of(service, category)[0]
    payload = service.publisher.get_raw(f"corvane:data:{category}:{first}")
    service.publisher.publish_partition(category, first, payload, hash=payload_hash(b"tampered"))


@pytest.mark.parametrize("display_errors", [True, False])
def test_failing_category_does_not_stop_the_others(service, make_client, market, logs,
                                                   display_errors):
    break_first_partition(service, DAILY)
    client = make_client(display_errors=display_errors)
    with pytest.raises(SyncError) as raised:
        client.UpdateAllCategory("full")

    assert_public(raised.value, from_none=True)
    summary = "部分数据更新失败：1 个数据类别未完成"
    assert raised.value.user_message == summary
    assert synced_order(logs) == [YEARLY, DAILY, MONTHLY, UNSTACK]
    # The category's own line is always written; the public error only when displayed.
    category_line = f"{DAILY}: 数据校验失败，请重新同步"
    assert logs.messages("ERROR") == ([category_line, summary] if display_errors else [category_line])
    assert "数据更新完成" not in logs.messages("INFO")
    assert sorted(client.ListLocalCategories()) == sorted([YEARLY, MONTHLY, UNSTACK])


class ReleaseCounter:
    """The client's Redis connection, counting the requests to let go of its kept value."""

    def __init__(self, connection):
        self.connection = connection
        self.releases = 0

    def __getattr__(self, name):
        return getattr(self.connection, name)

    def release_spare(self):
        self.releases += 1
        self.connection.release_spare()


@pytest.mark.parametrize("broken", [False, True], ids=["succeeds", "fails"])
def test_update_ends_by_releasing_the_value_the_connection_kept(service, make_client, market,
                                                                broken):
    if broken:
        break_first_partition(service, DAILY)
    client = make_client()
    counter = client._redis_client = ReleaseCounter(client._redis_client)
    if broken:
        with pytest.raises(SyncError):
            client.UpdateAllCategory("full")
    else:
        client.UpdateAllCategory("full")
    assert counter.releases == 1


def test_invalid_method_fails_before_any_connection_work(service, make_client, market, logs):
    client = make_client()
    upkeep = CallCounter(client, "_ensure_connection")
    with pytest.raises(ServiceUnavailableError) as raised:
        client.UpdateAllCategory(update_method="Full")
    assert_public(raised.value, from_none=True)
    assert upkeep.calls == []
    assert not client.ListLocalCategories()
    assert logs.messages("ERROR") == ["服务暂时不可用，请稍后重试"]


def test_nothing_authorised_is_a_warning(service, make_client, logs):
    client = make_client()
    assert client.UpdateAllCategory("incremental") is None
    assert logs.messages("WARNING") == ["没有可更新的数据类别"]
    assert "数据更新完成" not in logs.messages("INFO")


def test_progress_bar_per_pivot_category(service, make_client, market, monkeypatch):
    bars = BarRecorder()
    monkeypatch.setattr(mod, "tqdm", bars)
    make_client().UpdateAllCategory()
    assert bars.bars == [({"desc": "同步 " + name}, partitions_of(service, name))
                         for name in (YEARLY, DAILY, MONTHLY)]


CATEGORY = "cn_stock_pivot#close"


@pytest.mark.parametrize("meta, outcome", [
    ({"partition_keys": []}, "no partitions"),
    ({"partition_mode": "weekly"}, ProtocolError),
    ({"partition_keys": None}, ProtocolError),
    ({"partition_keys": ["2024-01"] * 10001}, ProtocolError),
    ({"partition_keys": ["2024-01", "2024-1"]}, ProtocolError),
    ({"partition_mode": None}, ProtocolError),
])
def test_pivot_category_metadata(service, make_client, logs, meta, outcome):
    frame = synthetic_pivot("2024-01-01", "2024-01-31", 3)
    service.publisher.publish_partition(CATEGORY, "2024-01", parquet_payload(frame))
    service.publisher.publish_category_meta(CATEGORY, **{"partition_keys": ["2024-01"], **meta})
    client = make_client()
    download = CallCounter(client, "_download_partition")
    if outcome == "no partitions":
        client._sync_category(CATEGORY)
        assert f"{CATEGORY}: 没有分区" in logs.messages("INFO")
    else:
        with pytest.raises(outcome):
            client._sync_category(CATEGORY)
    assert download.calls == []


def test_pivot_mode_defaults_to_monthly_and_text_start_date_is_midnight(service, make_client):
    frame = synthetic_pivot("2023-12-01", "2024-01-31", 3)
    service.publisher.publish_pivot(CATEGORY, frame, partition_mode="daily")
    meta = json.loads(service.publisher.get_raw("corvane:meta:category:" + CATEGORY))
    del meta["partition_mode"]
    service.publisher.set_raw("corvane:meta:category:" + CATEGORY, json.dumps(meta))
    client = make_client()
    selection = CallCounter(client, "_filter_partitions_by_date")
    store = CallCounter(client.CV_db, "update_pivot_category")

    client._sync_category(CATEGORY, "2024-01-31")
    assert selection.calls[0][0][1] == datetime(2024, 1, 31)
    assert [kwargs["partition_mode"] for _, kwargs in store.calls] == ["monthly"]
    assert [kwargs["strf"] for _, kwargs in store.calls] == ["%Y-%m-%d"]


UNSTACK_FRAME = synthetic_unstack(50)


@pytest.mark.parametrize("partition_meta, category_meta, keys", [
    ({"duplicate_keys": []}, {"duplicate_keys": ["code"]}, ["code"]),
    ({}, {}, None),
    ({"duplicate_keys": 5}, {"duplicate_keys": ["code"]}, None),
    ({"dedupe_keys": "date"}, {"duplicate_keys": []}, "date"),
    ({}, {"key_columns": ("date", "code")}, ["date", "code"]),  # JSON has no tuples
    ({}, {"dedupe_keys": ""}, ""),
])
def test_unstack_duplicate_keys(service, make_client, partition_meta, category_meta, keys):
    service.publisher.publish_partition(UNSTACK, "full", parquet_payload(UNSTACK_FRAME, index=False),
                                        **partition_meta)
    service.publisher.publish_category_meta(UNSTACK, partition_keys=["full"], **category_meta)
    client = make_client()
    store = CallCounter(client.CV_db, "update_unstack_category", through=False)
    # The start date does not apply to an unstack category.
    client._sync_category(UNSTACK, incremental_start_date=datetime(2100, 1, 1))
    [(_, kwargs)] = store.calls
    assert kwargs["duplicate_keys"] == keys and kwargs["category"] == UNSTACK
    pd.testing.assert_frame_equal(kwargs["sub_df"], UNSTACK_FRAME)


def test_categories_of_one_universe_keep_their_own_values(service, make_client):
    """Two categories of the same instruments (their partitions' schema and metadata bytes
    the same) synchronised in one update: each stores its own values."""
    close = synthetic_pivot("2024-01-02", "2024-01-12", 30, seed=3)
    opening = -close
    service.publisher.publish_pivot(DAILY, close, partition_mode="daily")
    service.publisher.publish_pivot(MONTHLY, opening, partition_mode="daily")
    client = make_client()
    client.UpdateAllCategory()
    pd.testing.assert_frame_equal(client.GetCategory(DAILY), close, check_freq=False)
    pd.testing.assert_frame_equal(client.GetCategory(MONTHLY), opening, check_freq=False)
