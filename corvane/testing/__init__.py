"""A local stand-in for the market-data service: ticket API, Redis and a data publisher.

::

    with LocalService() as svc:
        svc.publisher.publish_pivot("cn_stock_pivot#close", synthetic_pivot(...))
        with CorvaneClient(api_token=svc.token, save_path=tmp, api_url=svc.url) as client:
            ...

Importing this package is cheap: redis-py, trustme, pandas and pyarrow are imported only
when something needs them.
"""

from __future__ import annotations

import contextlib
import os
import secrets
import tempfile

from .api import (DISCONNECT_PATH, HEARTBEAT_PATH, TICKET_PATH, ApiServer, RecordedRequest,
                  Session, TicketSettings, json_body_of_size)
from .certs import CertificateFiles
from .publisher import OMIT, Publisher, data_key_for, parquet_bytes, payload_hash
from .redis import RedisServer, free_port
from .relay import LinkRelay
from .synthetic import instrument_codes, synthetic_pivot, synthetic_unstack

__all__ = [
    "ApiServer",
    "CertificateFiles",
    "DISCONNECT_PATH",
    "HEARTBEAT_PATH",
    "LinkRelay",
    "LocalService",
    "OMIT",
    "Publisher",
    "RecordedRequest",
    "RedisServer",
    "Session",
    "TICKET_PATH",
    "TicketSettings",
    "data_key_for",
    "free_port",
    "instrument_codes",
    "json_body_of_size",
    "parquet_bytes",
    "payload_hash",
    "synthetic_pivot",
    "synthetic_unstack",
]


class LocalService:
    """A running ticket API whose tickets lead to a running, password-protected Redis.

    ``tls`` serves Redis over TLS only, and the tickets then name the host "localhost" so
    that the client's host-name check passes. ``api_tls`` serves the API over HTTPS with the
    same generated authority. While either is on and ``set_cert_env`` is true, the context
    sets the environment variable SSL_CERT_FILE to ``ca_path`` and restores its earlier
    value (or its absence) on exit; with ``set_cert_env`` false the caller does it.

    ``redis_user`` puts the tickets and the server on that ACL user. The token, the Redis
    password and every ticket and session id are random texts; ``secrets()`` lists them so a
    test can make sure none reached a log.
    """

    def __init__(self, *, tls: bool = False, api_tls: bool = False,
                 redis_user: str | None = None, expires_in: int = 3600,
                 session_limit: int | None = None, datasets=None, key_patterns=None,
                 category_patterns=None, transport_policy: str | None = None,
                 set_cert_env: bool = True):
        self.token = "tok-" + secrets.token_urlsafe(24)
        self._tls = tls
        self._api_tls = api_tls
        self._redis_user = redis_user
        self._set_cert_env = set_cert_env
        self._settings = {
            "expires_in": expires_in,
            "session_limit": session_limit,
            "datasets": tuple(datasets or ()),
            "key_patterns": tuple(key_patterns or ("corvane:*",)),
            "category_patterns": tuple(category_patterns or ()),
            "transport_policy": transport_policy,
        }
        self.certificates: CertificateFiles | None = None
        self.redis: RedisServer | None = None
        self.api: ApiServer | None = None
        self.publisher: Publisher | None = None
        self._resources = contextlib.ExitStack()

    def __enter__(self) -> LocalService:
        with contextlib.ExitStack() as resources:
            if self._tls or self._api_tls:
                folder = resources.enter_context(
                    tempfile.TemporaryDirectory(prefix="corvane-ca-"))
                self.certificates = CertificateFiles(folder)
            self.redis = resources.enter_context(RedisServer(
                tls=self._tls, username=self._redis_user,
                password="pw-" + secrets.token_urlsafe(24), certificates=self.certificates))
            self.publisher = Publisher(resources.enter_context(self.redis.client()))
            self.api = resources.enter_context(ApiServer(
                self.token,
                ssl_context=self.certificates.server_context() if self._api_tls else None,
                redis_host="localhost" if self._tls else "127.0.0.1",
                redis_port=self.redis.port,
                redis_password=self.redis.password,
                redis_username=self.redis.username,
                redis_ssl=self._tls,
                **self._settings,
            ))
            if self._set_cert_env and self.certificates is not None:
                resources.enter_context(_environment("SSL_CERT_FILE", self.ca_path))
            self._resources = resources.pop_all()
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def close(self) -> None:
        """Restore SSL_CERT_FILE, stop the API, then Redis, then remove the certificates."""
        self._resources.close()

    @property
    def url(self) -> str:
        return self.api.url

    @property
    def ca_path(self) -> str | None:
        """The PEM file of the generated authority (TLS modes only)."""
        return self.certificates.ca_path if self.certificates is not None else None

    def secrets(self) -> list[str]:
        """The token, the Redis password and every ticket and session id issued so far."""
        return [self.token, self.redis.password, *self.api.issued_secrets()]


@contextlib.contextmanager
def _environment(name: str, value: str):
    """Set an environment variable for the duration, then restore it or its absence."""
    saved = os.environ.get(name)
    os.environ[name] = value
    try:
        yield
    finally:
        if saved is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = saved
