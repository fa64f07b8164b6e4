#!/usr/bin/env python3
"""Measures sovelin-relay on loopback against plain forwarders and prints one table.

Native: the release relay and `socat -b 65536`, each in front of the same Dante
(socksmethod none): bulk download, connection rate, round-trip p99. Under Wine:
sovelin-relay.exe against bench-forwarder.exe (a blocking forwarder, one thread
per direction, 64 KiB buffers) in front of the same Dante. Idle clients and the
stop go through microsocks with a password. Every wait is bounded.

usage: bench.py --relay R --wine-relay R.exe --forwarder F.exe [--megabytes N] [--runs N]
"""
import argparse, asyncio, os, selectors, signal, socket, statistics, struct, subprocess
import sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
WINE_RUN = os.path.join(HERE, "..", "wine-run.sh")
CHUNK = 1 << 20
USER, PASSWORD = "benchuser", "benchpass"


# --- the origin: "B<n>\n" gets n MiB of zeros, anything else is echoed ----------
async def origin_client(reader, writer):
    try:
        first = await reader.read(1)
        if first == b"B":
            count = int(await reader.readline())
            chunk = bytes(CHUNK)
            for _ in range(count):
                writer.write(chunk)
                await writer.drain()
        else:
            data = first
            while data:
                writer.write(data)
                await writer.drain()
                data = await reader.read(1 << 16)
    except (OSError, ValueError):
        pass
    writer.close()


def run_origin(port):
    async def main():
        server = await asyncio.start_server(origin_client, "127.0.0.1", port, backlog=4096)
        async with server:
            await asyncio.sleep(3000)
    asyncio.run(main())


