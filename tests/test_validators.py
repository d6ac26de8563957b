"""Boundary validators of CorvaneClient and the three matching patterns."""

import re
import sys

import pytest

import corvane  # noqa: F401  (loads corvane.CorvaneClient)
from corvane.exceptions import AuthError, ProtocolError, SerializationError
from helpers import assert_public

M = sys.modules["corvane.CorvaneClient"]
C = M.CorvaneClient

# Every code point that the interpreter counts as whitespace.
UNICODE_WHITESPACE = [chr(c) for c in range(0x110000) if chr(c).isspace()]


def assert_refused(exc_class, validator, *args):
    """The validator raises exactly `exc_class`, built with its class defaults and no history."""
    with pytest.raises(exc_class) as info:
        validator(*args)
    err = assert_public(info.value, exc_class)
    fresh = exc_class()
    assert (err.code, err.user_message, err.retryable) == (fresh.code, fresh.user_message,
                                                           fresh.retryable)
    assert err.detail is None


def chunks(chars, size):
    return ["".join(chars[i:i + size]) for i in range(0, len(chars), size)]


# ---------------------------------------------------------------- _validate_api_token

@pytest.mark.parametrize("token", [
    "abc",
    "x" * 4096,
    "!~",                 # code points 33 and 126, the ends of the visible ASCII range
    "tökén-Ünïcode",
    "zero\u200bwidth",    # a zero-width space is not whitespace
    "c1\u0080\u009f",     # C1 controls other than U+0085
])
def test_token_accepted_as_the_same_object(token):
    assert C._validate_api_token(token) is token


@pytest.mark.parametrize("token", [
    "",
    "x" * 4097,
    "inner space",
    "tab\there",
    "trailing-lf\n",
    "nbsp\u00a0",
    "ideographic\u3000space",
    "line\u2028separator",
    "next\u0085line",
    "del\x7f",
    "nul\x00",
    "\x1f",
])
def test_token_refused(token):
    assert_refused(AuthError, C._validate_api_token, token)


def test_token_refuses_every_whitespace_and_control_and_accepts_everything_else():
    refused = set(UNICODE_WHITESPACE) | {chr(c) for c in range(33)} | {"\x7f"}
    for ch in sorted(refused):
        assert_refused(AuthError, C._validate_api_token, "tok" + ch + "en")
    others = [chr(c) for c in range(0x110000) if chr(c) not in refused]
    for token in chunks(others, 4096):
        assert C._validate_api_token(token) is token


# ---------------------------------------------------------------- _required_text

@pytest.mark.parametrize("value, max_length", [
    ("inner space", 256),
    ("x" * 5, 5),
    ("\u00a0\u3000\u0085", 3),   # printable and C1 whitespace pass; only controls < 32 and DEL fail
    ("x", 2 ** 100),              # a bound beyond any machine integer
])
def test_required_text_accepted_as_the_same_object(value, max_length):
    assert C._required_text(value, max_length) is value


@pytest.mark.parametrize("value, max_length", [
    ("x" * 6, 5),
    ("", 5),
    ("bell\x07", 256),
    ("del\x7f", 256),
    ("lf\n", 256),
    ("x", 0),
    ("x", -1),
    (1, 256),
    (None, 256),
    (b"bytes", 256),
])
def test_required_text_refused(value, max_length):
    assert_refused(ProtocolError, C._required_text, value, max_length)


def test_required_text_refuses_exactly_the_controls():
    controls = [chr(c) for c in range(32)] + ["\x7f"]
    for ch in controls:
        assert_refused(ProtocolError, C._required_text, "a" + ch, 10)
    others = [chr(c) for c in range(0x110000) if chr(c) not in controls]
    for value in chunks(others, 4096):
        assert C._required_text(value, 4096) is value


# ---------------------------------------------------------------- _validate_redis_host

def host_of_length(length):
    """A valid host name of exactly `length` characters made of 63-character labels."""
    labels, left = [], length
    while left > 0:
        size = min(63, left)
        labels.append("a" * size)
        left -= size + 1
    host = ".".join(labels)
    assert len(host) == length
    return host


@pytest.mark.parametrize("host", [
    "localhost",
    "redis.example.com",
    "redis.example.com.",      # trailing dot kept
    "a.b...",                  # every trailing dot stripped before the label check, kept after
    "127.0.0.1",
    "::1",
    "fe80::1",
    "999.1.1.1",               # no address, but four numeric labels
    "1-2.x9",
    "a" * 63 + ".com",
    host_of_length(253),
])
def test_redis_host_accepted_as_the_same_object(host):
    assert C._validate_redis_host(host) is host


@pytest.mark.parametrize("host", [
    "",
    ".",
    "...",
    "-redis.example.com",
    "redis-.example.com",
    "redis_host.example.com",
    "redis..example.com",
    ".redis.example.com",
    "a" * 64 + ".com",
    host_of_length(254),
    "bücher.example",
    "１２３.example",            # full-width digits are no ASCII digits
    "redis example.com",
    "[::1]",
    "redis.example.com\n",
    1,
    None,
])
def test_redis_host_refused(host):
    assert_refused(ProtocolError, C._validate_redis_host, host)


# ---------------------------------------------------------------- _validate_scope_list

@pytest.mark.parametrize("items, max_items", [
    ([], None),
    (["a", "b c"], None),
    (["x" * 256], None),
    (["x"] * 10000, None),
    (["a", "b"], 2),
    ([], 0),
])
def test_scope_list_returns_a_new_list_of_the_same_items(items, max_items):
    result = (C._validate_scope_list(items) if max_items is None
              else C._validate_scope_list(items, max_items))
    assert type(result) is list and result is not items
    assert len(result) == len(items)
    assert all(a is b for a, b in zip(result, items))


