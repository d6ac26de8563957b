"""A local stand-in for the service's data-ticket HTTP API.

`ApiServer` is a real HTTP server on a free loopback port. It issues data tickets that point
at a configurable Redis, keeps its own table of sessions (each lapses ``expires_in`` seconds
after it was issued or last renewed), renews them on heartbeat and releases them on
disconnect. A test can program any reply for the next requests, make sessions lapse or
vanish, and inspect every request the server received.

Replies to session faults (chosen to look like a typical service; the client maps them by
the error code, whatever the status):

==========================================  ======  ===========================
situation                                   status  "error"
==========================================  ======  ===========================
wrong or missing bearer token               401     "Unauthorized"
live sessions already at the limit          429     "ConnectionLimitExceeded"
body not a JSON object, or over 1 MiB       400     "InvalidRequest"
member missing from the body                400     "MissingParameters"
session unknown, forgotten or released      404     "SessionNotFound"
session known but the ticket id differs     404     "TicketNotFound"
session lapsed                              401     "TicketExpired"
unknown path                                404     "NotFound"
method other than POST                      405     "MethodNotAllowed"
==========================================  ======  ===========================

Disconnecting a lapsed session releases it and succeeds. Nothing here writes to a log.
"""

from __future__ import annotations

import dataclasses
import hmac
import json
import secrets
import socket
import ssl
import struct
import sys
import threading
import time
from collections.abc import Callable
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

__all__ = [
    "ApiServer",
    "DISCONNECT_PATH",
    "HEARTBEAT_PATH",
    "RecordedRequest",
    "Session",
    "TICKET_PATH",
    "TicketSettings",
    "json_body_of_size",
]

TICKET_PATH = "/api/v1/data/ticket/"
HEARTBEAT_PATH = "/api/v1/data/heartbeat/"
DISCONNECT_PATH = "/api/v1/data/disconnect/"

# A request body larger than this is refused: the real client sends a few dozen bytes.
_MAX_REQUEST_BYTES = 1 << 20


@dataclasses.dataclass(frozen=True)
class TicketSettings:
    """What the server writes into the tickets it issues, and its session rules."""

    redis_host: str = "127.0.0.1"
    redis_port: int = 6379
    redis_password: str = dataclasses.field(
        default_factory=lambda: "pw-" + secrets.token_urlsafe(24))
    redis_username: str | None = None
    redis_ssl: bool = False
    transport_policy: str | None = None
    datasets: tuple[str, ...] = ()
    key_patterns: tuple[str, ...] = ("corvane:*",)
    category_patterns: tuple[str, ...] = ()
    expires_in: int = 3600
    # Largest number of live sessions; None means no limit.
    session_limit: int | None = None

    def ticket_reply(self, ticket: str, session_id: str) -> dict:
        redis = {
            "host": self.redis_host,
            "port": self.redis_port,
            "password": self.redis_password,
            "ssl": self.redis_ssl,
        }
        if self.redis_username is not None:
            redis["username"] = self.redis_username
        if self.transport_policy is not None:
            redis["transport_policy"] = self.transport_policy
        return {
            "success": True,
            "ticket": ticket,
            "session_id": session_id,
            "expires_in": self.expires_in,
            "redis": redis,
            "scope": {
                "datasets": list(self.datasets),
                "key_patterns": list(self.key_patterns),
                "category_patterns": list(self.category_patterns),
            },
        }


@dataclasses.dataclass(frozen=True, repr=False)
class RecordedRequest:
    """One request as the server received it."""

    method: str
    path: str
    headers: tuple[tuple[str, str], ...]
    body: bytes

    def header(self, name: str, default: str | None = None) -> str | None:
        """The first header of that name (case-insensitive), or ``default``."""
        wanted = name.lower()
        return next((v for k, v in self.headers if k.lower() == wanted), default)

    def json(self):
        return json.loads(self.body)

    def __repr__(self):
        # The headers carry the bearer token: keep them out of assertion messages.
        return f"RecordedRequest({self.method} {self.path}, {len(self.body)} body bytes)"


