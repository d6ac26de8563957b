"""What an update did, per category, gathered at the client's seams.

The client runs metadata and payload reads on fetch-ahead threads, so every tally is
updated under one lock; the order of the report is the order in which categories started.
"""

from __future__ import annotations

import threading

from ..CorvaneClient import CorvaneClient
from ..ParquetManager import ParquetDataManager


class _Tally:
    __slots__ = ("considered", "stored", "bytes", "error", "done")

    def __init__(self):
        self.considered = self.stored = self.bytes = 0
        self.error = None
        self.done = False


class UpdateReport:
    def __init__(self):
        self._lock = threading.Lock()
        self._tallies: dict[str, _Tally] = {}
        self._order: list[str] = []
        self._category_of_key: dict[str, str] = {}

    def _tally(self, category: str) -> _Tally:
        tally = self._tallies.get(category)
        if tally is None:
            tally = self._tallies[category] = _Tally()
        return tally

    def started(self, category: str) -> None:
        with self._lock:
            self._tally(category)
            if category not in self._order:
                self._order.append(category)

    def considered(self, category: str, partition_meta) -> None:
        key = partition_meta.get("data_key") if isinstance(partition_meta, dict) else None
        with self._lock:
            self._tally(category).considered += 1
            if isinstance(key, str):
                self._category_of_key[key] = category

    def received(self, key, value) -> None:
        """A Redis value arrived; payloads (data keys of partitions seen) count as bytes."""
        if not isinstance(value, (bytes, bytearray)):
            return
        with self._lock:
            category = self._category_of_key.get(key)
            if category is not None:
                self._tally(category).bytes += len(value)

    def stored(self, category: str) -> None:
        with self._lock:
            self._tally(category).stored += 1

    def finished(self, category: str, error=None) -> None:
        with self._lock:
            tally = self._tally(category)
            tally.done, tally.error = True, error

    def categories(self) -> list[dict]:
        """One entry per category started; ``partitions_skipped`` counts the partitions whose
        metadata was read but that were not downloaded, for the categories that succeeded."""
        with self._lock:
            entries = []
            for name in self._order:
                tally = self._tallies[name]
                ok = tally.done and tally.error is None
                entry = {"name": name, "status": "ok" if ok else "failed",
                         "partitions_downloaded": tally.stored,
                         "partitions_skipped": max(0, tally.considered - tally.stored) if ok else 0,
                         "bytes": tally.bytes}
                if not ok:
                    error = tally.error
                    entry["error"] = (None if error is None else
                                      {"code": error.code, "message": error.user_message})
                entries.append(entry)
            return entries


class _ReportingStore:
    """The client's own store, telling the report of each partition stored; every other
    call and attribute is the store's."""

    def __init__(self, store: ParquetDataManager, report: UpdateReport):
        self._store = store
        self._report = report

    def __getattr__(self, name):
        return getattr(self._store, name)

    def update_pivot_category(self, df, category, **options) -> None:
        self._store.update_pivot_category(df=df, category=category, **options)
        self._report.stored(category)

    def update_unstack_category(self, category, sub_df, **options) -> None:
        self._store.update_unstack_category(category=category, sub_df=sub_df, **options)
        self._report.stored(category)


class ReportingClient(CorvaneClient):
    """The client, telling ``report`` what each category's synchronisation did."""

    def __init__(self, *args, **kwargs):
        # Before the session starts: construction already reads from Redis.
        self.report = UpdateReport()
        # Told by the update itself, so that no synchronisation method is replaced and the
        # update reads ahead as it does for any caller.
        self._update_observer = self.report
        super().__init__(*args, **kwargs)
        # The store that the construction built, not a second one over the same folder.
        self.CV_db = _ReportingStore(self.CV_db, self.report)

    def _get_partition_meta(self, category, partition):
        meta = super()._get_partition_meta(category, partition)
        self.report.considered(category, meta)
        return meta

    def _redis_get_with_retry(self, key, *args, **kwargs):
        value = super()._redis_get_with_retry(key, *args, **kwargs)
        self.report.received(key, value)
        return value
