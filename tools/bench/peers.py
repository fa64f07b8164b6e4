#!/usr/bin/env python3
"""What the benchmarks through a far upstream share (latency.py, pageload.py):
the delay line that counts logins, the peers and their configurations, Dante's
local users, and the table's cells (median / p90 in round trips and ms).

Run as a program, it is the delay line: peers.py delay MS '{"control": PORT,
"routes": [[LISTEN, TARGET], ...]}'. Loopback only; it ends by itself.
"""
import asyncio, json, math, os, socket, statistics, subprocess, sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import free_port, wait_port  # noqa: E402

PROXIES = ("sovelin-relay", "v2ray", "privoxy", "tinyproxy")


# --- the delay line: every byte held D ms each way; the connect costs one round trip
async def delay_line(delay, control, routes):
    loop = asyncio.get_running_loop()
    counts = {str(listen): 0 for listen, _ in routes}

    async def carry(reader, writer, gate):
        queue = asyncio.Queue()

        async def out():
            while True:
                due, data = await queue.get()
                if due > loop.time():
                    await asyncio.sleep(due - loop.time())
                if not data:
                    if writer.can_write_eof():
                        writer.write_eof()
                    return
                writer.write(data)
                await writer.drain()

        sender = asyncio.create_task(out())
        try:
            while True:
                data = await reader.read(1 << 16)
                queue.put_nowait((max(loop.time() + delay, gate), data))
                if not data:
                    break
            await sender
        finally:
            sender.cancel()

    def serve(listen, target):
        async def client(creader, cwriter):
            accepted = loop.time()
            counts[str(listen)] += 1
            cwriter.transport.get_extra_info("socket").setsockopt(
                socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            uwriter = None
            try:
                # The far server sees the connection D after the client asked;
                # the client could not have sent before its SYN-ACK came back,
                # so its first bytes arrive no earlier than 3 D after.
                await asyncio.sleep(delay)
                ureader, uwriter = await asyncio.open_connection("127.0.0.1", target)
                uwriter.transport.get_extra_info("socket").setsockopt(
                    socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                await asyncio.gather(carry(creader, uwriter, accepted + 3 * delay),
                                     carry(ureader, cwriter, 0.0))
            except (OSError, asyncio.IncompleteReadError):
                pass
            finally:
                for w in (cwriter, uwriter):
                    if w is not None:
                        w.close()
        return client

    async def report(reader, writer):
        writer.write(json.dumps(counts).encode())
        writer.close()

    servers = [await asyncio.start_server(serve(listen, target), "127.0.0.1", listen, backlog=512)
               for listen, target in routes]
    servers.append(await asyncio.start_server(report, "127.0.0.1", control))
    await asyncio.sleep(7200)


def delay_counts(control):
    with socket.create_connection(("127.0.0.1", control), timeout=5) as s:
        data = b""
        while True:
            part = s.recv(1 << 16)
            if not part:
                return json.loads(data)
            data += part

def start_delay_line(procs, delay_ms, control, routes, log):
    """The delay line in a process of its own, so that the measuring loop does
    not share its event loop; returns once its control port answers."""
    procs.start([sys.executable, os.path.abspath(__file__), "delay", str(delay_ms),
                 json.dumps({"control": control, "routes": routes})], stderr=log)
    wait_port(control, 20)


# --- the upstreams' side ------------------------------------------------------------
def ensure_user(name, password, method=None):
    """A local user for Dante's RFC 1929 check (Dante asks the system's crypt),
    its password hashed with method (chpasswd -c: MD5, SHA512, YESCRYPT) or
    the system's default."""
    if subprocess.run(["id", "-u", name], capture_output=True).returncode != 0:
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell",
                        "/usr/sbin/nologin", name], check=True)
    subprocess.run(["chpasswd"] + (["-c", method] if method else []),
                   input="%s:%s\n" % (name, password), text=True, check=True)


def hash_kind(user):
    """How the user's password is hashed, as /etc/shadow says."""
    with open("/etc/shadow") as f:
        for line in f:
            name, field = line.split(":")[:2]
            if name == user:
                return {"$1$": "MD5-crypt", "$y$": "yescrypt", "$6$": "SHA-512-crypt"}.get(
                    field[:3], field[:3])
    return "?"


def login_in_one_write(port, user, password):
    """Whether the upstream answers a greeting and RFC 1929 sent in one write,
    as v2ray sends them."""
    with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
        s.sendall(b"\x05\x01\x02\x01%c%s%c%s" % (len(user), user.encode(), len(password),
                                                  password.encode()))
        got = b""
        try:
            while len(got) < 4 and (part := s.recv(4 - len(got))):
                got += part
        except socket.timeout:
            pass
        return got == b"\x05\x02\x01\x00"


