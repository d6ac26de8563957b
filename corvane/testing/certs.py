"""A certificate authority generated for one test run, and a server certificate from it."""

from __future__ import annotations

import ssl
from collections.abc import Sequence
from pathlib import Path

__all__ = ["CertificateFiles"]


class CertificateFiles:
    """PEM files in ``folder``: the authority (``ca_path``) and a server certificate and key
    valid for ``hosts`` ("localhost", "127.0.0.1" and "::1" by default)."""

    def __init__(self, folder: str | Path,
                 hosts: Sequence[str] = ("localhost", "127.0.0.1", "::1")):
        import trustme

        folder = Path(folder)
        self.ca_path = str(folder / "ca.pem")
        self.cert_path = str(folder / "server.crt")
        self.key_path = str(folder / "server.key")
        ca = trustme.CA()
        ca.cert_pem.write_to_path(self.ca_path)
        leaf = ca.issue_cert(*hosts)
        leaf.cert_chain_pems[0].write_to_path(self.cert_path)
        leaf.private_key_pem.write_to_path(self.key_path)

    def server_context(self) -> ssl.SSLContext:
        """A server-side context presenting the certificate, TLS 1.2 at least."""
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        context.load_cert_chain(self.cert_path, self.key_path)
        return context
