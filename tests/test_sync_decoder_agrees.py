"""The partition decoder against pandas: random frames written with random pyarrow writer
options, and damaged copies of them (bits flipped in the footer where the schema, the
pandas metadata and the column chunks' offsets live, or in the pages, or the file cut short),
each published as it is with its true hash. Whatever pandas.read_parquet makes of a payload,
the client returns exactly; where pandas refuses one, the client raises SerializationError.
A damaged copy is also synchronised right after the payload it comes from, as the next day
of a category: it then meets the plan kept from the first (same schema and metadata bytes)
and is verified and decoded on the read-ahead threads.

The normal run is small and repeatable. CORVANE_FUZZ_EXAMPLES=N runs N random examples per
property instead, with a fresh seed each time (hypothesis prints the seed of a failure).
"""

import io
import os
import sys

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane  # noqa: F401  (loads corvane.CorvaneClient)
from corvane.exceptions import SerializationError
from corvane.testing import LocalService

C = sys.modules["corvane.CorvaneClient"].CorvaneClient
CATEGORY = "cn_stock_pivot#close"
DAILY = "cn_stock_pivot#open"

_LARGE = os.environ.get("CORVANE_FUZZ_EXAMPLES")
FUZZ = settings(max_examples=int(_LARGE) if _LARGE else 120, derandomize=not _LARGE,
                deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.fixture(scope="module")
def published(tmp_path_factory):
    """publish(payload) -> what the client's _download_partition returns, or the error it
    raises."""
    with LocalService() as service:
        service.publisher.set_categories([])
        client = C(api_token=service.token, api_url=service.url, log_level=40,
                   save_path=str(tmp_path_factory.mktemp("store")))

        def publish(payload):
            meta = service.publisher.publish_partition(CATEGORY, "2024-01", payload)
            return outcome(client._download_partition, CATEGORY, "2024-01", meta)

        yield publish
        client.close()


@pytest.fixture(scope="module")
def synchronised(tmp_path_factory):
    """run(payloads) -> (the frames that a run of a daily category over the payloads gave
    the store, in order; the error it ended with or None)."""
    with LocalService() as service:
        service.publisher.set_categories([])
        client = C(api_token=service.token, api_url=service.url, log_level=40,
                   save_path=str(tmp_path_factory.mktemp("store")))
        stored = []
        # The frames as the decoder made them, before the store's own work on them.
        client.CV_db.update_pivot_category = lambda df, **kwargs: stored.append(df)

        def run(payloads):
            days = [f"2024-01-{day:02d}" for day in range(1, len(payloads) + 1)]
            for day, payload in zip(days, payloads):
                service.publisher.publish_partition(DAILY, day, payload)
            service.publisher.publish_category_meta(DAILY, partition_mode="daily",
                                                    partition_keys=days)
            stored.clear()
            kind, result = outcome(client._sync_pivot_category, DAILY, None)
            return list(stored), (result if kind == "raised" else None)

        yield run
        client.close()


def outcome(call, *args):
    try:
        return "ok", call(*args)
    except Exception as error:  # noqa: BLE001 - the property judges what it got
        return "raised", error


# ---- frames and writer options -----------------------------------------------------------

# Labels from a small alphabet, so that repeats and look-alikes of the index name occur.
labels = st.text("ab_1平", min_size=1, max_size=3)
values = st.floats(allow_nan=True, allow_infinity=True, width=64)


@st.composite
def indexes(draw, rows):
    kind = draw(st.sampled_from(["dates", "range", "text", "default"]))
    name = draw(st.one_of(st.none(), labels, st.just("__index_level_0__")))
    if kind == "dates":
        unit = draw(st.sampled_from(["ns", "us", "ms", "s"]))
        stamps = draw(st.lists(st.one_of(st.none(), st.integers(0, 10**9)), min_size=rows,
                               max_size=rows))
        dates = pd.to_datetime([None if s is None else s * 10**9 for s in stamps])
        zone = draw(st.sampled_from([None, None, None, "Asia/Shanghai"]))
        return pd.DatetimeIndex(dates, name=name).as_unit(unit).tz_localize(zone)
    if kind == "range":
        start, step = draw(st.integers(-5, 5)), draw(st.sampled_from([1, 2, -3]))
        return pd.RangeIndex(start, start + step * rows, step, name=name)
    if kind == "text":
        texts = draw(st.lists(st.one_of(labels, st.none()) if draw(st.booleans()) else labels,
                              min_size=rows, max_size=rows))
        return pd.Index(texts, dtype=object, name=name)
    return None


@st.composite
def frames(draw):
    rows = draw(st.integers(1, 9))
    columns = draw(st.lists(labels, min_size=1, max_size=6, unique=True))
    block = np.array(draw(st.lists(values, min_size=rows * len(columns),
                                   max_size=rows * len(columns))), dtype="float64")
    frame = pd.DataFrame(block.reshape(rows, len(columns)), columns=columns,
                         index=draw(indexes(rows)))
    frame.columns.name = draw(st.one_of(st.none(), labels))
    odd = draw(st.sampled_from([None, None, None, "int", "float32", "text"]))
    if odd == "int":
        frame[frame.columns[0]] = np.arange(rows)
    elif odd == "float32":
        frame = frame.clip(-1e30, 1e30).astype("float32")
    elif odd == "text":
        frame[frame.columns[0]] = "x"
    return frame


writer_options = st.fixed_dictionaries({}, optional={
    "compression": st.sampled_from(["none", "snappy", "zstd", "gzip", "lz4", "brotli"]),
    "row_group_size": st.integers(1, 4),
    "use_dictionary": st.booleans(),
    "data_page_version": st.sampled_from(["1.0", "2.0"]),
    "data_page_size": st.sampled_from([1, 64, 1 << 20]),
    "write_statistics": st.booleans(),
    "store_schema": st.booleans(),
    "version": st.sampled_from(["1.0", "2.4", "2.6"]),
    "write_page_index": st.booleans(),
    "write_page_checksum": st.booleans(),
})


def written(frame, options):
    sink = io.BytesIO()
    pq.write_table(pa.Table.from_pandas(frame), sink, **options)
    return sink.getvalue()


@st.composite
def damaged(draw, payload):
    """The payload with a few bits flipped (in the footer, in the pages or anywhere) or cut
    short."""
    if draw(st.integers(0, 4)) == 0:
        return payload[:draw(st.integers(0, len(payload) - 1))]
    footer = int.from_bytes(payload[-8:-4], "little") if len(payload) >= 12 else 0
    start = max(0, len(payload) - 8 - footer)
    copy = bytearray(payload)
    for _ in range(draw(st.integers(1, 3))):
        where = draw(st.one_of(st.integers(start, len(payload) - 1),
                               st.integers(4, max(4, start - 1)),
                               st.integers(0, len(payload) - 1)))
        copy[where % len(copy)] ^= 1 << draw(st.integers(0, 7))
    return bytes(copy)


# ---- the property ------------------------------------------------------------------------

def assert_agrees(published, payload):
    kind, result = published(payload)
    try:
        expected = pd.read_parquet(io.BytesIO(payload))
    except Exception:  # noqa: BLE001 - any refusal of pandas is the client's refusal
        assert kind == "raised" and type(result) is SerializationError, result
        assert result.__cause__ is None and result.__context__ is None
        return
    assert kind == "ok", repr(result)
    pd.testing.assert_frame_equal(result, expected, check_exact=True, check_index_type=True,
                                  check_column_type=True, check_flags=True)
    assert result.attrs == expected.attrs


@FUZZ
@given(frames(), writer_options)
def test_written_frames(published, frame, options):
    assert_agrees(published, written(frame, options))


@FUZZ
@given(frames(), writer_options, st.data())
def test_damaged_frames(published, frame, options, data):
    assert_agrees(published, data.draw(damaged(written(frame, options))))


@FUZZ
@given(frames(), writer_options, st.data())
def test_damaged_day_after_a_sound_one(synchronised, frame, options, data):
    sound = written(frame, options)
    payload = data.draw(damaged(sound))
    stored, error = synchronised([sound, payload])
    pd.testing.assert_frame_equal(stored[0], pd.read_parquet(io.BytesIO(sound)), check_exact=True,
                                  check_index_type=True, check_column_type=True)
    try:
        expected = pd.read_parquet(io.BytesIO(payload))
    except Exception:  # noqa: BLE001 - any refusal of pandas is the client's refusal
        assert type(error) is SerializationError and len(stored) == 1, (error, len(stored))
        return
    assert error is None, repr(error)
    pd.testing.assert_frame_equal(stored[1], expected, check_exact=True, check_index_type=True,
                                  check_column_type=True, check_flags=True)


def test_days_of_one_kept_plan_own_their_column_labels(synchronised):
    """The days of a category share a kept plan; a name set on one frame's column labels
    (as research code does) stays on that frame."""
    frame = pd.DataFrame(np.arange(6.0).reshape(2, 3), columns=["a", "b", "c"],
                         index=pd.date_range("2024-01-01", periods=2))
    frame.columns.name = "instrument"
    stored, error = synchronised([written(frame.iloc[[0]], {}), written(frame.iloc[[1]], {})])
    assert error is None and len(stored) == 2
    stored[0].columns.name = "renamed"
    stored[0].columns.names = ["renamed"]
    for day, got in enumerate(stored[1:], start=1):
        pd.testing.assert_frame_equal(got, frame.iloc[[day]], check_exact=True, check_freq=False,
                                      check_column_type=True, check_names=True)
