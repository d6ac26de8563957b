"""Random inputs at the client's boundaries: the validators, the API address and the reply
parser take arbitrary values, texts, bytes, statuses and JSON shapes. Each either accepts
(returning what the rules say) or refuses with its documented exception; nothing else ever
escapes, and a refusal carries no history.

The normal run is small and repeatable. CORVANE_FUZZ_EXAMPLES=N runs N random examples per
property instead, with a fresh seed each time (hypothesis prints the seed of a failure).
"""

import ipaddress
import json
import os
import re
import sys
import urllib.parse

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane  # noqa: F401  (loads corvane.CorvaneClient)
from corvane.exceptions import (AuthError, CorvaneError, HostSelectionError, ProtocolError,
                                SerializationError, ServiceUnavailableError)
from helpers import assert_public

M = sys.modules["corvane.CorvaneClient"]
C = M.CorvaneClient

_LARGE = os.environ.get("CORVANE_FUZZ_EXAMPLES")
FUZZ = settings(max_examples=int(_LARGE) if _LARGE else 150, derandomize=not _LARGE,
                deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow])

ARGUMENT_TYPE = re.compile(r"Argument '\w+' has incorrect type \(expected \w+, got .+\)")


class StrSub(str):
    pass


# Texts from the whole code space, lone surrogates included, and the characters the rules
# care about (controls, whitespace, separators of URLs and host names) made frequent.
characters = st.one_of(
    st.characters(codec=None),
    st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF),
    st.sampled_from("\x00\t\n\r \x7f\x85\xa0\u3000\u200b.-_:/@?#[]%٣ａ"),
)
texts = st.text(characters, max_size=80)
scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.binary(max_size=40),
                    texts, texts.map(StrSub))
values = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=5), st.tuples(inner), st.dictionaries(texts, inner, max_size=4)),
    max_leaves=12)


def outcome(call, *args):
    """("ok", result) or ("raised", exception)."""
    try:
        return "ok", call(*args)
    except Exception as error:  # noqa: BLE001 - each property judges what it got
        return "raised", error


def assert_refused_with(kind, error, refusal, typed):
    """A refusal is exactly `refusal`; a value of the wrong declared type is the interpreter's
    argument type error."""
    assert kind == "raised"
    if typed and type(error) is TypeError:
        assert ARGUMENT_TYPE.fullmatch(str(error)), str(error)
        return
    assert_public(error, refusal)


# -------------------------------------------------------------------------- validators

def token_is_valid(value):
    return (type(value) is str and 0 < len(value) <= 4096
            and not any(c.isspace() or ord(c) < 33 or ord(c) == 127 for c in value))


def text_is_valid(value, limit):
    # Parameters of any type take str subclasses as texts; typed ones refuse them.
    return (isinstance(value, str) and 0 < len(value) <= limit
            and not any(ord(c) < 32 or ord(c) == 127 for c in value))


LABEL = re.compile(r"[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?")


def host_is_valid(value):
    if not text_is_valid(value, 253):
        return False
    try:
        ipaddress.ip_address(value)
        return True
    except ValueError:
        labels = value.rstrip(".").split(".")
        return all(len(label) <= 63 and LABEL.fullmatch(label) for label in labels)


@FUZZ
@given(st.one_of(values, texts))
def test_token(value):
    kind, result = outcome(C._validate_api_token, value)
    if token_is_valid(value):
        assert kind == "ok" and result is value
    else:
        assert_refused_with(kind, result, AuthError, typed=True)


@FUZZ
@given(st.one_of(values, texts), st.one_of(st.integers(-2, 300), values))
def test_required_text(value, limit):
    kind, result = outcome(C._required_text, value, limit)
    if type(limit) is not int:
        assert kind == "raised" and type(result) is TypeError
        assert ARGUMENT_TYPE.fullmatch(str(result)), str(result)
    elif text_is_valid(value, limit):
        assert kind == "ok" and result is value
    else:
        assert_refused_with(kind, result, ProtocolError, typed=False)


host_like = st.lists(st.one_of(st.from_regex(LABEL, fullmatch=True), texts), min_size=1,
                     max_size=5).map(".".join)


@FUZZ
@given(st.one_of(values, host_like, st.ip_addresses().map(str)))
def test_redis_host(value):
    kind, result = outcome(C._validate_redis_host, value)
    if host_is_valid(value):
        assert kind == "ok" and result is value
    else:
        assert_refused_with(kind, result, ProtocolError, typed=False)


@FUZZ
@given(st.one_of(values, st.lists(st.one_of(texts, values), max_size=6)))
def test_scope_list(value):
    kind, result = outcome(C._validate_scope_list, value)
    if type(value) is list and all(text_is_valid(item, 256) for item in value):
        assert kind == "ok" and result == value and result is not value
        assert all(a is b for a, b in zip(result, value))
    else:
        assert_refused_with(kind, result, ProtocolError, typed=False)


