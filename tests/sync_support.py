"""Fixtures and helpers of the synchroniser and read tests.

Every client talks to a real local service (ticket API and redis-server on loopback) that
the tests fill with the publisher of corvane.testing.
"""

from __future__ import annotations

import io
import os
import sys
from datetime import datetime

import pandas as pd
import pytest

import corvane  # noqa: F401  (loads the extension module)
from corvane.testing import LocalService
from log_capture import recording

client_module = sys.modules["corvane.CorvaneClient"]
CorvaneClient = client_module.CorvaneClient


@pytest.fixture
def service():
    with LocalService() as svc:
        svc.publisher.set_categories([])  # a service always lists its categories
        yield svc


@pytest.fixture
def make_client(service, tmp_path):
    """Builds clients of `service` storing under tmp_path/store; closes them afterwards."""
    clients = []

    def make(**options):
        options.setdefault("save_path", str(tmp_path / "store"))
        client = CorvaneClient(api_token=service.token, api_url=service.url, **options)
        clients.append(client)
        return client

    yield make
    for client in clients:
        client.close()


@pytest.fixture
def logs():
    """The records that reach the client's logger from now on."""
    with recording() as recorder:
        yield recorder


def parquet_payload(frame: pd.DataFrame, **options) -> bytes:
    buffer = io.BytesIO()
    frame.to_parquet(buffer, **options)
    return buffer.getvalue()


def assert_public(error: BaseException) -> None:
    """A public error: nothing chained, nothing to show from the inside."""
    assert error.__cause__ is None
    assert error.__context__ is None
    assert error.__suppress_context__


class CallCounter:
    """Wraps one method of an instance, recording its calls and passing them through
    (unless `through` is false)."""

    def __init__(self, instance, name: str, through: bool = True):
        self.calls: list[tuple] = []
        original = getattr(instance, name)

        def wrapper(*args, **kwargs):
            self.calls.append((args, kwargs))
            return original(*args, **kwargs) if through else None

        setattr(instance, name, wrapper)


class BarRecorder:
    """Stands in for tqdm: records what each bar is given and iterates it plainly."""

    def __init__(self):
        self.bars = []

    def __call__(self, iterable, **options):
        items = list(iterable)
        self.bars.append((options, items))
        return iter(items)


class FixedClock(datetime):
    """The client's clock at 15 March 2024, 10:30 (set as the module's ``datetime``)."""

    @classmethod
    def now(cls, tz=None):
        return cls(2024, 3, 15, 10, 30)


def recorded(client, category, partition):
    """The hash record of a partition, or None."""
    path = client._get_hash_path(category, partition)
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as record:
        return record.read()
