"""One page load in headless Chromium with a fresh profile, driven over the
DevTools protocol on the pipe Chromium offers (--remote-debugging-pipe: JSON
messages ended by a NUL byte on descriptors 3 and 4), so no port and no
websocket client are needed. Every wait has a deadline.
"""
import json, os, select, shutil, signal, subprocess, tempfile, time

FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-default-apps", "--disable-extensions", "--no-default-browser-check",
         "--disable-domain-reliability", "--no-pings", "--mute-audio"]

# Hosts that Chromium asks on its own, whatever the flags above say.
BACKGROUND = ["*.google.com", "*.googleapis.com", "*.gstatic.com", "*.gvt1.com"]

# Navigation Timing of the page, and how many subresources came with a body
# (their sizes are visible through Timing-Allow-Origin); the favicon is not the page's.
TIMING = """JSON.stringify((() => {
  const n = performance.getEntriesByType('navigation')[0];
  const r = performance.getEntriesByType('resource').filter(e => !e.name.endsWith('/favicon.ico'));
  return {load: n.loadEventEnd, start: n.startTime, resources: r.length,
          ok: r.filter(e => e.encodedBodySize > 0).length};
})())"""


class Failed(Exception):
    pass


class Chromium:
    def __init__(self, home, proxy=None, netlog=None, binary="chromium"):
        self.profile = tempfile.mkdtemp(prefix="sovelin-chromium.")
        to_chromium, self.out = os.pipe()
        self.inp, from_chromium = os.pipe()
        args = [binary] + FLAGS + ["--remote-debugging-pipe", "--user-data-dir=" + self.profile]
        if proxy:
            # Loopback is bypassed unless told otherwise, and the origins are on it.
            # Chromium's own requests (network time, updates) would take tunnels
            # of the page's proxy: they go nowhere instead.
            args += ["--proxy-server=http://127.0.0.1:%d" % proxy,
                     "--proxy-bypass-list=<-loopback>;" + ";".join(BACKGROUND)]
        args.append("--host-resolver-rules=" + ", ".join("MAP %s ~NOTFOUND" % h
                                                         for h in BACKGROUND))
        if netlog:
            args += ["--log-net-log=" + netlog, "--net-log-capture-mode=Default"]
        args.append("about:blank")

        def pipes():  # copies first: either end may already be 3 or 4
            a, b = os.dup(to_chromium), os.dup(from_chromium)
            os.dup2(a, 3)  # inheritable, unlike the originals
            os.dup2(b, 4)
        env = dict(os.environ, HOME=home)
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, env=env, close_fds=False,
                                     preexec_fn=pipes, start_new_session=True)
        os.close(to_chromium)
        os.close(from_chromium)
        self.buffer, self.events, self.next_id = b"", [], 0

    def send(self, method, params=None, session=None, deadline=None):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.out, json.dumps(message).encode() + b"\0")
        while True:
            m = self.receive(deadline)
            if m.get("id") == self.next_id:
                if "error" in m:
                    raise Failed("%s: %s" % (method, m["error"].get("message")))
                return m.get("result", {})

    def receive(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.inp], [], [], left)[0]:
                raise Failed("no answer from Chromium in time")
            part = os.read(self.inp, 1 << 16)
            if not part:
                raise Failed("Chromium ended")
            self.buffer += part
        raw, self.buffer = self.buffer.split(b"\0", 1)
        m = json.loads(raw)
        if "method" in m:
            self.events.append(m)
        return m

    def wait_event(self, method, session, deadline):
        while True:
            for m in self.events:
                if m["method"] == method and m.get("sessionId") == session:
                    self.events.remove(m)
                    return m
            self.receive(deadline)

    def load(self, address, expect, timeout=30.0):
        """Navigates the page and returns its load time in seconds, from the
        navigation's start to the end of its load event."""
        deadline = time.monotonic() + timeout
        page = None
        while page is None:
            targets = self.send("Target.getTargets", deadline=deadline)["targetInfos"]
            page = next((t for t in targets if t["type"] == "page"), None)
            if page is None:
                time.sleep(0.05)
        session = self.send("Target.attachToTarget", {"targetId": page["targetId"],
                                                      "flatten": True}, deadline=deadline)
        session = session["sessionId"]
        self.send("Page.enable", session=session, deadline=deadline)
        self.events.clear()
        answer = self.send("Page.navigate", {"url": address}, session, deadline)
        if answer.get("errorText"):
            raise Failed(answer["errorText"])
        self.wait_event("Page.loadEventFired", session, deadline)
        while True:  # loadEventEnd is set once the load event's handlers have run
            value = self.send("Runtime.evaluate", {"expression": TIMING, "returnByValue": True},
                              session, deadline)["result"]["value"]
            timing = json.loads(value)
            if timing["load"] > 0:
                break
            time.sleep(0.01)
        if timing["ok"] != expect:
            raise Failed("%d of %d subresources came" % (timing["ok"], expect))
        return (timing["load"] - timing["start"]) / 1000

    def close(self):
        try:
            self.send("Browser.close", deadline=time.monotonic() + 5)
        except (Failed, OSError):
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        for fd in (self.inp, self.out):
            os.close(fd)
        shutil.rmtree(self.profile, ignore_errors=True)


def page_load(home, address, expect, proxy=None, netlog=None, timeout=30.0):
    """A fresh Chromium for one load; its load time in seconds."""
    browser = Chromium(home, proxy, netlog)
    try:
        return browser.load(address, expect, timeout)
    finally:
        browser.close()
