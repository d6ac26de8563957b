"""A real ``redis-server`` on a free loopback port, for tests.

Plaintext, or TLS with a certificate authority generated for the run (the server certificate
is valid for "localhost", "127.0.0.1" and "::1"); optionally an ACL user with a password,
the default user then being disabled. Nothing is persisted: the server keeps its data in
memory only and its working folder is a temporary one, removed on exit.
"""

from __future__ import annotations

import secrets
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
from collections.abc import Sequence
from pathlib import Path

from .certs import CertificateFiles

__all__ = ["RedisServer", "free_port"]

_START_ATTEMPTS = 3


def free_port() -> int:
    """A loopback TCP port that nothing listened on a moment ago."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _quote(value: str) -> str:
    """A configuration-file string; redis-server reads C-style escapes inside double quotes."""
    if any(ord(c) < 32 for c in value):
        raise ValueError("control characters are not allowed in redis-server settings")
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


class RedisServer:
    """``with RedisServer(tls=False, username=None, password=None) as server:``.

    With a ``username``, that ACL user gets the password (a random one when none is given)
    and every right, and the default user is disabled. With only a ``password``, the default
    user requires it. ``ca_path`` is the PEM file of the generated authority under TLS.
    ``options`` are further redis-server options as command-line words, for example
    ``("--tls-protocols", "TLSv1.2")``; they come after the configuration file and so
    override it.
    """

    host = "127.0.0.1"

    def __init__(self, *, tls: bool = False, username: str | None = None,
                 password: str | None = None, port: int | None = None,
                 certificates: CertificateFiles | None = None, options: Sequence[str] = (),
                 executable: str = "redis-server", start_timeout: float = 15.0):
        if username is not None and password is None:
            password = "pw-" + secrets.token_urlsafe(24)
        self.tls = tls
        self.username = username
        self.password = password
        self._fixed_port = port
        self.port = port
        self._options = tuple(options)
        self._executable = executable
        self._start_timeout = start_timeout
        self._dir: Path | None = None
        self.certificates = certificates
        self._owns_certificates = False
        self._process: subprocess.Popen | None = None

    # -- lifetime -------------------------------------------------------------------------

    def __enter__(self) -> RedisServer:
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def start(self) -> RedisServer:
        """Start the server (again, on the same port, after a stop or kill) and wait for PING."""
        if self.is_running:
            raise RuntimeError("redis-server is already running")
        if self._dir is None:
            self._dir = Path(tempfile.mkdtemp(prefix="corvane-redis-"))
            if self.tls and self.certificates is None:
                self.certificates = CertificateFiles(self._dir)
                self._owns_certificates = True
        for attempt in range(_START_ATTEMPTS):
            if self.port is None:
                self.port = free_port()
            try:
                launched = self._launch()
            except BaseException:
                self.kill()
                raise
            if launched:
                return self
            # Another process took the port between probing and binding: try a new one,
            # unless the caller asked for this port.
            if self._fixed_port is not None or attempt == _START_ATTEMPTS - 1:
                break
            self.port = None
        raise RuntimeError(f"redis-server did not start; its log ends with:\n{self._log_tail()}")

    def stop(self) -> None:
        """Shut the server down; the temporary folder stays for a later start."""
        if self._process is None:
            return
        if self._process.poll() is None:
            self._process.terminate()
            self._process.send_signal(signal.SIGCONT)  # a paused server must see the TERM
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        self._process = None

    def kill(self) -> None:
        """End the server abruptly (SIGKILL), as a crash would."""
        if self._process is not None and self._process.poll() is None:
            self._process.send_signal(signal.SIGKILL)
            self._process.wait()
        self._process = None

    def pause(self) -> None:
        """Freeze the server (SIGSTOP), as a hung host: connections stay open, nothing answers."""
        if not self.is_running:
            raise RuntimeError("redis-server is not running")
        self._process.send_signal(signal.SIGSTOP)

    def resume(self) -> None:
        """Let a paused server run again; it then answers what it was sent meanwhile."""
        if not self.is_running:
            raise RuntimeError("redis-server is not running")
        self._process.send_signal(signal.SIGCONT)

    def restart(self, keep_data: bool = True) -> None:
        """Stop and start again on the same port; ``keep_data`` carries every key over."""
        snapshot = self._snapshot() if keep_data and self.is_running else []
        self.stop()
        self.start()
        if snapshot:
            with self.client() as conn:
                pipe = conn.pipeline(transaction=False)
                for key, ttl, dump in snapshot:
                    pipe.restore(key, max(ttl, 0), dump, replace=True)
                pipe.execute()

    def close(self) -> None:
        """Stop the server and remove its temporary folder."""
        self.stop()
        if self._dir is not None:
            shutil.rmtree(self._dir, ignore_errors=True)
            self._dir = None
        if self._owns_certificates:
            self.certificates = None
            self._owns_certificates = False

    @property
    def is_running(self) -> bool:
        return self._process is not None and self._process.poll() is None

    # -- connecting -----------------------------------------------------------------------

    @property
    def ca_path(self) -> str | None:
        """PEM file of the authority that signed the server certificate (TLS only)."""
        return self.certificates.ca_path if self.tls and self.certificates is not None else None

    def connection_kwargs(self) -> dict:
        """Keyword arguments for ``redis.Redis`` with this server's address and credentials."""
        kwargs = {"host": self.host, "port": self.port, "username": self.username,
                  "password": self.password}
        if self.tls:
            kwargs.update(ssl=True, ssl_ca_certs=self.ca_path, ssl_cert_reqs="required")
        return kwargs

    def client(self, **overrides):
        """A redis-py connection to this server (the owner closes it)."""
        import redis

        return redis.Redis(**{**self.connection_kwargs(), **overrides})

    # -- internals ------------------------------------------------------------------------

    def _config(self) -> str:
        lines = [
            "bind 127.0.0.1 -::1",
            "protected-mode no",
            'save ""',
            "appendonly no",
            f"dir {_quote(str(self._dir))}",
            f"logfile {_quote(str(self._dir / 'redis.log'))}",
            "daemonize no",
        ]
        if self.tls:
            lines += [
                "port 0",
                f"tls-port {self.port}",
                f"tls-cert-file {_quote(self.certificates.cert_path)}",
                f"tls-key-file {_quote(self.certificates.key_path)}",
                f"tls-ca-cert-file {_quote(self.certificates.ca_path)}",
                "tls-auth-clients no",
                'tls-protocols "TLSv1.2 TLSv1.3"',
            ]
        else:
            lines.append(f"port {self.port}")
        if self.username is not None:
            lines += [
                "user default off",
                f"user {_quote(self.username)} on {_quote('>' + self.password)} ~* &* +@all",
            ]
        elif self.password is not None:
            lines.append(f"requirepass {_quote(self.password)}")
        return "\n".join(lines) + "\n"

    def _launch(self) -> bool:
        """Start one process on ``self.port``; True once it answers PING."""
        conf = self._dir / "redis.conf"
        # The password stays in this private file, off the process list.
        conf.write_text(self._config())
        conf.chmod(0o600)
        (self._dir / "redis.log").unlink(missing_ok=True)
        command = [self._executable, str(conf), *self._options]
        setpriv = shutil.which("setpriv")
        # The server dies with its parent, so a crashed test run leaves nothing behind. The
        # signal follows the starting thread, not the process: only the main thread may ask.
        if setpriv is not None and threading.current_thread() is threading.main_thread():
            command = [setpriv, "--pdeathsig", "KILL", *command]
        self._process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + self._start_timeout
        while time.monotonic() < deadline:
            if self._process.poll() is not None:
                self._process = None
                return False
            if self._answers_ping():
                return True
            time.sleep(0.02)
        self.kill()
        return False

    def _answers_ping(self) -> bool:
        import redis

        # Liveness only: the certificate may name hosts other than the address used here.
        checks = {"ssl_check_hostname": False} if self.tls else {}
        try:
            with self.client(socket_connect_timeout=1, socket_timeout=1, **checks) as conn:
                return bool(conn.ping())
        except (redis.ConnectionError, redis.TimeoutError, redis.BusyLoadingError):
            return False

    def _snapshot(self) -> list[tuple[bytes, int, bytes]]:
        with self.client() as conn:
            keys = list(conn.scan_iter(count=1000))
            pipe = conn.pipeline(transaction=False)
            for key in keys:
                pipe.pttl(key)
                pipe.dump(key)
            replies = pipe.execute()
        return [(key, replies[2 * i], replies[2 * i + 1]) for i, key in enumerate(keys)
                if replies[2 * i + 1] is not None]

    def _log_tail(self, lines: int = 20) -> str:
        try:
            text = (self._dir / "redis.log").read_text(errors="replace")
        except OSError:
            return "(no log)"
        return "\n".join(text.splitlines()[-lines:])

    def __repr__(self):
        mode = "tls" if self.tls else "plaintext"
        return f"RedisServer({self.host}:{self.port}, {mode}, running={self.is_running})"
