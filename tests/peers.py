"""Scripted peers on loopback for fault tests: a server that answers every command with a
fixed byte script, and a relay that lets only so many reply bytes through."""

from __future__ import annotations

import contextlib
import socket
import threading
import time


class ScriptedPeer:
    """A loopback TCP server that answers every command it receives with `reply`, sent in
    pieces of `chunk` bytes, and closes the connection after the first when `close` is set;
    with `reply` None it accepts and never answers."""

    def __init__(self, reply: bytes | None, chunk: int | None = None, close: bool = False):
        self.reply = reply
        self.chunk = chunk
        self.close = close
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.1)
        self.port = self.listener.getsockname()[1]
        self.stopping = threading.Event()
        self.connections: list[socket.socket] = []
        self.thread = threading.Thread(target=self._serve, daemon=True)

    def _serve(self) -> None:
        while not self.stopping.is_set():
            try:
                connection, _ = self.listener.accept()
            except TimeoutError:
                continue
            self.connections.append(connection)
            if self.reply is not None:
                threading.Thread(target=self._answer, args=(connection,), daemon=True).start()

    def _answer(self, connection: socket.socket) -> None:
        with contextlib.suppress(OSError):
            while connection.recv(65536):
                step = self.chunk or len(self.reply) or 1
                for offset in range(0, len(self.reply), step):
                    connection.sendall(self.reply[offset:offset + step])
                    if self.chunk:
                        time.sleep(0.001)
                if self.close:
                    connection.shutdown(socket.SHUT_RDWR)
                    return

    def __enter__(self) -> ScriptedPeer:
        self.thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stopping.set()
        self.thread.join(5)
        for connection in self.connections:
            connection.close()
        self.listener.close()


class StallingProxy:
    """Relays connections to a server, passing at most `limit` reply bytes per connection;
    the rest is held back (read and dropped) until the server closes, then the client's
    connection is closed too. With `limit` None everything passes."""

    def __init__(self, upstream_port: int, limit: int | None):
        self.upstream_port = upstream_port
        self.limit = limit
        self.stalled = threading.Event()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.1)
        self.port = self.listener.getsockname()[1]
        self.stopping = threading.Event()
        self.sockets: list[socket.socket] = []
        self.thread = threading.Thread(target=self._serve, daemon=True)

    def _serve(self) -> None:
        while not self.stopping.is_set():
            try:
                client, _ = self.listener.accept()
            except TimeoutError:
                continue
            try:
                upstream = socket.create_connection(("127.0.0.1", self.upstream_port), 5)
            except OSError:
                client.close()
                continue
            upstream.settimeout(None)
            self.sockets += [client, upstream]
            threading.Thread(target=self._pipe, args=(client, upstream, None), daemon=True).start()
            threading.Thread(target=self._pipe, args=(upstream, client, self.limit),
                             daemon=True).start()

    def _pipe(self, source: socket.socket, sink: socket.socket, limit: int | None) -> None:
        passed = 0
        with contextlib.suppress(OSError):
            while data := source.recv(65536):
                if limit is not None and passed + len(data) > limit:
                    data = data[:limit - passed]
                    self.stalled.set()
                sink.sendall(data)
                passed += len(data)
        with contextlib.suppress(OSError):
            sink.shutdown(socket.SHUT_RDWR)

    def __enter__(self) -> StallingProxy:
        self.thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stopping.set()
        self.thread.join(5)
        for sock in self.sockets:
            sock.close()
        self.listener.close()
