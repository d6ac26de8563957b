"""Clients that nobody closes: dropped, collected, or still open when the process ends.

Each gives its session back as close() would (heartbeat stopped, Redis connection closed,
disconnect posted), silently; a client that is still owned keeps its session and renews it.
"""

import gc
import subprocess
import sys
import textwrap

import pytest

from corvane import CorvaneClient
from corvane.exceptions import ServiceUnavailableError
from corvane.testing import DISCONNECT_PATH, TICKET_PATH
from helpers import client_connections, mod, wait_until


class QuickHeartbeat(CorvaneClient):
    """Wakes every 50 ms instead of every 30 s."""

    HEARTBEAT_INTERVAL = 0.05


SHORT_TICKETS = pytest.mark.service(expires_in=20)


@pytest.fixture
def unraisable(monkeypatch):
    """What a finaliser let escape (the interpreter would print it to stderr)."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


def assert_released(service, session_id, thread):
    wait_until(lambda: service.api.session_state(session_id) == "released")
    thread.join(20)
    assert not thread.is_alive()
    assert client_connections(service) == 0
    assert len(service.api.requests_to(DISCONNECT_PATH)) == 1


@SHORT_TICKETS
@pytest.mark.parametrize("cls", [CorvaneClient, QuickHeartbeat])
@pytest.mark.parametrize("in_a_cycle", [False, True])
def test_a_dropped_client_releases_its_session(service, make_client, logs, unraisable, cls,
                                               in_a_cycle):
    client = make_client(cls, closed=False)
    session_id, thread = client._ticket.session_id, client._heartbeat_thread
    lines = len(logs.records)
    if in_a_cycle:
        client.myself = client  # then only the collector frees it
    del client
    gc.collect()
    assert_released(service, session_id, thread)
    # Silent: no log line, nothing raised out of the finaliser.
    assert logs.records[lines:] == [] and unraisable == []


@SHORT_TICKETS
def test_dropped_by_the_heartbeat_thread_itself(service, make_client, logs, unraisable):
    """The owner lets go while a renewal runs: the last reference goes on that thread."""
    owner = []

    class LetGoDuringRenewal(QuickHeartbeat):
        TICKET_REFRESH_THRESHOLD = 3600  # every wake-up renews

        def _renew_ticket(self):
            owner.clear()
            super()._renew_ticket()

    owner.append(make_client(LetGoDuringRenewal, closed=False))
    session_id, thread = owner[0]._ticket.session_id, owner[0]._heartbeat_thread
    assert_released(service, session_id, thread)
    assert unraisable == []
    assert [level for level, _ in logs.lines()].count("WARNING") == 0


@pytest.mark.service(session_limit=2)
def test_rebinding_one_name_stays_within_the_session_limit(service, make_client):
    # A notebook cell run four times: each new client replaces the last one.
    client = None
    for _ in range(4):
        client = make_client(closed=False)
    assert [s.session_id for s in service.api.sessions()] == [client._ticket.session_id]
    assert len(service.api.requests_to(TICKET_PATH)) == 4
    client.close()
    assert service.api.sessions() == []


@SHORT_TICKETS
def test_an_owned_client_keeps_renewing(service, make_client):
    client = make_client(QuickHeartbeat)
    for renewals in range(1, 4):
        gc.collect()
        wait_until(lambda: service.api.sessions()[0].renewals >= renewals)
    assert client._heartbeat_thread.is_alive()
    assert service.api.requests_to(DISCONNECT_PATH) == []


def test_a_closed_client_is_not_released_again(service, make_client, unraisable):
    client = make_client(closed=False)
    client.close()
    client.myself = client
    del client
    gc.collect()
    assert len(service.api.requests_to(DISCONNECT_PATH)) == 1
    assert unraisable == []


def failing_store(path, logger=None):
    raise OSError("no store here")


class FailingStart(CorvaneClient):
    def _refresh_categories(self):
        raise ValueError("after the ticket and the connection")


def bare_instance(make_client, monkeypatch):
    CorvaneClient.__new__(CorvaneClient)  # dropped at the end of the statement


def store_fails(make_client, monkeypatch):
    monkeypatch.setattr(mod, "ParquetDataManager", failing_store)
    with pytest.raises(OSError):
        make_client(closed=False)


def session_start_fails(make_client, monkeypatch):
    with pytest.raises(ServiceUnavailableError):
        make_client(FailingStart, closed=False)


# A failed start gives its ticket back at once (one disconnect); the finaliser adds none.
@pytest.mark.parametrize("build, disconnects", [
    (bare_instance, 0),
    (store_fails, 0),
    (session_start_fails, 1),
])
def test_instances_without_a_session_need_no_release(service, make_client, monkeypatch, unraisable,
                                                     build, disconnects):
    build(make_client, monkeypatch)
    gc.collect()
    assert len(service.api.requests_to(DISCONNECT_PATH)) == disconnects
    assert service.api.sessions() == [] and unraisable == []


def test_a_dropped_client_with_the_service_gone_stays_silent(service, make_client, logs,
                                                            unraisable):
    client = make_client(closed=False)
    thread = client._heartbeat_thread
    lines = len(logs.records)
    service.api.stop()
    del client
    thread.join(20)
    assert not thread.is_alive()
    assert logs.records[lines:] == [] and unraisable == []


CHILD = textwrap.dedent("""
    import sys
    from corvane import CorvaneClient

    url, token, path, ending = sys.argv[1:]
    client = CorvaneClient(api_token=token, save_path=path, api_url=url)
    if ending == "exit":
        sys.exit(3)
    if ending == "raise":
        raise RuntimeError("the script fails")
