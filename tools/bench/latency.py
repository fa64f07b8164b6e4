#!/usr/bin/env python3
"""What a person feels: new connections through a far upstream, on loopback.

A delay line holds every byte D ms each way in front of two real upstreams with
a password (Dante, microsocks); an echo server and a keep-alive HTTP origin sit
beside them, not behind the delay. sovelin-relay, v2ray, privoxy and tinyproxy
are measured in the same run, one after another, and one markdown table per
upstream is printed and written to build/latency.md. Every wait is bounded.

usage: latency.py --relay R [--delay MS] [--count N] [--idle S] [--cold-count N]
"""
import argparse, asyncio, json, math, os, random, socket, statistics, struct, subprocess
import sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import Processes, dante_conf, free_port, wait_port  # noqa: E402

USER, PASSWORD = "sovelinlat", "latpass"
PAGE = b"<html><body>" + b"x" * 1000 + b"</body></html>\n"
STEP_TIMEOUT = 5.0  # a sample slower than 100 round trips has failed


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


# --- near the upstream: an echo server and a keep-alive HTTP/1.1 origin -------------
async def near(echo_port, origin_port):
    async def echo(reader, writer):
        try:
            while data := await reader.read(1 << 16):
                writer.write(data)
                await writer.drain()
        except OSError:
            pass
        writer.close()

    async def origin(reader, writer):
        try:
            while True:
                head = (await reader.readuntil(b"\r\n\r\n")).decode("latin-1").lower()
                lines = head.split("\r\n")
                method, version = lines[0].split()[0], lines[0].split()[-1]
                fields = dict(line.split(":", 1) for line in lines[1:] if ":" in line)
                length = int(fields.get("content-length", "0"))
                if length:
                    await reader.readexactly(length)
                connection = fields.get("connection", "")
                close = "close" in connection or (version == "http/1.0" and
                                                  "keep-alive" not in connection)
                writer.write(b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: %d\r\n"
                             b"%s\r\n" % (len(PAGE), b"Connection: close\r\n" if close else b""))
                if method != "head":
                    writer.write(PAGE)
                await writer.drain()
                if close:
                    break
        except (OSError, ValueError, asyncio.IncompleteReadError, asyncio.LimitOverrunError):
            pass
        writer.close()

    await asyncio.start_server(echo, "127.0.0.1", echo_port, backlog=512)
    await asyncio.start_server(origin, "127.0.0.1", origin_port, backlog=512)
    await asyncio.sleep(7200)


# --- clients; each returns seconds from its connect() to the byte back ------------
class Failed(Exception):
    pass


async def connect(port):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.transport.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return reader, writer


async def socks_reply(reader):
    head = await reader.readexactly(4)
    if head[1] != 0:
        raise Failed("SOCKS reply %d" % head[1])
    size = {1: 4, 4: 16}.get(head[3])
    if size is None:
        size = (await reader.readexactly(1))[0]
    await reader.readexactly(size + 2)


async def echoed_byte(reader, writer):
    writer.write(b"x")
    if await reader.read(1) != b"x":
        raise Failed("no echo")


async def socks5(port, echo, optimistic=False):
    start = time.perf_counter()
    reader, writer = await connect(port)
    try:
        request = b"\x05\x01\x00\x01" + socket.inet_aton("127.0.0.1") + struct.pack(">H", echo)
        if optimistic:
            writer.write(b"\x05\x01\x00" + request + b"x")
        else:
            writer.write(b"\x05\x01\x00")
        if await reader.readexactly(2) != b"\x05\x00":
            raise Failed("method refused")
        if not optimistic:
            writer.write(request)
        await socks_reply(reader)
        if optimistic:
            if await reader.read(1) != b"x":
                raise Failed("no echo")
        else:
            await echoed_byte(reader, writer)
        return time.perf_counter() - start
    finally:
        writer.close()


async def http_connect(port, echo):
    start = time.perf_counter()
    reader, writer = await connect(port)
    try:
        writer.write(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (echo, echo))
        head = await reader.readuntil(b"\r\n\r\n")
        if head.split(b" ", 2)[1] != b"200":
            raise Failed(head.split(b"\r\n")[0].decode(errors="replace"))
        await echoed_byte(reader, writer)
        return time.perf_counter() - start
    finally:
        writer.close()


