#!/usr/bin/env python3
"""Processor time of the client under Wine while its window sits still.

Starts, on loopback and a private Xvfb display, the service stand-in on
127.0.0.1:8443, a microsocks upstream and sovelin.exe in a Wine prefix of
its own, then measures for SECONDS each, in this order: idle and
disconnected; idle on the settings page; connected with the halo pulsing.
Reports the client process (all its threads, from /proc) and, apart,
wineserver and the prefix's other Wine processes. Holds the machine-wide
locks of ports 10800 and 8443. Not part of the test run.

usage: window_cpu.py [--build build/windows] [--exe PATH] [--seconds 10]
"""
import argparse, fcntl, json, os, re, select, shutil, signal, socket, subprocess, sys, time

TICKS = os.sysconf("SC_CLK_TCK")
TITLE = "^Sovelin Desktop$"


def wait_until(what, predicate, timeout, interval=0.2):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            sys.exit("timed out waiting for " + what)
        time.sleep(interval)


def lock(path):
    f = open(path, "w")

    def take():
        try:
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except BlockingIOError:
            return False

    wait_until("the lock " + path, take, 600, 0.5)
    return f


def listening(port):
    with socket.socket() as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_ticks(pid):
    """User and system time of a process, all threads, in clock ticks."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    except (FileNotFoundError, ProcessLookupError):
        return 0


def prefix_processes(prefix):
    """Pids whose environment names this Wine prefix, by command name."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as f:
                if b"WINEPREFIX=" + prefix.encode() + b"\0" not in f.read():
                    continue
            with open(f"/proc/{entry}/comm") as f:
                found[int(entry)] = f.read().strip()
        except OSError:
            continue
    return found


