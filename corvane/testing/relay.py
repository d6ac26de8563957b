"""A relay on loopback that makes a TCP service look far away: a fixed delay in each
direction and a bandwidth cap on the link.

::

    with LinkRelay(svc.redis.port, delay=0.020, bandwidth=400e6 / 8) as relay:
        svc.api.configure(redis_port=relay.port)   # tickets now lead through the relay

The link is modelled as a real one: each direction is one queue shared by every connection.
A chunk read from one side is put on its direction's link at once, or behind whatever that
link still has to send (all connections together), takes ``size / bandwidth`` to cross it,
and is handed to the other side ``delay`` after that. Chunks of one connection keep their
order; the two directions never wait for each other. Each connection holds at most
``buffer`` bytes per direction in transit, so a reader that stops reading stops its sender,
as a TCP window does.
"""

from __future__ import annotations

import collections
import contextlib
import socket
import threading
import time

__all__ = ["LinkRelay"]

_CHUNK = 64 * 1024


class _Link:
    """One direction of the link: when a chunk read now reaches the far side."""

    def __init__(self, delay: float, bandwidth: float | None):
        self._delay = delay
        self._bandwidth = bandwidth
        self._lock = threading.Lock()
        self._free_at = 0.0  # when the link has sent everything put on it so far
        self.bytes = 0

    def arrival(self, size: int, now: float) -> float:
        with self._lock:
            self.bytes += size
            if self._bandwidth is None:
                return now + self._delay
            self._free_at = max(now, self._free_at) + size / self._bandwidth
            return self._free_at + self._delay


class _Pipe:
    """One direction of one connection: a reader thread puts chunks on the link, a writer
    thread hands each to the sink when it arrives. An empty chunk stands for the end."""

    def __init__(self, source: socket.socket, sink: socket.socket, link: _Link, buffer: int,
                 on_end):
        self._source = source
        self._sink = sink
        self._link = link
        self._buffer = buffer
        self._on_end = on_end
        self._queue: collections.deque[tuple[float, bytes]] = collections.deque()
        self._held = 0
        self._closed = False
        self._changed = threading.Condition()
        self.threads = [threading.Thread(target=self._read, daemon=True),
                        threading.Thread(target=self._write, daemon=True)]

    def start(self) -> None:
        for thread in self.threads:
            thread.start()

    def close(self) -> None:
        with self._changed:
            self._closed = True
            self._changed.notify_all()

    def _read(self) -> None:
        data = b""
        while True:
            with self._changed:
                while self._held >= self._buffer and not self._closed:
                    self._changed.wait()
                if self._closed:
                    return
            try:
                data = self._source.recv(_CHUNK)
            except OSError:
                data = b""
            with self._changed:
                self._queue.append((self._link.arrival(len(data), time.monotonic()), data))
                self._held += len(data)
                self._changed.notify_all()
            if not data:
                return

    def _next(self) -> bytes | None:
        """The first chunk once it has arrived; None once the pipe is closed."""
        with self._changed:
            while not self._closed:
                if not self._queue:
                    self._changed.wait()
                    continue
                arrival, data = self._queue[0]
                wait = arrival - time.monotonic()
                if wait <= 0:
                    return data
                self._changed.wait(wait)
            return None

    def _write(self) -> None:
        failed = False
        try:
            while (data := self._next()) is not None:
                if not data:
                    self._sink.shutdown(socket.SHUT_WR)
                    break
                self._sink.sendall(data)
                with self._changed:
                    self._queue.popleft()
                    self._held -= len(data)
                    self._changed.notify_all()
        except OSError:
            failed = True
        self._on_end(failed)


class _Connection:
    """A client connection and its upstream one, closed together once both directions have
    ended, or at once when either side fails."""

    def __init__(self, client: socket.socket, upstream: socket.socket, links: tuple[_Link, _Link],
                 buffer: int, on_closed):
        self._sockets = (client, upstream)
        self._on_closed = on_closed
        self._lock = threading.Lock()
        self._open = 2
        self._closed = False
        self.pipes = (_Pipe(client, upstream, links[0], buffer, self._pipe_ended),
                      _Pipe(upstream, client, links[1], buffer, self._pipe_ended))

    def start(self) -> None:
        for pipe in self.pipes:
            pipe.start()

    def _pipe_ended(self, failed: bool) -> None:
        with self._lock:
            self._open -= 1
            last = self._open == 0
        if failed or last:
            self.close()

    def close(self) -> None:
        with self._lock:
            if self._closed:
                return
            self._closed = True
        for pipe in self.pipes:
            pipe.close()
        for sock in self._sockets:
            with contextlib.suppress(OSError):
                sock.shutdown(socket.SHUT_RDWR)  # wakes a reader blocked in recv
            sock.close()
        self._on_closed(self)


class LinkRelay:
    """Relays loopback connections on ``port`` to ``upstream_port``, ``delay`` seconds late in
    each direction and at most ``bandwidth`` bytes per second per direction over all
    connections together (None: no cap). ``bytes_up`` and ``bytes_down`` count what crossed
    towards the upstream and back."""

    def __init__(self, upstream_port: int, *, delay: float = 0.0, bandwidth: float | None = None,
                 buffer: int = 8 << 20, host: str = "127.0.0.1", port: int = 0):
        if delay < 0:
            raise ValueError("delay must not be negative")
        if bandwidth is not None and bandwidth <= 0:
            raise ValueError("bandwidth must be positive, or None for no cap")
        self.upstream = (host, upstream_port)
        self._links = (_Link(delay, bandwidth), _Link(delay, bandwidth))
        self._buffer = buffer
        self._listener = socket.create_server((host, port))
        self._listener.settimeout(0.1)
        self.port = self._listener.getsockname()[1]
        self._stopping = threading.Event()
        self._lock = threading.Lock()
        self._connections: list[_Connection] = []
        self._thread = threading.Thread(target=self._accept, name="corvane-test-relay",
                                        daemon=True)

    @property
    def bytes_up(self) -> int:
        return self._links[0].bytes

    @property
    def bytes_down(self) -> int:
        return self._links[1].bytes

    def _accept(self) -> None:
        while not self._stopping.is_set():
            try:
                client, _ = self._listener.accept()
            except TimeoutError:
                continue
            except OSError:
                return
            try:
                upstream = socket.create_connection(self.upstream, 5)
            except OSError:
                client.close()  # the service is down: so is the connection
                continue
            upstream.settimeout(None)
            client.settimeout(None)
            for sock in (client, upstream):
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            connection = _Connection(client, upstream, self._links, self._buffer, self._forget)
            with self._lock:
                self._connections.append(connection)
            connection.start()

    def _forget(self, connection: _Connection) -> None:
        with self._lock:
            if connection in self._connections:
                self._connections.remove(connection)

    def start(self) -> LinkRelay:
        self._thread.start()
        return self

    def close(self) -> None:
        """Stop accepting, cut every connection and wait for the relay's threads."""
        self._stopping.set()
        if self._thread.is_alive():
            self._thread.join()
        self._listener.close()
        with self._lock:
            connections = list(self._connections)
        for connection in connections:
            connection.close()
        for connection in connections:
            for pipe in connection.pipes:
                for thread in pipe.threads:
                    thread.join()

    def __enter__(self) -> LinkRelay:
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.close()
