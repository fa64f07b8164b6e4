# Drives the real sovelin.exe under Wine on a private Xvfb display. A Session
# owns every process of one scenario (Xvfb, the service stand-in, microsocks,
# the client), stops them by their own ids at its end and gives the e2e
# prefix's proxy setting back as it found it. Every wait has a deadline.
# Screenshots and logs stay in BUILD/e2e-artifacts/NAME/.

import fcntl, json, os, re, shutil, signal, socket, subprocess, sys, time

INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
DESKTOP = r"HKCU\Control Panel\Desktop"  # LogPixels: the prefix's DPI


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


# Polls predicate until it returns a true value; raises after timeout.
def wait_until(what, predicate, timeout, interval=0.2):
    deadline = time.monotonic() + timeout
    while True:
        try:
            last = predicate()
        except (Failure, OSError):  # not there yet
            last = None
        if last:
            return last
        expect(time.monotonic() < deadline, f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


def lock(path, timeout):  # a machine-wide lock of a fixed port, held until exit
    f = open(path, "w")
    # A lock held elsewhere raises BlockingIOError, an OSError: not yet.
    wait_until("the lock " + path, lambda: fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB) is None,
               timeout)
    return f


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


class Image:  # a screenshot as raw RGB (an 8-bit PPM), addressed in client coordinates
    def __init__(self, ppm, origin):
        fields = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", ppm)
        expect(fields, "the screenshot is not a PPM image")
        self.width, self.height = int(fields.group(1)), int(fields.group(2))
        self.ppm, self.start, (self.ox, self.oy) = ppm, fields.end(), origin

    def at(self, x, y):
        sx, sy = self.ox + x, self.oy + y
        expect(0 <= sx < self.width and 0 <= sy < self.height, f"{x},{y} lies outside the screen")
        i = self.start + (sy * self.width + sx) * 3
        return tuple(self.ppm[i:i + 3])


