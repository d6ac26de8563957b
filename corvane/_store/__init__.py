"""Internals of the local Parquet store; the public entry point is corvane.ParquetManager."""
