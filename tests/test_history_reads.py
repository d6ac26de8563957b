"""The client's generations: a synchronisation is one, GetCategory reads as_of one without the
service, ListCategoryHistory names the published hashes of what each replaced."""

import datetime

import pandas as pd
import pytest

from corvane.exceptions import APIError, CategoryNotFoundError
from corvane.testing import parquet_bytes, payload_hash, synthetic_pivot, synthetic_unstack
from helpers import CallCounter, recorded

pytestmark = pytest.mark.service(categories=[])  # lists only what a test publishes

PIVOT = "cn_stock_pivot#close"
UNSTACK = "cn_trade_unstack#deal"
PRICES = synthetic_pivot("2024-01-01", "2024-03-29", 8, nan_fraction=0.05)
TRADES = synthetic_unstack(300)


@pytest.fixture
def restated(service, make_client):
    """A client that read PIVOT and UNSTACK, then fetched February and the table restated:
    (client, frames read before, frames read after, February's payloads old and new)."""
    publisher = service.publisher
    publisher.publish_pivot(PIVOT, PRICES)
    publisher.publish_unstack(UNSTACK, TRADES, duplicate_keys=["date", "code"])
    client = make_client()
    before = {PIVOT: client.GetCategory(PIVOT), UNSTACK: client.GetCategory(UNSTACK)}
    old_hash = recorded(client, PIVOT, "2024-02")
    payload = parquet_bytes(PRICES.loc["2024-02-05":"2024-02-20"] * 3)
    publisher.publish_partition(PIVOT, "2024-02", payload)
    publisher.publish_unstack(UNSTACK, TRADES.iloc[:200].assign(close=1.0),
                              duplicate_keys=["date", "code"])
    client.UpdateAllCategory("changed")
    after = {PIVOT: client.GetCategory(PIVOT), UNSTACK: client.GetCategory(UNSTACK)}
    return client, before, after, (old_hash, payload_hash(payload))


def test_a_synchronisation_is_one_generation_with_its_hashes(restated):
    client, _, _, (old_hash, new_hash) = restated
    history = client.ListCategoryHistory(PIVOT)
    assert history["generation"].tolist() == [1, 2]
    assert history["mode"].tolist() == ["full", "changed"]
    assert history.loc[0, "added"] == ["2024-01", "2024-02", "2024-03"]
    assert history.loc[1, "replaced"] == ["2024-02"]
    details = client.ListCategoryHistory(PIVOT, details=True)
    row = details[details["generation"] == 2].iloc[0]
    assert (row["partition"], row["old_hash"], row["new_hash"]) == ("2024-02", old_hash, new_hash)
    assert client.ListCategoryHistory(UNSTACK)["replaced"].tolist() == [[], ["full"]]
    # Nothing restated: a run makes no generation.
    client.UpdateAllCategory("full")
    assert len(client.ListCategoryHistory(PIVOT)) == 2


def test_as_of_reads_what_was_read_then_without_the_service(service, restated):
    client, before, after, _ = restated
    first = client.ListCategoryHistory(PIVOT)["committed"].iloc[0]
    service.close()  # no ticket API, no Redis from here on
    upkeep = CallCounter(client, "_ensure_connection")
    for category in (PIVOT, UNSTACK):
        pd.testing.assert_frame_equal(client.GetCategory(category, as_of=1), before[category])
        pd.testing.assert_frame_equal(client.GetCategory(category, as_of=-1), after[category])
    pd.testing.assert_frame_equal(client.GetCategory(PIVOT, as_of=first.isoformat()), before[PIVOT])
    pd.testing.assert_frame_equal(
        client.GetCategory(PIVOT, "2024-02-01", "2024-02-29", as_of=first.to_pydatetime(),
                           columns=list(PRICES.columns[:2])),
        before[PIVOT].loc["2024-02-01":"2024-02-29", list(PRICES.columns[:2])])
    assert upkeep.calls == []


@pytest.mark.parametrize("kwargs, error, text", [
    ({"as_of": datetime.datetime(2030, 1, 1)}, ValueError, "time zone"),
    ({"as_of": "2030-01-01"}, ValueError, "time zone"),
    ({"as_of": 0}, ValueError, "from 1"),
    ({"as_of": b"1"}, TypeError, "as_of"),
    ({"columns": ["a", "a"]}, ValueError, "more than once"),
    ({"columns": "a"}, TypeError, "columns"),
    ({"as_of": 9}, APIError, "第 1 至 2 代"),
    ({"as_of": datetime.datetime(2000, 1, 1, tzinfo=datetime.UTC)}, CategoryNotFoundError,
     "之前没有历史版本"),
    ({"columns": ["nope", "never"]}, APIError, "['nope', 'never']"),
], ids=["naive", "naive-text", "zero", "bytes", "twice", "text-columns", "no-such-generation",
        "before-first", "never-held"])
def test_refused_arguments_say_why(restated, kwargs, error, text):
    client = restated[0]
    with pytest.raises(error) as raised:
        client.GetCategory(PIVOT, **kwargs)
    assert text in str(raised.value)


def test_as_of_of_a_category_not_stored_is_an_error_not_a_download(published_nothing, client):
    sync = CallCounter(client, "_sync_category")
    with pytest.raises(CategoryNotFoundError):
        client.GetCategory(PIVOT, as_of=-1)
    assert sync.calls == []


@pytest.fixture
def published_nothing(service):
    service.publisher.publish_pivot(PIVOT, PRICES)