class Session:
    # prefix: a folder of BUILD whose Wine prefix is made anew for this
    # scenario; by default the scenarios share BUILD/e2e/wineprefix.
    def __init__(self, build, source, name, prefix=None, screen="1280x800"):
        self.build, self.source, self.screen = build, source, screen
        self.base = os.path.join(build, prefix or "e2e")
        if prefix:
            shutil.rmtree(os.path.join(self.base, "wineprefix"), ignore_errors=True)
        self.artifacts = os.path.join(build, "e2e-artifacts", name)
        self.workdir = os.path.join(self.artifacts, "work")
        shutil.rmtree(self.artifacts, ignore_errors=True)
        os.makedirs(self.workdir)
        self.processes, self.shots = [], 0
        self.client = self.window = self.found_proxy = None
        self.found_dpi = False  # not changed
        # No menu entries in the real desktop for shortcuts made in the prefix.
        self.env = dict(os.environ, WINEPREFIX=os.path.join(self.base, "wineprefix"),
                        WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")

    def __enter__(self):
        # The e2e tests' own prefix, trusting the build's test CA: the client
        # changes the user's proxy setting, which other tests read from theirs.
        base = self.base
        os.makedirs(base, exist_ok=True)
        for link in ("tools", "pki"):
            if not os.path.lexists(os.path.join(base, link)):
                os.symlink(os.path.join("..", link), os.path.join(base, link))
        r = subprocess.run([os.path.join(self.source, "tools", "wine-prefix.sh"), base],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=240)
        expect(r.returncode == 0, "wine prefix: " + r.stdout.decode(errors="replace"))
        # The display first: a wineserver started without one keeps the
        # client's windows off it.
        self.start_display()
        self.found_proxy = self.proxy_setting()
        return self

    def __exit__(self, kind, *_):
        if kind is not None and self.window:
            try:
                self.screenshot("failure")
            except Exception:  # the display may be gone already
                pass
        for _, p in reversed(self.processes):
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGTERM)
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    os.killpg(p.pid, signal.SIGKILL)
                    p.wait(timeout=10)
        if self.found_proxy:
            self.set_proxy(*self.found_proxy)
        if self.found_dpi is not False:
            self.set_dpi(self.found_dpi)
        # The registry written out; the next scenario starts from a quiet prefix.
        self.quiet()
        return False

    def spawn(self, name, argv, **kwargs):
        with open(os.path.join(self.artifacts, f"{name}.log"), "ab") as log:
            p = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, env=self.env,
                                 start_new_session=True, **kwargs)
        self.processes.append((name, p))
        return p

    @staticmethod
    def listening(port):
        with socket.socket() as s:
            s.settimeout(0.5)
            return s.connect_ex(("127.0.0.1", port)) == 0

    def start_display(self):
        path = os.path.join(self.artifacts, "display")
        with open(path, "w") as f:  # Xvfb writes its number and a line end there
            self.spawn("xvfb", ["Xvfb", "-displayfd", str(f.fileno()), "-screen", "0",
                                self.screen + "x24", "-nolisten", "tcp", "-noreset"],
                       pass_fds=(f.fileno(),))
        number = wait_until("Xvfb's display", lambda: re.fullmatch(r"(\d+)\n", read(path)), 20)
        self.env["DISPLAY"] = ":" + number.group(1)

    def start_microsocks(self, user, password):
        with socket.socket() as s:  # a port that nothing holds right now
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        self.spawn("microsocks", ["microsocks", "-i", "127.0.0.1", "-p", str(port),
                                  "-u", user, "-P", password])
        wait_until("microsocks to listen", lambda: self.listening(port), 10)
        return port

    def stop(self, name):  # ends the processes started under that name
        for n, p in self.processes:
            if n == name and p.poll() is None:
                os.killpg(p.pid, signal.SIGTERM)
                p.wait(timeout=10)

    # The stand-in on 127.0.0.1:8443 with the catalogue (codes, in order), the
    # connection answer (sent as JSON) and files such as connection_mode.
    @staticmethod
    def catalogue_body(codes):  # each location named by its code
        return '{"locations":[' + ",".join('{"code":"%s","name":"%s"}' % (c, c)
                                           for c in codes) + "]}"

    def start_service(self, catalogue, connection, **files):
        self.service_state = os.path.join(self.artifacts, "service")
        os.makedirs(self.service_state)
        files = {"locations_body": self.catalogue_body(catalogue),
                 "connection_body": json.dumps(connection), **files}
        for name, text in files.items():
            self.service_file(name.replace("_", "."), text)
        self.spawn("service", [sys.executable, os.path.join(self.source, "tools", "service",
                                                            "service.py"),
                               "--state-dir", self.service_state, "--port", "8443",
                               "--pki", os.path.join(self.build, "pki")])
        wait_until("the service stand-in", lambda: os.path.exists(
            os.path.join(self.service_state, "ready")) and self.listening(8443), 15)

    def service_file(self, name, text):  # read anew by the stand-in for every request
        path = os.path.join(self.service_state, name)
        if text is not None:
            with open(path, "w") as f:
                f.write(text)
        elif os.path.exists(path):
            os.remove(path)

    def service_paths(self):
        path = os.path.join(self.service_state, "requests.jsonl")
        lines = read(path).splitlines() if os.path.exists(path) else []
        return [json.loads(line)["path"] for line in lines if line.strip()]

    # The build's client in the work folder, with the settings given (or
    # none), or the command given in its own folder.
    def start_client(self, settings=None, command=None, cwd=None):
        if command is None:
            path = os.path.join(self.workdir, "settings.dat")
            if os.path.exists(path):
                os.remove(path)
            if settings is not None:
                with open(path, "wb") as f:
                    f.write(settings)
            command, cwd = ["wine", os.path.join(self.build, "sovelin.exe")], self.workdir
        self.client = self.spawn("client", command, cwd=cwd)
        self.window = wait_until("the main window", lambda: self.find_window("Sovelin Desktop"), 60)
        self.measure_window()

    def find_window(self, title):
        r = subprocess.run(["xdotool", "search", "--name", f"^{title}$"], env=self.env,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=10)
        return r.stdout.split()[0].decode() if r.stdout.split() else None

    # The client area: Wine maps it, without a window manager, as an X window
    # of its own, and may move it once after mapping.
    def measure_window(self):
        info = subprocess.run(["xwininfo", "-id", self.window], env=self.env, check=True,
                              stdout=subprocess.PIPE, timeout=10).stdout.decode()
        x, y, self.width, self.height = [int(re.search(label + r":\s+(-?\d+)", info).group(1))
                                         for label in ("Absolute upper-left X",
                                                       "Absolute upper-left Y", "Width", "Height")]
        self.origin = (x, y)

    def close_and_expect_exit(self, timeout):  # Alt+F4, the platform's close
        self.xdotool("windowfocus", "--sync", self.window)
        self.xdotool("key", "alt+F4")
        code = self.client.wait(timeout=timeout)
        expect(code == 0, f"exit code {code}")

    def grab(self):
        try:
            self.measure_window()
        except subprocess.CalledProcessError:
            pass  # the window is gone: keep the last place
        r = subprocess.run(["/usr/bin/import", "-display", self.env["DISPLAY"], "-window", "root",
                            "-depth", "8", "ppm:-"], env=self.env, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, timeout=20)
        expect(r.returncode == 0, "screenshot failed")
        return Image(r.stdout, self.origin)

    def screenshot(self, label, image=None):  # saved as a numbered PNG artefact
        image = image or self.grab()
        self.shots += 1
        path = os.path.join(self.artifacts, f"{self.shots:02d}-{label}.png")
        # /usr/local/bin/convert may be something else.
        subprocess.run(["/usr/bin/convert", "ppm:-", path], input=image.ppm, timeout=20)
        return image

    # Polls screenshots until check(image) holds; saves and returns the last.
    def wait_for_pixels(self, what, check, timeout=15):
        last = []

        def probe():
            last[:] = [self.grab()]
            return check(last[0])

        try:
            wait_until(what, probe, timeout, interval=0.25)
        finally:
            if last:
                self.screenshot(re.sub(r"[^a-z0-9]+", "-", what.lower()).strip("-")[:40], last[0])
        return last[0]

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, timeout=10, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    # What a screen reader finds: the walker's lines (tests/e2e/accessibility_walk_win.cpp).
    def accessibility(self):
        r = subprocess.run(["wine", os.path.join(self.build, "accessibility_walk.exe")],
                           env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           timeout=60)
        text = r.stdout.decode(errors="replace").replace("\r\n", "\n")  # the console's line ends
        with open(os.path.join(self.artifacts, "accessibility.txt"), "a") as f:
            f.write(text + "\n")
        expect(r.returncode == 0, "the accessibility walk: " + text)
        return text

    def point_at(self, x, y):
        self.xdotool("mousemove", str(self.origin[0] + x), str(self.origin[1] + y))

    def press(self, *keys):  # keys as xdotool names them, to the focused client
        self.xdotool("windowfocus", "--sync", self.window)
        self.xdotool("key", "--delay", "60", *keys)

    def wheel(self, x, y, notches):  # positive: away from the user (X button 4)
        self.xdotool("mousemove", str(self.origin[0] + x), str(self.origin[1] + y))
        self.xdotool("windowfocus", "--sync", self.window)
        self.xdotool("click", "--repeat", str(abs(notches)), "--delay", "60",
                     "4" if notches > 0 else "5")

    def click(self, x, y):
        self.xdotool("mousemove", str(self.origin[0] + x), str(self.origin[1] + y))
        time.sleep(0.05)
        self.xdotool("click", "1")

    def quiet(self):  # a bounded wait for the prefix's wineserver: the registry on disk
        subprocess.run(["timeout", "20", "wineserver", "-w"], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def post_message(self, message, wparam):  # to the client's window, as the system posts
        r = subprocess.run(["wine", os.path.join(self.build, "post_message.exe"), str(message),
                            str(wparam)], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
        expect(r.returncode == 0, f"post_message: exit code {r.returncode}")

    def wine_reg(self, *args):
        return subprocess.run(["wine", "reg", *args], env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=60).stdout.decode(errors="replace")

    # The prefix's LogPixels (None: no value of its own), set for the programs
    # started from now on; the session's end gives the first value back.
    def set_dpi(self, dpi):
        if self.found_dpi is False:
            found = re.search(r"LogPixels\s+REG_DWORD\s+0x([0-9a-fA-F]+)",
                              self.wine_reg("query", DESKTOP, "/v", "LogPixels"))
            self.found_dpi = int(found.group(1), 16) if found else None
        if dpi is None:
            self.wine_reg("delete", DESKTOP, "/v", "LogPixels", "/f")
        else:
            self.wine_reg("add", DESKTOP, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f")

    def proxy_setting(self):  # (ProxyEnable, ProxyServer) of the user, None when absent
        out = self.wine_reg("query", INTERNET_SETTINGS)
        enable = re.search(r"ProxyEnable\s+REG_DWORD\s+0x([0-9a-fA-F]+)", out)
        server = re.search(r"ProxyServer\s+REG_SZ\s*(.*)", out)
        return (int(enable.group(1), 16) if enable else None,
                server.group(1).strip() if server else None)

    def set_proxy(self, enable, server):
        for name, kind, value in (("ProxyEnable", "REG_DWORD", enable),
                                  ("ProxyServer", "REG_SZ", server)):
            data = [] if value is None else ["/t", kind, "/d", str(value)]
            self.wine_reg("add" if data else "delete", INTERNET_SETTINGS, "/v", name, *data, "/f")


# Entry of a scenario script, "python3 script.py NAME", with the build and
# source folders in SOVELIN_BUILD_DIR and SOVELIN_SOURCE_DIR.
def run(scenarios, screens={}):  # a screen other than 1280x800 by scenario
    name = sys.argv[1] if len(sys.argv) > 1 else ""
    if name not in scenarios:
        print("scenarios: " + ", ".join(scenarios))
        return 2
    build = os.path.abspath(os.environ["SOVELIN_BUILD_DIR"])
    # The client binds 10800 and the stand-in 8443, also against other trees;
    # their runs take a few minutes at most.
    locks = [lock(f"/tmp/sovelin-{port}.lock", 300) for port in (10800, 8443)]  # noqa: F841
    started = time.monotonic()
    try:
        with Session(build, os.path.abspath(os.environ["SOVELIN_SOURCE_DIR"]), name,
                     getattr(scenarios[name], "prefix", None),
                     screens.get(name, "1280x800")) as session:
            scenarios[name](session)
    except (Failure, subprocess.TimeoutExpired) as failure:
        print(f"FAIL {name}: {failure}  (artefacts: {os.path.join(build, 'e2e-artifacts', name)})")
        return 1
    print(f"PASS {name} in {time.monotonic() - started:.1f} s")
    return 0
