"""One partition: its checks, its decoding, and what a failed one leaves behind."""

import io
import json
import os

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from corvane.exceptions import MetaError, RemoteDataError, SerializationError
from corvane.testing import OMIT, payload_hash, synthetic_pivot
from helpers import assert_public, mod, parquet_payload

pytestmark = pytest.mark.service(categories=[])  # lists only what a test publishes

CATEGORY = "cn_stock_pivot#close"


@pytest.fixture
def client(make_client):
    return make_client()


class ReadParquetSpy:
    """The module's `pd`, with calls of read_parquet (the general reader) counted."""

    def __init__(self):
        self.calls = 0

    def __getattr__(self, name):
        return getattr(pd, name)

    def read_parquet(self, *args, **kwargs):
        self.calls += 1
        return pd.read_parquet(*args, **kwargs)


@pytest.fixture
def general_reader(monkeypatch):
    spy = ReadParquetSpy()
    monkeypatch.setattr(mod, "pd", spy)
    return spy


# ---- Decoding: the fast path and pandas give the same frame ----------------------------

_rng = np.random.default_rng(7)
_dates = pd.date_range("2024-01-01", periods=6, freq="B", name="date")


def _prices(index=_dates, columns=("000001.SZ", "600002.SH", "000003.SZ", "平安银行")):
    return pd.DataFrame(_rng.normal(10, 1, (len(index), len(columns))), index=index,
                        columns=list(columns))


def _with_nan():
    frame = _prices()
    frame.iloc[1, 2] = np.nan
    frame.iloc[:, 0] = np.nan
    return frame


def _row_groups(frame, **options):
    buffer = io.BytesIO()
    pq.write_table(pa.Table.from_pandas(frame), buffer, row_group_size=2, **options)
    return buffer.getvalue()


# name -> (payload, whether the fast path takes it)
SHAPES = {
    "datetime index": (parquet_payload(_prices()), True),
    "unnamed datetime index": (parquet_payload(_prices(_dates.rename(None))), True),
    "microsecond index": (parquet_payload(_prices(_dates.as_unit("us"))), True),
    "second index": (parquet_payload(_prices(_dates.as_unit("s"))), False),
    "index with NaT": (parquet_payload(_prices(pd.DatetimeIndex([*_dates[:5], pd.NaT], name="d"))), True),
    "timezone index": (parquet_payload(_prices(_dates.tz_localize("Asia/Shanghai"))), False),
    "NaN values": (parquet_payload(_with_nan()), True),
    "text index": (parquet_payload(_prices(pd.Index(_dates.strftime("%Y-%m-%d"), name="date"))), True),
    "text index with None": (parquet_payload(_prices(pd.Index(["a", None, "c", "d", "e", "f"]))), False),
    "range index": (parquet_payload(_prices(pd.RangeIndex(6))), True),
    "stepped range index": (parquet_payload(_prices(pd.RangeIndex(10, 22, 2, name="n"))), True),
    "named columns": (parquet_payload(_prices().rename_axis(columns="code")), True),
    "int columns": (parquet_payload(pd.DataFrame({"a": np.arange(6), "b": np.arange(6) * 2}, index=_dates)), False),
    "float and int columns": (parquet_payload(_prices().assign(volume=np.arange(6))), False),
    "float32 columns": (parquet_payload(_prices().astype("float32")), False),
    "nullable floats": (parquet_payload(_prices().astype("Float64")), False),
    "integer column names": (parquet_payload(pd.DataFrame(_rng.normal(size=(6, 3)), index=_dates)), False),
    "two-level index": (parquet_payload(_prices(pd.MultiIndex.from_arrays([_dates, list("abcdef")]))), False),
    "one row": (parquet_payload(_prices(_dates[:1])), True),
    "no rows": (parquet_payload(_prices(_dates[:0])), False),
    "many row groups": (_row_groups(_with_nan()), True),
    "many row groups, plain pages": (_row_groups(_with_nan(), use_dictionary=False, data_page_size=16), True),
    "data page v2": (_row_groups(_with_nan(), data_page_version="2.0"), True),
    "snappy": (parquet_payload(_with_nan(), compression="snappy"), True),
    "zstd": (parquet_payload(_with_nan(), compression="zstd"), True),
    "uncompressed": (parquet_payload(_with_nan(), compression=None), True),
    "no pandas metadata": (pa.BufferOutputStream(), False),  # filled below
    "wide": (parquet_payload(synthetic_pivot("2024-01-01", "2024-01-31", 3000, nan_fraction=0.01)), True),
}
_sink = io.BytesIO()
pq.write_table(pa.table({"a": [1.0, 2.0], "b": [None, 3.0]}), _sink)
SHAPES["no pandas metadata"] = (_sink.getvalue(), False)