partition_like = st.one_of(st.from_regex(r"full|\d{4}(-\d{2}(-\d{2})?)?", fullmatch=True),
                           st.from_regex(C.PARTITION_PATTERN), texts)
hash_like = st.one_of(st.from_regex(r"sha256:[0-9a-f]{64}", fullmatch=True),
                      st.from_regex(C.HASH_PATTERN), texts)


@FUZZ
@given(st.one_of(values, partition_like))
def test_partition_name(value):
    kind, result = outcome(C._validate_partition_name, value)
    if isinstance(value, str) and C.PARTITION_PATTERN.fullmatch(value):
        assert kind == "ok" and result is value
    else:
        assert_refused_with(kind, result, ProtocolError, typed=False)


@FUZZ
@given(st.one_of(values, hash_like))
def test_hash(value):
    kind, result = outcome(C._validate_hash, value)
    if isinstance(value, str) and C.HASH_PATTERN.fullmatch(value):
        assert kind == "ok" and result is value
    else:
        assert_refused_with(kind, result, SerializationError, typed=False)


# -------------------------------------------------------------------------- API address

ports = st.one_of(st.integers(0, 70000).map(str), texts, st.just(""))
hosts = st.one_of(st.sampled_from(["localhost", "LocalHost", "127.0.0.1", "127.9.9.9", "[::1]",
                                   "[::1", "[abc]", "example.com", "10.0.0.1", "a_b.com"]),
                  host_like, texts)
urls = st.builds(
    lambda space, scheme, user, host, port, path, query, fragment, tail:
        f"{space}{scheme}{user}{host}{port}{path}{query}{fragment}{space}{tail}",
    st.sampled_from(["", " ", "\t\n"]),
    st.sampled_from(["https://", "http://", "HTTPS://", "ftp://", "https:", "//", ""]),
    st.sampled_from(["", "@", "user@", "u:p@"]),
    hosts,
    st.one_of(st.just(""), ports.map(lambda p: ":" + p)),
    st.sampled_from(["", "/", "/api", "//"]),
    st.sampled_from(["", "?", "?q=1"]),
    st.sampled_from(["", "#", "#f"]),
    st.one_of(st.just(""), texts),
)


def origin_shape(url):
    """What an accepted address always looks like: a bare http(s) origin."""
    scheme, sep, netloc = url.partition("://")
    return (sep and scheme in ("http", "https") and netloc
            and not any(c in netloc for c in "/?#@ \t\r\n"))


@FUZZ
@given(st.one_of(urls, texts, values))
def test_normalize_api_url(value):
    kind, result = outcome(C._normalize_api_url, value)
    if kind == "ok":
        assert type(result) is str and origin_shape(result), result
        # Normalising is idempotent.
        assert C._normalize_api_url(result) == result
        if result.startswith("http://"):
            assert C._is_loopback_host(urllib.parse.urlsplit(result).hostname)
    else:
        assert_refused_with(kind, result, HostSelectionError, typed=True)


# -------------------------------------------------------------------------- API replies

PUBLIC_CLASSES = {code: C.ERROR_CLASS_MAP[code] for code in C.PUBLIC_ERROR_MESSAGES}

json_values = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), texts),
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.dictionaries(texts, inner, max_size=4)),
    max_leaves=10)
service_codes = st.one_of(st.sampled_from([*C.LEGACY_ERROR_CODE_MAP, *C.PUBLIC_ERROR_MESSAGES,
                                           "unauthorized", "", 0, 401]), json_values)
envelopes = st.fixed_dictionaries({}, optional={"success": json_values, "error": service_codes,
                                                "ticket": texts, "expires_in": json_values})
bodies = st.one_of(
    envelopes.map(lambda e: json.dumps(e).encode()),
    json_values.map(lambda v: json.dumps(v).encode()),
    st.binary(max_size=200),
    st.sampled_from([b"", b"\xef\xbb\xbf{}", b"{" * 5000, b"[" * 100_000 + b"]" * 100_000,
                     b'{"success": NaN}', b"1e999999", '{"é": 1}'.encode("utf-16")]),
)
statuses = st.one_of(st.sampled_from([200, 201, 204, 299, 300, 302, 400, 401, 403, 404, 429,
                                      500, 503]),
                     st.integers(-10, 1000), st.integers())


@FUZZ
@given(statuses, bodies)
def test_parse_api_response(status, body):
    client = C.__new__(C)
    kind, result = outcome(client._parse_api_response, M._BufferedResponse(status, body))
    if kind == "ok":
        assert 200 <= status < 300
        # Compared as JSON texts: NaN, which the parser admits, is not equal to itself.
        assert type(result) is dict and json.dumps(result) == json.dumps(json.loads(body))
        assert result.get("success", True)
        return
    assert_public(result)
    assert isinstance(result, CorvaneError), repr(result)
    if result.code in PUBLIC_CLASSES:
        assert type(result) is PUBLIC_CLASSES[result.code]
        assert result.user_message == C.PUBLIC_ERROR_MESSAGES[result.code]
    else:
        assert type(result) is ServiceUnavailableError