@dataclasses.dataclass(repr=False)
class Session:
    """A session as the server tracks it; times are on the server's clock."""

    ticket: str
    session_id: str
    issued_at: float
    expires_at: float
    renewals: int = 0
    released: bool = False

    def __repr__(self):
        return f"Session(<hidden>, renewals={self.renewals}, released={self.released})"


@dataclasses.dataclass
class _Answer:
    status: int | None  # None: answer as the service would, after the delay
    body: bytes
    headers: dict[str, str]
    delay: float
    drop: bool
    remaining: int | None  # None: for every request from now on


def json_body_of_size(value: dict, size: int) -> bytes:
    """``value`` as a JSON object padded with spaces to exactly ``size`` bytes."""
    text = json.dumps(value, separators=(",", ":")).encode()
    if len(text) > size:
        raise ValueError(f"the JSON text alone takes {len(text)} bytes, more than {size}")
    return text[:-1] + b" " * (size - len(text)) + b"}"


def _error(status: int, code: str) -> tuple[int, dict]:
    return status, {"success": False, "error": code}


class ApiServer:
    """The data-ticket API on ``http://127.0.0.1:PORT`` (``https://`` with an ``ssl_context``).

    ``settings`` are the fields of :class:`TicketSettings`. ``clock`` is the server's own clock
    for session lapses (seconds, monotonic by default).
    """

    def __init__(self, token: str | None = None, *, ssl_context: ssl.SSLContext | None = None,
                 clock: Callable[[], float] = time.monotonic, **settings):
        self.token = token if token is not None else "tok-" + secrets.token_urlsafe(24)
        self._settings = TicketSettings(**settings)
        self._ssl_context = ssl_context
        self._clock = clock
        self._lock = threading.Lock()
        self._sessions: dict[str, Session] = {}
        self._issued: list[str] = []
        self._requests: list[RecordedRequest] = []
        self._answers: dict[str | None, list[_Answer]] = {}
        self._stopping = threading.Event()
        self._server: _HttpServer | None = None
        self._thread: threading.Thread | None = None
        self._port = 0  # chosen by the first start, kept by later ones

    # -- lifetime -------------------------------------------------------------------------

    def start(self) -> ApiServer:
        """Start serving; after a stop, on the same port and with the same sessions, as a
        service back from an outage."""
        if self._server is not None:
            raise RuntimeError("the API server is already running")
        self._stopping.clear()
        self._server = _HttpServer(self, self._ssl_context, self._port)
        self._port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,),
                                        name="corvane-test-api", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._server is None:
            return
        self._stopping.set()  # ends programmed delays at once
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()
        self._server = self._thread = None

    def __enter__(self) -> ApiServer:
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()

    @property
    def port(self) -> int:
        if self._server is None:
            raise RuntimeError("the API server is not running")
        return self._server.server_address[1]

    @property
    def url(self) -> str:
        scheme = "https" if self._ssl_context is not None else "http"
        return f"{scheme}://127.0.0.1:{self.port}"

    # -- configuration --------------------------------------------------------------------

    @property
    def settings(self) -> TicketSettings:
        with self._lock:
            return self._settings

    def configure(self, **changes) -> TicketSettings:
        """Change the ticket contents and session rules for the requests from now on."""
        with self._lock:
            self._settings = dataclasses.replace(self._settings, **changes)
            return self._settings

    def program(self, path: str | None = None, *, status: int | None = None,
                body: bytes | object = b"", headers: dict[str, str] | None = None,
                delay: float = 0.0, drop: bool = False, times: int | None = 1) -> None:
        """Answer the next ``times`` requests to ``path`` (every path when None) this way.

        ``status`` None keeps the normal answer (useful with ``delay``). ``body`` is sent as
        is when it is bytes and as JSON otherwise; a ``Content-Length`` in ``headers``
        replaces the true one. ``drop`` closes the connection without any reply (after the
        delay). ``times`` None programs every later request. Answers for a path come before
        answers for every path; several programs for one path run in the order given.
        """
        if times is not None and times < 1:
            raise ValueError("times must be at least 1, or None for every request")
        raw = body if isinstance(body, (bytes, bytearray)) else json.dumps(body).encode()
        answer = _Answer(status, bytes(raw), dict(headers or {}), delay, drop, times)
        with self._lock:
            self._answers.setdefault(path, []).append(answer)

    def clear_programs(self) -> None:
        with self._lock:
            self._answers.clear()

    # -- sessions -------------------------------------------------------------------------

    def sessions(self) -> list[Session]:
        """Copies of the live sessions (issued, neither lapsed nor released)."""
        with self._lock:
            now = self._clock()
            return [dataclasses.replace(s) for s in self._sessions.values() if self._live(s, now)]

    def session_state(self, session_id: str) -> str:
        """"live", "lapsed", "released" or "unknown"."""
        with self._lock:
            session = self._sessions.get(session_id)
            if session is None:
                return "unknown"
            if session.released:
                return "released"
            return "live" if self._live(session, self._clock()) else "lapsed"

    def expire_sessions(self, session_id: str | None = None) -> None:
        """Make one session (or every session) lapse now."""
        with self._lock:
            now = self._clock()
            for session in self._select(session_id):
                session.expires_at = min(session.expires_at, now)

    def forget_sessions(self, session_id: str | None = None) -> None:
        """Make one session (or every session) unknown to the server."""
        with self._lock:
            for session in self._select(session_id):
                del self._sessions[session.session_id]

    def issued_secrets(self) -> list[str]:
        """Every ticket id and session id issued so far, for scanning logs for leaks."""
        with self._lock:
            return list(self._issued)

    # -- recorded requests ----------------------------------------------------------------

    @property
    def requests(self) -> list[RecordedRequest]:
        """A snapshot of every request received so far, oldest first."""
        with self._lock:
            return list(self._requests)

    def requests_to(self, path: str) -> list[RecordedRequest]:
        return [r for r in self.requests if r.path == path]

    def clear_requests(self) -> None:
        with self._lock:
            self._requests.clear()

    # -- request handling (handler threads) -----------------------------------------------

    def _record(self, request: RecordedRequest) -> _Answer | None:
        """Record a request and take the programmed answer for it, if any."""
        with self._lock:
            self._requests.append(request)
            for key in (request.path, None):
                queue = self._answers.get(key)
                if queue:
                    answer = queue[0]
                    if answer.remaining is not None:
                        answer.remaining -= 1
                        if answer.remaining == 0:
                            queue.pop(0)
                    return answer
        return None

    def _wait(self, seconds: float) -> None:
        if seconds > 0:
            self._stopping.wait(seconds)

    def _serve(self, request: RecordedRequest) -> tuple[int, dict]:
        """The service's own answer: status and JSON object."""
        handlers = {TICKET_PATH: self._issue, HEARTBEAT_PATH: self._renew,
                    DISCONNECT_PATH: self._release}
        handler = handlers.get(request.path)
        if handler is None:
            return _error(404, "NotFound")
        if request.method != "POST":
            return _error(405, "MethodNotAllowed")
        expected = ("Bearer " + self.token).encode()
        given = (request.header("Authorization") or "").encode()
        if not hmac.compare_digest(given, expected):
            return _error(401, "Unauthorized")
        try:
            payload = json.loads(request.body)
        except ValueError:
            return _error(400, "InvalidRequest")
        if not isinstance(payload, dict):
            return _error(400, "InvalidRequest")
        return handler(payload)

    def _issue(self, payload: dict) -> tuple[int, dict]:
        if not isinstance(payload.get("client_version"), str):
            return _error(400, "MissingParameters")
        with self._lock:
            settings = self._settings
            now = self._clock()
            live = sum(self._live(s, now) for s in self._sessions.values())
            if settings.session_limit is not None and live >= settings.session_limit:
                return _error(429, "ConnectionLimitExceeded")
            session = Session(ticket="tkt-" + secrets.token_urlsafe(24),
                              session_id="sid-" + secrets.token_urlsafe(24),
                              issued_at=now, expires_at=now + settings.expires_in)
            self._sessions[session.session_id] = session
            self._issued += [session.ticket, session.session_id]
        return 200, settings.ticket_reply(session.ticket, session.session_id)

    def _renew(self, payload: dict) -> tuple[int, dict]:
        with self._lock:
            session, failure = self._find(payload)
            if failure is not None:
                return failure
            if not self._live(session, self._clock()):
                return _error(401, "TicketExpired")
            expires_in = self._settings.expires_in
            session.expires_at = self._clock() + expires_in
            session.renewals += 1
        return 200, {"success": True, "expires_in": expires_in}

    def _release(self, payload: dict) -> tuple[int, dict]:
        with self._lock:
            session, failure = self._find(payload)
            if failure is not None:
                return failure
            session.released = True
        return 200, {"success": True}

    def _find(self, payload: dict) -> tuple[Session | None, tuple[int, dict] | None]:
        """The unreleased session a heartbeat or disconnect names, or the error reply."""
        ticket, session_id = payload.get("ticket"), payload.get("session_id")
        if not isinstance(ticket, str) or not isinstance(session_id, str):
            return None, _error(400, "MissingParameters")
        session = self._sessions.get(session_id)
        if session is None or session.released:
            return None, _error(404, "SessionNotFound")
        if not hmac.compare_digest(session.ticket.encode(), ticket.encode()):
            return None, _error(404, "TicketNotFound")
        return session, None

    def _select(self, session_id: str | None) -> list[Session]:
        if session_id is None:
            return list(self._sessions.values())
        if session_id not in self._sessions:
            raise KeyError("no such session")  # the id itself stays out of the message
        return [self._sessions[session_id]]

    @staticmethod
    def _live(session: Session, now: float) -> bool:
        return not session.released and now < session.expires_at