# --- helpers -------------------------------------------------------------------
def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, seconds, host="127.0.0.1"):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            socket.create_connection((host, port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nothing listens on %s:%d" % (host, port))


def recv_exact(s, n):
    data = b""
    while len(data) < n:
        part = s.recv(n - len(data))
        if not part:
            raise IOError("closed early")
        data += part
    return data


def socks_open(port, origin, timeout=30):
    """SOCKS5 CONNECT to the origin through whatever listens on port (no auth)."""
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    s.sendall(b"\x05\x01\x00")
    if recv_exact(s, 2) != b"\x05\x00":
        raise IOError("method refused")
    s.sendall(b"\x05\x01\x00\x01" + socket.inet_aton("127.0.0.1") + struct.pack(">H", origin))
    if recv_exact(s, 10)[1] != 0:
        raise IOError("connect refused")
    return s


def download(port, origin, megabytes):
    s = socks_open(port, origin)
    buf = bytearray(CHUNK)
    total, want = 0, megabytes * CHUNK
    start = time.perf_counter()
    s.sendall(b"B%d\n" % megabytes)
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


def connection_rate(port, origin, count):
    start = time.perf_counter()
    for _ in range(count):
        s = socks_open(port, origin)
        s.sendall(b"x")
        if recv_exact(s, 1) != b"x":
            raise IOError("bad echo")
        s.close()
    return count / (time.perf_counter() - start)


def p99_round_trip_ms(port, origin, size, count):
    s = socks_open(port, origin)
    payload = b"y" * size
    times = []
    for _ in range(count):
        start = time.perf_counter()
        s.sendall(payload)
        recv_exact(s, size)
        times.append((time.perf_counter() - start) * 1000)
    s.close()
    times.sort()
    return times[min(len(times) - 1, int(0.99 * len(times)))]


def proc_status(pid):
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return fields


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        parts = f.read().rsplit(")", 1)[1].split()
    return int(parts[11]) + int(parts[12])  # utime + stime


def wine_pid(name, session):
    """The Linux process of a Windows program that we started under Wine."""
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                # By argv[0]: the wine-run.sh shell that started it has the
                # program's name among its arguments too.
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    found = f.read().split(b"\0")[0].endswith(name.encode())
                with open("/proc/%s/stat" % entry) as f:
                    found = found and int(f.read().rsplit(")", 1)[1].split()[3]) == session
                if found:
                    return int(entry)
            except OSError:
                pass
    raise RuntimeError("no process for %s" % name)


class Processes:
    def __init__(self):
        self.procs = []

    def start(self, args, stdin=None, stderr=subprocess.DEVNULL):
        p = subprocess.Popen(args, stdin=stdin, stdout=subprocess.DEVNULL, stderr=stderr,
                             start_new_session=True)
        self.procs.append(p)
        return p

    def end(self, p, timeout=10):
        if p.poll() is None:
            try:
                os.killpg(p.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        try:
            p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()

    def end_all(self):
        for p in reversed(self.procs):
            self.end(p)


def dante_conf(work, port, method="none", name="danted"):  # Dante on loopback; its command
    conf = os.path.join(work, name + ".conf")
    with open(conf, "w") as f:
        f.write("logoutput: /dev/null\ninternal: 127.0.0.1 port = %d\nexternal: 127.0.0.1\n"
                "socksmethod: %s\nclientmethod: none\nuser.privileged: root\n"
                "user.unprivileged: nobody\n"
                "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n" % (port, method))
    return ["danted", "-f", conf, "-p", os.path.join(work, name + ".pid")]


def start_relay(procs, binary, port, upstream, wine, auth=False):
    args = [binary, "--port", str(port), "--upstream", "127.0.0.1:%d" % upstream]
    if auth:
        args += ["--user", USER, "--password", PASSWORD]
    if wine:
        args = [WINE_RUN] + args
    p = procs.start(args, stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    wait_port(port, 90 if wine else 10)
    return p


def stop_relay(procs, p, wine):
    """Asks the relay to stop (SIGTERM, or the end of stdin under Wine); returns
    the stop time it reports and its exit status."""
    if not wine:
        p.send_signal(signal.SIGTERM)
    try:  # closes stdin first
        err = p.communicate(timeout=30)[1].decode(errors="replace")
    except subprocess.TimeoutExpired:
        procs.end(p)
        return None, "hung"
    for line in err.splitlines():
        if "stopped in" in line:
            return float(line.split("stopped in")[1].split()[0]), p.returncode
    return None, p.returncode


# --- the measurements ----------------------------------------------------------
def idle(port, origin, clients, seconds, pid):
    socks = []
    for _ in range(clients):
        s = socks_open(port, origin)
        s.sendall(b"x")
        recv_exact(s, 1)
        socks.append(s)
    ticks = cpu_ticks(pid)
    time.sleep(seconds)
    cpu = (cpu_ticks(pid) - ticks) / os.sysconf("SC_CLK_TCK") / seconds * 100
    status = proc_status(pid)
    echoing = 0
    for s in socks:
        s.sendall(b"z")
        echoing += recv_exact(s, 1) == b"z"
    fresh = socks_open(port, origin)
    fresh.sendall(b"n")
    served = recv_exact(fresh, 1) == b"n"
    fresh.close()
    for s in socks:
        s.close()
    return cpu, int(status["Threads"]), int(status["VmRSS"].split()[0]) / 1024, echoing, served


def never_reading(port, origin, pid, clients=200, megabytes=10):
    """Clients that open a download and never read: the relay's RSS once every
    transfer has stalled, and whether one of them then gets every byte."""
    socks = []
    for _ in range(clients):
        s = socks_open(port, origin)
        s.sendall(b"B%d\n" % megabytes)
        socks.append(s)
    rss, deadline = None, time.monotonic() + 60
    while time.monotonic() < deadline:  # until the transfers have stalled
        time.sleep(1)
        now = int(proc_status(pid)["VmRSS"].split()[0])
        if now == rss:
            break
        rss = now
    got = 0
    try:
        while got < megabytes * CHUNK:
            part = socks[0].recv(CHUNK)
            if not part:
                break
            got += len(part)
    except OSError:
        pass
    for s in socks:
        s.close()
    return rss / 1024, got == megabytes * CHUNK


def stop_in_flight(procs, relay, port, origin, wine, transfers=100):
    socks = []
    for _ in range(transfers):
        s = socks_open(port, origin)
        s.sendall(b"B100000\n")
        s.setblocking(False)
        socks.append(s)
    sel = selectors.DefaultSelector()
    for s in socks:
        sel.register(s, selectors.EVENT_READ)
    moving = set()

    def pump(until, stopped):
        ended = set()
        while time.monotonic() < until and len(ended) < len(socks):
            if not stopped and len(moving) == len(socks):
                break
            for key, _ in sel.select(0.05):
                try:
                    data = key.fileobj.recv(1 << 16)
                except BlockingIOError:
                    continue
                except OSError:
                    data = b""
                if data:
                    moving.add(key.fileobj)
                elif stopped:
                    ended.add(key.fileobj)
                    sel.unregister(key.fileobj)
        return ended

    pump(time.monotonic() + 10.0, False)  # until every transfer has moved bytes
    stop_ms, code = stop_relay(procs, relay, wine)
    ended = pump(time.monotonic() + 5.0, True)
    for s in socks:
        s.close()
    return len(moving), stop_ms, code, len(ended)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--relay", required=True)
    parser.add_argument("--wine-relay", required=True)
    parser.add_argument("--forwarder", required=True)
    parser.add_argument("--megabytes", type=int, default=200)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--origin-port", type=int)
    args = parser.parse_args()
    if args.origin_port:
        return run_origin(args.origin_port)

    procs = Processes()
    work = tempfile.mkdtemp(prefix="sovelin-bench.")
    rows = []
    try:
        origin = free_port()
        procs.start([sys.executable, __file__, "--relay", "-", "--wine-relay", "-",
                     "--forwarder", "-", "--origin-port", str(origin)])
        dante = free_port()
        procs.start(dante_conf(work, dante))
        micro = free_port()
        procs.start(["microsocks", "-i", "127.0.0.1", "-p", str(micro), "-u", USER, "-P", PASSWORD])
        for port in (origin, dante, micro):
            wait_port(port, 20)

        # Native, in front of Dante.
        relay_port, socat_port = free_port(), free_port()
        relay = start_relay(procs, args.relay, relay_port, dante, False)
        procs.start(["socat", "-b", "65536", "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork,backlog=512"
                     % socat_port, "TCP:127.0.0.1:%d" % dante])
        wait_port(socat_port, 10)
        ours, theirs = [], []
        for _ in range(args.runs):
            ours.append(download(relay_port, origin, args.megabytes))
            theirs.append(download(socat_port, origin, args.megabytes))
        a, b = statistics.median(ours), statistics.median(theirs)
        rows.append(("native bulk %d MB, median of %d (MB/s)" % (args.megabytes, args.runs),
                     "%.0f" % a, "socat %.0f" % b, "%.2f" % (a / b), ">= 1.0"))
        a, b = connection_rate(relay_port, origin, 2000), connection_rate(socat_port, origin, 2000)
        rows.append(("native connections/s, 2000 one-byte echoes", "%.0f" % a, "socat %.0f" % b,
                     "%.2f" % (a / b), ">= 1.3"))
        for size in (100, 10000, 200000):
            a = p99_round_trip_ms(relay_port, origin, size, 300)
            b = p99_round_trip_ms(socat_port, origin, size, 300)
            rows.append(("native p99 round trip %d B (ms)" % size, "%.2f" % a, "socat %.2f" % b,
                         "", "< 40"))
        stop_relay(procs, relay, False)

        # Under Wine, in front of Dante.
        wine_port, fwd_port = free_port(), free_port()
        relay = start_relay(procs, args.wine_relay, wine_port, dante, True)
        forwarder = procs.start([WINE_RUN, args.forwarder, str(fwd_port), str(dante)],
                                stdin=subprocess.PIPE)
        wait_port(fwd_port, 90)
        ours, theirs = [], []
        for _ in range(args.runs):
            ours.append(download(wine_port, origin, args.megabytes))
            theirs.append(download(fwd_port, origin, args.megabytes))
        a, b = statistics.median(ours), statistics.median(theirs)
        rows.append(("Wine bulk %d MB, median of %d (MB/s)" % (args.megabytes, args.runs),
                     "%.0f" % a, "forwarder %.0f" % b, "%.2f" % (a / b), ">= 0.9"))
        forwarder.stdin.close()
        stop_relay(procs, relay, True)

        # Idle clients and the stop, through microsocks with a password.
        for wine, binary, clients in ((False, args.relay, 5000), (True, args.wine_relay, 1000)):
            port = free_port()
            relay = start_relay(procs, binary, port, micro, wine, auth=True)
            pid = wine_pid(os.path.basename(binary), relay.pid) if wine else relay.pid
            cpu, threads, rss, echoing, served = idle(port, origin, clients, 5, pid)
            where = "Wine" if wine else "native"
            rows.append(("%s idle %d clients over 5 s: CPU %% / threads / RSS MB" % (where, clients),
                         "%.2f / %d / %.0f" % (cpu, threads, rss),
                         "%d echoing, new one %s" % (echoing, "served" if served else "NOT served"),
                         "", "<= 1 / 16 / 64" if not wine else "report RSS"))
            if not wine:
                rss, whole = never_reading(port, origin, pid)
                rows.append(("native 200 clients that never read a 10 MB download: RSS MB",
                             "%.0f" % rss, "one then read %s" % ("all" if whole else "NOT all"),
                             "", "<= 64"))
            moving, stop_ms, code, ended = stop_in_flight(procs, relay, port, origin, wine)
            rows.append(("%s stop with %d transfers moving (ms)" % (where, moving),
                         "%s" % ("%.1f" % stop_ms if stop_ms is not None else "?"),
                         "%d of 100 clients ended, exit %s" % (ended, code), "", "<= 100"))
    finally:
        procs.end_all()

    widths = [max(len(str(r[i])) for r in rows + [HEAD]) for i in range(5)]
    for r in [HEAD] + rows:
        print("| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |")


HEAD = ("measure", "sovelin-relay", "yardstick", "ratio", "goal")

if __name__ == "__main__":
    main()
