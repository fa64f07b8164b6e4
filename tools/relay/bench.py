#!/usr/bin/env python3
"""Measures sovelin-relay against the same path without it, on loopback only.

Throughput: one bounded bulk download (default 200 MB) from a local origin,
once through microsocks directly and once through sovelin-relay in front of
microsocks. Connection rate: a bounded number of sequential SOCKS5 connections
with a one-byte exchange each, on both paths. Not part of the default test run.

usage: bench.py RELAY_BINARY [--megabytes N] [--connections N]
"""
import argparse, fcntl, os, socket, struct, subprocess, sys, threading, time

USER, PASSWORD = b"benchuser", b"benchpass"
CHUNK = 1 << 20


def origin(listener, stop):
    listener.settimeout(0.2)
    payload = memoryview(b"\0" * CHUNK)
    while not stop.is_set():
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            continue
        threading.Thread(target=serve, args=(conn, payload), daemon=True).start()


def serve(conn, payload):
    with conn:
        conn.settimeout(30)
        head = conn.recv(16)
        if head.startswith(b"B"):  # B<megabytes>
            for _ in range(int(head[1:])):
                conn.sendall(payload)
        elif head:
            conn.sendall(head[:1])


def recv_exact(s, n):
    data = b""
    while len(data) < n:
        part = s.recv(n - len(data))
        if not part:
            raise IOError("closed during handshake")
        data += part
    return data


def socks5_open(proxy_port, target_port, auth):
    s = socket.create_connection(("127.0.0.1", proxy_port), timeout=30)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    s.sendall(b"\x05\x01\x02" if auth else b"\x05\x01\x00")
    method = recv_exact(s, 2)[1]
    if method == 2:
        s.sendall(bytes([1, len(USER)]) + USER + bytes([len(PASSWORD)]) + PASSWORD)
        if recv_exact(s, 2)[1] != 0:
            raise IOError("authentication refused")
    s.sendall(b"\x05\x01\x00\x01" + socket.inet_aton("127.0.0.1") + struct.pack(">H", target_port))
    if recv_exact(s, 10)[1] != 0:
        raise IOError("connect refused")
    return s


def download(proxy_port, target_port, auth, megabytes):
    s = socks5_open(proxy_port, target_port, auth)
    buf = bytearray(CHUNK)
    total, want = 0, megabytes * CHUNK
    start = time.perf_counter()
    s.sendall(b"B%d" % megabytes)
    while total < want:
        n = s.recv_into(buf)
        if n == 0:
            break
        total += n
    elapsed = time.perf_counter() - start
    s.close()
    if total != want:
        raise IOError("short download: %d of %d bytes" % (total, want))
    return want / elapsed / 1e6


def connection_rate(proxy_port, target_port, auth, count):
    start = time.perf_counter()
    for _ in range(count):
        s = socks5_open(proxy_port, target_port, auth)
        s.sendall(b"P")
        if recv_exact(s, 1) != b"P":
            raise IOError("bad echo")
        s.close()
    return count / (time.perf_counter() - start)


def wait_port(port, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nothing listens on %d" % port)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("relay")
    parser.add_argument("--megabytes", type=int, default=200)
    parser.add_argument("--connections", type=int, default=1000)
    args = parser.parse_args()

    lock = open("/tmp/sovelin-10800.lock", "w")
    deadline = time.monotonic() + 300
    while True:  # the listener's port is shared machine-wide
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            break
        except BlockingIOError:
            if time.monotonic() > deadline:
                sys.exit("port 10800 lock not free within 300 s")
            time.sleep(0.2)

    listener = socket.create_server(("127.0.0.1", 0))
    target_port = listener.getsockname()[1]
    stop = threading.Event()
    threading.Thread(target=origin, args=(listener, stop), daemon=True).start()
    socks_port = free_port()
    procs = [subprocess.Popen(["timeout", "600", "microsocks", "-i", "127.0.0.1", "-p", str(socks_port),
                               "-u", USER.decode(), "-P", PASSWORD.decode()],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        wait_port(socks_port, 10)
        procs.append(subprocess.Popen([args.relay, "--upstream", "127.0.0.1:%d" % socks_port,
                                       "--user", USER.decode(), "--password", PASSWORD.decode()]))
        wait_port(10800, 10)
        results = {}
        for name, port, auth in (("microsocks alone", socks_port, True),
                                 ("sovelin-relay + microsocks", 10800, False)):
            results[name] = (download(port, target_port, auth, args.megabytes),
                             connection_rate(port, target_port, auth, args.connections))
        for name, (mbps, rate) in results.items():
            print("%-28s %8.1f MB/s over %d MiB   %7.0f connections/s over %d"
                  % (name, mbps, args.megabytes, rate, args.connections))
    finally:
        for p in reversed(procs):
            p.terminate()
        for p in reversed(procs):
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
        stop.set()
    print("sovelin-relay exit status after SIGTERM: %s" % procs[-1].returncode)


if __name__ == "__main__":
    main()
