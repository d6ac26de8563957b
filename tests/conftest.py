"""The fixtures of the suite. Helpers that are not fixtures are in helpers.py.

A test that needs the service gets a real ticket API and a real redis-server on loopback
(corvane.testing). Its options are explicit: a module or a test sets them with
``pytest.mark.service(...)`` (the keyword arguments of LocalService, plus ``categories``,
the names it lists); a test may parametrize ``service_options`` instead. Once the test is
over, no secret of the service (API token, Redis password, ticket id, session id) may appear
in a record of the "corvane" logger, in anything written to stdout or stderr, or in the text
of an exception that the test checked with helpers.raised.
"""

import ctypes
import logging
import os

import pytest

from corvane import CorvaneClient
from corvane.exceptions import LocalStorageError
from corvane.testing import LinkRelay
from helpers import RedisSpy, SleepRecorder, mod, running_service
from log_capture import recording


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "service(**options): options of the `service` fixture (LocalService's "
                   "keyword arguments and `categories`); a test's own override its module's")


@pytest.fixture
def service_options(request):
    options = {}
    for mark in reversed(list(request.node.iter_markers("service"))):
        options.update(mark.kwargs)
    return options


@pytest.fixture
def service(service_options, logs, capsys):
    with running_service(**service_options) as svc:
        yield svc
        secrets = svc.secrets()
    captured = capsys.readouterr()
    logs.assert_no_secret(secrets, captured.out + captured.err)


@pytest.fixture
def logs():
    """The records that reach the "corvane" logger during the test."""
    with recording() as recorder:
        yield recorder


@pytest.fixture
def make_client(service, tmp_path):
    """Builds clients of `service`, storing under tmp_path/store and logging at `log_level`.

    Each is closed after the test, unless `closed` is false: then the test alone owns it.
    """
    made = []

    def build(cls=CorvaneClient, /, *, log_level=logging.DEBUG, closed=True, **options):
        options.setdefault("api_token", service.token)
        options.setdefault("save_path", str(tmp_path / "store"))
        options.setdefault("api_url", service.url)
        client = cls(log_level=log_level, **options)
        if closed:
            made.append(client)
        return client

    yield build
    for client in made:
        client.close()


@pytest.fixture
def client(make_client):
    return make_client()


@pytest.fixture
def bare_client():
    """A client that was never initialised: no session, no store, no attribute set."""
    return CorvaneClient.__new__(CorvaneClient)


@pytest.fixture
def sleeps(monkeypatch):
    """The module's sleeps, recorded and returning at once."""
    recorder = SleepRecorder()
    monkeypatch.setattr(mod, "time", recorder)
    return recorder


@pytest.fixture
def redis_spy(monkeypatch):
    spy = RedisSpy(mod.redis)
    monkeypatch.setattr(mod, "redis", spy)
    return spy


@pytest.fixture
def relay(service):
    """The service's Redis behind a relay that delays every chunk by 5 ms each way: reads
    that overlap show it, reads one after another pay it in turn."""
    with LinkRelay(service.redis.port, delay=0.005) as link:
        service.api.configure(redis_port=link.port)
        yield link


class SmallDisk:
    """A tmpfs of 192 KiB mounted on ``path`` (dev/run gives each run a mount namespace of
    its own, as root); ``resize`` and ``read_only`` remount it."""

    MS_RDONLY, MS_REMOUNT, MNT_DETACH = 1, 32, 2

    def __init__(self, path):
        self.path = str(path)
        self._libc = ctypes.CDLL(None, use_errno=True)

    def mount(self, flags=0, size="192k"):
        """None when mounted, else why not."""
        if self._libc.mount(b"tmpfs", os.fsencode(self.path), b"tmpfs", flags,
                            f"size={size}".encode()) != 0:
            return os.strerror(ctypes.get_errno())
        return None

    def resize(self, size="64m"):
        return self.mount(self.MS_REMOUNT, size)

    def read_only(self):
        return self.mount(self.MS_REMOUNT | self.MS_RDONLY, "64m")

    def fill(self):
        """Takes up every free block."""
        with open(os.path.join(self.path, "filler"), "wb", buffering=0) as filler:
            try:
                while True:
                    filler.write(b"\0" * 4096)
            except OSError:
                pass

    def break_as(self, how: str) -> str:
        """Make the disk ``how`` ("full" or "read-only"); the user message that says so."""
        if how == "full":
            self.fill()
            return LocalStorageError.disk_full_message
        assert self.read_only() is None
        return LocalStorageError.read_only_message

    def unmount(self):
        self._libc.umount2(os.fsencode(self.path), self.MNT_DETACH)


@pytest.fixture
def small_disk(tmp_path):
    """A small file system of its own (SmallDisk); skipped where none can be mounted."""
    disk = SmallDisk(tmp_path / "disk")
    os.mkdir(disk.path)
    refused = disk.mount()
    if refused:
        pytest.skip(f"no tmpfs can be mounted here: {refused}")
    yield disk
    disk.unmount()
