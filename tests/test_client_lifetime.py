"""Construction, session start, closing and the context-manager pair, end to end."""

import logging
import os

import pytest

from corvane import CorvaneClient
from corvane.exceptions import (AuthError, DataConnectionError, HostSelectionError,
                                LocalStorageError, MetaError, ServiceUnavailableError)
from corvane.testing import DISCONNECT_PATH, TICKET_PATH, free_port
from helpers import CATEGORIES, client_connections, mod, raised

DataTicket = mod.DataTicket

CONSTRUCTION_LINES = [
    ("INFO", "初始化 CorvaneClient"),
    ("DEBUG", "连接凭证已获取"),
    ("INFO", "数据连接已建立"),
    ("INFO", "加载了 3 个类别"),
    ("DEBUG", "心跳线程已启动"),
    ("INFO", "CorvaneClient 初始化完成"),
]
CLOSING_LINES = [("INFO", "关闭 CorvaneClient..."), ("INFO", "CorvaneClient 已关闭")]


def test_construction_connects_and_close_releases(service, client, logs, tmp_path):
    assert logs.lines() == CONSTRUCTION_LINES
    # The attributes of a connected client: these and no other.
    assert set(vars(client)) == {
        "api_token", "api_url", "save_path", "display_errors", "_http_opener", "logger",
        "CV_db", "_ticket", "_redis_client", "_stop_heartbeat", "_heartbeat_thread",
        "_remote_categories", "_remote_categories_set"}
    assert client.api_token == service.token
    assert client.api_url == service.url
    assert client.save_path == str(tmp_path / "store") and os.path.isdir(client.save_path)
    assert client.display_errors is True
    assert client.logger is logging.getLogger("corvane")
    assert isinstance(client._ticket, DataTicket)
    assert [s.session_id for s in service.api.sessions()] == [client._ticket.session_id]
    assert client._redis_client.get("corvane:meta:categories") is not None
    assert not client._stop_heartbeat.is_set()
    thread = client._heartbeat_thread
    assert thread.daemon and thread.is_alive()
    assert client._remote_categories == sorted(CATEGORIES)
    assert client._remote_categories_set == set(CATEGORIES)

    ticket = client._ticket
    client.close()

    assert logs.lines()[len(CONSTRUCTION_LINES):] == CLOSING_LINES
    assert not thread.is_alive()
    assert client._stop_heartbeat.is_set()
    assert client._redis_client is None
    assert client._ticket is ticket and client._heartbeat_thread is thread
    assert service.api.session_state(ticket.session_id) == "released"
    assert client_connections(service) == 0


@pytest.mark.service(tls=True, api_tls=True, redis_user="reader")
def test_construction_over_tls_with_a_user_name(service, client):
    ticket = client._ticket
    assert client.api_url.startswith("https://")
    assert (ticket.redis_ssl, ticket.redis_host, ticket.redis_username) == (True, "localhost",
                                                                            "reader")
    assert client._redis_client.get("corvane:meta:categories") is not None
    assert client._remote_categories == sorted(CATEGORIES)
    client.close()
    assert service.api.session_state(ticket.session_id) == "released"


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "__init__() takes at least 3 positional arguments (1 given)"),
    (("t",), {}, "__init__() takes at least 3 positional arguments (2 given)"),
    (("t", "p", None, 20, True, "extra"), {},
     "__init__() takes at most 6 positional arguments (7 given)"),
    ((1, "p"), {}, "Argument 'api_token' has incorrect type (expected str, got int)"),
    (("t", b"p"), {}, "Argument 'save_path' has incorrect type (expected str, got bytes)"),
    (("t", "p"), {"api_url": 5}, "Argument 'api_url' has incorrect type (expected str, got int)"),
    ((type("Token", (str,), {})("t"), "p"), {},
     "Argument 'api_token' has incorrect type (expected str, got Token)"),
    # log_level is examined first, before any other argument.
    ((1, b"p"), {"log_level": "DEBUG"},
     "Argument 'log_level' has incorrect type (expected int, got str)"),
    (("t", "p"), {"colour": True}, "__init__() got an unexpected keyword argument 'colour'"),
])
def test_wrong_arguments_are_refused_before_any_work(logs, tmp_path, monkeypatch, args, kwargs,
                                                     message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError) as caught:
        CorvaneClient(*args, **kwargs)
    assert str(caught.value) == message
    assert logs.records == [] and os.listdir(tmp_path) == []


@pytest.mark.parametrize("override, expected", [
    ({"api_token": ""}, AuthError),
    ({"api_token": "has space"}, AuthError),
    ({"api_url": "ftp://example.com"}, HostSelectionError),
    ({"api_url": "http://example.com"}, HostSelectionError),
    ({"save_path": ""}, LocalStorageError),
    ({"save_path": " \t\n"}, LocalStorageError),
])
def test_early_failures_reach_the_caller_unlogged(service, logs, tmp_path, monkeypatch, override,
                                                  expected):
    monkeypatch.chdir(tmp_path)
    options = {"api_token": service.token, "save_path": "store", "api_url": service.url, **override}
    raised(logs, expected, CorvaneClient, **options)
    assert logs.records == [] and os.listdir(tmp_path) == []
    assert service.api.requests == []


class DefaultingToService(CorvaneClient):
    """A client whose built-in address is the local service's."""


