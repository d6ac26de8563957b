"""A pivot category's partitions are made durable in groups, and still in this order for each
partition: its data file fsynced, renamed into place, its folders fsynced; only then is its
hash record renamed into place. The run's completion record comes after the last one. With a
replaced `_write_local_hash`, each partition is durable before that method is called."""

import hashlib
import os

import pandas as pd
import pytest

from corvane.exceptions import SerializationError
from corvane.testing import parquet_bytes, payload_hash, synthetic_pivot
from helpers import mod

pytestmark = pytest.mark.service(categories=[])  # lists only what a test publishes

CATEGORY = "cn_index_pivot#open"
# Two groups and more: a group commits after 32 partitions at the latest.
FRAME = synthetic_pivot("2024-01-02", "2024-03-29", 7, seed=3)


class DiskTrace:
    """The fsyncs (by path) and renames (source, destination) of the process, in order."""

    def __init__(self, monkeypatch):
        self.events = []
        fsync, replace = os.fsync, os.replace

        def traced_fsync(fd):
            self.events.append(("fsync", os.readlink(f"/proc/self/fd/{fd}")))
            return fsync(fd)

        def traced_replace(source, target):
            self.events.append(("replace", os.fspath(source), os.fspath(target)))
            return replace(source, target)

        monkeypatch.setattr(os, "fsync", traced_fsync)
        monkeypatch.setattr(os, "replace", traced_replace)

    def mark(self, *event):
        self.events.append(event)

    def renamed_to(self, path) -> list:
        return [i for i, event in enumerate(self.events) if event[:1] == ("replace",)
                and event[2] == path]

    def durable_at(self, path, at: int) -> bool:
        """Whether, before event `at`, the last rename onto `path` was of a file fsynced
        before it, and `path`'s folder was fsynced after it, and the folder's parent after
        the first rename (the folder's first file)."""
        renames = [i for i in self.renamed_to(path) if i < at]
        if not renames:
            return False
        first, last = renames[0], renames[-1]
        folder = os.path.dirname(path)

        def synced(folder, since):
            return ("fsync", folder) in self.events[since + 1:at]

        return (("fsync", self.events[last][1]) in self.events[:last] and synced(folder, last)
                and synced(os.path.dirname(folder), first))


def publish(service, layout):
    if layout == "daily files":
        return service.publisher.publish_pivot(CATEGORY, FRAME, partition_mode="daily")
    return service.publisher.publish_pivot(CATEGORY, FRAME, partition_mode="monthly",
                                           granularity="daily")


def data_file(client, layout, partition):
    folder = f"day={partition}" if layout == "daily files" else f"month={partition[:7]}"
    return os.path.join(client.CV_db.category_folder(CATEGORY), folder, "data.parquet")


def completion_record(client):
    key = CATEGORY + "\0.completed"
    return hashlib.sha256(key.encode()).hexdigest() + ".txt"


@pytest.mark.parametrize("mode", ["full", "changed"])
@pytest.mark.parametrize("layout", ["daily files", "daily partitions in monthly files"])
def test_hash_record_follows_durable_rows(service, make_client, monkeypatch, layout, mode):
    partitions = publish(service, layout)
    client = make_client()
    stored = []
    update = client.CV_db.update_pivot_category
    client.CV_db.update_pivot_category = lambda **kw: (stored.append(kw), update(**kw))[1]
    trace = DiskTrace(monkeypatch)
    client.UpdateAllCategory(mode)

    # The store calls of always, one per partition in order.
    assert [str(kw["df"].index[0].date()) for kw in stored] == partitions
    assert all(kw["strf"] == "%Y-%m-%d" for kw in stored)
    records = []
    for partition in partitions:
        [at] = trace.renamed_to(client._get_hash_path(CATEGORY, partition))
        assert trace.durable_at(data_file(client, layout, partition), at), partition
        records.append(at)
    assert records == sorted(records)
    completed = [i for i, event in enumerate(trace.events) if event[0] == "replace"
                 and os.path.basename(event[2]) == completion_record(client)]
    assert completed and completed[-1] > records[-1]
    pd.testing.assert_frame_equal(client.GetCategory(CATEGORY), FRAME, check_freq=False)


class OwnRecords(mod.CorvaneClient):
    """Keeps its hash records its own way, beside calling the client's."""

    def _write_local_hash(self, category, partition, hash_value):
        self.trace.mark("record", partition)
        return super()._write_local_hash(category, partition, hash_value)


def test_replaced_record_writer_sees_durable_rows(service, make_client, monkeypatch):
    partitions = publish(service, "daily files")
    client = make_client(OwnRecords)
    client.trace = trace = DiskTrace(monkeypatch)
    client.UpdateAllCategory()

    calls = [i for i, event in enumerate(trace.events) if event[0] == "record"]
    assert [trace.events[i][1] for i in calls] == partitions
    for at, partition in zip(calls, partitions):
        assert trace.durable_at(data_file(client, "daily files", partition), at), partition
    pd.testing.assert_frame_equal(client.GetCategory(CATEGORY), FRAME, check_freq=False)


@pytest.mark.parametrize("failing", [2, 40], ids=["in the first group", "in the second group"])
def test_failure_ends_the_category_after_a_commit(service, make_client, failing):
    partitions = publish(service, "daily files")
    bad = partitions[failing]
    service.publisher.publish_partition(CATEGORY, bad, parquet_bytes(FRAME.loc[bad:bad]),
                                        hash=payload_hash(b"tampered"))
    client = make_client(display_errors=False)
    with pytest.raises(SerializationError):
        client._sync_category(CATEGORY)

    # The partitions before the failing one are stored with their records; none after it.
    recorded = [os.path.exists(client._get_hash_path(CATEGORY, p)) for p in partitions]
    assert recorded == [i < failing for i in range(len(partitions))]
    pd.testing.assert_frame_equal(client.CV_db.read_pivot_category(CATEGORY),
                                  FRAME.loc[:partitions[failing - 1]], check_freq=False)
    leftovers = [name for _, _, names in os.walk(client.save_path) for name in names
                 if name.startswith((".tmp", ".writing"))]
    assert leftovers == []
