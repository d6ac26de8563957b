"""Reads of chosen instruments: the extension module reads only the pages of their rows, and
whatever it does not read (files written before small pages, other dtypes, damage) pyarrow
reads as before. Each case compares with the same read left to pyarrow alone."""

from __future__ import annotations

import logging
import os

import numpy as np
import pandas as pd
import pyarrow.parquet as pq
import pytest
from store_support import codes, wide

from corvane._store import codec
from corvane.ParquetManager import ParquetDataManager

CAT = "cn_stock_pivot#close"
NAMES = codes(400)
# Jan holds 300 instruments, Feb 300 others in part, Mar all 400: three column lists, and
# enough rows per file for many value pages.
MONTHS = [("2024-01-01", 31, NAMES[:300]), ("2024-02-01", 29, NAMES[100:]), ("2024-03-01", 31, NAMES)]
CHOSEN = {
    "spread": [NAMES[399], NAMES[0], NAMES[150], NAMES[301], NAMES[42]],
    "neighbours": NAMES[200:204],
    "only-february-on": [NAMES[350], NAMES[10]],
}


@pytest.fixture
def store(tmp_path):
    return ParquetDataManager(str(tmp_path), logger=logging.getLogger("test.store"))


def put(store, dtype="float64", seed=0):
    for i, (start, days, names) in enumerate(MONTHS):
        store.update_pivot_category(df=wide(start, days, names, seed=seed + i, dtype=dtype),
                                    category=CAT, partition_mode="monthly")


def data_files(store) -> list:
    folder = store.category_folder(CAT)
    return sorted(os.path.join(folder, d, "data.parquet") for d in os.listdir(folder)
                  if d.startswith("month="))


@pytest.fixture
def left_to_pyarrow(monkeypatch):
    """Runs a read with the extension module's page reads refused: the read as before."""
    def run(call):
        with monkeypatch.context() as patched:
            patched.setattr(codec, "read_rows", lambda jobs, out: [False] * len(jobs))
            return outcome(call)
    return run


def outcome(call):
    try:
        return call()
    except Exception as e:  # compared by type and text
        return type(e), str(e)


def same(got, want) -> None:
    if isinstance(want, pd.DataFrame):
        assert isinstance(got, pd.DataFrame), got
        pd.testing.assert_frame_equal(got, want, check_freq=False)
        assert got.dtypes.tolist() == want.dtypes.tolist()
    else:
        assert got == want


@pytest.fixture
def decoded_whole(monkeypatch):
    """The files whose value column pyarrow decodes."""
    seen = []
    original = codec.StoredFile.block_values

    def spy(self, rows=None):
        seen.append(os.path.basename(os.path.dirname(self.path)))
        return original(self, rows)

    monkeypatch.setattr(codec.StoredFile, "block_values", spy)
    return seen


@pytest.mark.parametrize("dtype", ["float64", "float32", "int64", "int32"])
@pytest.mark.parametrize("chosen", CHOSEN.values(), ids=CHOSEN.keys())
@pytest.mark.parametrize("span", [(None, None), ("2024-01-20", "2024-03-05"), ("2024-02-10", "2024-02-10")],
                         ids=["all", "inside-months", "one-day"])
def test_chosen_instruments_read_by_pages_agree_with_pyarrow(store, left_to_pyarrow, decoded_whole,
                                                             dtype, chosen, span):
    put(store, dtype)
    read = lambda: store.read_pivot_category(CAT, *span, columns=chosen)  # noqa: E731
    want = left_to_pyarrow(read)
    decoded_whole.clear()
    got = read()
    # Integers with a missing instrument become float64: those files are converted by numpy.
    if dtype.startswith("float") or all(n in names for _, _, names in MONTHS for n in chosen):
        assert decoded_whole == []
    same(got, want)
    if dtype.startswith("float"):  # (integers: the full read's dtype depends on every column)
        same(got, store.read_pivot_category(CAT, *span).reindex(columns=chosen))


def _write_as_before(table, path, opener, footer=None, **options):
    """Block files as the release before small pages wrote them: one page run, no offset
    index, the footer inside the Arrow schema."""
    if footer is not None:
        table = table.replace_schema_metadata({codec.FOOTER_KEY: footer})
    options = {k: v for k, v in options.items() if k not in ("data_page_size", "write_page_index")}
    with opener(path) as f:
        pq.write_table(table, f, **options)


