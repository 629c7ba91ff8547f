#!/usr/bin/python3
"""HTTP and HTTPS test server for the network tests, on loopback only.

Prints "READY http=<port> https=<port>" once both listen. Paths:
  /status/<code>          answer that status with a short body
  /echo                   the request as JSON (method, path, headers, body length)
  /set-cookie             sets a session cookie for / and a lasting one for /other
  /cookie-flood/<n>       sets n cookies never set before, for /
  /as-proxy/<code>/<path> asked as a proxy (an absolute URL), answers <code>,
                          for 407 as a proxy that wants a password
                          (Proxy-Authenticate) and sets a cookie; asked
                          directly, answers as /<path> would
  /bytes/<n>              n bytes of a repeating pattern
  /drop                   close the connection without an answer
  /stall                  read the request and never answer
  /stalls                 how many /stall requests arrived so far
  /bad-length             announce 100 bytes, send 10, close
  /cut-chunked            one chunk, then close without the last chunk
  /big-headers            1 MiB of response headers
  /events/<n>?gap=<ms>    n server-sent events, then close
  /events-bad-utf8        one event holding bytes that are not UTF-8, then close
  /events-hold            one event, then a comment every 100 ms until the client goes
  /holds                  how many /events-hold streams are open now
  /ws-bad/<kind>          web-socket handshake, then one bad frame
                          (masked, too-long, long-control), or none (hold,
                          no-pong: reads the client's frames and answers
                          none of its pings); records the close code the
                          client sends
  /ws-close-codes         the close codes the bad-frame server received, as JSON
  /ws-pings               how many pings the no-pong server swallowed
  /uploads                every PUT received so far, as JSON
  /redirect?to=<url>      302 to that URL
  /unbounded/<n>          n bytes without Content-Length, ended by closing
  /gzip-bomb/<n>          a small gzip body that decodes to n zero bytes
  /conflicting-length     two Content-Length fields that differ
  /status-line-headers    280 KB of headers, every 50th line beginning "HTTP/"
  /ws-bad/deaf            web-socket handshake, then never reads
Any PUT is recorded and answered 200; under /reply/<code>/ with that status,
under /cut/ with 200 and a body that breaks off.
"""
import base64
import hashlib
import json
import os
import signal
import socket
import ssl
import struct
import sys
import threading
import time
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit, parse_qs