@pytest.mark.parametrize("argument, environment", [
    ("service", "ftp://ignored"),   # the argument wins over the environment
    ("", "service"),                # an empty argument counts as absent
    (None, "service"),
    (None, None),                   # then DEFAULT_API_URL
])
def test_api_address_choice(service, make_client, monkeypatch, argument, environment):
    pick = lambda value: service.url if value == "service" else value  # noqa: E731
    monkeypatch.setattr(DefaultingToService, "DEFAULT_API_URL", service.url)
    if environment is None:
        monkeypatch.delenv("CORVANE_API_URL", raising=False)
    else:
        monkeypatch.setenv("CORVANE_API_URL", pick(environment))
    client = make_client(DefaultingToService, api_url=pick(argument))
    assert client.api_url == service.url
    assert len(service.api.sessions()) == 1


def test_an_empty_environment_address_is_used_and_refused(service, logs, monkeypatch, tmp_path):
    monkeypatch.setattr(DefaultingToService, "DEFAULT_API_URL", service.url)
    monkeypatch.setenv("CORVANE_API_URL", "")
    raised(logs, HostSelectionError, DefaultingToService, service.token, str(tmp_path))
    assert logs.records == [] and service.api.requests == []


@pytest.mark.parametrize("log_level, display_errors, level, shown", [
    (10.9, 0, logging.DEBUG, False),
    (logging.WARNING, [1], logging.WARNING, True),
])
def test_log_level_and_display_errors_are_normalised(make_client, log_level, display_errors,
                                                     level, shown):
    client = make_client(log_level=log_level, display_errors=display_errors)
    assert client.logger.level == level
    assert client.display_errors is shown


def test_default_log_level_is_info_as_it_was_at_class_creation(service, tmp_path, monkeypatch):
    monkeypatch.setattr(logging, "INFO", 5)
    client = CorvaneClient(service.token, str(tmp_path), service.url)
    try:
        assert client.logger.level == 20
    finally:
        client.close()


@pytest.mark.parametrize("given, expected", [("~/data", "home/data"), ("rel/data", "work/rel/data")])
def test_save_path_is_expanded_and_made_absolute(make_client, tmp_path, monkeypatch, given,
                                                 expected):
    (tmp_path / "home").mkdir()
    (tmp_path / "work").mkdir()
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    monkeypatch.chdir(tmp_path / "work")
    client = make_client(save_path=given)
    assert client.save_path == str(tmp_path / expected)
    assert os.path.isdir(client.save_path)


def test_first_line_comes_before_the_store_and_the_network(service, make_client, logs,
                                                           monkeypatch):
    seen = {}
    real_store = mod.ParquetDataManager

    def store(path, logger=None):
        seen["lines"] = logs.messages()
        seen["requests"] = len(service.api.requests)
        return real_store(path, logger=logger)

    monkeypatch.setattr(mod, "ParquetDataManager", store)
    make_client()
    assert seen == {"lines": ["初始化 CorvaneClient"], "requests": 0}


def test_state_before_the_session_starts(make_client):
    seen = {}

    class Observed(CorvaneClient):
        def _init_connection(self):
            seen.update(vars(self))
            super()._init_connection()

    make_client(Observed)
    assert (seen["_ticket"], seen["_redis_client"], seen["_heartbeat_thread"]) == (None, None, None)
    assert not seen["_stop_heartbeat"].is_set()
    assert seen["_remote_categories"] == [] and type(seen["_remote_categories"]) is list
    assert seen["_remote_categories_set"] == set()


def test_close_twice_releases_twice_and_never_raises(service, client, logs):
    client.close()
    client.close()
    assert logs.lines()[-4:] == CLOSING_LINES * 2
    assert len(service.api.requests_to(DISCONNECT_PATH)) == 2


def test_with_block_closes_and_reraises(service, make_client):
    failure = RuntimeError("inside the block")
    with pytest.raises(RuntimeError) as caught:
        with make_client() as client:
            assert client.__enter__() is client
            thread = client._heartbeat_thread
            raise failure
    assert caught.value is failure
    assert client._redis_client is None and not thread.is_alive()
    assert service.api.sessions() == []
    assert client.__exit__(None, None, None) is False


def test_close_ignores_a_failing_redis_close(client):
    class Unclosable:
        def close(self):
            raise OSError("socket already gone")

    client._redis_client = Unclosable()
    client.close()
    assert client._redis_client is None


class FailingRefresh(CorvaneClient):
    def _refresh_categories(self):
        raise ValueError("not for the user's eyes")


started_threads = []


class FailingHeartbeatStart(CorvaneClient):
    def _start_heartbeat(self):
        super()._start_heartbeat()
        started_threads.append(self._heartbeat_thread)
        raise RuntimeError("after the thread started")


def unreachable_redis(service):
    service.api.configure(redis_port=free_port())


def missing_category_list(service):
    service.publisher.delete("corvane:meta:categories")


@pytest.mark.parametrize("cls, breakage, expected", [
    (CorvaneClient, unreachable_redis, DataConnectionError),
    (CorvaneClient, missing_category_list, MetaError),
    (FailingRefresh, None, ServiceUnavailableError),
    (FailingHeartbeatStart, None, ServiceUnavailableError),
])
@pytest.mark.parametrize("display_errors", [True, False])
def test_a_failed_start_releases_what_it_obtained(service, make_client, logs, cls, breakage,
                                                  expected, display_errors):
    if breakage is not None:
        breakage(service)
    started_threads.clear()
    error = raised(logs, expected, make_client, cls, display_errors=display_errors)

    assert error.user_message == expected().user_message
    errors = logs.lines(logging.ERROR)
    assert errors == ([("ERROR", error.user_message)] if display_errors else [])
    # The ticket was given back, no connection stayed open, no heartbeat runs on.
    assert len(service.api.requests_to(TICKET_PATH)) == 1
    assert len(service.api.requests_to(DISCONNECT_PATH)) == 1
    assert service.api.sessions() == []
    assert client_connections(service) == 0
    assert not any(thread.is_alive() for thread in started_threads)
