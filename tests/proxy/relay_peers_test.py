#!/usr/bin/env python3
# Real clients through sovelin-relay on 127.0.0.1:10800. curl over SOCKS5,
# SOCKS5 with host name, SOCKS4, SOCKS4a and the HTTP proxy (an absolute URI,
# two of them on one kept connection, CONNECT tunnels to http and https, and
# uploads that wait for the origin's 100 Continue) goes through microsocks demanding a user name and password to local
# origins, then the same through Dante, which asks for no login (so the
# relay's probe finds no pipelining there, and its connections made ahead
# stop at the greeting); bodies are compared byte for byte.
# Then headless Chromium, with the system proxy text and no name lookups of
# its own, fetches an http and an https page by a name that only a scripted
# upstream resolves; that upstream records the CONNECTs. Each relay run must
# stop with exit 0 and release the port.
# usage: relay_peers_test.py BUILD_DIR native|windows
import functools, hashlib, http.server, os, shutil, socket, socketserver, ssl, subprocess, sys, tempfile
import threading, time

build, mode = os.path.abspath(sys.argv[1]), sys.argv[2]
source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if not os.environ.get("SOVELIN_HOLDS_10800"):  # 10800 is shared by every worktree here
    os.environ["SOVELIN_HOLDS_10800"] = "1"
    os.execvp("flock", ["flock", "-w", "300", "/tmp/sovelin-10800.lock", sys.executable, *sys.argv])
FAR = "origin.far-side.test"  # resolved by the scripted upstream alone
failures = []


def check(ok, what):
    print(("ok: " if ok else "FAIL: ") + what, flush=True)
    if not ok:
        failures.append(what)


def listening(port, deadline, state=True):  # polls until 127.0.0.1:port is (not) open
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        with socket.socket() as s:
            if (s.connect_ex(("127.0.0.1", port)) == 0) == state:
                return True
        time.sleep(0.1)
    return False


continued = []  # per upload taken: whether the origin sent 100 Continue before reading it


class Quiet(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keeps its connections alive

    def log_message(self, *args):
        pass

    def handle_expect_100(self):  # sends the 100 as soon as the head is in
        self.sent_continue = True
        return super().handle_expect_100()

    def do_POST(self):  # answers an upload with the SHA-256 of its body
        body = self.rfile.read(int(self.headers["Content-Length"]))
        continued.append(getattr(self, "sent_continue", False))
        self.sent_continue = False
        digest = hashlib.sha256(body).hexdigest().encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(digest)))
        self.end_headers()
        self.wfile.write(digest)


def origin(www, tls=None):  # an HTTP (or HTTPS) server of www on a free port
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0),
                                             functools.partial(Quiet, directory=www))
    if tls:  # the handshake runs in the request's thread, not the accepting one
        server.socket = tls.wrap_socket(server.socket, server_side=True,
                                        do_handshake_on_connect=False)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


def pipe(a, b):
    try:
        while data := a.recv(65536):
            b.sendall(data)
        b.shutdown(socket.SHUT_WR)
    except OSError:
        pass


connects = []


class FarSide(socketserver.BaseRequestHandler):  # SOCKS5 without a password; knows FAR only
    def handle(self):
        s, f = self.request, self.request.makefile("rb")  # the relay waits for each answer
        f.read(f.read(2)[1])
        s.sendall(b"\x05\x00")
        head = f.read(5)
        request = head + f.read(head[4] + 2 if head[3] == 3 else 5)
        connects.append(request)
        if request[4:-2] != bytes([len(FAR)]) + FAR.encode():
            return s.sendall(b"\x05\x04\x00\x01" + bytes(6))  # host unreachable
        with socket.create_connection(("127.0.0.1", int.from_bytes(request[-2:], "big"))) as o:
            s.sendall(b"\x05\x00\x00\x01\x7f\x00\x00\x01" + request[-2:])
            back = threading.Thread(target=pipe, args=(o, s))
            back.start()
            pipe(s, o)
            back.join(60)


def relayed(upstream, *credentials, run):  # run() with the relay on 10800, then its stop
    args = ["--upstream", f"127.0.0.1:{upstream}", *credentials]
    if mode == "windows":  # it stops when its standard input closes
        relay = subprocess.Popen([f"{source}/tools/wine-run.sh", f"{build}/sovelin-relay.exe",
                                  *args], stdin=subprocess.PIPE)
    else:
        relay = subprocess.Popen([f"{build}/sovelin-relay", *args])
    try:
        check(listening(10800, 90), "the relay listens")
        run()
    finally:
        relay.stdin.close() if relay.stdin else relay.terminate()
        try:
            code = relay.wait(30)
        except subprocess.TimeoutExpired:
            relay.kill()
            code = "none within 30 s"
    check(code == 0 and listening(10800, 5, False), f"relay stopped with {code}, port released")