UPLOADS = []
CLOSE_CODES = []
HOLDS = [0]  # event streams open right now
PINGS = [0]  # pings swallowed by /ws-bad/no-pong
COOKIES = [0]  # cookies set by /cookie-flood so far
STALLS = [0]  # /stall requests read so far
LOCK = threading.Lock()
STOP = threading.Event()
PATTERN = bytes(range(256)) * 4096  # 1 MiB


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Head and body leave in one segment: unbuffered writes with Nagle on
    # would wait for the client's delayed acknowledgement on every answer.
    disable_nagle_algorithm = True
    wbufsize = 64 * 1024

    def log_message(self, *args):
        pass

    def send_body(self, status, body, content_type="text/plain", extra=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def read_body(self):
        length = int(self.headers.get("Content-Length", "0") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def do_HEAD(self):
        self.do_GET()

    def do_POST(self):
        body = self.read_body()
        self.answer_echo(body)

    def do_PUT(self):
        body = self.read_body()
        with LOCK:
            UPLOADS.append({
                "path": self.path,
                "headers": {k: v for k, v in self.headers.items()},
                "body": body.decode("utf-8", "replace"),
            })
        parts = [p for p in urlsplit(self.path).path.split("/") if p]
        if parts[:1] == ["cut"]:
            # A success status whose answer breaks off.
            self.send_response(200)
            self.send_header("Content-Length", "100")
            self.end_headers()
            self.wfile.write(b'{"stored"')
            self.close_now()
            return
        status = int(parts[1]) if parts[:1] == ["reply"] and len(parts) > 1 else 200
        self.send_body(status, b'{"stored":true}', "application/json")

    def answer_echo(self, body):
        doc = {"method": self.command, "path": self.path,
               "headers": {k: v for k, v in self.headers.items()},
               "bodyLength": len(body)}
        self.send_body(200, json.dumps(doc).encode(), "application/json")

    def do_GET(self):
        url = urlsplit(self.path)
        parts = [p for p in url.path.split("/") if p]
        query = parse_qs(url.query)
        head = parts[0] if parts else ""
        if head == "status" and len(parts) == 2:
            code = int(parts[1])
            self.send_body(code, ("status %d" % code).encode(),
                           extra=[("Location", "/status/200")] if 300 <= code < 400 else ())
        elif head == "echo":
            self.answer_echo(b"")
        elif head == "set-cookie":
            self.send_body(200, b"cookies", extra=[("Set-Cookie", "sid=secret-value; Path=/"),
                                                   ("Set-Cookie", "pref=dark; Path=/other; Max-Age=3600")])
        elif head == "cookie-flood" and len(parts) == 2:
            with LOCK:
                first = COOKIES[0]
                COOKIES[0] += int(parts[1])
            self.send_body(200, b"cookies", extra=[("Set-Cookie", "flood%d=v%d; Path=/" % (i, i))
                                                   for i in range(first, first + int(parts[1]))])
        elif head == "as-proxy" and len(parts) >= 2 and "://" in self.path.split("?")[0]:
            code = int(parts[1])
            extra = []
            if code == 407:
                extra = [("Proxy-Authenticate", 'Basic realm="nrv-test-proxy"'),
                         ("Set-Cookie", "proxysid=proxy-cookie-secret; Path=/")]
            self.send_body(code, ("proxy status %d" % code).encode(), extra=extra)
        elif head == "as-proxy" and len(parts) >= 2:
            self.path = "/" + "/".join(parts[2:]) + ("?" + url.query if url.query else "")
            self.do_GET()
        elif head == "bytes" and len(parts) == 2:
            self.send_bytes(int(parts[1]))
        elif head == "drop":
            self.close_now()
        elif head == "stall":
            with LOCK:
                STALLS[0] += 1
            STOP.wait(120)
            self.close_now()
        elif head == "bad-length":
            self.send_response(200)
            self.send_header("Content-Length", "100")
            self.end_headers()
            self.wfile.write(b"0123456789")
            self.wfile.flush()
            self.close_now()
        elif head == "cut-chunked":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            self.wfile.write(b"5\r\nhello\r\n")
            self.wfile.flush()
            self.close_now()
        elif head == "big-headers":
            self.send_response(200)
            filler = "x" * 1000
            for i in range(1050):
                self.send_header("X-Filler-%d" % i, filler)
            self.send_header("Content-Length", "2")
            self.end_headers()
            self.wfile.write(b"ok")
        elif head == "events" and len(parts) == 2:
            gap = int(query.get("gap", ["50"])[0]) / 1000.0
            self.start_events()
            for i in range(int(parts[1])):
                self.wfile.write(("id: %d\ndata: event %d\n\n" % (i, i)).encode())
                self.wfile.flush()
                time.sleep(gap)
            self.close_now()
        elif head == "events-bad-utf8":
            self.start_events()
            self.wfile.write(b"data: \xff\xfe broken \xc3\n\n")
            self.wfile.flush()
            time.sleep(0.1)
            self.close_now()
        elif head == "events-hold":
            self.hold_events()
        elif head == "redirect":
            self.send_body(302, b"moved", extra=[("Location", query.get("to", ["/status/200"])[0])])
        elif head == "unbounded" and len(parts) == 2:
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Connection", "close")
            self.end_headers()
            left = int(parts[1])
            try:
                while left > 0:
                    n = min(left, len(PATTERN))
                    self.wfile.write(PATTERN[:n])
                    left -= n
            except OSError:
                pass
            self.close_now()
        elif head == "gzip-bomb" and len(parts) == 2:
            packer = zlib.compressobj(9, zlib.DEFLATED, 31)
            zeros = bytes(1 << 20)
            left = int(parts[1])
            chunks = []
            while left > 0:
                n = min(left, len(zeros))
                chunks.append(packer.compress(zeros[:n]))
                left -= n
            chunks.append(packer.flush())
            self.send_body(200, b"".join(chunks), "application/octet-stream", extra=[("Content-Encoding", "gzip")])
        elif head == "conflicting-length":
            self.send_response(200)
            self.send_header("Content-Length", "10")
            self.send_header("Content-Length", "5")
            self.end_headers()
            self.wfile.write(b"helloworld")
            self.close_now()
        elif head == "status-line-headers":
            self.send_response(200)
            for i in range(280):
                if i % 50 == 49:
                    self.flush_headers()
                    self.wfile.write(b"HTTP/1.1 200 OK: starts like a status line\r\n")
                else:
                    self.send_header("X-Filler-%d" % i, "x" * 1000)
                    self.flush_headers()
            self.send_header("Content-Length", "2")
            self.end_headers()
            self.wfile.write(b"ok")
        elif head == "ws-bad" and len(parts) == 2:
            self.bad_websocket(parts[1])
        elif head == "ws-close-codes":
            with LOCK:
                self.send_body(200, json.dumps(CLOSE_CODES).encode(), "application/json")
        elif head == "holds":
            with LOCK:
                self.send_body(200, str(HOLDS[0]).encode())
        elif head == "stalls":
            with LOCK:
                self.send_body(200, str(STALLS[0]).encode())
        elif head == "ws-pings":
            with LOCK:
                self.send_body(200, str(PINGS[0]).encode())
        elif head == "uploads":
            with LOCK:
                self.send_body(200, json.dumps(UPLOADS).encode(), "application/json")
        else:
            self.send_body(404, b"not found")

    def send_bytes(self, total):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(total))
        self.end_headers()
        view = memoryview(PATTERN)
        left = total
        while left > 0:
            n = min(left, len(PATTERN))
            self.wfile.write(view[:n])
            left -= n

    def hold_events(self):
        self.start_events()
        with LOCK:
            HOLDS[0] += 1
        try:
            self.wfile.write(b"data: first\n\n")
            self.wfile.flush()
            deadline = time.time() + 120
            while not STOP.is_set() and time.time() < deadline:
                time.sleep(0.1)
                self.wfile.write(b": keep-alive\n\n")
                self.wfile.flush()
        except OSError:
            pass
        finally:
            with LOCK:
                HOLDS[0] -= 1
        self.close_now()

    def start_events(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-cache")
        self.end_headers()
        self.wfile.flush()

    def close_now(self):
        self.close_connection = True
        try:
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def bad_websocket(self, kind):
        key = self.headers.get("Sec-WebSocket-Key", "")
        accept = base64.b64encode(hashlib.sha1((key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").encode()).digest()).decode()
        self.send_response(101)
        self.send_header("Upgrade", "websocket")
        self.send_header("Connection", "Upgrade")
        self.send_header("Sec-WebSocket-Accept", accept)
        self.end_headers()
        self.wfile.flush()
        if kind == "masked":
            frame = bytes([0x81, 0x80 | 2]) + b"\x01\x02\x03\x04" + bytes([ord("h") ^ 1, ord("i") ^ 2])
        elif kind == "too-long":
            frame = bytes([0x82, 127]) + struct.pack(">Q", 1 << 40)
        elif kind == "long-control":
            frame = bytes([0x89, 126]) + struct.pack(">H", 200) + b"p" * 200
        else:
            frame = b""
        self.wfile.write(frame)
        self.wfile.flush()
        if kind == "deaf":
            # Takes nothing of what the client sends until the test ends.
            STOP.wait(60)
            self.close_now()
            return
        self.connection.settimeout(60 if kind in ("hold", "no-pong") else 10)
        code = None
        try:
            while True:
                first = self.rfile.read(2)
                if len(first) != 2:
                    break
                length = first[1] & 0x7F
                if length == 126:
                    length = struct.unpack(">H", self.rfile.read(2))[0]
                elif length == 127:
                    length = struct.unpack(">Q", self.rfile.read(8))[0]
                mask = self.rfile.read(4) if first[1] & 0x80 else b"\0\0\0\0"
                payload = bytearray(self.rfile.read(length))
                for i in range(len(payload)):
                    payload[i] ^= mask[i % 4]
                opcode = first[0] & 0x0F
                if opcode == 0x8:
                    if len(payload) >= 2:
                        code = struct.unpack(">H", bytes(payload[:2]))[0]
                    break
                if kind != "no-pong":
                    break
                if opcode == 0x9:
                    with LOCK:
                        PINGS[0] += 1
        except (OSError, ValueError, struct.error):
            pass
        with LOCK:
            CLOSE_CODES.append({"kind": kind, "code": code})
        self.close_now()


class QuietServer(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # clients that hang up early are part of the tests


def exit_with_parent():
    """Ends the server when the test program that started it is gone."""
    parent = os.getppid()

    def watch():
        while os.getppid() == parent:
            time.sleep(0.5)
        os._exit(0)

    threading.Thread(target=watch, daemon=True).start()


def serve(server):
    server.serve_forever(poll_interval=0.2)


def main():
    """Arguments: [cert key] [--any-key] [--sni name cert key]...

    --any-key lets the server present keys and signatures of any strength
    (the clients' refusal of weak ones is what tests look at); --sni serves
    another certificate to clients that ask for that name.
    """
    exit_with_parent()
    args = sys.argv[1:]
    positional = []
    any_key = False
    sni = {}
    while args:
        arg = args.pop(0)
        if arg == "--any-key":
            any_key = True
        elif arg == "--sni":
            sni[args[0]] = (args[1], args[2])
            del args[:3]
        else:
            positional.append(arg)
    cert = positional[0] if len(positional) > 1 else None
    key = positional[1] if len(positional) > 1 else None
    plain = QuietServer(("127.0.0.1", 0), Handler)
    plain.daemon_threads = True
    servers = [plain]
    https_port = 0
    if cert:
        secure = QuietServer(("127.0.0.1", 0), Handler)
        secure.daemon_threads = True
        def make_context(cert, key):
            made = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            if any_key:
                made.set_ciphers("DEFAULT:@SECLEVEL=0")
            made.load_cert_chain(cert, key)
            return made
        context = make_context(cert, key)
        by_name = {name: make_context(*pair) for name, pair in sni.items()}
        if by_name:
            def choose(sock, name, _):
                if name in by_name:
                    sock.context = by_name[name]
            context.sni_callback = choose
        secure.socket = context.wrap_socket(secure.socket, server_side=True)
        servers.append(secure)
        https_port = secure.server_address[1]
    for server in servers:
        threading.Thread(target=serve, args=(server,), daemon=True).start()
    print("READY http=%d https=%d" % (plain.server_address[1], https_port), flush=True)
    signal.signal(signal.SIGTERM, lambda *args: STOP.set())
    STOP.wait()


if __name__ == "__main__":
    main()
