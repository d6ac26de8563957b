"""Reading the store with Dask: a pivot category's folder is a Hive-partitioned Parquet
dataset that another engine reads to the values that GetCategory returns."""

import warnings

import pandas as pd
import pytest

with warnings.catch_warnings():
    # Debian's Dask comes without dask-expr and warns that it uses its legacy frames.
    warnings.simplefilter("ignore", FutureWarning)
    import dask.dataframe as dd

from corvane.testing import synthetic_pivot

pytestmark = pytest.mark.service(categories=[])  # lists only what a test publishes


@pytest.mark.parametrize("partition_mode, partition_column", [("monthly", "month"),
                                                               ("daily", "day")])
def test_dask_reads_a_pivot_folder_to_the_values_of_get_category(service, make_client,
                                                                 partition_mode,
                                                                 partition_column):
    category = "cn_stock_pivot#close"
    service.publisher.publish_pivot(category, synthetic_pivot("2024-01-25", "2024-03-06", 7,
                                                              nan_fraction=0.1),
                                    partition_mode=partition_mode)
    client = make_client()
    client.UpdateAllCategory("full")
    expected = client.GetCategory(category)

    long = dd.read_parquet(client.CV_db.category_folder(category)).compute()
    assert set(long.columns) == {"date", "instrument", "value", partition_column}
    wide = long.pivot(index="date", columns="instrument", values="value")
    wide.columns = wide.columns.astype(str)
    wide = wide.reindex(columns=expected.columns)
    wide.columns.name = expected.columns.name
    wide.index.name = expected.index.name
    pd.testing.assert_frame_equal(wide, expected, check_freq=False)