class _HttpServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, owner: ApiServer, ssl_context: ssl.SSLContext | None, port: int):
        self.owner = owner
        self.ssl_context = ssl_context
        super().__init__(("127.0.0.1", port), _Handler)

    def finish_request(self, request, client_address):
        # The TLS handshake runs here, on the request's own thread, so a slow or failing
        # client never holds up the accept loop.
        if self.ssl_context is None:
            return super().finish_request(request, client_address)
        with self.ssl_context.wrap_socket(request, server_side=True) as tls:
            super().finish_request(tls, client_address)

    def handle_error(self, request, client_address):
        # Clients that hang up mid-reply or fail the handshake are what fault tests do.
        if not isinstance(sys.exc_info()[1], OSError):
            super().handle_error(request, client_address)


class _Handler(BaseHTTPRequestHandler):
    server: _HttpServer
    server_version = "CorvaneTestService"
    sys_version = ""

    def _handle(self):
        owner = self.server.owner
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            length = -1
        if not 0 <= length <= _MAX_REQUEST_BYTES:
            self._reply(400, json.dumps({"success": False, "error": "InvalidRequest"}).encode(), {})
            return
        request = RecordedRequest(self.command, self.path, tuple(self.headers.items()),
                                  self.rfile.read(length))
        answer = owner._record(request)
        if answer is not None:
            owner._wait(answer.delay)
            if answer.drop:
                self._drop()
                return
            if answer.status is not None:
                self._reply(answer.status, answer.body, answer.headers)
                return
        status, reply = owner._serve(request)
        self._reply(status, json.dumps(reply).encode(), {})

    do_POST = do_GET = do_PUT = do_DELETE = do_PATCH = _handle

    def _reply(self, status: int, body: bytes, headers: dict[str, str]):
        self.send_response(status)
        names = {name.lower() for name in headers}
        if "content-type" not in names:
            self.send_header("Content-Type", "application/json")
        if "content-length" not in names:
            self.send_header("Content-Length", str(len(body)))
        for name, value in headers.items():
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def _drop(self):
        # Linger zero turns the close into a reset: the client sees no reply at all.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close_connection = True

    def log_message(self, format, *args):
        pass  # request lines are nobody's business in test output