@pytest.mark.parametrize("shape", SHAPES)
def test_decoded_frame_equals_pandas(service, client, general_reader, shape):
    payload, fast = SHAPES[shape]
    meta = service.publisher.publish_partition(CATEGORY, "2024-01", payload)
    frame = client._download_partition(CATEGORY, "2024-01", meta)
    expected = pd.read_parquet(io.BytesIO(payload))
    pd.testing.assert_frame_equal(frame, expected)
    assert type(frame.index) is type(expected.index)
    assert frame.columns.name == expected.columns.name
    assert (general_reader.calls == 0) is fast


def test_fast_path_frame_is_one_float_block(service, client):
    payload, _ = SHAPES["wide"]
    meta = service.publisher.publish_partition(CATEGORY, "2024-01", payload)
    frame = client._download_partition(CATEGORY, "2024-01", meta)
    assert frame._mgr.nblocks == 1 and frame.dtypes.eq("float64").all()


# ---- Verification: each failure has its class -----------------------------------------

GOOD = parquet_payload(_prices())


def _publish(publisher, case):
    """Publishes partition 2024-01 broken as `case` says; returns its metadata."""
    payload = {"undecodable bytes": b"PAR1 not really parquet PAR1",
               "wrong hash, payload over 1 MiB": SHAPES["wide"][0]}.get(case, GOOD)
    data_key = "k" * 1024 if case == "data_key of 1,024 characters" else None
    meta = publisher.publish_partition(CATEGORY, "2024-01", payload, data_key=data_key)
    changes = {
        "data_key missing": {"data_key": OMIT},
        "data_key empty": {"data_key": ""},
        "data_key of 1,025 characters": {"data_key": "k" * 1025},
        "data_key not text": {"data_key": 7},
        "hash missing": {"hash": OMIT},
        "wrong hash": {"hash": payload_hash(b"other")},
        "wrong hash, payload over 1 MiB": {"hash": payload_hash(b"other")},
        "upper-case hash": {"hash": payload_hash(payload).upper().replace("SHA256", "sha256")},
    }.get(case, {})
    if case == "payload missing":
        publisher.delete(meta["data_key"])
    meta = {k: v for k, v in {**meta, **changes}.items() if v is not OMIT}
    publisher.set_raw(f"corvane:meta:partition:{CATEGORY}:2024-01", json.dumps(meta))
    return meta


@pytest.mark.parametrize("case, error", [
    ("data_key missing", MetaError),
    ("data_key empty", MetaError),
    ("data_key of 1,025 characters", MetaError),
    ("data_key not text", MetaError),
    ("payload missing", RemoteDataError),
    ("hash missing", SerializationError),
    ("wrong hash", SerializationError),
    ("wrong hash, payload over 1 MiB", SerializationError),  # hashed beside the decoder
    ("upper-case hash", SerializationError),
    ("undecodable bytes", SerializationError),
    ("data_key of 1,024 characters", None),
])
def test_verification(service, client, case, error):
    meta = _publish(service.publisher, case)
    if error is None:
        frame = client._download_partition(CATEGORY, "2024-01", meta)
        pd.testing.assert_frame_equal(frame, pd.read_parquet(io.BytesIO(GOOD)))
        return
    with pytest.raises(error) as raised:
        client._download_partition(CATEGORY, "2024-01", meta)
    assert_public(raised.value)  # raised bare: the decoder's own error is not chained either