async def response(reader):
    """One response; returns whether the connection ends with it."""
    head = await reader.readuntil(b"\r\n\r\n")
    lines = head.decode("latin-1").lower().split("\r\n")
    if lines[0].split()[1] != "200":
        raise Failed(lines[0])
    fields = dict((k.strip(), v.strip()) for k, v in
                  (line.split(":", 1) for line in lines[1:] if ":" in line))
    if "content-length" in fields:
        body = await reader.readexactly(int(fields["content-length"]))
        ends = False
    elif "chunked" in fields.get("transfer-encoding", ""):
        body = b""
        while size := int((await reader.readline()).split(b";")[0], 16):
            body += await reader.readexactly(size)
            await reader.readline()
        while (await reader.readline()) not in (b"\r\n", b""):
            pass
        ends = False
    else:
        body, ends = await reader.read(), True
    if body != PAGE:
        raise Failed("wrong page")
    closing = fields.get("connection", "") + fields.get("proxy-connection", "")
    keep = "keep-alive" in closing if lines[0].startswith("http/1.0") else "close" not in closing
    return ends or not keep


async def ten_gets(port, origin, count=10):
    """Ten GETs on as few client connections as the proxy allows; returns the
    time and the client connections used."""
    request = (b"GET http://127.0.0.1:%d/page HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
               b"Proxy-Connection: keep-alive\r\nUser-Agent: latency-bench\r\n\r\n"
               % (origin, origin))
    start = time.perf_counter()
    writer, connections = None, 0
    try:
        for _ in range(count):
            for attempt in range(2):
                reused = writer is not None
                if not reused:
                    reader, writer = await connect(port)
                    connections += 1
                writer.write(request)
                try:
                    ends = await response(reader)
                    break
                except asyncio.IncompleteReadError as e:
                    if not reused or e.partial:  # only a reused, already closed one is retried
                        raise
                    writer.close()
                    writer = None
            if ends:
                writer.close()
                writer = None
        return time.perf_counter() - start, connections
    finally:
        if writer is not None:
            writer.close()


async def bounded(coroutine, seconds=STEP_TIMEOUT):
    try:
        return await asyncio.wait_for(coroutine, seconds)
    except asyncio.TimeoutError:
        raise Failed("no answer in %.0f s" % seconds)
    except (OSError, asyncio.IncompleteReadError, asyncio.LimitOverrunError, ValueError,
            IndexError) as e:
        raise Failed(type(e).__name__)


# --- rows -----------------------------------------------------------------------
class Samples:
    def __init__(self):
        self.times, self.failures, self.extra = [], [], []

    def add(self, seconds):
        self.times.append(seconds)


async def paced(count, one, lead_in=3):
    """New connections 100-200 ms apart, start to start, overlapping as a
    browser's do; the first lead_in ones set the scene and are not counted."""
    samples, rng, tasks = Samples(), random.Random(count), []

    async def run(counted):
        try:
            seconds = await bounded(one())
            if counted:
                samples.add(seconds)
        except Failed as e:
            samples.failures.append(str(e))

    for i in range(count + lead_in):
        tasks.append(asyncio.create_task(run(i >= lead_in)))
        if len(samples.failures) >= 2 and not samples.times:
            break  # a proxy that cannot do this does not take the whole timeout
        await asyncio.sleep(rng.uniform(0.1, 0.2))
    await asyncio.gather(*tasks)
    return samples


async def page(count, one, burst=8):
    """Bursts of 8 new connections, one second apart; each after the first is
    timed until all 8 have their byte back."""
    samples, tasks = Samples(), []

    async def run(counted):
        start = time.perf_counter()
        results = await asyncio.gather(*(bounded(one()) for _ in range(burst)),
                                       return_exceptions=True)
        failed = [str(r) for r in results if isinstance(r, BaseException)]
        if failed:
            samples.failures.append(failed[0])
        elif counted:
            samples.add(time.perf_counter() - start)

    for i in range(count + 1):
        tasks.append(asyncio.create_task(run(i > 0)))
        if len(samples.failures) >= 2 and not samples.times:
            break
        await asyncio.sleep(1.0)
    await asyncio.gather(*tasks)
    return samples


