"""Selection of the partitions of an incremental update by name."""

from datetime import datetime

import pytest

from sync_support import CorvaneClient

START = datetime(2024, 3, 15, 17, 45)


@pytest.fixture
def client():
    return CorvaneClient.__new__(CorvaneClient)


@pytest.mark.parametrize("partition, kept", [
    ("2024-03-14", False), ("2024-03-15", True), ("2024-12-31", True),
    ("2024-02", False), ("2024-03", True), ("2025-01", True),
    ("2023", False), ("2024", True), ("2030", True),
    ("full", True),
])
def test_each_form_compares_with_its_period(client, partition, kept):
    assert client._filter_partitions_by_date([partition], START) == ([partition] if kept else [])


def test_order_and_repeats_are_kept_and_the_input_is_untouched(client):
    partitions = ["full", "2024-04", "2023-12", "2024-03-20", "2024", "2024-04", "2024-03-01"]
    before = list(partitions)
    selected = client._filter_partitions_by_date(partitions, START)
    assert selected == ["full", "2024-04", "2024-03-20", "2024", "2024-04"]
    assert partitions == before and selected is not partitions
    assert client._filter_partitions_by_date([], START) == []


def test_midnight_start_keeps_its_own_day(client):
    assert client._filter_partitions_by_date(["2024-03-15"], datetime(2024, 3, 15)) == ["2024-03-15"]


@pytest.mark.parametrize("partitions, message", [
    (("2024",), "Argument 'partitions' has incorrect type"),
    (["2024", 2025], "Expected str, got int"),
])
def test_only_a_list_of_texts_is_accepted(client, partitions, message):
    with pytest.raises(TypeError, match=message):
        client._filter_partitions_by_date(partitions, START)
