"""A small HTTP proxy on 127.0.0.1 between the launcher and nginx that can slow a
response down or cut its connection after a number of body bytes, one request
per connection. Records every request line with its Range header."""
import socket
import struct
import threading
import time
from dataclasses import dataclass, field


@dataclass
class Rule:
    """For requests whose path ends with `suffix`: cut after `cut_after` body bytes
    (the first `times` matching requests only), and send at most `rate` bytes/s."""
    suffix: str
    cut_after: int | None = None
    times: int = 1
    rate: float | None = None
    reset: bool = True    # a reset, as a broken network gives; False: an orderly close
    cuts: int = 0


@dataclass
class Request:
    line: str
    range: str
    body_bytes: int = 0
    cut: bool = False
    reset: bool = True
    headers: dict = field(default_factory=dict)


class CutProxy:
    def __init__(self, upstream_port):
        self.upstream = ("127.0.0.1", upstream_port)
        self.rules = []
        self.requests = []
        self.lock = threading.Lock()
        self.listener = None
        self.threads = []
        self.connections = set()
        self.stopping = False

    def start(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        accept = threading.Thread(target=self._accept, daemon=True)
        accept.start()
        self.threads.append(accept)
        return self.port

    def url(self, prefix):
        return f"http://127.0.0.1:{self.port}{prefix}"

    def stop(self):
        self.stopping = True
        try:
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accepting thread
        except OSError:
            pass
        self.listener.close()
        with self.lock:
            for c in list(self.connections):
                _abort(c)
        for t in self.threads:
            t.join(10)

    def add_rule(self, rule):
        with self.lock:
            self.rules.append(rule)
        return rule

    def _accept(self):
        while not self.stopping:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            t = threading.Thread(target=self._serve, args=(client,), daemon=True)
            t.start()
            self.threads.append(t)

    def _serve(self, client):
        upstream = request = None
        with self.lock:
            self.connections.add(client)
        try:
            client.settimeout(30)
            head = _read_head(client)
            if head is None:
                return
            lines = head.decode("latin-1").split("\r\n")
            headers = {}
            for h in lines[1:]:
                if ":" in h:
                    k, v = h.split(":", 1)
                    headers[k.strip().lower()] = v.strip()
            request = Request(lines[0], headers.get("range", ""), headers=headers)
            path = lines[0].split(" ")[1] if lines[0].count(" ") >= 2 else ""
            with self.lock:
                self.requests.append(request)
                rule = next((r for r in self.rules if path.endswith(r.suffix)), None)
                cut_after = None
                request.reset = bool(rule and rule.reset)
                if rule and rule.cut_after is not None and rule.cuts < rule.times:
                    rule.cuts += 1
                    cut_after = rule.cut_after
            kept = [h for h in lines[1:] if h and not h.lower().startswith(("connection:", "keep-alive:"))]
            upstream = socket.create_connection(self.upstream, timeout=30)
            with self.lock:
                self.connections.add(upstream)
            upstream.sendall("\r\n".join([lines[0], *kept, "Connection: close", "", ""]).encode("latin-1"))
            self._relay(upstream, client, request, cut_after, rule.rate if rule else None)
        except OSError:
            pass
        finally:
            with self.lock:
                self.connections.discard(client)
                self.connections.discard(upstream)
            if request is not None and request.cut and request.reset:
                _abort(client)
            else:
                client.close()
            if upstream:
                upstream.close()

    def _relay(self, upstream, client, request, cut_after, rate):
        in_head, pending = True, b""
        started, sent = time.monotonic(), 0
        while True:
            chunk = upstream.recv(65536)
            if not chunk:
                return
            if in_head:
                pending += chunk
                end = pending.find(b"\r\n\r\n")
                if end < 0:
                    continue
                client.sendall(pending[:end + 4])
                chunk, in_head = pending[end + 4:], False
                if not chunk:
                    continue
            if cut_after is not None and request.body_bytes + len(chunk) >= cut_after:
                client.sendall(chunk[:cut_after - request.body_bytes])
                request.body_bytes = cut_after
                request.cut = True
                # Let the bytes reach the client before the reset, which discards unread data.
                time.sleep(0.5)
                return
            client.sendall(chunk)
            request.body_bytes += len(chunk)
            if rate:
                sent += len(chunk)
                ahead = sent / rate - (time.monotonic() - started)
                if ahead > 0:
                    time.sleep(ahead)


def _read_head(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk or len(data) > 65536:
            return None
        data += chunk
    return data[:data.index(b"\r\n\r\n")]


def _abort(sock):
    """Closes with a reset, as a broken network does, not with an orderly end."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.close()
    except OSError:
        pass
