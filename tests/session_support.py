"""Shared fixtures of the session and lifetime tests.

Every test here runs against a real ticket API and a real redis-server (corvane.testing).
The `service` fixture also watches for leaks: once the test is over, no secret of the
service (API token, Redis password, ticket id, session id) may appear in a log record of
the "corvane" logger, in anything written to stderr, or in the text of an exception that
a test checked with `raised`.
"""

import importlib
import logging
import time as real_time
import traceback
from datetime import timedelta

import pytest

from corvane import CorvaneClient
from corvane.testing import LocalService

mod = importlib.import_module("corvane.CorvaneClient")

CATEGORIES = ["cn_stock_pivot#open", "cn_stock_pivot#close", "cn_fund_unstack#nav"]


class LeakWatch(logging.Handler):
    """Keeps every record of the "corvane" logger and the texts of checked exceptions."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []
        self.texts = []

    def emit(self, record):
        self.records.append(record)
        self.texts.append(record.getMessage())
        if record.exc_info:
            self.texts.append("".join(traceback.format_exception(*record.exc_info)))

    def note_exception(self, error):
        self.texts += [str(error), repr(error), "".join(traceback.format_exception(error))]

    def lines(self, min_level=logging.DEBUG):
        """(level name, message) of every record at or above `min_level`, oldest first."""
        return [(r.levelname, r.getMessage()) for r in self.records if r.levelno >= min_level]

    def messages(self, min_level=logging.DEBUG):
        return [message for _, message in self.lines(min_level)]

    def assert_no_secret(self, secrets, captured):
        for secret in secrets:
            for text in [*self.texts, captured]:
                assert secret not in text, "a secret reached a log line or an error text"


@pytest.fixture
def watch():
    logger = logging.getLogger("corvane")
    handler = LeakWatch()
    logger.addHandler(handler)
    yield handler
    logger.removeHandler(handler)


@pytest.fixture
def service_options():
    """Keyword arguments of LocalService; a test module may override this fixture."""
    return {}


@pytest.fixture
def service(service_options, watch, capsys):
    with LocalService(**service_options) as svc:
        svc.publisher.set_categories(CATEGORIES)
        yield svc
        secrets = svc.secrets()
    captured = capsys.readouterr()
    watch.assert_no_secret(secrets, captured.out + captured.err)


@pytest.fixture
def make_client(service, tmp_path):
    """Builds connected clients against the service; each is closed after the test."""
    made = []

    def build(cls=CorvaneClient, **options):
        options.setdefault("api_token", service.token)
        options.setdefault("save_path", str(tmp_path / "store"))
        options.setdefault("api_url", service.url)
        options.setdefault("log_level", logging.DEBUG)
        client = cls(**options)
        made.append(client)
        return client

    yield build
    for client in made:
        client.close()


@pytest.fixture
def client(make_client):
    return make_client()


def raised(watch, expected, call, *args, **kwargs):
    """Runs `call`, which must raise exactly `expected` with no chained history."""
    with pytest.raises(expected) as caught:
        call(*args, **kwargs)
    error = caught.value
    assert type(error) is expected
    assert error.__cause__ is None and error.__context__ is None
    watch.note_exception(error)
    return error


def wait_until(condition, bound=20.0):
    """Waits for a background effect; the bound only keeps a broken build from hanging."""
    deadline = real_time.monotonic() + bound
    while not condition():
        assert real_time.monotonic() < deadline, "the background effect never came"
        real_time.sleep(0.01)


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


@pytest.fixture
def sleeps(monkeypatch):
    recorder = SleepRecorder()
    monkeypatch.setattr(mod, "time", recorder)
    return recorder


class Clock:
    """Stands in for the module's `datetime`: `now()` is whatever the test sets."""

    def __init__(self, now):
        self.current = now

    def now(self):
        return self.current

    def advance(self, seconds):
        self.current += timedelta(seconds=seconds)


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


@pytest.fixture
def redis_spy(monkeypatch):
    spy = RedisSpy(mod.redis)
    monkeypatch.setattr(mod, "redis", spy)
    return spy


def client_connections(service):
    """How many connections other than the publisher's the Redis server holds."""
    with service.redis.client() as conn:
        return len(conn.client_list()) - 2  # the publisher's and this one


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


DROP = object()