@pytest.mark.parametrize("items, max_items", [
    (("a",), None),
    ("abc", None),
    (None, None),
    (["x"] * 10001, None),
    (["a", "b", "c"], 2),
    ([""], None),
    (["x" * 257], None),
    (["ok", 1], None),
    (["ok", "bad\x00"], None),
])
def test_scope_list_refused(items, max_items):
    args = (items,) if max_items is None else (items, max_items)
    assert_refused(ProtocolError, C._validate_scope_list, *args)


# ---------------------------------------------------------------- _validate_partition_name

@pytest.mark.parametrize("partition", [
    "full",
    "2024",
    "2024-05",
    "2024-05-31",
    "2024-13-45",               # only the shape is checked
    "２０２４-０５-３１",          # full-width decimal digits
    "٢٠٢٤",                     # Arabic-Indic decimal digits
])
def test_partition_accepted_as_the_same_object(partition):
    assert C._validate_partition_name(partition) is partition


@pytest.mark.parametrize("partition", [
    "FULL",
    "Full",
    "24",
    "2024-5",
    "202405",
    "2024/05",
    "2024\n",
    "full\n",
    "2024-05-31-01",
    "",
    2024,
    b"2024",
    None,
])
def test_partition_refused(partition):
    assert_refused(ProtocolError, C._validate_partition_name, partition)


# ---------------------------------------------------------------- _validate_hash

HEX64 = "0123456789abcdef" * 4


@pytest.mark.parametrize("value", ["sha256:" + HEX64, "sha256:" + "0" * 64])
def test_hash_accepted_as_the_same_object(value):
    assert C._validate_hash(value) is value


@pytest.mark.parametrize("value", [
    "sha256:" + HEX64.upper(),
    "sha256:" + HEX64[:63],
    "sha256:" + HEX64 + "0",
    HEX64,
    "SHA256:" + HEX64,
    "sha1:" + HEX64,
    "sha256:" + HEX64 + "\n",
    "sha256:" + "０" * 64,
    b"sha256:" + HEX64.encode(),
    None,
])
def test_hash_refused(value):
    assert_refused(SerializationError, C._validate_hash, value)


# ---------------------------------------------------------------- through the class

def test_validators_reach_each_other_and_the_constants_through_the_class():
    seen = []

    class Strict(C):
        PARTITION_PATTERN = re.compile(r"^full$")
        HASH_PATTERN = re.compile(r"^h$")

        @staticmethod
        def _required_text(value, max_length):
            seen.append((value, max_length))
            if value == "refuse.me":
                raise ProtocolError()
            return value

    assert Strict._validate_redis_host("redis.example") == "redis.example"
    assert_refused(ProtocolError, Strict._validate_redis_host, "refuse.me")
    assert Strict.__new__(Strict)._validate_scope_list(["a", "b"]) == ["a", "b"]
    assert seen == [("redis.example", 253), ("refuse.me", 253), ("a", 256), ("b", 256)]

    assert Strict._validate_partition_name("full") == "full"
    assert_refused(ProtocolError, Strict._validate_partition_name, "2024")
    assert Strict._validate_hash("h") == "h"
    assert_refused(SerializationError, Strict._validate_hash, "sha256:" + HEX64)


@pytest.mark.parametrize("returned", [None, 12345, ["redis.example"], b"redis.example"])
def test_redis_host_refuses_a_non_text_from_an_overridden_required_text(returned):
    class Loose(C):
        @staticmethod
        def _required_text(value, max_length):
            return returned

    assert_refused(ProtocolError, Loose._validate_redis_host, "redis.example")


# ---------------------------------------------------------------- the patterns

@pytest.mark.parametrize("name, text", [
    ("CATEGORY_PATTERN",
     "^[A-Za-z0-9][A-Za-z0-9_.-]{0,127}_(pivot|unstack)#[A-Za-z0-9][A-Za-z0-9_.-]{0,127}$"),
    ("PARTITION_PATTERN", r"^(?:full|\d{4}(?:-\d{2}(?:-\d{2})?)?)$"),
    ("HASH_PATTERN", "^sha256:[0-9a-f]{64}$"),
])
def test_patterns_are_compiled_without_flags(name, text):
    pattern = getattr(C, name)
    assert isinstance(pattern, re.Pattern)
    assert pattern.pattern == text
    assert pattern.flags == re.UNICODE  # the implicit flag of every str pattern


@pytest.mark.parametrize("name, kind", [
    ("cn_stock_pivot#open", "pivot"),
    ("a_unstack#b", "unstack"),
    ("1.a-b_pivot#c.d-e_f", "pivot"),
    ("a_pivot_unstack#x", "unstack"),            # the head may itself end in a kind word
    ("h" * 128 + "_pivot#f", "pivot"),
    ("h_pivot#" + "f" * 128, "pivot"),
    ("h" * 129 + "_pivot#f", None),
    ("h_pivot#" + "f" * 129, None),
    ("cn_stock#open", None),
    ("cn_stock_pivot#", None),
    ("_cn_stock_pivot#open", None),
    ("cn_stock_pivot#_open", None),
    ("cn_stock_PIVOT#open", None),
    ("cn_stock_pivot#open\n", None),
    ("cn stock_pivot#open", None),
    ("ｃｎ_pivot#open", None),
])
def test_category_pattern_and_its_kind_group(name, kind):
    match = C.CATEGORY_PATTERN.fullmatch(name)
    assert (match.group(1) if match else None) == kind
