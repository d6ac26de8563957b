"""The local Parquet store of the corvane SDK (layout: docs/store.md)."""

from ._store.manager import ParquetDataManager

__all__ = ["ParquetDataManager"]
