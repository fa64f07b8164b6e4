#!/usr/bin/env python3
"""The service stand-in (tools/service) as later tests rely on it: answers,
fault modes, the request record and a clean stop. Loopback only, bounded."""

import http.client
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("SOVELIN_BUILD_DIR", os.path.join(SOURCE, "build", "native"))
PKI = os.path.join(BUILD, "pki")


class StandIn(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        subprocess.run([os.path.join(SOURCE, "tools", "make-test-pki.sh"), PKI], check=True,
                       timeout=120)
        cls.state = tempfile.mkdtemp(prefix="stand-in-")
        out = subprocess.run([os.path.join(SOURCE, "tools", "service", "start.sh"), cls.state,
                              "0", PKI], check=True, capture_output=True, text=True, timeout=30)
        cls.pid, cls.port = (int(x) for x in out.stdout.split())
        cls.context = ssl.create_default_context(cafile=os.path.join(PKI, "ca.pem"))

    @classmethod
    def tearDownClass(cls):
        try:
            os.kill(cls.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        shutil.rmtree(cls.state, ignore_errors=True)

    def setUp(self):
        for name in ("locations.body", "locations.mode", "connection.body", "connection.mode",
                     "requests.jsonl"):
            try:
                os.remove(os.path.join(self.state, name))
            except FileNotFoundError:
                pass

    def put(self, name, data):
        with open(os.path.join(self.state, name), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())

    def get(self, path, headers=None):
        conn = http.client.HTTPSConnection("localhost", self.port, context=self.context,
                                           timeout=20)
        try:
            conn.request("GET", path, headers=headers or {})
            response = conn.getresponse()
            return response.status, response.getheaders(), response.read()
        finally:
            conn.close()

    def requests(self):
        with open(os.path.join(self.state, "requests.jsonl"), encoding="utf-8") as f:
            return [json.loads(line) for line in f]

    def test_default_answers_and_request_record(self):
        status, _, body = self.get("/api/get_locations.php")
        self.assertEqual(status, 200)
        self.assertEqual(body.count(b'"code"'), 6)
        status, _, body = self.get("/api/get_connection.php?nocache=9&country=DE&location=DE",
                                   {"Pragma": "no-cache", "User-Agent": "probe/1"})
        answer = json.loads(body)
        self.assertEqual(sorted(answer), ["ip", "password", "port", "username"])
        record = self.requests()
        self.assertEqual([r["path"] for r in record],
                         ["/api/get_locations.php",
                          "/api/get_connection.php?nocache=9&country=DE&location=DE"])
        self.assertIn(["Pragma", "no-cache"], record[1]["headers"])
        self.assertIn(["User-Agent", "probe/1"], record[1]["headers"])
        self.assertEqual(record[1]["method"], "GET")
        self.assertEqual(self.get("/other")[0], 404)
        self.put("connection.mode", "status=500")
        status, _, body = self.get("/api/get_connection.php?x=1")
        self.assertEqual(status, 500)
        self.assertIn(b"500 Internal Server Error", body)

    def test_chunks_arrive_separately_and_delay_holds_the_answer(self):
        body = b"0123456789" * 10
        self.put("locations.body", body)
        self.put("locations.mode", "chunks=5 gap=0.01")
        status, headers, got = self.get("/api/get_locations.php")
        self.assertEqual((status, got), (200, body))
        self.assertIn(("Transfer-Encoding", "chunked"), headers)
        # On the wire: five chunks of 20 bytes, then the last chunk.
        with socket.create_connection(("127.0.0.1", self.port), timeout=20) as plain:
            with self.context.wrap_socket(plain, server_hostname="localhost") as tls:
                tls.sendall(b"GET /api/get_locations.php HTTP/1.1\r\nHost: localhost\r\n"
                            b"Connection: close\r\n\r\n")
                wire = b""
                while True:
                    data = tls.recv(65536)
                    if not data:
                        break
                    wire += data
        self.assertEqual(wire.split(b"\r\n\r\n", 1)[1],
                         b"".join(b"14\r\n" + body[i:i + 20] + b"\r\n" for i in range(0, 100, 20))
                         + b"0\r\n\r\n")
        self.put("locations.mode", "delay=0.6")
        start = time.monotonic()
        self.assertEqual(self.get("/api/get_locations.php")[2], body)
        self.assertGreaterEqual(time.monotonic() - start, 0.6)

    def test_untrusted_certificate_and_clean_stop(self):
        state = tempfile.mkdtemp(prefix="stand-in-untrusted-")
        out = subprocess.run([os.path.join(SOURCE, "tools", "service", "start.sh"), state, "0",
                              PKI, "--cert", os.path.join(PKI, "untrusted.pem"),
                              "--key", os.path.join(PKI, "untrusted.key")],
                             check=True, capture_output=True, text=True, timeout=30)
        pid, port = (int(x) for x in out.stdout.split())
        try:
            conn = http.client.HTTPSConnection("localhost", port, context=self.context, timeout=20)
            with self.assertRaises(ssl.SSLCertVerificationError):
                conn.request("GET", "/api/get_locations.php")
            conn.close()
            self.assertFalse(os.path.exists(os.path.join(state, "requests.jsonl")))
        finally:
            os.kill(pid, signal.SIGTERM)
            self.addCleanup(shutil.rmtree, state, True)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                os.kill(pid, 0)
            except ProcessLookupError:
                break
            time.sleep(0.05)
        else:
            self.fail("the stand-in did not stop on SIGTERM")
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", port), timeout=2).close()


if __name__ == "__main__":
    sys.exit(unittest.main())