def curl_all():
    ip, name = f"http://127.0.0.1:{http_port}/", f"http://localhost:{http_port}/"
    for proxy, target in [("--socks5", ip), ("--socks5-hostname", name), ("--socks4", ip),
                          ("--socks4a", name), ("--proxy", name), ("-p --proxy", name),
                          ("-p --proxy", f"https://localhost:{https_port}/")]:
        for file in ("big.bin", "small.txt"):
            r = subprocess.run(["curl", "-sS", "-m", "60", "--cacert", f"{build}/pki/ca.pem",
                                *proxy.split(), "127.0.0.1:10800", target + file],
                               capture_output=True)
            check(r.returncode == 0 and r.stdout == bodies[file],
                  f"curl {proxy} {target}{file}: {len(r.stdout)} bytes {r.stderr.decode().strip()}")
    # Two URLs of one origin in one run: curl reuses its connection to the relay.
    r = subprocess.run(["curl", "-sS", "-m", "60", "--proxy", "127.0.0.1:10800", "-w",
                        "%{num_connects} %{size_download}\n", "-o", "/dev/null", name + "small.txt",
                        "-o", "/dev/null", name + "big.bin"], capture_output=True)
    sizes = [f"{n} {len(bodies[f])}".encode() for n, f in ((1, "small.txt"), (0, "big.bin"))]
    check(r.returncode == 0 and r.stdout.split(b"\n")[:2] == sizes,
          f"curl keeps its connection for a second URL: {r.stdout} {r.stderr.decode().strip()}")
    # Uploads that ask for 100 Continue (curl's own Expect for a large body, and
    # one asked for by hand): the origin's 100 reaches curl before it sends the
    # body, not after curl has stopped waiting for it.
    for expect, file in ((["--expect100-timeout", "10"], "big.bin"),
                         (["--expect100-timeout", "10", "-H", "Expect: 100-continue"], "small.txt")):
        r = subprocess.run(["curl", "-sS", "-v", "-m", "60", "--proxy", "127.0.0.1:10800", *expect,
                            "--data-binary", f"@{work}/www/{file}", name + "upload"],
                           capture_output=True)
        trace = r.stderr.decode(errors="replace")
        got, sent = trace.find("< HTTP/1.1 100 Continue"), trace.find("completely uploaded")
        ok = (r.returncode == 0 and r.stdout == hashlib.sha256(bodies[file]).hexdigest().encode()
              and continued[-1:] == [True] and 0 <= got < sent and "Done waiting" not in trace)
        check(ok, f"curl {' '.join(expect)} uploads {file} after the origin's 100 Continue"
              + ("" if ok else f": {r.stdout[:64]} {trace[-400:]}"))


def chromium_all():
    for scheme, port in (("http", http_port), ("https", https_port)):
        url, profile = f"{scheme}://{FAR}:{port}/small.txt", tempfile.mkdtemp(dir=work)
        r = subprocess.run(
            ["timeout", "-k", "5", "60", "chromium", "--headless", "--no-sandbox", "--disable-gpu",
             "--disable-quic", "--no-first-run", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", f"--user-data-dir={profile}",
             "--proxy-server=http=127.0.0.1:10800;https=127.0.0.1:10800;socks=127.0.0.1:10800",
             "--proxy-bypass-list=<-loopback>", "--ignore-certificate-errors",
             "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1", "--dump-dom", url],
            capture_output=True)
        check(bodies["small.txt"].strip() in r.stdout, f"Chromium {url}: {r.stdout[-200:]!r}")
        check(b"\x05\x01\x00\x03" + bytes([len(FAR)]) + FAR.encode() + port.to_bytes(2, "big")
              in connects, f"the upstream got a CONNECT to {FAR}:{port} as a name")


work = tempfile.mkdtemp(dir=build, prefix="peers.")
with socket.socket() as s, socket.socket() as d:
    s.bind(("127.0.0.1", 0))
    micro_port = s.getsockname()[1]
    d.bind(("127.0.0.1", 0))
    dante_port = d.getsockname()[1]
micro = subprocess.Popen(["timeout", "600", "microsocks", "-i", "127.0.0.1", "-p", str(micro_port),
                          "-u", "peeruser", "-P", "peer pass"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
with open(f"{work}/danted.conf", "w") as f:
    f.write(f"logoutput: /dev/null\ninternal: 127.0.0.1 port = {dante_port}\nexternal: 127.0.0.1\n"
            "socksmethod: none\nclientmethod: none\nuser.privileged: root\n"
            "user.unprivileged: nobody\nclient pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
            "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n")
dante = subprocess.Popen(["timeout", "600", "danted", "-f", f"{work}/danted.conf", "-p",
                          f"{work}/danted.pid"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    subprocess.run([f"{source}/tools/make-test-pki.sh", f"{build}/pki"], check=True)
    os.mkdir(f"{work}/www")
    bodies = {"big.bin": os.urandom(6_000_000), "small.txt": b"hello through the relay\n"}
    for name, body in bodies.items():
        with open(f"{work}/www/{name}", "wb") as f:
            f.write(body)
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(f"{build}/pki/server.pem", f"{build}/pki/server.key")
    http_port, https_port = origin(f"{work}/www"), origin(f"{work}/www", tls)
    far = socketserver.ThreadingTCPServer(("127.0.0.1", 0), FarSide)
    far.daemon_threads = True
    threading.Thread(target=far.serve_forever, daemon=True).start()
    if not listening(micro_port, 20) or not listening(dante_port, 20) or listening(10800, 1):
        sys.exit("FAIL: microsocks or Dante did not start, or 127.0.0.1:10800 is taken")
    relayed(micro_port, "--user", "peeruser", "--password", "peer pass", run=curl_all)
    relayed(dante_port, run=curl_all)
    relayed(far.server_address[1], run=chromium_all)
finally:
    for peer in (micro, dante):
        peer.terminate()
        peer.wait(10)
    shutil.rmtree(work, ignore_errors=True)
print(f"{len(failures)} failed" if failures else "all passed")
sys.exit(1 if failures else 0)
