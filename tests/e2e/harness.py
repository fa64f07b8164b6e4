"""Drives the real sovelin.exe under Wine on a private Xvfb display.

A Session starts and owns every process of one scenario (Xvfb, the service
stand-in, microsocks, a local web page, the client) and stops them all, by
their own ids, when it ends. Every wait has a deadline. Screenshots go to the
build folder so a person can look at them after a run.
"""

import fcntl
import http.server
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

CONVERT = "/usr/bin/convert"  # /usr/local/bin/convert may be something else
IMPORT = "/usr/bin/import"
INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"

# Palette and state colours of the window (R, G, B).
PANEL = (15, 20, 32)
CARD = (25, 30, 45)
ACCENT = (0, 122, 255)
SWITCH_OFF = (100, 100, 100)
BACK_BUTTON = (30, 35, 50)
HOVER = (34, 38, 49)  # white at alpha 20 over the panel
GEAR_TILE = (46, 51, 64)  # white at alpha 30 over the page's top
FLAG_GREY = (80, 80, 80)

# Rows of the server list, as drawn: row k from y = 90 + 55k, 50 high.
LIST_WIDTH = 260


def row_top(k):
    return 90 + 55 * k


class Failure(Exception):
    pass


def close(a, b, tolerance):
    return all(abs(x - y) <= tolerance for x, y in zip(a, b))


def wait_until(what, predicate, timeout, interval=0.2):
    """Polls predicate until it returns a true value; raises after timeout."""
    deadline = time.monotonic() + timeout
    last = None
    while True:
        try:
            last = predicate()
        except Failure:
            last = None
        if last:
            return last
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


def free_port(low, high):
    """A port of our range that nothing listens on right now."""
    for port in range(low, high):
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    raise Failure(f"no free port in {low}-{high}")


def lock(path, timeout=600):
    """Holds the machine-wide lock file of a fixed port until the process ends."""
    f = open(path, "w")

    def take():
        try:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except BlockingIOError:
            return False

    wait_until("the lock " + path, take, timeout)
    return f


class Image:
    """A screenshot as raw RGB, addressed in client coordinates."""

    def __init__(self, ppm, origin):
        # P6 header: magic, width, height, maxval, each followed by whitespace.
        fields = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", ppm)
        self.width, self.height = (int(fields.group(i)) for i in (1, 2)) if fields else (0, 0)
        self.data = ppm[fields.end():] if fields else b""
        if not fields or len(self.data) < self.width * self.height * 3:
            raise Failure("screenshot is not a whole 8-bit PPM image")
        self.ox, self.oy = origin

    def at(self, x, y):
        sx, sy = self.ox + x, self.oy + y
        if not (0 <= sx < self.width and 0 <= sy < self.height):
            raise Failure(f"point {x},{y} lies outside the screen")
        i = (sy * self.width + sx) * 3
        return tuple(self.data[i:i + 3])

    def any_in(self, box, predicate):
        x0, y0, x1, y1 = box
        return any(predicate(self.at(x, y)) for y in range(y0, y1) for x in range(x0, x1))


class PageHandler(http.server.BaseHTTPRequestHandler):
    body = b""

    def do_GET(self):  # noqa: N802 (the stdlib's name)
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(self.body)))
        self.end_headers()
        self.wfile.write(self.body)

    def log_message(self, *args):
        pass


