"""corvane._redis over TLS, against redis-server with certificates from a generated CA."""

from __future__ import annotations

import random
import ssl

import pytest
import redis as redis_py
import trustme

from corvane import _redis
from corvane._redis import exceptions
from corvane.testing import CertificateFiles, RedisServer

MiB = 1 << 20


@pytest.fixture(scope="module")
def certificates(tmp_path_factory):
    folder = tmp_path_factory.mktemp("pki")
    # A name only: 127.0.0.1 does not match.
    return CertificateFiles(folder, hosts=("localhost",))


@pytest.fixture(scope="module")
def pki(tmp_path_factory, certificates):
    other_ca = str(tmp_path_factory.mktemp("other-pki") / "other-ca.pem")
    trustme.CA().cert_pem.write_to_path(other_ca)
    return {"ca": certificates.ca_path, "other_ca": other_ca}


def _tls_server(certificates, *options):
    return RedisServer(tls=True, certificates=certificates, options=options)


@pytest.fixture(scope="module")
def tls_server(certificates, pki):
    with _tls_server(certificates) as server:
        with redis_py.Redis("localhost", server.port, ssl=True, ssl_ca_certs=pki["ca"]) as admin:
            for size in (1, MiB, 16 * MiB):
                admin.set(f"value:{size}", random.Random(size).randbytes(size))
        yield server


@pytest.fixture(scope="module")
def tls12_server(certificates):
    with _tls_server(certificates, "--tls-protocols", "TLSv1.2") as server:
        yield server


@pytest.fixture
def trust(monkeypatch, pki):
    """Makes the default trust store the generated CA (or another one)."""
    def use(name="ca"):
        monkeypatch.setenv("SSL_CERT_FILE", pki[name])
        monkeypatch.delenv("SSL_CERT_DIR", raising=False)
    use()
    return use


@pytest.mark.parametrize("size", [1, MiB, 16 * MiB], ids=["1B", "1MiB", "16MiB"])
def test_verified_connection_returns_values(tls_server, trust, size):
    with _redis.Redis("localhost", tls_server.port, ssl=True, ssl_check_hostname=True,
                      ssl_min_version=ssl.TLSVersion.TLSv1_2, socket_timeout=30) as client:
        assert client.ping() is True
        assert client.get(f"value:{size}") == random.Random(size).randbytes(size)
        assert client.get("missing") is None


@pytest.mark.parametrize("host, options, ca", [
    ("127.0.0.1", dict(ssl_check_hostname=False), "ca"),
    ("localhost", dict(ssl_cert_reqs="none"), "other_ca"),
    ("localhost", dict(ssl_cert_reqs=ssl.CERT_NONE), "other_ca"),
    ("localhost", dict(ssl_cert_reqs=None), "other_ca"),
], ids=["no-host-check", "no-verify", "no-verify-enum", "no-verify-none"])
def test_relaxed_checks_accept(tls_server, trust, host, options, ca):
    trust(ca)
    with _redis.Redis(host, tls_server.port, ssl=True, **options) as client:
        assert client.ping() is True


@pytest.mark.parametrize("host, options, ca, text", [
    ("127.0.0.1", dict(ssl_check_hostname=True), "ca", "certificate verify failed"),
    ("localhost", dict(), "other_ca", "certificate verify failed"),
    ("localhost", dict(ssl_check_hostname=True), "other_ca", "certificate verify failed"),
], ids=["wrong-host", "unknown-ca", "unknown-ca-host-check"])
def test_failed_verification_refuses(tls_server, trust, host, options, ca, text):
    trust(ca)
    client = _redis.Redis(host, tls_server.port, ssl=True, socket_timeout=10, **options)
    with pytest.raises(exceptions.ConnectionError, match=text) as raised:
        client.ping()
    assert not isinstance(raised.value, exceptions.AuthenticationError)


@pytest.mark.parametrize("minimum, accepted", [
    (None, True),
    (ssl.TLSVersion.TLSv1_2, True),
    (ssl.TLSVersion.TLSv1_3, False),
    (ssl.TLSVersion.MAXIMUM_SUPPORTED, False),
])
def test_minimum_version_is_honoured(tls12_server, trust, minimum, accepted):
    client = _redis.Redis("localhost", tls12_server.port, ssl=True, ssl_min_version=minimum,
                          socket_timeout=10)
    if accepted:
        assert client.ping() is True
    else:
        with pytest.raises(exceptions.ConnectionError):
            client.ping()


def test_plaintext_client_on_a_tls_port_fails_cleanly(tls_server):
    client = _redis.Redis("localhost", tls_server.port, socket_timeout=5)
    with pytest.raises((exceptions.ConnectionError, exceptions.TimeoutError)):
        client.ping()

