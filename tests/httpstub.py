"""A scriptable HTTP server on loopback for the black-box tests, able to misbehave.

    with httpstub.serve(body=b"<statistics .../>") as stub:        # 200, Content-Length
        run = harness.corvane("json")
        stub.requests    # the raw bytes of every request received, in order

serve(body=b"", status=200, port=8653, mode="length", headers=None, handler=None)

  mode "length":  Content-Length, then the connection stays open until the client closes it,
                  as a real named does (a client that reads until close hangs here).
  mode "chunked": Transfer-Encoding: chunked (the body in a few chunks), connection kept open.
  mode "close":   neither header: the end of the body is the server closing the connection.
  headers:        extra header lines (bytes or str, without CRLF) after the status line.
  status:         the status code; the reason phrase is the standard one.

Every connection gets the same answer. handler=fn replaces it: fn(conn, request) gets the
connected socket and the request bytes and writes whatever it likes; the stub closes the
socket when fn returns. For faults: `drip`, `reset`, `waitclose` below; `streamed` makes a
handler that sends a body generated as it goes, of any size without holding it.

The stub listens on 127.0.0.1 and, when the host has it, on ::1 (localhost may resolve to
either); port=0 picks a free port, found in stub.port. Leaving the `with` closes everything.
Only the standard library: http.server would not send a broken answer on request.
"""

import contextlib
import http
import socket
import struct
import threading
import time

__all__ = ["serve", "response", "drip", "reset", "waitclose", "streamed"]


def response(status=200, body=b"", mode="length", headers=None):
    """The bytes of a complete answer, as serve() sends them."""
    try:
        reason = http.HTTPStatus(status).phrase
    except ValueError:
        reason = "Whatever"
    lines = [f"HTTP/1.1 {status} {reason}".encode()]
    lines += [h.encode() if isinstance(h, str) else h for h in headers or []]
    if mode == "length":
        lines.append(b"Content-Length: %d" % len(body))
        payload = body
    elif mode == "chunked":
        lines.append(b"Transfer-Encoding: chunked")
        step = max(1, len(body) // 3)
        payload = b"".join(b"%x\r\n%s\r\n" % (len(body[i:i + step]), body[i:i + step])
                           for i in range(0, len(body), step)) + b"0\r\n\r\n"
    elif mode == "close":
        payload = body
    else:
        raise ValueError(f"unknown mode {mode!r}")
    return b"\r\n".join(lines) + b"\r\n\r\n" + payload


def waitclose(conn, limit=60):
    """Keeps the connection open until the client closes it (or `limit` seconds pass)."""
    conn.settimeout(limit)
    with contextlib.suppress(OSError):
        while conn.recv(65536):
            pass


def drip(conn, data, pause=0.5):
    """Sends `data` one byte at a time, `pause` seconds apart, until the client goes away."""
    with contextlib.suppress(OSError):
        for i in range(len(data)):
            conn.sendall(data[i:i + 1])
            time.sleep(pause)


def streamed(pieces, length=None):
    """A handler that answers 200 with the body that `pieces()` yields, made as it is sent: in
    chunks, or under `Content-Length: length` when it is given (whether or not the pieces add
    up to it). It stops when the client goes away, or keeps the connection open after."""
    def handler(conn, request):
        head = b"Transfer-Encoding: chunked" if length is None else b"Content-Length: %d" % length
        with contextlib.suppress(OSError):
            conn.sendall(b"HTTP/1.1 200 OK\r\n" + head + b"\r\n\r\n")
            for piece in pieces():
                conn.sendall(piece if length is not None else b"%x\r\n%s\r\n" % (len(piece), piece))
            if length is None:
                conn.sendall(b"0\r\n\r\n")
            waitclose(conn)
    return handler


def reset(conn):
    """Ends the connection with a TCP reset instead of an orderly close."""
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


class Stub:
    def __init__(self):
        self.requests = []
        self.port = None
        self._lock = threading.Lock()
        self._sockets = []

    def _track(self, s):
        with self._lock:
            self._sockets.append(s)

    def _accept(self, listener, handler):
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            self._track(conn)
            threading.Thread(target=self._serve, args=(conn, handler), daemon=True).start()

    def _serve(self, conn, handler):
        request = b""
        conn.settimeout(10)
        with contextlib.suppress(OSError):
            while b"\r\n\r\n" not in request:
                piece = conn.recv(65536)
                if not piece:
                    break
                request += piece
        with self._lock:
            self.requests.append(request)
        conn.settimeout(None)
        try:
            handler(conn, request)
        except OSError:
            pass
        finally:
            conn.close()

    def close(self):
        with self._lock:
            sockets, self._sockets = self._sockets, []
        for s in sockets:
            with contextlib.suppress(OSError):
                s.shutdown(socket.SHUT_RDWR)
            s.close()


def _listen(family, address, port):
    s = socket.socket(family, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if family == socket.AF_INET6:
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    try:
        s.bind((address, port))
        s.listen(64)
    except OSError:
        s.close()
        raise
    return s


@contextlib.contextmanager
def serve(body=b"", status=200, port=8653, mode="length", headers=None, handler=None):
    if handler is None:
        answer = response(status, body, mode, headers)

        def handler(conn, request):
            conn.sendall(answer)
            if mode != "close":
                waitclose(conn)

    stub = Stub()
    listeners = [_listen(socket.AF_INET, "127.0.0.1", port)]
    stub.port = listeners[0].getsockname()[1]
    if socket.has_ipv6:
        with contextlib.suppress(OSError):
            listeners.append(_listen(socket.AF_INET6, "::1", stub.port))
    for s in listeners:
        stub._track(s)
        threading.Thread(target=stub._accept, args=(s, handler), daemon=True).start()
    try:
        yield stub
    finally:
        stub.close()
