"""The category record (_store.json): the bytes on disk stay those that clients have always
written and read, through every kind of update that rewrites it.

store_records.json holds every record write of ``history`` as the store wrote it before the
record became a class (the format has had one version, 1): pivot block categories (naive,
zoned and text dates, new columns, a dtype promotion announced as pending, daily grouping),
a block category moving to the frame encoding, a frame category, an unstack category
updated, replaced and re-keyed, and a name too long for a folder."""

from __future__ import annotations

import json
import logging
import os

import numpy as np
import pandas as pd
import pytest
from store_support import wide

from corvane._store import files
from corvane._store.record import from_json
from corvane.exceptions import LocalStorageError
from corvane.ParquetManager import ParquetDataManager

HISTORY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "store_records.json")
LONG = "cn_long_pivot#" + "x" * 300


def trades(n: int, start: int = 0) -> pd.DataFrame:
    return pd.DataFrame({"code": [f"{i % 7:06d}.SZ" for i in range(start, start + n)],
                         "seq": np.arange(start, start + n, dtype=np.int64),
                         "price": np.arange(start, start + n, dtype=np.float64) / 4})


def history(store: ParquetDataManager) -> None:
    """Updates that between them write every key and state a record can have."""
    store.update_pivot_category(df=wide("2024-01-30", 5, ["a", "b"], dtype="float32"),
                                category="p_block#float")
    store.update_pivot_category(df=wide("2024-02-02", 3, ["b", "c"], seed=1, dtype="float32"),
                                category="p_block#float")
    store.update_pivot_category(df=wide("2024-02-10", 2, ["a"], seed=2),  # float64: pending
                                category="p_block#float")
    zoned = wide("2024-03-01", 4, ["x", "y"], name="when")
    zoned.index = zoned.index.tz_localize("Asia/Shanghai")
    zoned.columns.name = "instrument"
    store.update_pivot_category(df=zoned, category="p_block#zoned", partition_mode="daily")
    store.update_pivot_category(df=wide("2024-01-01", 3, ["a"], dtype="int32", text=True),
                                category="p_block#text", partition="2024-01")
    store.update_pivot_category(df=wide("2024-01-01", 3, ["a", "b"]), category="p_moves#x")
    store.update_pivot_category(df=wide("2024-01-04", 2, ["a", "b"]).astype("Float64"),
                                category="p_moves#x")
    store.update_pivot_category(df=wide("2024-05-01", 2, ["s"]).astype(str), category="p_frame#x")
    store.update_pivot_category(df=wide("2024-05-03", 2, ["s"]).astype(str), category="p_frame#x")
    store.update_unstack_category(category="u#fills", sub_df=trades(10), duplicate_keys=["code"])
    store.update_unstack_category(category="u#fills", sub_df=trades(5, 3), duplicate_keys="code")
    store.update_unstack_category(category="u#fills", sub_df=trades(4, 20), duplicate_keys=None)
    store.update_unstack_category(category="u#fills", sub_df=trades(3), partition="full")
    store.update_pivot_category(df=wide("2024-01-01", 2, ["a"]), category=LONG)


@pytest.fixture
def record_writes(monkeypatch):
    """Every record write, in order: (file name under the root, bytes)."""
    written = []
    write_bytes = files.write_bytes

    def capture(path, data):
        if os.path.basename(path) == "_store.json":
            written.append((os.path.basename(os.path.dirname(path)), data.decode()))
        write_bytes(path, data)

    monkeypatch.setattr(files, "write_bytes", capture)
    return written


@pytest.fixture(scope="module")
def recorded():
    with open(HISTORY, encoding="utf-8") as f:
        return [tuple(item) for item in json.load(f)]


def test_updates_write_the_records_clients_have_always_written(tmp_path, record_writes, recorded):
    store = ParquetDataManager(str(tmp_path), logger=logging.getLogger("test.store"))
    history(store)
    assert record_writes == recorded


def test_records_of_earlier_clients_read_and_write_back_unchanged(recorded):
    for folder, text in recorded:
        raw = json.loads(text)
        record = from_json(raw, folder)
        assert json.dumps(record.to_json(raw["category"]), ensure_ascii=False,
                          separators=(",", ":")) == text


def test_a_store_written_by_earlier_clients_reads(tmp_path, recorded):
    """The last record of each category, put beside data files that match it, reads as the
    data (and the next update keeps the record's bytes when nothing changes)."""
    store = ParquetDataManager(str(tmp_path), logger=logging.getLogger("test.store"))
    history(store)
    final = dict(recorded)
    for folder, text in final.items():
        with open(os.path.join(tmp_path, folder, "_store.json"), "w", encoding="utf-8") as f:
            f.write(text)
    assert store._get_all_categories() == sorted(
        [name for name in final if not name.startswith("_long_")] + [LONG])
    assert store.read_pivot_category("p_block#float").shape == (8, 3)
    assert store.read_unstack_category("u#fills")["seq"].tolist() == [0, 1, 2]
    store.update_pivot_category(df=wide("2024-05-03", 2, ["s"]).astype(str), category="p_frame#x")
    with open(os.path.join(tmp_path, "p_frame#x", "_store.json"), encoding="utf-8") as f:
        assert f.read() == final["p_frame#x"]


@pytest.mark.parametrize("text", [
    '{"format":1,"kind":"pivot","grouping":"monthly","category":"c"}',
    '{"format":1,"kind":"pivot","layout":"wide","grouping":"monthly","category":"c"}',
    '{"format":1,"kind":"table","category":"c"}',
    '{"format":1,"kind":"unstack","parts":[["part-00000000.parquet",3]],"next":1,"category":"c"}',
    '{"format":1,"kind":"unstack","parts":[{"file":"../x.parquet","rows":1}],"next":1,'
    '"category":"c"}',
    '{"format":2,"kind":"unstack","parts":[],"next":0,"keys":null,"category":"c"}',
    '[1]',
], ids=["no-layout", "unknown-layout", "unknown-kind", "part-not-object", "part-outside",
        "newer-format", "not-object"])
def test_a_record_that_cannot_be_understood_is_a_storage_error(tmp_path, text):
    store = ParquetDataManager(str(tmp_path), logger=logging.getLogger("test.store"))
    os.makedirs(os.path.join(tmp_path, "c"))
    with open(os.path.join(tmp_path, "c", "_store.json"), "w", encoding="utf-8") as f:
        f.write(text)
    for call in (lambda: store.read_unstack_category("c"),
                 lambda: store.read_pivot_category("c"),
                 lambda: store.holds_partition("c", "full"),
                 lambda: store.category_stats("c"),
                 lambda: store.update_unstack_category(category="c", sub_df=trades(2))):
        with pytest.raises(LocalStorageError) as caught:
            call()
        assert caught.value.user_message == "本地存储格式无法识别: c"
