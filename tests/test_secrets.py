"""No secret leaves the client: one run through every main path, good and bad, with a
distinctive API token, Redis password, ticket ids and session ids, after which every log
record, everything written to the process's stdout and stderr, every exception text, the
printable forms of the client's objects and every file under save_path are searched for
each of them."""

import logging
import os
import secrets

import pytest

from corvane import CorvaneClient
from corvane.exceptions import (AuthError, CategoryNotFoundError, CorvaneError, SerializationError,
                                SyncError)
from corvane.testing import LocalService, data_key_for, synthetic_pivot, synthetic_unstack
from helpers import wait_until
from log_capture import LogRecorder

PIVOT = "cn_stock_pivot#close"
UNSTACK = "cn_fund_unstack#nav"
BROKEN = "cn_bond_pivot#yield"


class QuickHeartbeat(CorvaneClient):
    """Wakes every 50 ms, so that renewals and their failures happen during the run."""

    HEARTBEAT_INTERVAL = 0.05


def refused(logs: LogRecorder, expected, call, *args, **kwargs):
    with pytest.raises(expected) as caught:
        call(*args, **kwargs)
    logs.note_exception(caught.value)


def files_under(folder):
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as handle:
                yield path, handle.read()


def test_no_secret_in_logs_errors_reprs_or_files(logs, capfd, tmp_path):
    save_path = tmp_path / "store"
    wrong_token = "tok-WRONG-" + secrets.token_urlsafe(24)
    with LocalService(expires_in=20) as svc:  # short tickets: the heartbeat renews
        publisher = svc.publisher
        publisher.publish_pivot(PIVOT, synthetic_pivot("2024-01-01", "2024-03-31", 10))
        publisher.publish_unstack(UNSTACK, synthetic_unstack(300), duplicate_keys=["date", "code"])
        publisher.publish_pivot(BROKEN, synthetic_pivot("2024-01-01", "2024-01-31", 5))
        publisher.set_raw(data_key_for(BROKEN, "2024-01"), b"PAR1 not what the hash says")
        first_password = svc.redis.password

        refused(logs, AuthError, CorvaneClient, api_token=wrong_token, save_path=str(save_path),
                api_url=svc.url, log_level=logging.DEBUG)

        with QuickHeartbeat(api_token=svc.token, save_path=str(save_path), api_url=svc.url,
                            log_level=logging.DEBUG) as client:
            refused(logs, SyncError, client.UpdateAllCategory)
            client.GetCategory(PIVOT, "2024-02-01")
            refused(logs, SerializationError, client.GetCategory, BROKEN)
            refused(logs, CategoryNotFoundError, client.GetCategory, "cn_none_pivot#close")
            client.ListCategories()
            client.ListLocalCategories()

            # The service loses the session: the heartbeat fetches a new ticket and connects
            # with it. (A rotation racing that connect is tests/test_session_rotation.py's.)
            tickets = len(svc.api.issued_secrets())
            connected = logs.lines().count(("INFO", "数据连接已建立"))
            svc.api.forget_sessions()
            wait_until(lambda: logs.lines().count(("INFO", "数据连接已建立")) > connected)
            assert len(svc.api.issued_secrets()) > tickets

            # Redis changes its password: the next read is refused and takes a new ticket.
            new_password = "pw-" + secrets.token_urlsafe(24)
            with svc.redis.client() as admin:
                admin.config_set("requirepass", new_password)
            svc.redis.password = new_password
            svc.api.configure(redis_password=new_password)
            client._redis_client.close()
            tickets = len(svc.api.issued_secrets())
            client.UpdateAllCategory("incremental")
            assert len(svc.api.issued_secrets()) > tickets

            # An outage of Redis and of the API while the heartbeat runs.
            svc.redis.kill()
            refused(logs, CorvaneError, client.ListCategories)
            warnings = len(logs.lines(logging.WARNING))
            svc.api.stop()
            wait_until(lambda: len(logs.lines(logging.WARNING)) > warnings)
            svc.api.start()
            svc.redis.start()

            texts = [repr(client), repr(client._ticket), str(client._ticket),
                     repr(client._redis_client), repr(svc.api.sessions())]
        leaked = [wrong_token, first_password, *svc.secrets()]

    captured = capfd.readouterr()
    logs.texts += texts
    logs.assert_no_secret(leaked, captured.out + captured.err)
    stored = list(files_under(save_path))
    assert stored, "the run stored nothing to search"
    # Counted, not shown: an assertion message must not print the secret it found.
    holding = sum(any(secret.encode() in content or secret in path for secret in leaked)
                  for path, content in stored)
    assert holding == 0, f"{holding} of {len(stored)} stored files hold a secret"
