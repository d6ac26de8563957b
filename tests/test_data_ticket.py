"""DataTicket: fields, lifetime at a fixed instant, and the hidden printable form."""

import dataclasses
import io
import logging
import pprint
import sys
from datetime import datetime, timedelta

import pytest

import corvane  # noqa: F401  (loads corvane.CorvaneClient)

M = sys.modules["corvane.CorvaneClient"]
DataTicket = M.DataTicket

NOW = datetime(2025, 3, 1, 9, 30, 0)
PASSWORD = "pw-Zq81!redis-secret"
HIDDEN = "DataTicket(<hidden>)"


def make_ticket(expires_at=NOW, **extra):
    return DataTicket("tid-7781", "sid-3342", "redis.example", 6380, PASSWORD, expires_at,
                      ["cn_stock"], ["corvane:*"], **extra)


@pytest.fixture
def frozen_clock(monkeypatch):
    """The module's `datetime` name replaced by a clock that always reads NOW."""

    class FrozenDatetime(datetime):
        @classmethod
        def now(cls, tz=None):
            return NOW

    monkeypatch.setattr(M, "datetime", FrozenDatetime)


def test_fields_in_order_with_their_defaults():
    required = dataclasses.MISSING
    assert [(f.name, f.default) for f in dataclasses.fields(DataTicket)] == [
        ("ticket_id", required),
        ("session_id", required),
        ("redis_host", required),
        ("redis_port", required),
        ("redis_password", required),
        ("expires_at", required),
        ("datasets", required),
        ("key_patterns", required),
        ("category_patterns", None),
        ("redis_username", None),
        ("redis_ssl", False),
        ("redis_transport_policy", None),
    ]
    assert DataTicket.__doc__ == "Data Ticket data returned by the service."


def test_eight_required_fields_leave_the_optional_ones_unset():
    ticket = make_ticket()
    assert ticket.redis_password == PASSWORD and ticket.redis_port == 6380
    assert (ticket.category_patterns, ticket.redis_username, ticket.redis_ssl,
            ticket.redis_transport_policy) == (None, None, False, None)
    with pytest.raises(TypeError):
        DataTicket("tid", "sid", "redis.example", 6380, PASSWORD, NOW, [])


@pytest.mark.parametrize("offset, expired, ttl", [
    (timedelta(0), True, 0.0),                  # the expiry instant itself counts as expired
    (timedelta(microseconds=1), False, 1e-6),
    (timedelta(seconds=90), False, 90.0),
    (timedelta(microseconds=-1), True, 0.0),
    (timedelta(hours=-1), True, 0.0),
])
def test_lifetime_at_a_fixed_instant(frozen_clock, offset, expired, ttl):
    ticket = make_ticket(NOW + offset)
    assert ticket.is_expired is expired
    assert type(ticket.ttl_seconds) is float
    assert ticket.ttl_seconds == pytest.approx(ttl, abs=1e-9)


def test_lifetime_follows_a_renewal_in_place(frozen_clock):
    ticket = make_ticket(NOW - timedelta(seconds=5))
    ticket.expires_at = NOW + timedelta(seconds=300)
    assert not ticket.is_expired and ticket.ttl_seconds == 300.0


def test_lifetime_properties_are_read_only():
    ticket = make_ticket()
    for name in ("is_expired", "ttl_seconds"):
        with pytest.raises(AttributeError):
            setattr(ticket, name, 1)


def test_every_printed_form_is_hidden():
    ticket = make_ticket(redis_username="acl-user-55", redis_transport_policy="policy-x",
                         category_patterns=["cn_*"])
    stream = io.StringIO()
    logger = logging.getLogger("corvane.test.ticket")
    handler = logging.StreamHandler(stream)
    logger.addHandler(handler)
    logger.propagate = False
    try:
        logger.warning("%s", ticket)
        logger.warning("%r", ticket)
        logger.warning(ticket)
    finally:
        logger.removeHandler(handler)
    logged = stream.getvalue().splitlines()

    renderings = [str(ticket), repr(ticket), format(ticket), f"{ticket}", f"{ticket!r}",
                  "%s" % ticket, "%r" % (ticket,), "{}".format(ticket), pprint.pformat(ticket),
                  str(ValueError(ticket))] + logged
    assert renderings == [HIDDEN] * len(renderings)
    assert repr({"t": [ticket]}) == f"{{'t': [{HIDDEN}]}}"