async def gets(count, port, origin, control, key):
    samples, rng = Samples(), random.Random(count)
    for _ in range(count):
        before = delay_counts(control)[key]
        try:
            seconds, connections = await bounded(ten_gets(port, origin), 15)
            samples.add(seconds)
            samples.extra.append((connections, delay_counts(control)[key] - before))
        except Failed as e:
            samples.failures.append(str(e))
            if len(samples.failures) >= 2 and not samples.times:
                break
        await asyncio.sleep(rng.uniform(0.1, 0.2))
    return samples


def login_in_one_write(port):
    """Whether the upstream answers a greeting and RFC 1929 sent in one write,
    as v2ray sends them."""
    with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
        s.sendall(b"\x05\x01\x02\x01%c%s%c%s" % (len(USER), USER.encode(), len(PASSWORD),
                                                  PASSWORD.encode()))
        got = b""
        try:
            while len(got) < 4 and (part := s.recv(4 - len(got))):
                got += part
        except socket.timeout:
            pass
        return got == b"\x05\x02\x01\x00"


def logged_in_lifetime(port, deadline):
    """How long an upstream keeps a connection that has logged in but sends no
    request (its negotiation timeout), up to deadline seconds."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(b"\x05\x01\x02")
        if s.recv(2) != b"\x05\x02":
            return "no password method"
        s.sendall(b"\x01%c%s%c%s" % (len(USER), USER.encode(), len(PASSWORD), PASSWORD.encode()))
        if s.recv(2) != b"\x01\x00":
            return "login refused"
        start = time.monotonic()
        s.settimeout(deadline)
        try:
            s.recv(1)
            return "closed after %.1f s" % (time.monotonic() - start)
        except socket.timeout:
            return "still open after %.0f s" % deadline
        except OSError as e:
            return "reset after %.1f s (%s)" % (time.monotonic() - start, e)


# --- peers ----------------------------------------------------------------------
def version(package):
    out = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", package], capture_output=True,
                         text=True).stdout
    return out.split("+")[0].split("-")[0]


def start_peers(procs, work, relay, name, upstream):
    """Each proxy in front of one delay-line port; returns {proxy: (socks, http)}."""
    ports = {}
    p = free_port()
    procs.start([relay, "--port", str(p), "--upstream", "127.0.0.1:%d" % upstream["sovelin-relay"],
                 "--user", USER, "--password", PASSWORD])
    ports["sovelin-relay"] = (p, p)

    s, h = free_port(), free_port()
    conf = os.path.join(work, "v2ray-%s.json" % name)
    with open(conf, "w") as f:
        json.dump({"log": {"loglevel": "warning", "error": conf + ".log", "access": "none"},
                   "inbounds": [{"listen": "127.0.0.1", "port": s, "protocol": "socks",
                                 "settings": {"auth": "noauth", "udp": False}},
                                {"listen": "127.0.0.1", "port": h, "protocol": "http",
                                 "settings": {}}],
                   "outbounds": [{"protocol": "socks", "settings": {"servers": [
                       {"address": "127.0.0.1", "port": upstream["v2ray"],
                        "users": [{"user": USER, "pass": PASSWORD}]}]}}]}, f)
    procs.start(["v2ray", "-config", conf])
    ports["v2ray"] = (s, h)

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
                % (confdir, confdir, h, USER, PASSWORD, upstream["privoxy"]))
    procs.start(["privoxy", "--no-daemon", os.path.join(confdir, "config")])
    ports["privoxy"] = (None, h)

    h = free_port()
    conf = os.path.join(work, "tinyproxy-%s.conf" % name)
    with open(conf, "w") as f:
        f.write("User nobody\nGroup nogroup\nPort %d\nListen 127.0.0.1\nTimeout 600\n"
                "MaxClients 100\nLogLevel Critical\nUpstream socks5 %s:%s@127.0.0.1:%d\n"
                % (h, USER, PASSWORD, upstream["tinyproxy"]))
    procs.start(["tinyproxy", "-d", "-c", conf])
    ports["tinyproxy"] = (None, h)
    for s, h in ports.values():
        for port in {s, h} - {None}:
            wait_port(port, 20)
    return ports


PROXIES = ("sovelin-relay", "v2ray", "privoxy", "tinyproxy")


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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--relay", required=True)
    parser.add_argument("--delay", type=float, default=25.0, help="ms each way")
    parser.add_argument("--count", type=int, default=15, help="samples per row")
    parser.add_argument("--idle", type=float, default=120.0, help="seconds before a cold one")
    parser.add_argument("--cold-count", type=int, default=3)
    parser.add_argument("--out", default="build/latency.md")
    parser.add_argument("--serve", help=argparse.SUPPRESS)
    args = parser.parse_args()
    delay = args.delay / 1000
    if args.serve:
        job = json.loads(args.serve)
        if job["what"] == "delay":
            return asyncio.run(delay_line(delay, job["control"], job["routes"]))
        return asyncio.run(near(job["echo"], job["origin"]))

    procs = Processes()
    work = tempfile.mkdtemp(prefix="sovelin-latency.")
    load = [os.getloadavg()[0]]
    rtt = 2 * delay
    try:
        echo, origin = free_port(), free_port()
        logs = {what: open(os.path.join(work, what + ".log"), "w") for what in ("near", "delay")}
        procs.start([sys.executable, __file__, "--relay", "-", "--serve",
                     json.dumps({"what": "near", "echo": echo, "origin": origin})],
                    stderr=logs["near"])
        dante, micro = free_port(), free_port()
        procs.start(dante_conf(work, dante, "username"))
        procs.start(["microsocks", "-i", "127.0.0.1", "-p", str(micro), "-u", USER, "-P", PASSWORD])
        upstreams = {"Dante %s" % version("dante-server"): dante,
                     "microsocks %s" % version("microsocks"): micro}
        for port in (dante, micro):
            wait_port(port, 20)
        one_write = {name: login_in_one_write(port) for name, port in upstreams.items()}
        # One delay-line port per proxy and upstream, so that logins are counted apart.
        routes, lines = [], {}
        for name, target in upstreams.items():
            lines[name] = {proxy: free_port() for proxy in PROXIES}
            routes += [(port, target) for port in lines[name].values()]
        control = free_port()
        procs.start([sys.executable, __file__, "--relay", "-", "--delay", str(args.delay),
                     "--serve", json.dumps({"what": "delay", "control": control,
                                            "routes": routes})], stderr=logs["delay"])
        try:
            for port in (echo, origin, control):
                wait_port(port, 20)
        except RuntimeError:
            for log in logs.values():
                log.flush()
                print(open(log.name).read()[-2000:], file=sys.stderr)
            raise
        fronts = {name: start_peers(procs, work, args.relay, name.split()[0], lines[name])
                  for name in upstreams}
        time.sleep(2)  # the relays' own upstream checks are over
        cells = {name: {proxy: {} for proxy in PROXIES} for name in upstreams}

        async def measure():
            for name in upstreams:
                for proxy in PROXIES:
                    socks, http = fronts[name][proxy]
                    key = str(lines[name][proxy])
                    row = cells[name][proxy]
                    print("measuring %s through %s" % (proxy, name), file=sys.stderr, flush=True)
                    if socks:
                        before, start = delay_counts(control)[key], time.monotonic()
                        row["a"] = await paced(args.count, lambda: socks5(socks, echo))
                        minutes = (time.monotonic() - start) / 60
                        row["h"] = (delay_counts(control)[key] - before) / minutes
                        row["f"] = await paced(args.count, lambda: socks5(socks, echo, True))
                    row["e"] = await paced(args.count, lambda: http_connect(http, echo))
                    if socks:
                        row["d"] = await page(args.count, lambda: socks5(socks, echo))
                    else:
                        row["d"] = await page(args.count, lambda: http_connect(http, echo))
                    row["g"] = await gets(args.count, http, origin, control, key)

            # Cold: everything idle, then the first connection through each.
            lifetimes = {}
            loop = asyncio.get_running_loop()
            for name, port in upstreams.items():
                lifetimes[name] = loop.run_in_executor(None, logged_in_lifetime, port,
                                                       args.idle - 5)
            for name in upstreams:
                for proxy in PROXIES:
                    cells[name][proxy]["c"] = Samples()
                    cells[name][proxy]["idle"] = [0, 0]
            for round_ in range(args.cold_count):
                print("idle %.0f s (%d of %d)" % (args.idle, round_ + 1, args.cold_count),
                      file=sys.stderr, flush=True)
                before = delay_counts(control)
                await asyncio.sleep(args.idle / 2)
                half = delay_counts(control)
                await asyncio.sleep(args.idle / 2)
                after = delay_counts(control)
                for name in upstreams:
                    for proxy in PROXIES:
                        key = str(lines[name][proxy])
                        idle = cells[name][proxy]["idle"]
                        idle[0] += half[key] - before[key]
                        idle[1] += after[key] - half[key]
                        socks, http = fronts[name][proxy]
                        one = (lambda: socks5(socks, echo)) if socks else \
                            (lambda: http_connect(http, echo))
                        c = cells[name][proxy]["c"]
                        try:
                            c.add(await bounded(one()))
                        except Failed as e:
                            c.failures.append(str(e))
            return {name: await lifetimes[name] for name in upstreams}

        lifetimes = asyncio.run(measure())
        load.append(os.getloadavg()[0])
    finally:
        procs.end_all()

    d = args.delay
    heads = ["row", "sovelin-relay", "v2ray %s" % version("v2ray"),
             "privoxy %s" % version("privoxy"), "tinyproxy %s" % version("tinyproxy")]
    http_only = " ‡"
    out = ["Round trips (time ÷ %g ms), median / p90, and ms; %d samples a row unless said. "
           "‡: an HTTP proxy, so HTTP CONNECT instead of SOCKS5. Load average %.1f at the start, "
           "%.1f at the end." % (2 * d, args.count, load[0], load[-1])]
    for index, name in enumerate(upstreams):
        rows = []
        c = cells[name]
        # v2ray sends its greeting and RFC 1929 in one write.
        why = {"v2ray": "" if one_write[name] else "cannot log in"}
        label = "(a) SOCKS5 while browsing" if index == 0 else "(b) SOCKS5 while browsing"
        rows.append([label + ": greeting, CONNECT, one byte echoed"] +
                    [cell(c[p]["a"], rtt, why=why.get(p)) if "a" in c[p] else "–"
                     for p in PROXIES])
        rows.append(["(c) cold: the first after %.0f s idle (%d samples)"
                     % (args.idle, args.cold_count)] +
                    [cell(c[p]["c"], rtt, why=why.get(p)) + ("" if "a" in c[p] else http_only)
                     for p in PROXIES])
        rows.append(["(d) a page: 8 at once, 1 s after 8 others; until all 8 echoed"] +
                    [cell(c[p]["d"], rtt, why=why.get(p)) + ("" if "a" in c[p] else http_only)
                     for p in PROXIES])
        rows.append(["(e) HTTP CONNECT, one byte echoed"] +
                    [cell(c[p]["e"], rtt, why=why.get(p)) for p in PROXIES])
        rows.append(["(f) optimistic SOCKS5: greeting, CONNECT and a byte in one write"] +
                    [cell(c[p]["f"], rtt, why=why.get(p)) if "f" in c[p] else "–"
                     for p in PROXIES])
        gets_cells = []
        for p in PROXIES:
            s = c[p]["g"]
            extra = None
            if s.extra:
                extra = "; %g client / %g upstream connections" % (
                    statistics.median(e[0] for e in s.extra),
                    statistics.median(e[1] for e in s.extra))
            gets_cells.append(cell(s, rtt, extra, why.get(p)))
        rows.append(["(g) ten plain GETs, `Proxy-Connection: keep-alive`"] + gets_cells)
        logins = []
        for p in PROXIES:
            idle = c[p]["idle"]
            minutes = args.cold_count * args.idle / 2 / 60
            text = "idle %.1f, %.1f" % (idle[0] / minutes, idle[1] / minutes)
            if "h" in c[p]:
                text = "browsing %.0f; " % c[p]["h"] + text
            logins.append(text)
        rows.append(["(h) upstream logins per minute (idle: 1st, 2nd minute)"] + logins)
        out.append(table("Through %s (RFC 1929), %g ms away each way. Greeting and RFC 1929 in "
                         "one write: %s. A connection logged in and silent: %s."
                         % (name, d, "answered" if one_write[name] else "not answered",
                            lifetimes[name]), heads, rows))
    text = "\n\n".join(out) + "\n"
    print(text)
    os.makedirs(os.path.dirname(args.out) or ".", exist_ok=True)
    with open(args.out, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
