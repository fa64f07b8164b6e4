#!/usr/bin/env python3
"""Drives the connection road tests under Wine against real peers.

Starts, all on loopback: a page server, microsocks as the upstream (with a
user name and password), and the service stand-in on 127.0.0.1:8443 (the port
the Windows build asks). Then runs the Windows test programs, each exit-stop
case in a process of its own, and serves their requests to fetch a page with
curl through the client's listener on 127.0.0.1:10800. Everything is bounded
in time and stopped at the end.
"""
import argparse
import fcntl
import http.server
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

PAGE_TEXT = "sovelin road page\n"
USER, PASSWORD = "sovelin-user", "sovelin-pass"
OUR_PORTS = range(20000, 20500)  # this test's share of the machine's ports


def lock(path, deadline_s=600):
    f = open(path, "w")
    end = time.monotonic() + deadline_s
    while True:
        try:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return f
        except BlockingIOError:
            if time.monotonic() > end:
                sys.exit("could not lock " + path)
            time.sleep(0.2)


def free_port():
    for port in OUR_PORTS:
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    sys.exit("no free port in %s" % OUR_PORTS)


def wait_listening(port, deadline_s=10):
    end = time.monotonic() + deadline_s
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def serve_curl(handshake, stop):
    """Answers each curl.request file with curl.result (what curl printed)."""
    request = os.path.join(handshake, "curl.request")
    while not stop.is_set():
        if not os.path.exists(request):
            time.sleep(0.05)
            continue
        with open(request) as f:
            url = f.read().strip()
        os.remove(request)
        run = subprocess.run(
            ["curl", "-sS", "--max-time", "15", "--socks5", "127.0.0.1:10800", url],
            capture_output=True, timeout=30)
        sys.stderr.write("curl %s: exit %d %s\n" % (url, run.returncode, run.stderr.decode()))
        result = os.path.join(handshake, "curl.result")
        with open(result + ".tmp", "wb") as f:
            f.write(run.stdout if run.returncode == 0 else b"")
        os.replace(result + ".tmp", result)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--road", required=True)
    parser.add_argument("--exit", required=True)
    args = parser.parse_args()

    locks = [lock("/tmp/sovelin-10800.lock"), lock("/tmp/sovelin-8443.lock")]
    work = tempfile.mkdtemp(prefix="road-", dir=os.path.join(args.build, "tests", "app"))
    state = os.path.join(work, "service")
    handshake = os.path.join(work, "handshake")
    pages = os.path.join(work, "pages")
    for d in (state, handshake, pages):
        os.makedirs(d)
    with open(os.path.join(pages, "page.txt"), "w") as f:
        f.write(PAGE_TEXT)

    children = []
    stop = threading.Event()
    page_server = None
    failed = 0
    try:
        handler = lambda *a, **k: http.server.SimpleHTTPRequestHandler(*a, directory=pages, **k)
        http.server.SimpleHTTPRequestHandler.log_message = lambda *a: None
        page_server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=page_server.serve_forever, daemon=True).start()
        page_url = "http://127.0.0.1:%d/page.txt" % page_server.server_address[1]

        upstream_port = free_port()
        children.append(subprocess.Popen(
            ["microsocks", "-i", "127.0.0.1", "-p", str(upstream_port), "-u", USER, "-P",
             PASSWORD], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        if not wait_listening(upstream_port):
            sys.exit("microsocks did not start")

        started = subprocess.run(
            [os.path.join(args.source, "tools", "service", "start.sh"), state, "8443",
             os.path.join(args.build, "pki")], capture_output=True, text=True, timeout=30)
        if started.returncode != 0:
            sys.exit("service stand-in did not start: " + started.stderr)
        service_pid = int(started.stdout.split()[0])

        curl = threading.Thread(target=serve_curl, args=(handshake, stop), daemon=True)
        curl.start()

        env = dict(os.environ,
                   SOVELIN_SERVICE_STATE=windows_path(state),
                   SOVELIN_HANDSHAKE=windows_path(handshake),
                   SOVELIN_UPSTREAM_PORT=str(upstream_port),
                   SOVELIN_PAGE_URL=page_url,
                   SOVELIN_PAGE_TEXT=PAGE_TEXT)
        wine_run = os.path.join(args.source, "tools", "wine-run.sh")
        runs = [[args.road],
                [args.exit, "--gtest_filter=ExitStop.WhileConnected*"],
                [args.exit, "--gtest_filter=ExitStop.WhileConnecting*"],
                [args.exit, "--gtest_filter=ExitStop.ProcessEnds*"]]
        for run in runs:
            print("== " + " ".join(os.path.basename(a) for a in run), flush=True)
            try:
                code = subprocess.run([wine_run] + run, env=env, timeout=300).returncode
            except subprocess.TimeoutExpired:
                code = "time-out"
            if code != 0:
                print("failed: %s" % code, flush=True)
                failed += 1
        os.kill(service_pid, 15)
    finally:
        stop.set()
        for child in children:
            child.terminate()
            try:
                child.wait(timeout=5)
            except subprocess.TimeoutExpired:
                child.kill()
        if page_server:
            page_server.shutdown()
        for f in locks:
            f.close()
    if failed == 0:
        shutil.rmtree(work, ignore_errors=True)
    else:
        print("kept for a look: " + work)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
