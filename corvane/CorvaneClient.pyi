"""Corvane 3.0 client: data tickets, direct Redis download, local Parquet cache."""

import logging
import re
import urllib.request
from collections.abc import Sequence
from dataclasses import dataclass
from datetime import datetime
from types import TracebackType
from typing import Any, ClassVar, Literal, Optional, Union

import pandas as pd

from corvane.ParquetManager import ParquetDataManager

SDK_VERSION: str

class _NoRedirectHandler(urllib.request.HTTPRedirectHandler): ...

class _BufferedResponse:
    status_code: int
    ok: bool
    def __init__(self, status_code: int, body: bytes) -> None: ...
    def json(self) -> Any: ...

@dataclass(repr=False)
class DataTicket:
    """Data Ticket data returned by the service."""

    ticket_id: str
    session_id: str
    redis_host: str
    redis_port: int
    redis_password: str
    expires_at: datetime
    datasets: list[str]
    key_patterns: list[str]
    category_patterns: Optional[list[str]] = None
    redis_username: Optional[str] = None
    redis_ssl: bool = False
    redis_transport_policy: Optional[str] = None
    @property
    def is_expired(self) -> bool:
        """True from the expiry instant on."""
    @property
    def ttl_seconds(self) -> float:
        """Seconds left until expiry, never below 0."""

class CorvaneClient:
    """Corvane 3.0 client.

    Fetches a short-lived data ticket with the API token, keeps it alive from a heartbeat
    thread, downloads the authorised categories from the data store into a local Parquet
    store under ``save_path`` and reads them back as pandas DataFrames.

    Close it with ``close()`` or a ``with`` block. A client dropped without either, or still
    open when the interpreter exits, releases its session silently when it is collected or
    at exit.
    """

    DEFAULT_API_URL: ClassVar[str]
    OFFICIAL_PLAINTEXT_REDIS_POLICY: ClassVar[str]
    OFFICIAL_PLAINTEXT_REDIS_SUFFIXES: ClassVar[tuple[str, str]]
    PROTOCOL_VERSION: ClassVar[int]
    DATA_FORMAT: ClassVar[str]
    MAX_API_RESPONSE_BYTES: ClassVar[int]
    MAX_METADATA_BYTES: ClassVar[int]
    MAX_PARTITION_BYTES: ClassVar[int]
    CATEGORY_PATTERN: ClassVar[re.Pattern[str]]
    PARTITION_PATTERN: ClassVar[re.Pattern[str]]
    HASH_PATTERN: ClassVar[re.Pattern[str]]
    HEARTBEAT_INTERVAL: ClassVar[int]
    TICKET_REFRESH_THRESHOLD: ClassVar[int]
    META_CATEGORIES_KEY: ClassVar[str]
    META_CATEGORY_KEY_PREFIX: ClassVar[str]
    META_PARTITION_KEY_PREFIX: ClassVar[str]
    PUBLIC_ERROR_MESSAGES: ClassVar[dict[str, str]]
    LEGACY_ERROR_CODE_MAP: ClassVar[dict[str, str]]
    ERROR_CLASS_MAP: ClassVar[dict[str, type[Exception]]]

    api_token: str
    api_url: str
    save_path: str
    display_errors: bool
    logger: logging.Logger
    CV_db: ParquetDataManager

    def __init__(
        self,
        api_token: str,
        save_path: str,
        api_url: Optional[str] = None,
        log_level: int = logging.INFO,
        display_errors: Any = True,
    ) -> None:
        """Validate the token and address, prepare the local store and open a data session.

        ``api_url`` defaults to the ``CORVANE_API_URL`` environment variable, then to the
        service's public address. Raises a ``corvane.exceptions.CorvaneError`` subclass when
        the session cannot be started.
        """
    def UpdateAllCategory(
        self, update_method: Literal["full", "incremental", "changed"] = "full"
    ) -> None:
        """Download every authorised category into the local store.

        ``"full"`` downloads every partition; ``"incremental"`` every partition from 60 days
        back on (the rows merge with those stored, date by date). ``"changed"`` reads the
        metadata of every partition and downloads only those missing locally or whose
        published hash differs from the one recorded (a restated old partition among them);
        a downloaded partition's dates then hold exactly its new rows. Unstack categories
        are always fetched as their one partition (``"changed"``: only when it changed).
        Raises ``SyncError`` when some categories failed (the others are stored).
        """
    def GetCategory(
        self,
        category: str,
        start_date: Optional[str] = None,
        end_date: Optional[str] = None,
        *,
        as_of: Union[datetime, str, int, None] = None,
        columns: Optional[Sequence[str]] = None,
    ) -> pd.DataFrame:
        """Read a category, e.g. ``"cn_stock_pivot#open"``, downloading it first if not stored.

        ``start_date``/``end_date`` ("YYYY-MM-DD") limit pivot categories; unstack categories
        are returned whole. ``as_of``: the category as the store knew it then (an aware
        datetime or ISO 8601 text with an offset), or a generation number (-1 the latest);
        never synchronises. ``columns``: only those instruments (columns), in that order.
        """
    def ListCategories(self) -> list[str]:
        """The categories the account may download (reloaded from the service)."""
    def ListLocalCategories(self) -> Optional[list[str]]:
        """The categories stored locally; needs no connection."""
    def ListCategoryHistory(self, category: str, *, details: bool = False) -> pd.DataFrame:
        """One row per generation of a stored category: ``generation``, ``committed`` (UTC),
        ``mode``, ``added``, ``replaced``, ``removed``; ``details=True``: one row per changed
        partition with its old and new version and published hash."""
    def close(self) -> None:
        """Stop the heartbeat, close the data connection and release the session."""
    def __enter__(self) -> CorvaneClient: ...
    def __exit__(
        self,
        exc_type: Optional[type[BaseException]],
        exc_val: Optional[BaseException],
        exc_tb: Optional[TracebackType],
    ) -> bool: ...