def test_files_written_before_small_pages_read_as_before(store, left_to_pyarrow, monkeypatch):
    with monkeypatch.context() as patched:
        patched.setattr(codec, "_write_table", _write_as_before)
        put(store)
    # March written again now: one file with an offset index among two without.
    store.update_pivot_category(df=wide("2024-03-01", 31, NAMES, seed=9), category=CAT,
                                partition_mode="monthly")
    indexed = [pq.read_metadata(p).row_group(0).column(2).has_offset_index for p in data_files(store)]
    assert indexed == [False, False, True]
    for chosen in CHOSEN.values():
        read = lambda: store.read_pivot_category(CAT, columns=chosen)  # noqa: E731
        same(read(), left_to_pyarrow(read))


def _truncate(path):
    with open(path, "r+b") as f:
        f.truncate(os.path.getsize(path) // 2)


def _overwrite_values(path):
    value = pq.read_metadata(path).row_group(0).column(2)
    with open(path, "r+b") as f:
        f.seek(value.data_page_offset)
        f.write(b"\xff" * value.total_compressed_size)


def _overwrite_footer(path):
    size = os.path.getsize(path)
    with open(path, "r+b") as f:
        f.seek(size - 600)
        f.write(b"\x07" * 400)


@pytest.mark.parametrize("damage", [_truncate, _overwrite_values, _overwrite_footer],
                         ids=["truncated", "values-overwritten", "footer-overwritten"])
def test_a_damaged_file_fails_as_before(store, left_to_pyarrow, damage):
    put(store)
    damage(data_files(store)[1])
    read = lambda: store.read_pivot_category(CAT, columns=CHOSEN["spread"])  # noqa: E731
    want = left_to_pyarrow(read)
    assert isinstance(want, tuple), "the damage must show"
    assert outcome(read) == want


def test_as_of_reads_chosen_instruments_of_kept_files(store, left_to_pyarrow):
    put(store)
    chosen = CHOSEN["spread"]
    before = store.read_pivot_category(CAT, columns=chosen)
    store.begin_generation(CAT, "changed")
    for start, days, names in MONTHS[:2]:
        store.update_pivot_category(df=wide(start, days, names, seed=7) * 2, category=CAT,
                                    partition=start[:7])
    store.end_generation(CAT)
    assert store.list_category_history(CAT)["generation"].tolist() == [1, 2, 3, 4]
    for as_of, want in [(3, before), (-1, store.read_pivot_category(CAT)[chosen])]:
        read = lambda: store.read_pivot_category(CAT, as_of=as_of, columns=chosen)  # noqa: E731
        same(read(), want)
        same(read(), left_to_pyarrow(read))


@pytest.mark.parametrize("seed", range(24))
def test_bytes_damaged_anywhere_give_pyarrow_s_outcome_or_the_true_rows(store, left_to_pyarrow, seed):
    """A damaged byte that the page reader meets sends the file to pyarrow; one it never
    reads (a page of other instruments) leaves the chosen rows as they were."""
    store.update_pivot_category(df=wide(*MONTHS[0], seed=seed), category=CAT, partition_mode="monthly")
    [path] = data_files(store)
    chosen = [NAMES[0], NAMES[150], NAMES[299]]
    truth = store.read_pivot_category(CAT, columns=chosen)
    data = bytearray(open(path, "rb").read())
    rng = np.random.default_rng(seed)
    tail = rng.random() < 0.5  # half the cases within the footer and the indexes
    for at in rng.integers(len(data) - 6000 if tail else 0, len(data), size=int(rng.integers(1, 4))):
        data[at] ^= int(rng.integers(1, 256))
    with open(path + ".damaged", "wb") as f:
        f.write(data)
    os.replace(path + ".damaged", path)  # a new file, as the store replaces its files
    read = lambda: store.read_pivot_category(CAT, columns=chosen)  # noqa: E731
    got, want = outcome(read), left_to_pyarrow(read)
    if isinstance(got, pd.DataFrame) and isinstance(want, pd.DataFrame) and got.equals(want):
        return
    if isinstance(got, pd.DataFrame) and got.equals(truth):
        return
    assert got == want
