"""Metadata reads from Redis: retry, size cap, JSON decoding and the protocol checks."""

import json
import secrets
from datetime import datetime, timedelta

import pytest

from corvane.exceptions import (AuthError, DataConnectionError, InvalidCategoryError, MetaError,
                                ProtocolError, RemoteDataError, SerializationError)
from corvane.testing import TICKET_PATH, json_body_of_size
from helpers import SleepRecorder, mod, raised

KEY = "corvane:meta:category:cn_stock_pivot#open"
CAP = 5242880
GOOD_META = {"protocol_version": 1, "data_format": "parquet"}


@pytest.mark.parametrize("stored", [None, b"null"])
def test_missing_key_and_json_null_read_as_absent(service, client, logs, stored):
    if stored is not None:
        service.publisher.set_raw(KEY, stored)
    assert client._redis_get_with_retry(KEY) == stored
    assert client._json_get(KEY) is None
    raised(logs, MetaError, client._json_get_required, KEY)


@pytest.mark.parametrize("stored, value", [
    (b'[1, "x", null]', [1, "x", None]),
    (b'"text"', "text"),
    (b"3.5", 3.5),
    ('{"名": "值"}'.encode(), {"名": "值"}),
])
def test_any_json_value_is_returned(service, client, stored, value):
    service.publisher.set_raw(KEY, stored)
    assert client._json_get(KEY) == value
    assert client._json_get_required(KEY) == value


def test_size_cap_at_its_exact_boundary(service, client, logs):
    service.publisher.set_raw(KEY, json_body_of_size(GOOD_META, CAP))
    assert client._json_get(KEY) == GOOD_META
    service.publisher.set_raw(KEY, json_body_of_size(GOOD_META, CAP + 1))
    raised(logs, SerializationError, client._json_get, KEY)


@pytest.mark.parametrize("stored", [
    b'{"a": "\xff"}',
    b'{"a": "\xc3"}',
    "{}".encode("utf-16"),
    b"\xef\xbb\xbf{}",
    b"{",
    b"",
    b"{} {}",
])
def test_undecodable_values_fail_verification(service, client, logs, stored):
    service.publisher.set_raw(KEY, stored)
    raised(logs, SerializationError, client._json_get, KEY)


@pytest.mark.parametrize("back_at_pause, expected_pauses", [(1, 1), (2, 2), (None, 2)])
def test_failed_reads_pause_half_a_second_and_retry(service, client, logs, monkeypatch,
                                                    back_at_pause, expected_pauses):
    service.redis.stop()

    def redis_comes_back(pause):
        if pause == back_at_pause:
            service.redis.start()
            service.publisher.set_raw(KEY, b"{}")

    recorder = SleepRecorder(redis_comes_back)
    monkeypatch.setattr(mod, "time", recorder)
    if back_at_pause is None:
        raised(logs, RemoteDataError, client._redis_get_with_retry, KEY)
    else:
        assert client._redis_get_with_retry(KEY) == b"{}"
    assert recorder.sleeps == [0.5] * expected_pauses


@pytest.mark.parametrize("max_retries, pauses", [(0, 0), (4, 4)])
def test_retry_count_bounds_the_attempts(service, client, logs, sleeps, max_retries, pauses):
    service.redis.stop()
    raised(logs, RemoteDataError, client._redis_get_with_retry, KEY, max_retries)
    assert sleeps.sleeps == [0.5] * pauses


def test_negative_retry_count_reads_nothing(service, client, sleeps):
    service.publisher.set_raw(KEY, b"{}")
    service.redis.stop()
    assert client._redis_get_with_retry(KEY, -1) is None
    assert sleeps.sleeps == []