class Session:
    def __init__(self, build, source, name):
        self.build = build
        self.source = source
        self.name = name
        self.artifacts = os.path.join(build, "e2e-artifacts", name)
        self.workdir = os.path.join(self.artifacts, "work")
        os.makedirs(self.workdir, exist_ok=True)
        for f in os.listdir(self.artifacts):
            if f.endswith(".png"):
                os.remove(os.path.join(self.artifacts, f))
        self.prefix = os.path.join(build, "e2e", "wineprefix")
        self.processes = []  # (name, Popen), stopped in reverse order
        self.client = None
        self.window = self.origin = self.size = self.http_server = None
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.shots = 0

    # ----- processes -----

    def spawn(self, name, argv, **kwargs):
        log = open(os.path.join(self.artifacts, f"{name}.log"), "wb")
        p = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, env=self.env,
                             start_new_session=True, **kwargs)
        log.close()
        self.processes.append((name, p))
        return p

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if exc[0] is not None:
            try:
                self.screenshot("failure")
            except Exception:  # the display may be gone already
                pass
        self.stop_all()
        return False

    def stop_all(self):
        for name, p in reversed(self.processes):
            if p.poll() is None:
                try:
                    os.killpg(p.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    os.killpg(p.pid, signal.SIGKILL)
                    p.wait(timeout=10)
        self.processes.clear()
        if self.http_server:
            self.http_server.shutdown()
            self.http_server.server_close()
            self.http_server = None
        # The client's wine processes end with it; the prefix's server then
        # exits by itself. Wait for that, boundedly, so the next scenario
        # starts from a quiet prefix.
        subprocess.run(["timeout", "20", "wineserver", "-w"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def prepare_prefix(self):
        """A Wine prefix of the e2e tests' own: the client changes the user's
        proxy setting, which other tests of the build read from theirs."""
        base = os.path.join(self.build, "e2e")
        os.makedirs(base, exist_ok=True)
        for link in ("tools", "pki"):
            path = os.path.join(base, link)
            if not os.path.lexists(path):
                os.symlink(os.path.join("..", link), path)
        r = subprocess.run([os.path.join(self.source, "tools", "wine-prefix.sh"), base],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=240)
        if r.returncode != 0:
            raise Failure("wine prefix: " + r.stdout.decode(errors="replace"))

    def start_display(self):
        read_fd, write_fd = os.pipe()
        self.spawn("xvfb", ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x800x24",
                            "-nolisten", "tcp", "-noreset"], pass_fds=(write_fd,))
        os.close(write_fd)
        # The display number and a line end may come in separate writes; the
        # pipe stays open until both arrived (Xvfb dies on a closed pipe).
        number, deadline = b"", time.monotonic() + 20
        while not number.endswith(b"\n") and select.select(
                [read_fd], [], [], max(0, deadline - time.monotonic()))[0]:
            chunk = os.read(read_fd, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_fd)
        if not number.endswith(b"\n"):
            raise Failure("Xvfb did not report its display")
        self.env["DISPLAY"] = ":" + number.decode().strip()

    def start_microsocks(self, user, password):
        port = free_port(20600, 20700)
        self.spawn("microsocks", ["microsocks", "-i", "127.0.0.1", "-p", str(port),
                                  "-u", user, "-P", password])
        wait_until("microsocks to listen", lambda: self.listening(port), 10)
        return port

    def start_page(self, marker):
        PageHandler.body = f"<html><body><p id='m'>{marker}</p></body></html>".encode()
        self.http_server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), PageHandler)
        threading.Thread(target=self.http_server.serve_forever, daemon=True).start()
        return self.http_server.server_address[1]

    @staticmethod
    def listening(port):
        with socket.socket() as s:
            s.settimeout(0.5)
            return s.connect_ex(("127.0.0.1", port)) == 0

    def start_service(self, catalogue, connection, delay=0.0):
        """The service stand-in on 127.0.0.1:8443 with a catalogue (codes, in
        order) and the connection answer (a dict sent as JSON)."""
        state = os.path.join(self.artifacts, "service")
        shutil.rmtree(state, ignore_errors=True)
        os.makedirs(state)
        entries = ",".join('{"code":"%s","name":"%s"}' % (c, c) for c in catalogue)
        with open(os.path.join(state, "locations.body"), "w") as f:
            f.write('{"locations":[' + entries + "]}")
        with open(os.path.join(state, "connection.body"), "w") as f:
            f.write(json.dumps(connection))
        if delay:
            with open(os.path.join(state, "connection.mode"), "w") as f:
                f.write(f"delay={delay}")
        self.spawn("service", [sys.executable,
                               os.path.join(self.source, "tools", "service", "service.py"),
                               "--state-dir", state, "--port", "8443",
                               "--pki", os.path.join(self.build, "pki")])
        wait_until("the service stand-in", lambda: os.path.exists(os.path.join(state, "ready"))
                   and self.listening(8443), 15)
        self.service_state = state

    def service_requests(self):
        try:
            with open(os.path.join(self.service_state, "requests.jsonl")) as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def start_client(self, settings=None):
        path = os.path.join(self.workdir, "settings.dat")
        if os.path.exists(path):
            os.remove(path)
        if settings is not None:
            with open(path, "wb") as f:
                f.write(settings)
        exe = os.path.join(self.build, "sovelin.exe")
        self.client = self.spawn("client", ["wine", exe], cwd=self.workdir)
        self.window = wait_until("the window \"Sovelin Desktop\"", self.find_window, 60)
        self.measure_window()

    def find_window(self):
        r = subprocess.run(["xdotool", "search", "--name", "^Sovelin Desktop$"], env=self.env,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=10)
        ids = r.stdout.split()
        return ids[0].decode() if ids else None

    def measure_window(self):
        """Client area from the real X window: Wine maps the client area of a
        window without a window manager as its own X window."""
        r = subprocess.run(["xwininfo", "-id", self.window], env=self.env,
                           stdout=subprocess.PIPE, timeout=10, check=True)
        info = r.stdout.decode()

        def field(label):
            return int(re.search(label + r":\s+(-?\d+)", info).group(1))

        self.origin = (field("Absolute upper-left X"), field("Absolute upper-left Y"))
        self.width, self.height = self.size = (field("Width"), field("Height"))

    def close_and_expect_exit(self, timeout, when=""):
        """Alt+F4 on the focused client window (the platform's close); the
        client must end by itself with code 0."""
        self.xdotool("windowfocus", "--sync", self.window)
        self.xdotool("key", "alt+F4")
        try:
            code = self.client.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"the client did not exit within {timeout} s{when}")
        if code != 0:
            raise Failure(f"exit code {code}{when}")

    def centre(self):
        return LIST_WIDTH + (self.width - LIST_WIDTH) // 2, self.height // 2

    # ----- screen -----

    def grab(self):
        # Wine may map the window before it settles at its centred place, so
        # the client area is measured anew for every picture.
        if self.window:
            try:
                self.measure_window()
            except (subprocess.CalledProcessError, AttributeError):
                pass  # the window is gone: keep the last place
        r = subprocess.run([IMPORT, "-display", self.env["DISPLAY"], "-window", "root", "-depth", "8", "ppm:-"],
                           env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           timeout=20)
        if r.returncode != 0:
            raise Failure("screenshot failed")
        return Image(r.stdout, self.origin)

    def screenshot(self, label):
        """Saves the screen as a numbered PNG artefact and returns it."""
        image = self.grab()
        self.shots += 1
        path = os.path.join(self.artifacts, f"{self.shots:02d}-{label}.png")
        header = f"P6 {image.width} {image.height} 255\n".encode()
        subprocess.run([CONVERT, "ppm:-", path], input=header + image.data, timeout=20)
        return image

    def wait_for_pixels(self, what, check, timeout=15):
        """Polls screenshots until check(image) holds; keeps the last one."""
        last = [None]

        def probe():
            last[0] = self.grab()
            return check(last[0])

        try:
            wait_until(what, probe, timeout, interval=0.25)
        finally:
            label = re.sub(r"[^a-z0-9]+", "-", what.lower()).strip("-")[:40]
            self.screenshot(label)

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, timeout=10, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def move(self, x, y):
        self.xdotool("mousemove", str(self.origin[0] + x), str(self.origin[1] + y))

    def click(self, x, y):
        self.move(x, y)
        time.sleep(0.05)
        self.xdotool("click", "1")

    # ----- registry -----

    def wine_reg(self, *args):
        r = subprocess.run(["wine", "reg", *args], env=self.env, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, timeout=60)
        return r.returncode, r.stdout.decode(errors="replace")

    def proxy_setting(self):
        """ProxyEnable and ProxyServer of the current user, None when absent."""
        _, out = self.wine_reg("query", INTERNET_SETTINGS)
        enable = re.search(r"ProxyEnable\s+REG_DWORD\s+0x([0-9a-fA-F]+)", out)
        server = re.search(r"ProxyServer\s+REG_SZ\s*(.*)", out)
        return (int(enable.group(1), 16) if enable else None,
                server.group(1).strip() if server else None)

    def set_user_proxy(self, enable, server):
        self.wine_reg("add", INTERNET_SETTINGS, "/v", "ProxyEnable", "/t", "REG_DWORD",
                      "/d", str(enable), "/f")
        self.wine_reg("add", INTERNET_SETTINGS, "/v", "ProxyServer", "/t", "REG_SZ",
                      "/d", server, "/f")


def run(scenarios):
    """Entry of a scenario script: python3 script.py NAME (build and source
    folders from SOVELIN_BUILD_DIR / SOVELIN_SOURCE_DIR)."""
    name = sys.argv[1] if len(sys.argv) > 1 else ""
    if name not in scenarios:
        print("scenarios: " + ", ".join(scenarios))
        return 2
    build = os.path.abspath(os.environ["SOVELIN_BUILD_DIR"])
    source = os.path.abspath(os.environ["SOVELIN_SOURCE_DIR"])
    # The client binds 10800 and the stand-in 8443, also against other trees.
    locks = [lock("/tmp/sovelin-10800.lock"), lock("/tmp/sovelin-8443.lock")]  # noqa: F841
    started = time.monotonic()
    try:
        with Session(build, source, name) as session:
            session.prepare_prefix()
            scenarios[name](session)
    except Failure as failure:
        print(f"FAIL {name}: {failure}  (artefacts: {os.path.join(build, 'e2e-artifacts', name)})")
        return 1
    print(f"PASS {name} in {time.monotonic() - started:.1f} s")
    return 0