class Bench:
    def __init__(self, args):
        self.build = os.path.abspath(args.build)
        self.exe = os.path.abspath(args.exe or os.path.join(self.build, "sovelin.exe"))
        self.seconds = args.seconds
        self.source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        self.base = os.path.join(self.build, "bench-window")
        self.prefix = os.path.join(self.base, "wineprefix")
        self.processes = []
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")

    def spawn(self, name, argv, **kwargs):
        log = open(os.path.join(self.base, name + ".log"), "wb")
        p = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, env=self.env,
                             start_new_session=True, **kwargs)
        log.close()
        self.processes.append(p)
        return p

    def stop_all(self):
        for p in reversed(self.processes):
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGTERM)
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    os.killpg(p.pid, signal.SIGKILL)
                    p.wait(timeout=10)
        subprocess.run(["timeout", "20", "wineserver", "-w"], env=self.env)

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=10).stdout.decode()

    def click(self, x, y):
        info = subprocess.run(["xwininfo", "-id", self.window], env=self.env,
                              stdout=subprocess.PIPE, timeout=10).stdout.decode()
        ox, oy = (int(re.search(f"Absolute upper-left {a}:\\s+(-?\\d+)", info).group(1))
                  for a in "XY")
        self.xdotool("mousemove", str(ox + x), str(oy + y))
        time.sleep(0.1)
        self.xdotool("click", "1")

    def start(self):
        os.makedirs(os.path.join(self.base, "work"), exist_ok=True)
        for link in ("pki", "tools"):
            path = os.path.join(self.base, link)
            if not os.path.lexists(path):
                os.symlink(os.path.join(self.build, link), path)
        subprocess.run([os.path.join(self.source, "tools", "wine-prefix.sh"), self.base],
                       check=True, stdout=subprocess.DEVNULL, timeout=300)
        read_fd, write_fd = os.pipe()
        self.spawn("xvfb", ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x800x24",
                            "-nolisten", "tcp"], pass_fds=(write_fd,))
        os.close(write_fd)
        number, deadline = b"", time.monotonic() + 20
        while not number.endswith(b"\n") and select.select(
                [read_fd], [], [], max(0, deadline - time.monotonic()))[0]:
            chunk = os.read(read_fd, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_fd)
        if not number.endswith(b"\n"):
            sys.exit("Xvfb did not report its display")
        self.env["DISPLAY"] = ":" + number.decode().strip()
        socks_port = free_port()
        self.spawn("microsocks", ["microsocks", "-i", "127.0.0.1", "-p", str(socks_port),
                                  "-u", "bench", "-P", "bench-pass"])
        state = os.path.join(self.base, "service")
        shutil.rmtree(state, ignore_errors=True)
        os.makedirs(state)
        with open(os.path.join(state, "connection.body"), "w") as f:
            json.dump({"ip": "127.0.0.1", "port": socks_port, "username": "bench",
                       "password": "bench-pass"}, f)
        self.spawn("service", [sys.executable, os.path.join(self.source, "tools", "service",
                                                            "service.py"),
                               "--state-dir", state, "--port", "8443",
                               "--pki", os.path.join(self.build, "pki")])
        wait_until("the service stand-in", lambda: os.path.exists(os.path.join(state, "ready")), 15)
        settings = os.path.join(self.base, "work", "settings.dat")
        if os.path.exists(settings):
            os.remove(settings)
        self.client = self.spawn("client", ["wine", self.exe], cwd=os.path.join(self.base, "work"))
        self.window = wait_until("the window", lambda: self.xdotool(
            "search", "--name", TITLE).split()[:1], 60)[0]
        requests = os.path.join(state, "requests.jsonl")
        wait_until("the catalogue download", lambda: os.path.exists(requests)
                   and "get_locations" in open(requests).read(), 30)

    def client_pid(self):
        """The Windows process of the client (wine may start it as a child)."""
        procs = prefix_processes(self.prefix)
        for pid, name in procs.items():
            if name.lower().startswith("sovelin"):
                return pid
        sys.exit(f"no sovelin.exe among the prefix's processes: {procs}")

    def measure(self, label):
        client = self.client_pid()
        # The stand-ins and the display run with the prefix in their
        # environment too; only Wine's own processes count here.
        others = {pid: name for pid, name in prefix_processes(self.prefix).items()
                  if pid != client and (name.endswith(".exe") or name.startswith("wineserver"))}
        before = {pid: cpu_ticks(pid) for pid in [client, *others]}
        started = time.monotonic()
        time.sleep(self.seconds)
        elapsed = time.monotonic() - started
        share = {pid: 100.0 * (cpu_ticks(pid) - before[pid]) / TICKS / elapsed for pid in before}
        servers = [pid for pid, name in others.items() if name.startswith("wineserver")]
        server = sum(share[pid] for pid in servers)
        rest = sum(share[pid] for pid in others if pid not in servers)
        self.others = sorted(set(others.values()))
        print(f"| {label:<40} | {share[client]:6.1f} | {server:6.1f} | {rest:6.1f} |", flush=True)

    def run(self):
        print(f"{self.exe}, {self.seconds:.0f} s per state, % of one core; "
              f"load average before: {os.getloadavg()[0]:.2f}\n")
        print(f"| {'state':<40} | client | wineserver | other Wine |")
        print(f"|{'-' * 42}|--------|------------|------------|")
        time.sleep(3)  # the first paints after the catalogue
        self.measure("idle, disconnected")
        info = subprocess.run(["xwininfo", "-id", self.window], env=self.env,
                              stdout=subprocess.PIPE, timeout=10).stdout.decode()
        width, height = (int(re.search(f"{a}:\\s+(\\d+)", info).group(1))
                         for a in ("Width", "Height"))
        self.click(width - 30, 45)  # the gear
        time.sleep(2)
        self.measure("idle, settings page")
        self.click(360, height - 40)  # Back
        time.sleep(1)
        self.click(260 + (width - 260) // 2, height // 2 + 60)  # the button
        wait_until("the listener on 10800", lambda: listening(10800), 30)
        time.sleep(2)
        self.measure("connected, halo pulsing")
        self.xdotool("windowfocus", "--sync", self.window)
        self.xdotool("key", "alt+F4")
        try:
            self.client.wait(timeout=20)
        except subprocess.TimeoutExpired:
            print("the client did not close within 20 s")
        print("\nother Wine processes of the prefix: " + ", ".join(self.others))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/windows")
    parser.add_argument("--exe", help="the client to measure (default BUILD/sovelin.exe)")
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()
    args.seconds = min(max(args.seconds, 1.0), 60.0)
    locks = [lock("/tmp/sovelin-10800.lock"), lock("/tmp/sovelin-8443.lock")]  # noqa: F841
    bench = Bench(args)
    try:
        bench.start()
        bench.run()
    finally:
        bench.stop_all()


if __name__ == "__main__":
    main()
