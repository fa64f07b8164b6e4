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
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import PageHandler, Session, free_port, lock, wait_until  # noqa: E402

PAGE_TEXT = "sovelin road page\n"
USER, PASSWORD = "sovelin-user", "sovelin-pass"


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
    args = parser.parse_args()

    locks = [lock("/tmp/sovelin-10800.lock"), lock("/tmp/sovelin-8443.lock")]
    work = tempfile.mkdtemp(prefix="road-", dir=os.path.join(args.build, "tests", "app"))
    state = os.path.join(work, "service")
    handshake = os.path.join(work, "handshake")
    for d in (state, handshake):
        os.makedirs(d)

    children = []
    stop = threading.Event()
    page_server = None
    failed = 0
    try:
        PageHandler.body = PAGE_TEXT.encode()
        page_server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), PageHandler)
        threading.Thread(target=page_server.serve_forever, daemon=True).start()
        page_url = "http://127.0.0.1:%d/page.txt" % page_server.server_address[1]

        upstream_port = free_port(20000, 20500)  # this test's share of the ports
        children.append(subprocess.Popen(
            ["microsocks", "-i", "127.0.0.1", "-p", str(upstream_port), "-u", USER, "-P",
             PASSWORD], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_until("microsocks to listen", lambda: Session.listening(upstream_port), 10)

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
        runs = [[args.road, "--gtest_filter=ConnectionRoad.*"],
                [args.road, "--gtest_filter=ExitStop.WhileConnected*"],
                [args.road, "--gtest_filter=ExitStop.WhileConnecting*"]]
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
