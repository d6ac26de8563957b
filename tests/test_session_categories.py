"""The list of remote categories that the ticket authorises."""

import json

import pytest

from corvane.exceptions import InvalidCategoryError, MetaError, ProtocolError
from helpers import raised

NAMES = ["cn_stock_pivot#open", "cn_stock_pivot2_pivot#open", "cn_fund_unstack#nav",
         "us_stock_pivot#close"]


@pytest.mark.parametrize("listed, expected", [
    ({"cn_stock_pivot#open": 1}, MetaError),
    ("cn_stock_pivot#open", MetaError),
    ([f"d{i}_pivot#f" for i in range(10001)], MetaError),
    (["cn_stock_pivot#open", 5], ProtocolError),
    (["cn_stock_pivot#open", None], ProtocolError),
    (["cn_stock_pivot#open", "cn stock_pivot#open"], InvalidCategoryError),
    (None, MetaError),
])
def test_a_bad_list_leaves_the_previous_one(service, client, logs, listed, expected):
    before, before_set = client._remote_categories, client._remote_categories_set
    service.publisher.set_raw("corvane:meta:categories", json.dumps(listed))
    raised(logs, expected, client._refresh_categories)
    assert client._remote_categories is before and client._remote_categories_set is before_set


@pytest.mark.parametrize("listed, expected", [
    ([], []),
    (["b_pivot#x", "a_unstack#y", "b_pivot#x"], ["a_unstack#y", "b_pivot#x", "b_pivot#x"]),
    (["B_pivot#x", "a_pivot#x", "Z_pivot#x"], ["B_pivot#x", "Z_pivot#x", "a_pivot#x"]),
    ([f"d{i}_pivot#f" for i in range(10000)], sorted(f"d{i}_pivot#f" for i in range(10000))),
])
def test_list_is_sorted_with_duplicates_kept(service, client, logs, listed, expected):
    service.publisher.set_categories(listed)
    assert client._refresh_categories() is None
    assert client._remote_categories == expected
    assert client._remote_categories_set == set(expected)
    assert logs.lines()[-1] == ("INFO", f"加载了 {len(expected)} 个类别")


@pytest.mark.parametrize("datasets, patterns, kept", [
    ((), (), NAMES),
    (("cn_stock_pivot",), (), ["cn_stock_pivot#open"]),
    (("cn_stock_pivot", "us_stock_pivot"), (), ["cn_stock_pivot#open", "us_stock_pivot#close"]),
    (("cn_stock",), (), []),
    ((), ("cn_stock_pivot#*",), ["cn_stock_pivot#open"]),
    ((), ("cn_stock_*",), ["cn_stock_pivot#open", "cn_stock_pivot2_pivot#open"]),
    ((), ("*",), NAMES),
    ((), ("CN_*",), []),
    ((), ("?n_*#nav", "us_stock_pivot#[!x]*"), ["cn_fund_unstack#nav", "us_stock_pivot#close"]),
    # Patterns decide alone when there are any.
    (("cn_fund_unstack",), ("cn_stock_pivot#*",), ["cn_stock_pivot#open"]),
])
def test_filtering_by_the_ticket(service, client, logs, datasets, patterns, kept):
    service.publisher.set_categories(NAMES)
    service.api.configure(datasets=datasets, category_patterns=patterns)
    client._fetch_ticket()
    before = len(logs.records)
    client._refresh_categories()
    assert client._remote_categories == sorted(kept)
    filters = [r for r in logs.records[before:] if r.msg == "??????: %s -> %s"]
    if datasets or patterns:
        [record] = filters
        assert record.levelname == "DEBUG" and record.args == (len(NAMES), len(kept))
    else:
        assert filters == []

