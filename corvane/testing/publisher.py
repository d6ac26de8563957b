"""Writes categories into Redis in the key layout that the client reads.

Keys: "corvane:meta:categories" (JSON array of names), "corvane:meta:category:" + name
(category metadata), "corvane:meta:partition:" + name + ":" + partition (partition metadata)
and the partition's Parquet bytes under its "data_key". A pivot partition is the wide frame's
rows for one period with its date index kept; an unstack category is one partition "full"
written without index.

Each publish writes the payloads first, then the partition metadata, then the category
metadata, then the category list, so a reader never meets metadata that points at nothing.
"""

from __future__ import annotations

import hashlib
import io
import json

__all__ = [
    "CATEGORIES_KEY",
    "CATEGORY_KEY_PREFIX",
    "OMIT",
    "PARTITION_KEY_PREFIX",
    "Publisher",
    "data_key_for",
    "parquet_bytes",
    "payload_hash",
]

CATEGORIES_KEY = "corvane:meta:categories"
CATEGORY_KEY_PREFIX = "corvane:meta:category:"
PARTITION_KEY_PREFIX = "corvane:meta:partition:"

_PARTITION_FORMATS = {"daily": "%Y-%m-%d", "monthly": "%Y-%m", "yearly": "%Y"}


class _Omit:
    def __repr__(self):
        return "OMIT"


# Passed as a metadata member's value, leaves that member out of the object.
OMIT = _Omit()


def data_key_for(category: str, partition: str) -> str:
    return f"corvane:data:{category}:{partition}"


def payload_hash(payload: bytes) -> str:
    return "sha256:" + hashlib.sha256(payload).hexdigest()


def parquet_bytes(frame, index: bool = True) -> bytes:
    """The byte image of one Parquet file holding ``frame``."""
    buffer = io.BytesIO()
    frame.to_parquet(buffer, engine="pyarrow", index=index)
    return buffer.getvalue()


def _meta(defaults: dict, members: dict) -> dict:
    merged = {**defaults, **members}
    return {k: v for k, v in merged.items() if v is not OMIT}


def _json(value) -> bytes:
    return json.dumps(value, ensure_ascii=False).encode()


class Publisher:
    """Publishes through ``conn``, a redis-py connection that the caller owns."""

    def __init__(self, conn):
        self._conn = conn

    # -- categories list ------------------------------------------------------------------

    def set_categories(self, names) -> None:
        self._conn.set(CATEGORIES_KEY, _json(list(names)))

    def categories(self) -> list[str]:
        raw = self._conn.get(CATEGORIES_KEY)
        return [] if raw is None else json.loads(raw)

    def _list(self, category: str) -> None:
        names = self.categories()
        if category not in names:
            self.set_categories([*names, category])

    # -- metadata and payloads ------------------------------------------------------------

    def publish_category_meta(self, category: str, *, listed: bool = True, **members) -> dict:
        """Write the category metadata: protocol members and name, then ``members``.

        A member given as ``OMIT`` is left out. ``listed`` adds the name to the category list.
        """
        meta = _meta({"protocol_version": 1, "data_format": "parquet", "category": category},
                     members)
        self._conn.set(CATEGORY_KEY_PREFIX + category, _json(meta))
        if listed:
            self._list(category)
        return meta

    def publish_partition(self, category: str, partition: str, payload: bytes, *,
                          hash: str | None = None, data_key: str | None = None,
                          **extra_meta) -> dict:
        """Write a payload as it is and its partition metadata; returns the metadata.

        ``hash`` defaults to the payload's true hash and ``data_key`` to
        "corvane:data:<category>:<partition>"; pass other values (or ``OMIT`` in
        ``extra_meta``) to publish broken partitions.
        """
        key = data_key if data_key is not None else data_key_for(category, partition)
        meta = _meta({"protocol_version": 1, "data_format": "parquet",
                      "hash": hash if hash is not None else payload_hash(payload),
                      "data_key": key}, extra_meta)
        pipe = self._conn.pipeline(transaction=False)
        pipe.set(key, payload)
        pipe.set(PARTITION_KEY_PREFIX + category + ":" + partition, _json(meta))
        pipe.execute()
        return meta

    def publish_pivot(self, category: str, frame, *, partition_mode: str = "monthly",
                      granularity: str | None = None, **category_meta) -> list[str]:
        """Split a wide date-indexed frame into partitions and publish them.

        ``granularity`` ("daily", "monthly" or "yearly"; by default ``partition_mode``) names
        the partitions YYYY-MM-DD, YYYY-MM or YYYY. Returns the partition names, ascending.
        """
        granularity = granularity or partition_mode
        if granularity not in _PARTITION_FORMATS:
            raise ValueError(f"granularity must be one of {sorted(_PARTITION_FORMATS)}, "
                             f"not {granularity!r}")
        labels = frame.index.strftime(_PARTITION_FORMATS[granularity])
        partitions = []
        for partition, rows in frame.groupby(labels, sort=True):
            self.publish_partition(category, partition, parquet_bytes(rows))
            partitions.append(partition)
        self.publish_category_meta(category, **{"partition_mode": partition_mode,
                                                "partition_keys": partitions, **category_meta})
        return partitions

    def publish_unstack(self, category: str, frame, *, duplicate_keys=None,
                        **category_meta) -> None:
        """Publish a long frame as the single partition "full"."""
        self.publish_partition(category, "full", parquet_bytes(frame, index=False))
        defaults = {"partition_keys": ["full"]}
        if duplicate_keys is not None:
            defaults["duplicate_keys"] = duplicate_keys
        self.publish_category_meta(category, **{**defaults, **category_meta})

    # -- raw access, for tests of bad data ------------------------------------------------

    def set_raw(self, key: str, value: bytes | str) -> None:
        self._conn.set(key, value)

    def get_raw(self, key: str) -> bytes | None:
        return self._conn.get(key)

    def delete(self, *keys: str) -> None:
        if keys:
            self._conn.delete(*keys)