@pytest.mark.parametrize("cap, accepted", [(len(GOOD), True), (len(GOOD) - 1, False)])
def test_size_cap_is_read_through_the_instance(service, client, cap, accepted):
    meta = service.publisher.publish_partition(CATEGORY, "2024-01", GOOD)
    client.MAX_PARTITION_BYTES = cap
    if accepted:
        client._download_partition(CATEGORY, "2024-01", meta)
    else:
        with pytest.raises(SerializationError):
            client._download_partition(CATEGORY, "2024-01", meta)


@pytest.mark.parametrize("case, error", [
    ("wrong hash", SerializationError),
    ("undecodable bytes", SerializationError),
    ("payload missing", RemoteDataError),
    ("data_key empty", MetaError),
])
def test_failed_partition_stores_nothing(service, client, case, error):
    _publish(service.publisher, case)
    service.publisher.publish_category_meta(CATEGORY, partition_keys=["2024-01"])
    with pytest.raises(error):
        client._sync_category(CATEGORY)
    assert CATEGORY not in (client.ListLocalCategories() or [])
    assert not os.path.exists(client._get_hash_path(CATEGORY, "2024-01"))


def test_failure_on_third_of_five_partitions_keeps_the_first_two(service, client):
    history = synthetic_pivot("2024-01-01", "2024-05-31", 30)
    publisher = service.publisher
    months = publisher.publish_pivot(CATEGORY, history)
    assert len(months) == 5
    publisher.publish_partition(CATEGORY, months[2], parquet_payload(history.loc["2024-03"]),
                                hash=payload_hash(b"tampered"))
    with pytest.raises(SerializationError):
        client._sync_category(CATEGORY)
    recorded = [os.path.exists(client._get_hash_path(CATEGORY, m)) for m in months]
    assert recorded == [True, True, False, False, False]
    for month in months[:2]:
        meta = json.loads(publisher.get_raw(f"corvane:meta:partition:{CATEGORY}:{month}"))
        with open(client._get_hash_path(CATEGORY, month), encoding="utf-8") as record:
            assert record.read() == meta["hash"]
    stored = client.CV_db.read_pivot_category(CATEGORY, None, None)
    pd.testing.assert_frame_equal(stored, history.loc[:"2024-02"], check_freq=False)
    # The client never hands out that partial frame: its read completes the category first
    # and meets the same bad partition.
    with pytest.raises(SerializationError):
        client.GetCategory(CATEGORY)


# ---- A category's partitions: the plan of one payload serves the next -------------------

def _months_written(**options):
    """Five monthly payloads whose footers share, or just fail to share, what the decoder
    plans from: the schema and the key-value metadata."""
    history = synthetic_pivot("2024-01-01", "2024-05-31", 4)

    def written(month, **more):
        return parquet_payload(history.loc[month], **options, **more)

    return {
        "2024-01": written("2024-01"),
        "2024-02": written("2024-02"),  # the same footer fields
        # The same key-value metadata (the frame's own types), dates stored in microseconds.
        "2024-03": written("2024-03", coerce_timestamps="us"),
        # The same schema; the pandas metadata names the column labels.
        "2024-04": parquet_payload(history.loc["2024-04"].rename_axis(columns="code"), **options),
        "2024-05": parquet_payload(history.loc["2024-05"].rename_axis(columns="code"), **options),
    }


@pytest.mark.parametrize("options", [{}, {"compression": "zstd", "row_group_size": 7}])
def test_partitions_of_a_run_decode_as_pandas_reads_each(service, make_client, options):
    payloads = _months_written(**options)
    for partition, payload in payloads.items():
        service.publisher.publish_partition(CATEGORY, partition, payload)
    service.publisher.publish_category_meta(CATEGORY, partition_keys=list(payloads))
    frames = {}

    class Recording(mod.CorvaneClient):
        def _download_partition(self, category, partition, meta):
            frames[partition] = super()._download_partition(category, partition, meta)
            return frames[partition]

    make_client(Recording)._sync_category(CATEGORY)
    assert list(frames) == list(payloads)
    for partition, payload in payloads.items():
        expected = pd.read_parquet(io.BytesIO(payload))
        pd.testing.assert_frame_equal(frames[partition], expected, check_exact=True,
                                      check_index_type=True, check_column_type=True)
        assert frames[partition].columns.name == expected.columns.name
