"""A writer killed with SIGKILL at random moments leaves every file old or new, a store
that reads, every generation of its ledger readable (the latest the old or the new state),
and a store that the next update brings to the final state, its history complete."""

from __future__ import annotations

import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import store_crash_job as job

from corvane.ParquetManager import ParquetDataManager

HERE = os.path.dirname(os.path.abspath(__file__))
KILLS = 12


def run_job(root: str, phase: str) -> subprocess.Popen:
    env = dict(os.environ, PYTHONPATH=os.path.dirname(HERE))
    return subprocess.Popen([sys.executable, os.path.join(HERE, "store_crash_job.py"), root,
                             phase], stdout=subprocess.PIPE, text=True, env=env)


def files_of(root: str) -> dict:
    """The files outside history (whose names are versions and times, checked by reading)."""
    found = {}
    for folder, _, names in os.walk(root):
        if "_history" in folder.split(os.sep):
            continue
        for name in names:
            if name.startswith(".tmp-") or name in (".lock", ".writing"):
                continue
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root)] = f.read()
    return found


def state(root: str, as_of=None) -> dict:
    store = ParquetDataManager(root)
    return {"listed": store._get_all_categories(),
            "meta": store.get_category_meta(job.PROMOTED),
            job.PROMOTED: store.read_pivot_category(job.PROMOTED, None, None, as_of=as_of),
            job.MERGED: store.read_pivot_category(job.MERGED, None, None, as_of=as_of),
            job.GROUPED: store.read_pivot_category(job.GROUPED, None, None, as_of=as_of),
            job.TRADES: store.read_unstack_category(job.TRADES, as_of=as_of)}


CATEGORIES = (job.PROMOTED, job.MERGED, job.GROUPED, job.TRADES)


def generations(root: str) -> dict:
    store = ParquetDataManager(root)
    return {c: store.list_category_history(c)["generation"].tolist() for c in CATEGORIES}


def without_version(rel: str, data: bytes):
    """A data file as a table and its footer without the version (random per write)."""
    if not rel.endswith(".parquet") or data is None:
        return data
    table = pq.read_table(pa.BufferReader(data))
    meta = dict(table.schema.metadata or {})
    meta.pop(b"corvane", None)  # block files keep it beside the Arrow schema, not in it
    footer = json.loads((pq.read_metadata(pa.BufferReader(data)).metadata or {}).get(b"corvane", b"{}"))
    footer.pop("version", None)
    return table.replace_schema_metadata(meta), footer


def same_file(rel: str, data: bytes, old: dict, new: dict) -> bool:
    if data in (old.get(rel), new.get(rel)):
        return True
    if rel.endswith(".parquet"):
        got = without_version(rel, data)
        for candidate in (old.get(rel), new.get(rel)):
            want = without_version(rel, candidate)
            if (want is not None and got[1] == want[1] and got[0].schema == want[0].schema
                    and got[0].to_pandas().equals(want[0].to_pandas())):  # NaN equal to NaN
                return True
    # A rewrite of every file is announced by the final record marked pending.
    if rel.endswith("_store.json") and rel in new:
        return json.loads(data) == dict(json.loads(new[rel]), pending=True)
    return False


def period_is_old_or_new(got: pd.DataFrame, old: pd.DataFrame, new: pd.DataFrame, period):
    """Each stored month (or day) reads as its old rows or its new rows, other cells NaN."""
    rows = got[got.index.to_period(period.freqstr) == period]
    for candidate in (old, new):
        want = candidate[candidate.index.to_period(period.freqstr) == period]
        if len(want) != len(rows) or not rows.index.equals(want.index):
            continue
        if np.array_equal(rows[want.columns].to_numpy(), want.to_numpy(np.float64),
                          equal_nan=True) and rows.drop(columns=want.columns).isna().all().all():
            return True
    return False


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    work = tmp_path_factory.mktemp("crash")
    template, final = str(work / "template"), str(work / "final")
    assert run_job(template, "base").wait(timeout=300) == 0
    durations = {}
    for phase in ("grouped", "update"):  # the final store is the one of the whole update
        shutil.rmtree(final, ignore_errors=True)
        shutil.copytree(template, final)
        finished = run_job(final, phase)
        out, _ = finished.communicate(timeout=300)
        assert finished.returncode == 0
        durations[phase] = float(out.split()[-1])
    return work, template, final, durations


# The whole update, and its last step alone: daily updates committed in groups.
@pytest.mark.parametrize("phase", ["update", "grouped"])
def test_killed_writer_leaves_old_or_new_files(runs, phase):
    work, template, final, durations = runs
    duration = durations[phase]
    old_files, new_files = files_of(template), files_of(final)
    old, new = state(template), state(final)
    rng = random.Random(6 if phase == "update" else 7)
    for kill in range(KILLS):
        root = str(work / f"kill{kill}")
        shutil.copytree(template, root)
        writer = run_job(root, phase)
        assert writer.stdout.readline().strip() == "ready"
        time.sleep(rng.uniform(0, duration * 1.1))
        writer.send_signal(signal.SIGKILL)
        writer.wait(timeout=60)
        writer.stdout.close()

        for rel, data in files_of(root).items():
            assert same_file(rel, data, old_files, new_files), f"kill {kill}: {rel}"
        got = state(root)
        assert got["listed"] == new["listed"]
        assert got["meta"] in (old["meta"], new["meta"])
        for category, freq in ((job.PROMOTED, "M"), (job.MERGED, "M"), (job.GROUPED, "D")):
            periods = set(new[category].index.to_period(freq))
            assert set(old[category].index.to_period(freq)) <= set(got[category].index.to_period(freq))
            for period in periods:
                if (got[category].index.to_period(freq) == period).any():
                    assert period_is_old_or_new(got[category], old[category], new[category],
                                                period), f"kill {kill}: {category} {period}"
        trades = got[job.TRADES]
        assert trades.equals(old[job.TRADES]) or trades.equals(new[job.TRADES])
        # The ledger's latest generation is the old state or the new one, whole.
        latest = state(root, as_of=-1)
        for category in CATEGORIES:
            assert (latest[category].equals(old[category])
                    or latest[category].equals(new[category])), f"kill {kill}: {category}"

        job.update(ParquetDataManager(root))
        recovered = state(root)
        for key, value in new.items():
            if isinstance(value, pd.DataFrame):
                pd.testing.assert_frame_equal(recovered[key], value)
            else:
                assert recovered[key] == value
        leftovers = [name for _, _, names in os.walk(root) for name in names
                     if name.startswith((".tmp-", ".run-")) or name == ".writing"]
        assert leftovers == []
        # Every generation reads; the first is the old state and the latest the new one.
        first, last = state(root, as_of=1), state(root, as_of=-1)
        for category in CATEGORIES:
            pd.testing.assert_frame_equal(first[category], old[category])
            pd.testing.assert_frame_equal(last[category], new[category])
        store = ParquetDataManager(root)
        for category, numbers in generations(root).items():
            read = (store.read_unstack_category if category == job.TRADES
                    else store.read_pivot_category)
            for number in numbers:
                read(category, as_of=number)
        shutil.rmtree(root)