""")


@pytest.mark.parametrize("ending, code", [("end", 0), ("exit", 3), ("raise", 1)])
def test_a_process_that_ends_with_an_open_client_releases_it(service, tmp_path, ending, code):
    child = subprocess.run([sys.executable, "-c", CHILD, service.url, service.token,
                            str(tmp_path / "store"), ending], capture_output=True, text=True,
                           timeout=120)
    assert child.returncode == code
    assert len(service.api.requests_to(TICKET_PATH)) == 1
    assert len(service.api.requests_to(DISCONNECT_PATH)) == 1
    assert service.api.sessions() == []
    assert client_connections(service) == 0
    # The log lines of construction and the script's own traceback, nothing from the release.
    assert "关闭" not in child.stderr and "Exception ignored" not in child.stderr


FORKING = textwrap.dedent("""
    import gc, os, sys
    from corvane import CorvaneClient

    url, token, path, child_drops = sys.argv[1:]
    client = CorvaneClient(api_token=token, save_path=path, api_url=url,
                           log_level=40)
    if os.fork() == 0:
        # The child ends normally, with its copy of the client or after dropping it:
        # neither may end the parent's session.
        if child_drops == "drops":
            del client
            gc.collect()
        sys.exit(0)
    os.wait()
    print("child done", flush=True)
    sys.stdin.readline()
""")


@pytest.mark.parametrize("child_drops", ["drops", "keeps"])
def test_a_forked_child_leaves_its_parents_session_alone(service, tmp_path, child_drops):
    with subprocess.Popen([sys.executable, "-W", "ignore::DeprecationWarning", "-c", FORKING,
                           service.url, service.token, str(tmp_path / "store"), child_drops],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) as parent:
        assert parent.stdout.readline() == "child done\n"
        assert len(service.api.sessions()) == 1
        assert service.api.requests_to(DISCONNECT_PATH) == []
        parent.stdin.write("\n")
        parent.stdin.flush()
    assert parent.returncode == 0
    assert service.api.sessions() == []
    assert len(service.api.requests_to(DISCONNECT_PATH)) == 1


UNANSWERED = textwrap.dedent("""
    import gc, sys
    from corvane import CorvaneClient

    url, token, path, count, ending = sys.argv[1:]
    clients = [CorvaneClient(api_token=token, save_path=path, api_url=url, log_level=40)
               for _ in range(int(count))]
    print("open", flush=True)
    sys.stdin.readline()
    if ending == "dropped":
        del clients
        gc.collect()
""")
CLIENTS = 6  # each disconnect waits up to 10 s for a reply: one after another, a minute
EXIT_BOUND = 40  # seconds: generous for a bound of about 2 s (dropped: 2 s per finaliser)


@pytest.mark.parametrize("ending", ["open at exit", "dropped"])
def test_a_service_that_does_not_answer_does_not_hold_the_exit(service, tmp_path, ending):
    with subprocess.Popen([sys.executable, "-c", UNANSWERED, service.url, service.token,
                           str(tmp_path / "store"), str(CLIENTS), ending],
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True) as child:
        try:
            assert child.stdout.readline() == "open\n"
            # From now on the service takes every disconnect and never answers it.
            service.api.program(DISCONNECT_PATH, delay=3600, times=None)
            child.stdin.write("\n")
            child.stdin.flush()
            assert child.wait(timeout=EXIT_BOUND) == 0
        finally:
            if child.poll() is None:
                child.kill()
        # Silent, as every release of a client nobody closed.
        assert child.stderr.read() == ""
    assert len(service.api.sessions()) == CLIENTS  # none answered, so none released
