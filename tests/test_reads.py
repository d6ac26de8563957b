"""GetCategory, ListCategories and ListLocalCategories through the local service."""

import pandas as pd
import pytest

from corvane.exceptions import CategoryNotFoundError, ServiceUnavailableError
from corvane.testing import synthetic_pivot, synthetic_unstack
from helpers import CallCounter, assert_public

pytestmark = pytest.mark.service(categories=[])  # lists only what a test publishes

PIVOT = "cn_stock_pivot#close"
UNSTACK = "cn_trade_unstack#deal"
PRICES = synthetic_pivot("2024-01-01", "2024-02-29", 8)
TRADES = synthetic_unstack(400)


@pytest.fixture
def published(service):
    service.publisher.publish_pivot(PIVOT, PRICES)
    service.publisher.publish_unstack(UNSTACK, TRADES, duplicate_keys=["date", "code"])


def test_missing_category_is_synchronised_whole_then_read(published, make_client, logs):
    client = make_client()
    sync = CallCounter(client, "_sync_category")
    frame = client.GetCategory(PIVOT, "2024-01-10", "2024-02-05")
    assert sync.calls == [((PIVOT,), {})]
    assert f"本地不存在 {PIVOT}，从远程同步..." in logs.messages("INFO")
    pd.testing.assert_frame_equal(frame, PRICES.loc["2024-01-10":"2024-02-05"], check_freq=False)
    pd.testing.assert_frame_equal(client.GetCategory(PIVOT), PRICES, check_freq=False)
    assert len(sync.calls) == 1


def test_local_category_is_read_without_the_service(service, published, make_client):
    client = make_client()
    client.UpdateAllCategory()
    upkeep = CallCounter(client, "_ensure_connection")
    service.close()  # no ticket API, no Redis from here on
    pd.testing.assert_frame_equal(client.GetCategory(PIVOT), PRICES, check_freq=False)
    assert client.GetCategory(UNSTACK).shape == TRADES.shape
    assert upkeep.calls == []


def test_dates_go_to_pivot_reads_unchanged_and_are_ignored_for_unstack(published, make_client):
    client = make_client()
    client.UpdateAllCategory()
    pivot_reads = CallCounter(client.CV_db, "read_pivot_category", through=False)
    unstack_reads = CallCounter(client.CV_db, "read_unstack_category")
    client.GetCategory(PIVOT, "not a date", None)
    client.GetCategory(PIVOT, end_date="2024-02-01")
    whole = client.GetCategory(UNSTACK, "2024-01-01", "2024-01-02")
    assert pivot_reads.calls == [((PIVOT, "not a date", None), {}), ((PIVOT, None, "2024-02-01"), {})]
    assert unstack_reads.calls == [((UNSTACK,), {})]
    assert len(whole) == len(TRADES)


def test_unknown_category_reloads_the_list_once(service, published, make_client, logs):
    client = make_client(log_level=10)
    refresh = CallCounter(client, "_refresh_categories")
    with pytest.raises(CategoryNotFoundError) as raised:
        client.GetCategory("cn_none_pivot#close")
    assert_public(raised.value, from_none=True)
    assert raised.value.user_message == "数据类别不存在: cn_none_pivot#close"
    assert len(refresh.calls) == 1
    assert logs.messages("DEBUG")[-1] == "读取数据: cn_none_pivot#close"
    assert logs.messages("ERROR") == ["数据类别不存在: cn_none_pivot#close"]

    # Published after the client loaded its list: found by the one reload.
    later = "cn_later_pivot#open"
    service.publisher.publish_pivot(later, PRICES)
    pd.testing.assert_frame_equal(client.GetCategory(later), PRICES, check_freq=False)
    assert len(refresh.calls) == 2


@pytest.mark.parametrize("args, message", [
    ((123,), "Argument 'category' has incorrect type (expected str, got int)"),
    ((PIVOT, 20240101), "Argument 'start_date' has incorrect type (expected str, got int)"),
    ((PIVOT, None, b"2024"), "Argument 'end_date' has incorrect type (expected str, got bytes)"),
])
def test_argument_types_are_checked_before_any_work(published, make_client, logs, args, message):
    client = make_client()
    with pytest.raises(TypeError) as raised:
        client.GetCategory(*args)
    assert str(raised.value) == message
    assert logs.messages("ERROR") == []


def test_list_categories_reloads_every_time_and_returns_a_copy(service, published, make_client):
    client = make_client()
    refresh = CallCounter(client, "_refresh_categories")
    first = client.ListCategories()
    assert first == sorted([PIVOT, UNSTACK])
    first.append("mine")
    service.publisher.publish_pivot("cn_a_pivot#x", PRICES.iloc[:, :2])
    assert client.ListCategories() == sorted(["cn_a_pivot#x", PIVOT, UNSTACK])
    assert len(refresh.calls) == 2


def test_foreign_failure_becomes_service_unavailable(published, make_client, logs):
    client = make_client(display_errors=False)

    def broken():
        raise ValueError("secret detail")

    client._refresh_categories = broken
    with pytest.raises(ServiceUnavailableError) as raised:
        client.ListCategories()
    assert_public(raised.value, from_none=True)
    assert raised.value.user_message == "服务暂时不可用，请稍后重试"
    assert logs.messages("ERROR") == []


def test_local_list_needs_no_connection(service, published, make_client):
    client = make_client()
    assert not client.ListLocalCategories()
    client.UpdateAllCategory()
    client.close()
    service.close()
    assert sorted(client.ListLocalCategories()) == [PIVOT, UNSTACK]


class Store:
    def __init__(self, names):
        self.names = names

    def _get_all_categories(self):
        return self.names


@pytest.mark.parametrize("names, error", [
    (None, None),
    (("a",), "Expected list, got tuple"),
    ("abc", "Expected list, got str"),
])
def test_local_list_must_be_a_list(published, make_client, names, error):
    client = make_client()
    client.CV_db = Store(names)
    if error is None:
        assert client.ListLocalCategories() is names
    else:
        with pytest.raises(TypeError, match=error):
            client.ListLocalCategories()
