"""Helpers of the tests that are not fixtures (those are in conftest.py): the local service
they start, the check of a public error, and the stand-ins a test sets on the client's module.
"""

from __future__ import annotations

import contextlib
import io
import os
import sys
import time as real_time
from datetime import datetime, timedelta

import pandas as pd
import pytest

import corvane  # noqa: F401  (loads the extension module)
from corvane.testing import LocalService

mod = sys.modules["corvane.CorvaneClient"]

CATEGORIES = ["cn_stock_pivot#open", "cn_stock_pivot#close", "cn_fund_unstack#nav"]
"""What a service lists unless told otherwise: names that the ticket authorises, with no data."""


@contextlib.contextmanager
def running_service(*, categories=CATEGORIES, **options):
    """A LocalService (its keyword arguments in `options`) that lists `categories`."""
    with LocalService(**options) as svc:
        svc.publisher.set_categories(list(categories))
        yield svc


def assert_public(error: BaseException, expected: type | None = None, *,
                  from_none: bool = False) -> BaseException:
    """`error` is a public error (exactly of class `expected`, when given) with no chained
    history: no cause and no context. `from_none`: it was also raised with its context
    suppressed, as a boundary that replaces an inner error does."""
    if expected is not None:
        assert type(error) is expected
    assert error.__cause__ is None and error.__context__ is None
    if from_none:
        assert error.__suppress_context__
    return error


def raised(logs, expected, call, *args, **kwargs):
    """Runs `call`, which must raise `expected` as a public error (see assert_public); `logs`
    keeps the error's texts, in which no secret may show. Returns the error."""
    with pytest.raises(expected) as caught:
        call(*args, **kwargs)
    logs.note_exception(caught.value)
    return assert_public(caught.value, expected)


def wait_until(condition, bound=20.0):
    """Waits for a background effect; the bound only keeps a broken build from hanging."""
    deadline = real_time.monotonic() + bound
    while not condition():
        assert real_time.monotonic() < deadline, "the background effect never came"
        real_time.sleep(0.01)


def client_connections(service):
    """How many connections other than the publisher's the Redis server holds."""
    with service.redis.client() as conn:
        return len(conn.client_list()) - 2  # the publisher's and this one


DROP = object()


def program_ticket(service, **changes):
    """Answers the next ticket request with the service's normal reply, changed.

    `changes` maps "member" or "redis.member" to a value; the value `DROP` removes it.
    Returns the reply.
    """
    settings = service.api.settings
    reply = settings.ticket_reply("tkt-programmed", "sid-programmed")
    for path, value in changes.items():
        target, _, member = path.rpartition(".")
        holder = reply[target] if target else reply
        if value is DROP:
            holder.pop(member, None)
        else:
            holder[member] = value
    service.api.program("/api/v1/data/ticket/", status=200, body=reply)
    return reply


def parquet_payload(frame: pd.DataFrame, **options) -> bytes:
    buffer = io.BytesIO()
    frame.to_parquet(buffer, **options)
    return buffer.getvalue()


def recorded(client, category, partition):
    """The hash record of a partition, or None."""
    path = client._get_hash_path(category, partition)
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as record:
        return record.read()


# ---------------------------------------------------------------- stand-ins

class SleepRecorder:
    """Stands in for the module's `time`: a sleep is recorded and returns at once.

    `on_sleep(n)` runs at the n-th sleep, so a test can change the world between attempts.
    """

    def __init__(self, on_sleep=None):
        self.sleeps = []
        self._on_sleep = on_sleep

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        if self._on_sleep is not None:
            self._on_sleep(len(self.sleeps))

    def __getattr__(self, name):
        return getattr(real_time, name)


class Clock:
    """Stands in for the module's `datetime`: `now()` is whatever the test sets."""

    def __init__(self, now):
        self.current = now

    def now(self):
        return self.current

    def advance(self, seconds):
        self.current += timedelta(seconds=seconds)


class FixedClock(datetime):
    """The client's clock at 15 March 2024, 10:30 (set as the module's ``datetime``)."""

    @classmethod
    def now(cls, tz=None):
        return cls(2024, 3, 15, 10, 30)


class RedisSpy:
    """Stands in for the module's `redis`: records the options of every connection asked
    for and every object made, and otherwise is the real Redis client module.
    `replace(options)`, when set, makes the object instead of the real client (a test's
    stand-in for a misbehaving connection)."""

    def __init__(self, real):
        self._real = real
        self.options = []
        self.made = []
        self.replace = None

    def Redis(self, **options):
        self.options.append(options)
        make = self.replace or (lambda given: self._real.Redis(**given))
        connection = make(options)
        self.made.append(connection)
        return connection

    def __getattr__(self, name):
        return getattr(self._real, name)


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


def fetch_threads():
    """The read-ahead threads of this process, by their name."""
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm:
                names.append(comm.read().strip())
        except (FileNotFoundError, ProcessLookupError):
            pass  # ended meanwhile (between the listing and the open, or the read)
    return names.count("corvane-fetch")