@pytest.mark.parametrize("service_learns_it", [True, False])
def test_rejected_credentials_fetch_a_new_ticket(service, client, logs, sleeps,
                                                 service_learns_it):
    service.publisher.set_raw(KEY, b"{}")
    new_password = "pw-" + secrets.token_urlsafe(24)
    with service.redis.client() as admin:
        admin.config_set("requirepass", new_password)
    service.redis.password = new_password
    if service_learns_it:
        service.api.configure(redis_password=new_password)
    old_connection = client._redis_client
    old_connection.close()  # the next command reconnects, with the old password
    tickets = len(service.api.requests_to(TICKET_PATH))

    if service_learns_it:
        assert client._redis_get_with_retry(KEY) == b"{}"
        assert sleeps.sleeps == []  # no pause before the attempt with the new ticket
        assert client._redis_client is not old_connection
    else:
        # The new ticket still carries the refused password: its connection gives up.
        raised(logs, DataConnectionError, client._redis_get_with_retry, KEY)
        assert sleeps.sleeps == [3] * 5
    assert len(service.api.requests_to(TICKET_PATH)) == tickets + 1


def test_failure_of_the_upkeep_ends_the_read_at_once(service, client, logs, sleeps):
    client._ticket.expires_at = datetime.now() - timedelta(seconds=1)
    service.api.program(TICKET_PATH, status=401, body={"success": False, "error": "Unauthorized"})
    raised(logs, AuthError, client._redis_get_with_retry, KEY)
    assert sleeps.sleeps == []
    assert len(service.api.requests_to(TICKET_PATH)) == 2


@pytest.mark.parametrize("meta, expected", [
    ({**GOOD_META, "category": "cn_stock_pivot#open"}, None),
    ({**GOOD_META, "category": None}, None),
    (GOOD_META, None),
    ({**GOOD_META, "protocol_version": 1.0}, None),
    ({**GOOD_META, "category": "cn_stock_pivot#close"}, ProtocolError),
    ([GOOD_META], ProtocolError),
    ({**GOOD_META, "protocol_version": 2}, ProtocolError),
    ({**GOOD_META, "protocol_version": "1"}, ProtocolError),
    ({"data_format": "parquet"}, ProtocolError),
    ({**GOOD_META, "data_format": "Parquet"}, ProtocolError),
    ({"protocol_version": 1}, ProtocolError),
])
def test_category_metadata(service, client, logs, meta, expected):
    service.publisher.set_raw(KEY, json.dumps(meta))
    if expected is None:
        assert client._get_category_meta("cn_stock_pivot#open") == meta
    else:
        raised(logs, expected, client._get_category_meta, "cn_stock_pivot#open")


def test_category_metadata_missing_or_misnamed(client, logs):
    raised(logs, MetaError, client._get_category_meta, "cn_stock_pivot#open")
    raised(logs, InvalidCategoryError, client._get_category_meta, "cn_stock#open")


def test_partition_metadata_key_layout(service, client, logs):
    meta = {**GOOD_META, "category": "anything else", "hash": "sha256:" + "0" * 64}
    service.publisher.set_raw("corvane:meta:partition:cn_stock_pivot#open:2024-05",
                              json.dumps(meta))
    assert client._get_partition_meta("cn_stock_pivot#open", "2024-05") == meta
    raised(logs, ProtocolError, client._get_partition_meta, "cn_stock_pivot#open", "2024-5")
    raised(logs, MetaError, client._get_partition_meta, "cn_stock_pivot#open", "2024-06")
    raised(logs, InvalidCategoryError, client._get_partition_meta, "open", "2024-05")


@pytest.mark.parametrize("name, kind", [
    ("cn_stock_pivot#open", "pivot"),
    ("a.b-c_unstack#x_y", "unstack"),
    ("a_pivot_unstack#f", "unstack"),
    ("d" * 72 + "_unstack#" + "f" * 79, "unstack"),  # 160 characters
    ("d" * 73 + "_unstack#" + "f" * 79, None),       # 161 characters
    ("cn_stock#open", None),
    ("cn_stock_pivot#", None),
    ("_x_pivot#open", None),
    ("cn_stock_pivot#open\n", None),
    ("cn_stock_Pivot#open", None),
])
def test_category_name_and_kind(client, logs, name, kind):
    if kind is None:
        raised(logs, InvalidCategoryError, client._validate_category_name, name)
    else:
        assert client._validate_category_name(name) == kind
