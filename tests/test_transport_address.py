"""The API base address: reduced to a bare origin, refused with HostSelectionError."""

import pytest

from corvane import CorvaneClient
from corvane.exceptions import HostSelectionError
from helpers import assert_public


@pytest.mark.parametrize(
    "given, expected",
    [
        ("https://api.example.com", "https://api.example.com"),
        ("https://api.example.com/", "https://api.example.com"),
        ("https://api.example.com?", "https://api.example.com"),
        ("https://api.example.com#", "https://api.example.com"),
        ("HTTPS://Api.Example.COM", "https://Api.Example.COM"),
        ("https://api.example.com:443", "https://api.example.com:443"),
        ("https://api.example.com:", "https://api.example.com:"),
        ("  https://api.example.com/ \n", "https://api.example.com"),
        ("https://api.exa\tmple.com", "https://api.example.com"),
        ("https://203.0.113.9:8443", "https://203.0.113.9:8443"),
        ("https://[2001:db8::1]", "https://[2001:db8::1]"),
        ("http://localhost", "http://localhost"),
        ("http://LocalHost:8000", "http://LocalHost:8000"),
        ("http://127.0.0.1:5000/", "http://127.0.0.1:5000"),
        ("http://127.200.3.4", "http://127.200.3.4"),
        ("http://[::1]:8080", "http://[::1]:8080"),
    ],
)
def test_accepted_addresses_become_bare_origins(given, expected):
    assert CorvaneClient._normalize_api_url(given) == expected


@pytest.mark.parametrize(
    "given",
    [
        "",
        " \t\n",
        "api.example.com",
        "api.example.com:443",
        "ftp://api.example.com",
        "https://",
        "https:///path",
        "https://api.example.com/api",
        "https://api.example.com//",
        "https://api.example.com?a=1",
        "https://api.example.com#top",
        "https://user@api.example.com",
        "https://@api.example.com",
        "https://user:pw@api.example.com",
        "https://api.example.com:0",
        "https://api.example.com:65536",
        "https://api.example.com:https",
        "https://api.example.com:-1",
        "https://api_example.com",
        "https://" + "a" * 64 + ".com",
        "http://api.example.com",
        "http://10.0.0.1",
        "http://192.168.1.10:8080",
        "http://localhost.",
        "http://[::2]",
        # The splitter itself raises for these: refused the same way.
        "https://[::1",
        "https://::1]",
        "https://[not-an-address]",
        "https://exa\u2100mple.com",
    ],
)
def test_refused_addresses(given):
    with pytest.raises(HostSelectionError) as raised:
        CorvaneClient._normalize_api_url(given)
    assert_public(raised.value, from_none=True)


def test_address_must_be_exactly_text():
    class Text(str):
        pass

    for value in (None, b"https://api.example.com", Text("https://api.example.com")):
        with pytest.raises(TypeError, match="Argument 'api_url' has incorrect type"):
            CorvaneClient._normalize_api_url(value)


def test_default_address_is_accepted():
    url = CorvaneClient.DEFAULT_API_URL
    assert CorvaneClient._normalize_api_url(url) == url


@pytest.mark.parametrize(
    "host, loopback",
    [
        ("localhost", True),
        ("LOCALHOST", True),
        ("127.0.0.1", True),
        ("127.255.255.254", True),
        ("::1", True),
        ("0:0:0:0:0:0:0:1", True),
        ("localhost.", False),
        ("localhost.localdomain", False),
        ("[::1]", False),
        ("128.0.0.1", False),
        ("10.0.0.1", False),
        ("::2", False),
        ("0.0.0.0", False),
        ("example.com", False),
        ("", False),
    ],
)
def test_is_loopback_host(host, loopback):
    assert CorvaneClient._is_loopback_host(host) is loopback
