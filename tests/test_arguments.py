"""Argument checking at the call boundary: the interpreter's exact texts."""

import sys

import pytest

import corvane  # noqa: F401  (loads corvane.CorvaneClient)

M = sys.modules["corvane.CorvaneClient"]
C = M.CorvaneClient


class StrSub(str):
    pass


class IntSub(int):
    pass


@pytest.mark.parametrize("call, message", [
    (lambda: C._validate_api_token(1),
     "Argument 'api_token' has incorrect type (expected str, got int)"),
    (lambda: C._validate_api_token(StrSub("token")),
     "Argument 'api_token' has incorrect type (expected str, got StrSub)"),
    (lambda: C._validate_api_token(None),
     "Argument 'api_token' has incorrect type (expected str, got NoneType)"),
    (lambda: C._validate_api_token(b"token"),
     "Argument 'api_token' has incorrect type (expected str, got bytes)"),
    (lambda: C._required_text("x", True),
     "Argument 'max_length' has incorrect type (expected int, got bool)"),
    (lambda: C._required_text("x", IntSub(3)),
     "Argument 'max_length' has incorrect type (expected int, got IntSub)"),
    (lambda: C._required_text(1, 2.0),    # the type check runs before any rule
     "Argument 'max_length' has incorrect type (expected int, got float)"),
    (lambda: C._validate_scope_list([""], max_items="5"),
     "Argument 'max_items' has incorrect type (expected int, got str)"),
    (lambda: M._BufferedResponse("200", b""),
     "Argument 'status_code' has incorrect type (expected int, got str)"),
    (lambda: M._BufferedResponse(True, b""),
     "Argument 'status_code' has incorrect type (expected int, got bool)"),
    (lambda: M._BufferedResponse(200, bytearray(b"{}")),
     "Argument 'body' has incorrect type (expected bytes, got bytearray)"),
    (lambda: M._BufferedResponse(200, "{}"),
     "Argument 'body' has incorrect type (expected bytes, got str)"),
], ids=lambda v: v if isinstance(v, str) else "")
def test_argument_type_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("call, message", [
    (lambda: C._validate_api_token(),
     "_validate_api_token() takes exactly 1 positional argument (0 given)"),
    (lambda: C._validate_api_token("a", "b"),
     "_validate_api_token() takes exactly 1 positional argument (2 given)"),
    (lambda: C._required_text("x"),
     "_required_text() takes exactly 2 positional arguments (1 given)"),
    (lambda: C._required_text("x", 1, 2),
     "_required_text() takes exactly 2 positional arguments (3 given)"),
    # Class-level methods count `cls`.
    (lambda: C._validate_scope_list([], 1, 2),
     "_validate_scope_list() takes at most 3 positional arguments (4 given)"),
    (lambda: C._validate_scope_list(),
     "_validate_scope_list() takes at least 2 positional arguments (1 given)"),
    (lambda: C._validate_hash(),
     "_validate_hash() takes exactly 2 positional arguments (1 given)"),
    (lambda: C._validate_redis_host("a", "b"),
     "_validate_redis_host() takes exactly 2 positional arguments (3 given)"),
    (lambda: M._BufferedResponse(200),
     "__init__() takes exactly 3 positional arguments (2 given)"),
    (lambda: C._required_text("x", max_length=1, x=1),
     "_required_text() got an unexpected keyword argument 'x'"),
    (lambda: C._validate_partition_name("full", x=1),
     "_validate_partition_name() got an unexpected keyword argument 'x'"),
    (lambda: C._required_text("x", 1, value="y"),
     "_required_text() got multiple values for keyword argument 'value'"),
    (lambda: C._validate_scope_list([], 1, max_items=2),
     "_validate_scope_list() got multiple values for keyword argument 'max_items'"),
    # A keyword-only parameter is not counted among the positional ones.
    (lambda: C._sync_category(None, "cn_stock_pivot#close", None, True),
     "_sync_category() takes at most 3 positional arguments (4 given)"),
    (lambda: C._sync_unstack_category(None, "cn_trade_unstack#deal", True),
     "_sync_unstack_category() takes exactly 2 positional arguments (3 given)"),
], ids=lambda v: v if isinstance(v, str) else "")
def test_argument_count_and_keyword_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_every_parameter_may_be_given_by_keyword():
    token = "tok"
    assert C._validate_api_token(api_token=token) is token
    assert C._required_text(max_length=3, value=token) is token
    assert C._validate_scope_list(value=[token], max_items=1) == [token]
    assert C._validate_redis_host(value="localhost") == "localhost"
    assert C._validate_partition_name(partition="full") == "full"
    assert C._validate_hash(hash_value="sha256:" + "0" * 64) == "sha256:" + "0" * 64
    assert M._BufferedResponse(body=b"1", status_code=204).json() == 1
