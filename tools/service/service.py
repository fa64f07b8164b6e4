#!/usr/bin/env python3
"""Local stand-in of the service's web API, for tests and for a first run.

HTTPS on 127.0.0.1 (threaded), python3 standard library only.

    service.py --state-dir DIR [--port 8443] [--cert PEM --key KEY] [--pki DIR]

--port 0 picks a free port. The certificate defaults to PKI/server.pem and
PKI/server.key, where PKI is --pki (default: build/windows/pki of the source
tree), as made by tools/make-test-pki.sh.

Everything a test controls or reads lives in the state directory. Files are
read again for every request, so a test may change them while it runs.

  ready                 written once the socket listens: the port number and
                        a newline. Also printed on stdout as "ready PORT".
  requests.jsonl        one JSON object per request received, appended before
                        the answer is sent:
                        {"method", "path" (with query), "headers": [[name, value], ...]}
  locations.body        body of "/api/get_locations.php" (bytes, sent as-is)
  connection.body       body of "/api/get_connection.php" (any query)
                        Without a body file a built-in default is sent.
  locations.mode        optional, whitespace-separated settings for that answer:
  connection.mode         status=N    HTTP status (default 200); without a body
                                      file a non-200 status sends an error page
                          delay=S     seconds to wait before answering
                          chunks=N    chunked transfer encoding, body cut into
                                      N pieces, each flushed on its own
                          gap=S       seconds between chunks (default 0.05)

Any other path answers 404 with an error page. SIGTERM (or SIGINT) stops the
server and the process exits with status 0.
"""

import argparse
import json
import os
import signal
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

DEFAULT_BODIES = {
    "locations": (
        b'{"locations":['
        b'{"code":"US","name":"United States"},'
        b'{"code":"DE","name":"Germany"},'
        b'{"code":"FR","name":"France"},'
        b'{"code":"GB","name":"United Kingdom"},'
        b'{"code":"NL","name":"Netherlands"},'
        b'{"code":"JP","name":"Japan"}]}'
    ),
    "connection": (
        b'{"ip":"127.0.0.1","port":1080,"username":"sovelin","password":"secret"}'
    ),
}

ROUTES = {
    "/api/get_locations.php": "locations",
    "/api/get_connection.php": "connection",
}

REASONS = {200: "OK", 404: "Not Found", 500: "Internal Server Error"}


def error_page(status):
    reason = REASONS.get(status, "Error")
    return (
        "<html><head><title>%d %s</title></head>"
        "<body><h1>%s</h1></body></html>\n" % (status, reason, reason)
    ).encode()


def read_mode(path):
    mode = {"status": 200, "delay": 0.0, "chunks": 0, "gap": 0.05}
    try:
        with open(path, encoding="utf-8") as f:
            words = f.read().split()
    except FileNotFoundError:
        return mode
    for word in words:
        name, _, value = word.partition("=")
        if name in ("status", "chunks"):
            mode[name] = int(value)
        elif name in ("delay", "gap"):
            mode[name] = float(value)
        else:
            raise ValueError("unknown mode setting: " + word)
    return mode


def split(body, count):
    """Cuts body into count pieces in order (some may be empty if short)."""
    count = max(1, count)
    step = -(-len(body) // count) if body else 0
    return [body[i * step:(i + 1) * step] for i in range(count)] if step else [body]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "SovelinStandIn/1.0"
    timeout = 30  # a silent client cannot hold a thread forever

    def log_message(self, fmt, *args):  # keep test output quiet
        pass

    def record(self):
        entry = {
            "method": self.command,
            "path": self.path,
            "headers": [[k, v] for k, v in self.headers.items()],
        }
        line = json.dumps(entry, ensure_ascii=False) + "\n"
        with self.server.record_lock:
            with open(os.path.join(self.server.state_dir, "requests.jsonl"), "a",
                      encoding="utf-8") as f:
                f.write(line)

    def answer(self):
        self.record()
        name = ROUTES.get(self.path.split("?", 1)[0])
        if name is None:
            self.send_body(404, error_page(404), {"status": 404, "delay": 0,
                                                  "chunks": 0, "gap": 0})
            return
        state = self.server.state_dir
        mode = read_mode(os.path.join(state, name + ".mode"))
        try:
            with open(os.path.join(state, name + ".body"), "rb") as f:
                body = f.read()
        except FileNotFoundError:
            body = DEFAULT_BODIES[name] if mode["status"] == 200 else error_page(mode["status"])
        if mode["delay"] > 0:
            time.sleep(mode["delay"])
        self.send_body(mode["status"], body, mode)

    def send_body(self, status, body, mode):
        self.send_response(status, REASONS.get(status, "Status"))
        self.send_header("Content-Type", "application/json" if status == 200 else "text/html")
        self.send_header("Cache-Control", "no-store")
        if mode["chunks"] > 0:
            # RFC 9112 section 7.1: size in hex, CRLF, data, CRLF; 0 ends it.
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            self.wfile.flush()
            for i, piece in enumerate(split(body, mode["chunks"])):
                if i and mode["gap"] > 0:
                    time.sleep(mode["gap"])
                if piece:
                    self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
                    self.wfile.flush()
            self.wfile.write(b"0\r\n\r\n")
        else:
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        self.wfile.flush()

    def do_GET(self):
        self.answer()

    do_POST = do_HEAD = do_PUT = do_DELETE = do_GET


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, state_dir, context):
        self.state_dir = state_dir
        self.record_lock = threading.Lock()
        self.context = context
        super().__init__(address, Handler)

    def finish_request(self, request, client_address):
        # The TLS handshake runs on the request's own thread, so a client that
        # stalls or refuses the certificate blocks nobody else.
        try:
            request.settimeout(Handler.timeout)
            tls = self.context.wrap_socket(request, server_side=True)
        except (OSError, ssl.SSLError):
            return
        try:
            super().finish_request(tls, client_address)
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        pass  # a client hanging up mid-answer is normal in fault tests


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    source = os.path.dirname(os.path.dirname(here))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--state-dir", required=True)
    parser.add_argument("--port", type=int, default=8443)
    parser.add_argument("--pki", default=os.path.join(source, "build", "windows", "pki"))
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()

    cert = args.cert or os.path.join(args.pki, "server.pem")
    key = args.key or os.path.join(args.pki, "server.key")
    os.makedirs(args.state_dir, exist_ok=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)

    server = Server(("127.0.0.1", args.port), args.state_dir, context)

    def stop(_signum, _frame):
        # shutdown() waits for serve_forever, so it must run on another thread.
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    port = server.server_address[1]
    ready = os.path.join(args.state_dir, "ready")
    with open(ready + ".tmp", "w") as f:
        f.write("%d\n" % port)
    os.replace(ready + ".tmp", ready)  # readers never see a half-written file
    print("ready %d" % port, flush=True)
    try:
        server.serve_forever(poll_interval=0.1)
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