# --- peers ----------------------------------------------------------------------
def version(package):
    out = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", package], capture_output=True,
                         text=True).stdout
    return out.split("+")[0].split("-")[0]


def start_peers(procs, work, relay, name, upstream, user, password, proxies=PROXIES):
    """Each proxy in front of its own delay-line port, upstream[proxy]; returns
    {proxy: (socks, http)}. name keeps apart the files of several sets."""
    ports = {}
    for proxy in proxies:
        ports[proxy] = STARTERS[proxy](procs, work, relay, name, upstream[proxy], user, password)
    for s, h in ports.values():
        for port in {s, h} - {None}:
            wait_port(port, 20)
    return ports


def start_relay(procs, work, relay, name, upstream, user, password):
    p = free_port()
    procs.start([relay, "--port", str(p), "--upstream", "127.0.0.1:%d" % upstream,
                 "--user", user, "--password", password])
    return p, p


def start_v2ray(procs, work, relay, name, upstream, user, password):
    s, h = free_port(), free_port()
    conf = os.path.join(work, "v2ray-%s.json" % name)
    with open(conf, "w") as f:
        json.dump({"log": {"loglevel": "warning", "error": conf + ".log", "access": "none"},
                   "inbounds": [{"listen": "127.0.0.1", "port": s, "protocol": "socks",
                                 "settings": {"auth": "noauth", "udp": False}},
                                {"listen": "127.0.0.1", "port": h, "protocol": "http",
                                 "settings": {}}],
                   "outbounds": [{"protocol": "socks", "settings": {"servers": [
                       {"address": "127.0.0.1", "port": upstream,
                        "users": [{"user": user, "pass": password}]}]}}]}, f)
    procs.start(["v2ray", "-config", conf])
    return s, h


def start_privoxy(procs, work, relay, name, upstream, user, password):
    h = free_port()
    confdir = os.path.join(work, "privoxy-" + name)
    os.mkdir(confdir)
    with open(os.path.join(confdir, "bench.action"), "w") as f:
        f.write("{+limit-connect{-}}\n/\n")  # CONNECT to any port
    with open(os.path.join(confdir, "config"), "w") as f:
        # Debian's defaults for keep-alive, pipelining and timeouts.
        f.write("confdir %s\nlogdir %s\nactionsfile bench.action\nlisten-address 127.0.0.1:%d\n"
                "forward-socks5t / %s:%s@127.0.0.1:%d .\ntoggle 1\nenable-remote-toggle 0\n"
                "enable-edit-actions 0\nbuffer-limit 4096\nforwarded-connect-retries 0\n"
                "keep-alive-timeout 5\ntolerate-pipelining 1\nsocket-timeout 300\n"
                % (confdir, confdir, h, user, password, upstream))
    procs.start(["privoxy", "--no-daemon", os.path.join(confdir, "config")])
    return None, h


def start_tinyproxy(procs, work, relay, name, upstream, user, password):
    h = free_port()
    conf = os.path.join(work, "tinyproxy-%s.conf" % name)
    with open(conf, "w") as f:
        f.write("User nobody\nGroup nogroup\nPort %d\nListen 127.0.0.1\nTimeout 600\n"
                "MaxClients 100\nLogLevel Critical\nUpstream socks5 %s:%s@127.0.0.1:%d\n"
                % (h, user, password, upstream))
    procs.start(["tinyproxy", "-d", "-c", conf])
    return None, h


STARTERS = {"sovelin-relay": start_relay, "v2ray": start_v2ray, "privoxy": start_privoxy,
            "tinyproxy": start_tinyproxy}


# --- rows -----------------------------------------------------------------------
class Samples:
    def __init__(self):
        self.times, self.failures, self.extra = [], [], []

    def add(self, seconds):
        self.times.append(seconds)


# --- the table --------------------------------------------------------------------
def cell(samples, rtt, extra=None, why=""):
    if not samples.times:
        return "%s (%s)" % (why or "fails", samples.failures[0]) if samples.failures else "–"
    times = sorted(samples.times)
    median, p90 = statistics.median(times), times[math.ceil(0.9 * len(times)) - 1]
    text = "%.2f / %.2f (%.0f / %.0f ms)" % (median / rtt, p90 / rtt, median * 1e3, p90 * 1e3)
    if extra:
        text += extra
    if samples.failures:
        text += ", %d failed" % len(samples.failures)
    return text


def table(title, heads, rows):
    lines = [title, ""]
    widths = [max(len(r[i]) for r in rows + [heads]) for i in range(len(heads))]
    for r in [heads, ["-" * w for w in widths]] + rows:
        lines.append("| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |")
    return "\n".join(lines)



if __name__ == "__main__" and len(sys.argv) == 4 and sys.argv[1] == "delay":
    job = json.loads(sys.argv[3])
    asyncio.run(delay_line(float(sys.argv[2]) / 1000, job["control"], job["routes"]))
