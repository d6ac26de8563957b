"""Selection of the partitions of an incremental update by name."""

from datetime import datetime

import pytest

START = datetime(2024, 3, 15, 17, 45)


@pytest.mark.parametrize("partition, kept", [
    ("2024-03-14", False), ("2024-03-15", True), ("2024-12-31", True),
    ("2024-02", False), ("2024-03", True), ("2025-01", True),
    ("2023", False), ("2024", True), ("2030", True),
    ("full", True),
])
def test_each_form_compares_with_its_period(bare_client, partition, kept):
    selected = bare_client._filter_partitions_by_date([partition], START)
    assert selected == ([partition] if kept else [])


def test_order_and_repeats_are_kept_and_the_input_is_untouched(bare_client):
    partitions = ["full", "2024-04", "2023-12", "2024-03-20", "2024", "2024-04", "2024-03-01"]
    before = list(partitions)
    selected = bare_client._filter_partitions_by_date(partitions, START)
    assert selected == ["full", "2024-04", "2024-03-20", "2024", "2024-04"]
    assert partitions == before and selected is not partitions
    assert bare_client._filter_partitions_by_date([], START) == []


def test_midnight_start_keeps_its_own_day(bare_client):
    midnight = datetime(2024, 3, 15)
    assert bare_client._filter_partitions_by_date(["2024-03-15"], midnight) == ["2024-03-15"]


@pytest.mark.parametrize("partitions, message", [
    (("2024",), "Argument 'partitions' has incorrect type"),
    (["2024", 2025], "Expected str, got int"),
])
def test_only_a_list_of_texts_is_accepted(bare_client, partitions, message):
    with pytest.raises(TypeError, match=message):
        bare_client._filter_partitions_by_date(partitions, START)
